#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tilegraft {

// Opens a script to read as text (a carriage return before a line feed reads as the line feed
// where the system's text files have them); null when it cannot be opened. isFolder tells a
// folder, which some systems open and then fail to read, from a name that cannot be opened.
std::FILE* openScriptFile(const std::string& fileName, bool& isFolder);

// Reads what the script has ready, up to capacity bytes, without waiting for more than one read
// of the system's: a script from a pipe is run line by line as it arrives. 0 at the end of the
// script; nothing on a read error. Reads the script only this way, past its stream's buffer.
std::optional<std::size_t> readScriptBytes(std::FILE* script, char* buffer, std::size_t capacity);
// True when anything at all is at the name: a file, a folder, a device, or a symbolic link, even
// one that leads nowhere yet.
bool nameIsTaken(const std::string& fileName);

// How long a load or an in-place save waits for a lock that another program holds on its file
// (flock), after a line on standard error that says so: then a load reads without it, checking
// that the file does not change meanwhile, and a save fails with the file as it was.
inline constexpr int lockWaitSeconds = 5;

// The folder a path names its file in, as written: "a/b" for "a/b/c", "/" for "/c", "." for a
// bare name; and the file's entry in it, what follows the last separator (on Windows a backslash
// separates too).
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

// What is at a name at one moment: nothing, or one file, told apart from any other by its device
// and number. Through symbolic links, the file they lead to; a link that leads nowhere is itself
// the file.
struct NameState {
  bool taken = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const NameState&) const = default;
};
// taken is what nameIsTaken gives; the numbers are zero where the system has none.
NameState lookAtName(const std::string& fileName);
// Where a symbolic link that leads nowhere would have its file made: the name it finally leads
// to (relative to the link's folder where it is written so). Any other name is given back as it
// is. Only for what a name means, never to open it by: the kernel follows links for that.
std::string whereNameLeads(const std::string& fileName);
// The same for what standard input is: a file it was redirected from, or nothing.
NameState lookAtStandardInput();

// Why a name could not be read from or written to, looked up after the failure for the user's
// explanation only: the name may have changed since, so nothing else relies on it.
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
