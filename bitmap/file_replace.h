#pragma once

#include <cstdint>
#include <span>
#include <string>

struct stat;

namespace tilegraft {

// Writes new bytes under a file name without ever leaving the file it replaces half-written: a
// failure, or an end by SIGINT, SIGTERM, SIGHUP or SIGXFSZ, leaves the old file byte for byte and
// no temporary file behind.
//
// Where nothing exists at the name yet, or where a regular file with one link stands (for a
// symbolic link, the file it finally leads to, so the link stays a link), the bytes go into a new
// temporary file in the same folder, which takes over the old file's permission bits (and its
// owner and group where the process may set them) and is renamed over the name once it is whole.
// Everything else is written in place, emptied first, as a plain "wb" open would: a file with
// several hard links (a rename would part them), anything that is not a regular file, a file the
// process may not write (so that the open fails as it always did), another user's file in a
// folder with the sticky bit, and a file in a folder that takes no temporary file. A folder that
// takes no temporary file for want of space gets nothing written at all.
//
// Life: the constructor opens what is written, write appends, commit finishes. Destroying an
// uncommitted replacement removes its temporary file. While a temporary file exists, handlers of
// the four signals remove it before the signal ends the process as it would have; the previous
// handlers come back afterwards. One replacement at a time: the handlers know one file.
class FileReplacement {
public:
  explicit FileReplacement(const std::string& fileName);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // False when nothing could be created or opened to write into.
  bool isOpen() const { return descriptor >= 0; }
  // Writes all the bytes after those written before. False when any of them could not be written
  // (no space, a file-size limit).
  bool write(std::span<const std::uint8_t> bytes);
  // Closes the file and renames the temporary file over the name. False when either fails; the
  // temporary file is then removed when the replacement goes, and the old file is untouched.
  bool commit();

private:
  enum class TemporaryOutcome { opened, refused, noSpace };

  // The old file's status gives the new one its mode and owner; null for a new name.
  TemporaryOutcome openTemporary(const std::string& target, const struct stat* old);
  void discardTemporary() noexcept;

  int descriptor = -1;
  // Empty when the file is written in place. Its characters must not move while the signal
  // handlers may read them.
  std::string temporaryName;
  std::string targetName;
  bool handlersInstalled = false;
};

} // namespace tilegraft
