#include "platform/files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace tilegraft {

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  // A folder opens here, and its first read fails.
  isFolder = false;
  return std::fopen(fileName.c_str(), "r");
}

std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = read(fileno(script), buffer, capacity);
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR) {
      return std::nullopt;
    }
  }
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
