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

NameState lookAtName(const std::string& fileName) {
  struct stat existing {};
  if (stat(fileName.c_str(), &existing) != 0 && lstat(fileName.c_str(), &existing) != 0) {
    return {};
  }
  return {true, static_cast<std::uint64_t>(existing.st_dev),
          static_cast<std::uint64_t>(existing.st_ino)};
}

} // namespace tilegraft
