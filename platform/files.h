#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

namespace tilegraft {

// Opens a script as text; null when it cannot be, and isFolder then tells a folder.
std::FILE* openScriptFile(const std::string& fileName, bool& isFolder);

// Reads what the script has ready by one read (a piped script runs as it comes); 0 at its end.
std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity);

// True when anything at all is at the name, a link that leads nowhere included.
bool nameIsTaken(const std::string& fileName);

// How long a load or an in-place save waits for another program's lock, saying so; then a load
// reads without it (checking for changes) and a save fails.
inline constexpr int lockWaitSeconds = 5;

// Takes a lock by tryOnce; where another's is in the way, says so and retries every 10 ms.
template <typename TryOnce> bool waitForLock(const std::string& fileName, TryOnce tryOnce) {
  if (tryOnce()) {
    return true;
  }
  std::fflush(stdout);
  std::fprintf(stderr,
               "Waiting up to %d seconds for another program to release its lock on %s...\n",
               lockWaitSeconds, fileName.c_str());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lockWaitSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (tryOnce()) {
      return true;
    }
  }
  return false;
}

// The folder of a path as written ("a/b" for "a/b/c", "/" for "/c", "." for a bare name), and
// the entry in it after the last separator (on Windows a backslash separates too).
inline std::size_t lastSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("/\\");
#else
  return path.rfind('/');
#endif
}
inline std::string folderOf(const std::string& path) {
  const std::size_t separator = lastSeparator(path);
  return separator == std::string::npos ? "."
         : separator == 0               ? path.substr(0, 1)
                                        : path.substr(0, separator);
}
inline std::string entryOf(const std::string& path) { return path.substr(lastSeparator(path) + 1); }

// What is at a name: nothing, or one file by device and number (through links, if they lead).
struct NameState {
  bool taken = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const NameState&) const = default;
};
NameState lookAtName(const std::string& fileName);
// Where a dangling link would have its file made (else the name). Never to open by.
std::string whereNameLeads(const std::string& fileName);
// The file standard input was redirected from, or nothing.
NameState lookAtStandardInput();

// Why a name could not be read or written, for the user's explanation only (it may have changed).
enum class NameTrouble {
  unknown,       // nothing found that explains it
  missing,       // no file has the name, though its folder exists
  folderMissing, // the folder the name is in does not exist (or is a file)
  isFolder,      // the name is a folder
  noPermission,  // the process may not read (or write) the file, or its folder
  isPipe,        // a named pipe, socket or device: no length to read, maybe no reader to write
  readOnly,      // the file system is mounted read-only
};
struct NameFacts {
  NameTrouble trouble = NameTrouble::unknown;
  std::string folder;       // the folder of the name, as written ("." for none)
  std::uint64_t length = 0; // of a regular file at the name
};
NameFacts troubleReading(const std::string& fileName);
NameFacts troubleWriting(const std::string& fileName);

} // namespace tilegraft
