#include "platform/files.h"

#include <cerrno>
#include <climits>
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

namespace {

NameTrouble troubleOf(int error) {
  switch (error) {
  case ENOENT:
    return NameTrouble::missing;
  case ENOTDIR:
    return NameTrouble::folderMissing;
  case EACCES:
  case EPERM:
    return NameTrouble::noPermission;
  case EROFS:
    return NameTrouble::readOnly;
  default:
    return NameTrouble::unknown;
  }
}

bool isStream(const struct stat& found) {
  return S_ISFIFO(found.st_mode) || S_ISSOCK(found.st_mode) || S_ISCHR(found.st_mode);
}

} // namespace

NameFacts troubleReading(const std::string& fileName) {
  NameFacts facts{NameTrouble::unknown, folderOf(fileName), 0};
  struct stat found {};
  if (stat(fileName.c_str(), &found) != 0) {
    facts.trouble = troubleOf(errno);
    struct stat folder {};
    if (facts.trouble == NameTrouble::missing && stat(facts.folder.c_str(), &folder) != 0) {
      facts.trouble = NameTrouble::folderMissing;
    }
  } else if (S_ISDIR(found.st_mode)) {
    facts.trouble = NameTrouble::isFolder;
  } else if (isStream(found)) {
    facts.trouble = NameTrouble::isPipe;
  } else {
    facts.length = static_cast<std::uint64_t>(found.st_size);
    if (access(fileName.c_str(), R_OK) != 0) {
      facts.trouble = troubleOf(errno);
    }
  }
  return facts;
}

NameFacts troubleWriting(const std::string& fileName) {
  NameFacts facts{NameTrouble::unknown, folderOf(fileName), 0};
  struct stat found {};
  struct stat folder {};
  if (stat(fileName.c_str(), &found) == 0 && S_ISDIR(found.st_mode)) {
    facts.trouble = NameTrouble::isFolder;
  } else if (stat(facts.folder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    facts.trouble = NameTrouble::folderMissing;
  } else if (stat(fileName.c_str(), &found) == 0 && isStream(found)) {
    facts.trouble = NameTrouble::isPipe;
  } else if (access(facts.folder.c_str(), W_OK | X_OK) != 0) {
    facts.trouble = troubleOf(errno);
  } else if (stat(fileName.c_str(), &found) == 0 && access(fileName.c_str(), W_OK) != 0) {
    facts.trouble = troubleOf(errno);
  }
  return facts;
}

std::string whereNameLeads(const std::string& fileName) {
  // As many links as the system follows before it gives up.
  constexpr int mostLinks = 40;
  std::string name = fileName;
  struct stat found {};
  for (int link = 0; link < mostLinks && stat(name.c_str(), &found) != 0 &&
                     lstat(name.c_str(), &found) == 0 && S_ISLNK(found.st_mode);
       ++link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(name.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
      break;
    }
    target.resize(static_cast<std::size_t>(length));
    const std::size_t slash = name.find_last_of('/');
    name = target.front() == '/' || slash == std::string::npos ? target
                                                               : name.substr(0, slash + 1) + target;
  }
  return name;
}

NameState lookAtStandardInput() {
  struct stat input {};
  if (fstat(STDIN_FILENO, &input) != 0 || !S_ISREG(input.st_mode)) {
    return {};
  }
  return {true, static_cast<std::uint64_t>(input.st_dev), static_cast<std::uint64_t>(input.st_ino)};
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
