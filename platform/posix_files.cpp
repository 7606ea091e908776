#include "platform/files.h"

#include <sys/stat.h>

namespace tilegraft {

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  // A folder opens here, and its first read fails.
  isFolder = false;
  return std::fopen(fileName.c_str(), "r");
}

bool nameIsTaken(const std::string& fileName) {
  struct stat existing {};
  return lstat(fileName.c_str(), &existing) == 0;
}

} // namespace tilegraft
