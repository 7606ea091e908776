#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tilegraft {

// Opens a script to read as text (a carriage return before a line feed reads as the line feed
// where the system's text files have them); null when it cannot be opened. isFolder tells a
// folder, which some systems open and then fail to read, from a name that cannot be opened.
std::FILE* openScriptFile(const std::string& fileName, bool& isFolder);

// True when anything at all is at the name: a file, a folder, a device, or a symbolic link, even
// one that leads nowhere yet.
bool nameIsTaken(const std::string& fileName);

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

} // namespace tilegraft
