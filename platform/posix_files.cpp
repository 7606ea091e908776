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

std::optional<FileIdentity> fileIdentity(const std::string& fileName) {
  struct stat found {};
  if (stat(fileName.c_str(), &found) != 0) {
    return std::nullopt;
  }
  return FileIdentity{static_cast<std::uint64_t>(found.st_dev),
                      static_cast<std::uint64_t>(found.st_ino)};
}

} // namespace tilegraft
