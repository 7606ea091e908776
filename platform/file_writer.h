#pragma once

#include "platform/file_image.h"
#include "platform/files.h"

#include <cstdint>
#include <span>
#include <string>

namespace tilegraft {

enum class ReplaceResult {
  replaced,
  notCreated, // nothing could be created or opened to write into; the old file is untouched
  notWritten, // the bytes could not all be written; the old file is untouched
  nameTaken,  // the name is no longer as the caller saw it; nothing was written
  locked,     // another program held its lock on a file to be written in place for
              // lockWaitSeconds; the old file is untouched
};

// Puts bytes under a file name so that the name ends holding either its old file, byte for byte,
// or the new bytes whole, and no temporary file is left behind on any path a handler sees.
//
// The save is bound to what the caller saw at the name (expected). A name that was free is only
// ever created: a new file in the name's folder, linked under the name only while it is free.
// A name that held a file replaces only that file (for a symbolic link, the file the kernel
// reaches through it, under the system's protections; a link that leads nowhere yet has the
// kernel create the file it names). Anything else gives nameTaken, with nothing written.
//
// A regular file with one link gets a new file in its folder that takes its mode, owner and
// group and is renamed over it once whole, so a link stays a link. Where the system has unnamed
// files, the new file has no name until then, so even a kill that cannot be caught leaves
// nothing, but in the instant between taking a temporary name and the rename over an old file;
// elsewhere it has a short name that any terminating signal removes before it ends the process.
//
// Only what cannot be replaced by a rename is written in place: anything that is not a regular
// file (a named pipe without a reader is refused at once), a file with several links, a file in
// a folder the process may not write, or that refuses renames (append-only, or the file is a
// mount point), another user's file in a folder with the sticky bit. An in-place write holds an
// exclusive lock on the file, so two saves never interleave, reserves the new length on disk
// first where the file system can, so a full disk is found while the old file is whole, and
// holds the catchable signals back from its first byte to the last, so that only an uncatchable
// kill or a power cut leaves a regular file part new, part old. A new name in an append-only
// folder where no unnamed file can be made is written directly under its name.
//
// A file-size limit, or a pipe whose reader goes, makes the write fail instead of ending the
// process. One save at a time: the signal handlers know one file.
ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes,
                          const NameState& expected);
// The same for a file image's bytes; the parts it still maps go from its file to the new one.
// A new file (any way but in place) shares the blocks of a mapped image's file where the file
// system can, and then only the pages that merges wrote are written.
ReplaceResult replaceFile(const std::string& fileName, const FileImage& image,
                          const NameState& expected);
// The same, bound to what is at the name now.
ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes);
ReplaceResult replaceFile(const std::string& fileName, const FileImage& image);

// True when replaceFile would get as far as writing: the name's folder exists and may be written
// (or the file at the name may be written in place), and the name is not a folder. Writes
// nothing; a disk that fills or a file that changes before the real save cannot be foreseen.
bool replaceLooksPossible(const std::string& fileName);

} // namespace tilegraft
