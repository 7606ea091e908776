#pragma once

#include "platform/file_image_memory.h"

#include <cstddef>
#include <cstdio>
#include <string>

namespace tilegraft {

enum class FileReadResult {
  read,
  notOpened,     // no such file, or not one the process may open
  lengthRefused, // the file is shorter or longer than allowed
  noMemory,      // no memory for a file of its length
  notRead,       // a read failed, the file has no length (a pipe), or it kept changing
};

// Reads a whole file into new file-image memory, after checking its length against the limits.
// Never waits for a writer: a named pipe is refused at once. A file that another program changes
// while it is read (its length or change times differ before and after) is read again a few
// times, so the image is always one that the file really held.
FileReadResult readFileImage(const std::string& fileName, std::size_t minLength,
                             std::size_t maxLength, FileImageMemory& memory, std::size_t& length);

// Opens a script to read as text (a carriage return before a line feed reads as the line feed
// where the system's text files have them); null when it cannot be opened. isFolder tells a
// folder, which some systems open and then fail to read, from a name that cannot be opened.
std::FILE* openScriptFile(const std::string& fileName, bool& isFolder);

// True when anything at all is at the name: a file, a folder, a device, or a symbolic link, even
// one that leads nowhere yet.
bool nameIsTaken(const std::string& fileName);

// For tests: called after each whole read of a file, before it is looked at again.
inline void (*afterFileReadForTesting)(const std::string& fileName) = nullptr;

} // namespace tilegraft
