#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tilegraft {

// Opens a script to read as text (a carriage return before a line feed reads as the line feed
// where the system's text files have them); null when it cannot be opened. isFolder tells a
// folder, which some systems open and then fail to read, from a name that cannot be opened.
std::FILE* openScriptFile(const std::string& fileName, bool& isFolder);

// True when anything at all is at the name: a file, a folder, a device, or a symbolic link, even
// one that leads nowhere yet.
bool nameIsTaken(const std::string& fileName);

// What tells one file from another whatever name leads to it: its device and its number there.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  bool operator==(const FileIdentity&) const = default;
};
// The identity of the file the name leads to (through symbolic links), if there is one.
std::optional<FileIdentity> fileIdentity(const std::string& fileName);

} // namespace tilegraft
