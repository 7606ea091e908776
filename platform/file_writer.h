#pragma once

#include "platform/file_image.h"
#include "platform/files.h"

namespace tilegraft {

enum class ReplaceResult {
  replaced,
  notCreated, // nothing could be created or opened to write into; the old file is untouched
  notWritten, // the bytes could not all be written; the old file is untouched
  nameTaken,  // the name is no longer as the caller saw it; nothing was written
  locked,     // another program's lock on a file to be written in place outlasted the wait
};

// Puts bytes under a file name so that the name ends holding its old file, byte for byte, or the
// new bytes whole, on the disk, and no temporary is left on any path a handler sees. Bound to what
// the caller saw at the name (expected): a free name is only created (linked only while free); a
// file is the only one replaced (through links, the file the kernel reaches; a link that leads
// nowhere has the kernel create its file). Anything else gives nameTaken, nothing written.
// A regular file with one link gets a new file in its folder, with its mode, owner, group, access
// list and attributes, renamed over it once whole (a link stays a link), unnamed until then where
// the system can, else under a short name any terminating signal removes.
// Written in place is only what a rename cannot replace: anything but a regular file (a named
// pipe without a reader is refused at once), a file with several links, in a folder the process
// may not write or that refuses renames (append-only, a mount point), another user's file in a
// sticky folder. That locks (waiting as files.h says), reserves the new length where it can, so a
// full disk shows while the old file is whole, and holds catchable signals from first byte to
// last. A new name in an append-only folder without unnamed files is written under its name.
// A file-size limit or a pipe whose reader goes fails the write instead of ending the process.
// One save at a time: the signal handlers know one file.
ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes,
                          const NameState& expected);
// The same for a file image's bytes; its mapped parts go by the kernel's copy (sharing blocks).
ReplaceResult replaceFile(const std::string& fileName, const FileImage& image,
                          const NameState& expected);
// The same, bound to what is at the name now.
inline ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
  return replaceFile(fileName, bytes, lookAtName(fileName));
}
inline ReplaceResult replaceFile(const std::string& fileName, const FileImage& image) {
  return replaceFile(fileName, image, lookAtName(fileName));
}

// For bulk jobs (--no-sync): a new name's syncs, and the folder's after a rename, are left to the
// system. Never skipped: a new file's sync before it replaces an old one, an in-place save's.
inline bool bulkSaves = false;

// True when replaceFile would get as far as writing (the folder may be written, or the file in
// place, and the name is no folder). A disk that fills or a file that changes is not foreseen.
bool replaceLooksPossible(const std::string& fileName);

} // namespace tilegraft
