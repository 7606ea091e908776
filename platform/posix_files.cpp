#include "platform/files.h"
#include "platform/posix_descriptor.h"

namespace tilegraft {

std::FILE* openScriptFile(const std::string& fileName, bool& isFolder) {
  // A folder opens here, and its first read fails.
  isFolder = false;
  return std::fopen(fileName.c_str(), "r");
}

std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity) {
  ssize_t got = 0;
  do {
    got = read(fileno(script), buffer, capacity);
  } while (got < 0 && errno == EINTR);
  return got >= 0 ? std::optional(static_cast<std::size_t>(got)) : std::nullopt;
}

bool nameIsTaken(const std::string& fileName) {
  struct stat existing {};
  return lstat(fileName.c_str(), &existing) == 0;
}

namespace {

NameTrouble troubleOf(int error) {
  return error == ENOENT                     ? NameTrouble::missing
         : error == ENOTDIR                  ? NameTrouble::folderMissing
         : error == EACCES || error == EPERM ? NameTrouble::noPermission
         : error == EROFS                    ? NameTrouble::readOnly
                                             : NameTrouble::unknown;
}

bool isStream(const struct stat& found) {
  return S_ISFIFO(found.st_mode) || S_ISSOCK(found.st_mode) || S_ISCHR(found.st_mode);
}

} // namespace

NameFacts troubleReading(const std::string& fileName) {
  NameFacts facts{.folder = folderOf(fileName)};
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
  NameFacts facts{.folder = folderOf(fileName)};
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
    const std::optional<std::string> target = readLink(name);
    if (!target || target->empty()) {
      break;
    }
    const std::size_t slash = lastSeparator(name);
    name = target->front() == '/' || slash == std::string::npos
               ? *target
               : name.substr(0, slash + 1) + *target;
  }
  return name;
}

NameState lookAtStandardInput() {
  struct stat input {};
  return fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode) ? stateOf(input) : NameState{};
}

NameState lookAtName(const std::string& fileName) {
  struct stat existing {};
  return stat(fileName.c_str(), &existing) == 0 || lstat(fileName.c_str(), &existing) == 0
             ? stateOf(existing)
             : NameState{};
}

} // namespace tilegraft
