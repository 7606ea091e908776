// Saves bytes under a name (file_writer.h) on POSIX systems. lookAt gathers what is at the name,
// chooseWay picks the route (what each route's steps leave after a power cut is listed there),
// and one function per route writes. Signals: posix_save_signals.h; the new file beside the
// name: posix_new_file.h.
//
// The states of a save; where a temporary can be, what a signal finds, what a power cut leaves:
// 1. Looking: nothing is made. A signal's line says the name holds what it held; a power cut
//    leaves the old file, or nothing.
// 2. Writing the new file: unnamed (O_TMPFILE) where the system has that, so there is nothing to
//    leave; elsewhere under a short name (".tilegraft-" and 8 hex digits) in the name's folder,
//    which a signal removes before it ends the process. A power cut leaves the name as it was,
//    and maybe that named temporary.
// 3. Synced, the new file takes the name: linked to a free name, or given its temporary name and
//    renamed over the old file in one held stretch, so a signal waits and then says the file was
//    written whole. A power cut leaves the old file or the new one, each whole; after the folder's
//    sync, the new one.
// 4. In place (several links, or no rename possible): signals wait from the first byte to the
//    last sync. A power cut while it writes leaves the file part new, part old.
// 5. At the name itself (through a link that leads nowhere, or in an append-only folder without
//    unnamed files): a signal removes the file made through a link, and leaves what an
//    append-only folder keeps, saying so.
// 6. Done, handlers put back: a signal that came meanwhile still gets its line.

#include "platform/file_writer.h"
#include "platform/files.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"
#include "platform/posix_new_file.h"
#include "platform/posix_save_signals.h"
#include "platform/test_seams.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if TILEGRAFT_LINUX_CALLS
#include <sys/vfs.h>
#endif

namespace tilegraft {

namespace {

// What a save writes: bytes in memory, or a file image, which sends what it still maps straight
// from its file.
struct SaveBytes {
  std::span<const std::uint8_t> memory;
  const FileImage* image = nullptr;
  std::size_t size() const { return memory.size(); }
};

// Writes the bytes; positioned, from where they lie in the image (the file's start is the
// image's), else at the descriptor's position.
bool writeAll(int descriptor, const SaveBytes& bytes, std::size_t from, std::size_t to,
              bool positioned) {
  if (bytes.image != nullptr) {
    return bytes.image->writeTo(descriptor, from, to, positioned);
  }
  return writeAllAt(descriptor, bytes.memory.data() + from, to - from,
                    positioned ? static_cast<off_t>(from) : -1);
}

// Writes the bytes in two halves, with the tests' seam between them.
bool writeImage(int descriptor, const SaveBytes& image, bool positioned) {
  const std::size_t half = image.size() / 2;
  if (!writeAll(descriptor, image, 0, half, positioned)) {
    return false;
  }
  if (afterHalfWrittenForTesting != nullptr) {
    afterHalfWrittenForTesting();
  }
  return writeAll(descriptor, image, half, image.size(), positioned);
}

#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE)
// fallocate, again when a signal interrupts it.
bool allocate(int descriptor, int mode, off_t offset, off_t length) {
  int result = 0;
  do {
    result = fallocate(descriptor, mode, offset, length);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// A file system whose overwrites take new blocks (copy-on-write: Btrfs, bcachefs, ZFS, NILFS,
// F2FS), so that the blocks a file has already are no reservation for writing over it.
bool overwritesAllocate(int descriptor) {
  constexpr std::uint32_t copyOnWrite[] = {0x9123683EU, 0xCA451A4EU, 0x2FC12FC1U, 0x3434U,
                                           0xF2F52010U};
  struct statfs status {};
  if (fstatfs(descriptor, &status) != 0) {
    return false;
  }
  const auto type = static_cast<std::uint32_t>(status.f_type);
  return std::find(std::begin(copyOnWrite), std::end(copyOnWrite), type) != std::end(copyOnWrite);
}
#endif

// Asks the file system for the blocks of the whole new length without changing the file, so that
// a full disk or a file-size limit shows before the first old byte is overwritten. Where the file
// system cannot reserve, the write goes ahead as it is.
bool reserve(int descriptor, std::size_t length, off_t oldLength) {
  // A reservation is not a write: the file-size limit is checked here.
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      length > limit.rlim_cur) {
    return false;
  }
#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE)
  if (length == 0) {
    return true;
  }
  const auto newLength = static_cast<off_t>(length);
  if (!allocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, newLength)) {
    return errno == EOPNOTSUPP || errno == ENOSYS;
  }
  // That covers what the file grows by. Blocks that the file shares with another (a copy made
  // by reflink) are unshared, which reserves them, where the file system can; where every
  // overwrite takes new blocks, writeBesideAndMove takes them before an old byte changes.
#ifdef FALLOC_FL_UNSHARE_RANGE
  const off_t overwritten = std::min(oldLength, newLength);
  if (overwritten > 0 && !allocate(descriptor, FALLOC_FL_UNSHARE_RANGE, 0, overwritten)) {
    return errno != ENOSPC && errno != EDQUOT;
  }
#else
  static_cast<void>(oldLength);
#endif
  return true;
#else
  // No reservation that leaves the length alone (macOS's F_PREALLOCATE would serve; not yet).
  static_cast<void>(descriptor);
  static_cast<void>(oldLength);
  return true;
#endif
}

#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE)
// Where every overwrite takes new blocks, the new bytes are written past the file's end first,
// into blocks reserved there, synced, and then copied over the old ones within the file by the
// kernel, which such a file system does by sharing the blocks (a change of the file's map, not a
// write); the stretch past the end is cut off last. A disk too full for the new bytes fails while
// the old file is whole. nullopt, with the file as it was, where there is no such stretch.
std::optional<bool> writeBesideAndMove(int descriptor, const SaveBytes& bytes,
                                       const struct stat& old) {
  const auto newLength = static_cast<off_t>(bytes.size());
  constexpr off_t besideAlignment = off_t{1} << 16;
  const off_t beside =
      (std::max(old.st_size, newLength) + besideAlignment - 1) / besideAlignment * besideAlignment;
  // The stretch past the end must be within the file-size limit.
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<std::uint64_t>(beside) + bytes.size() > limit.rlim_cur) {
    return std::nullopt;
  }
  // The copy reads the same file, opened again to read, where the process may.
  const Descriptor source(
      open(descriptorPath(descriptor).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!source) {
    return std::nullopt;
  }
  if (!allocate(descriptor, FALLOC_FL_KEEP_SIZE, beside, newLength)) {
    const bool unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
    return ftruncate(descriptor, old.st_size) == 0 && unsupported ? std::nullopt
                                                                  : std::optional<bool>(false);
  }
  if (lseek(descriptor, beside, SEEK_SET) != beside || !writeImage(descriptor, bytes, false) ||
      !syncFile(descriptor)) {
    static_cast<void>(ftruncate(descriptor, old.st_size));
    return false;
  }
  // Blocks are shared whole; the last part block is written in place.
  const off_t block = old.st_blksize > 0 ? static_cast<off_t>(old.st_blksize) : 4096;
  const off_t whole = newLength / block * block;
  off_t from = beside;
  off_t to = 0;
  while (to < whole) {
    const ssize_t moved = copy_file_range(source.get(), &from, descriptor, &to,
                                          static_cast<std::size_t>(whole - to), 0);
    if (moved <= 0 && !(moved < 0 && errno == EINTR)) {
      return false;
    }
  }
  return writeAll(descriptor, bytes, static_cast<std::size_t>(whole), bytes.size(), true) &&
         syncFile(descriptor) && ftruncate(descriptor, newLength) == 0 && syncFile(descriptor);
}
#endif

// Writes the bytes into a file that already stands at the name, from its position, with no way
// back: a signal meanwhile leaves the part written. A new, empty file may share the image's
// blocks; a pipe or a device is only written.
ReplaceResult writeStraight(Descriptor& file, const SaveBytes& bytes, int newFileFolder) {
  nameHolds.store(NameHolds::partOfNewFile);
  const bool newFile = newFileFolder >= 0;
  const bool written = newFile ? writeImage(file.get(), bytes, true) && syncFile(file.get())
                               : writeImage(file.get(), bytes, false);
  if (!written || !file.closeNow() || (newFile && !syncFolder(newFileFolder))) {
    return ReplaceResult::notWritten;
  }
  const HeldSignals hold(heldDuringSave);
  nameHolds.store(NameHolds::newFile);
  return ReplaceResult::replaced;
}

// Writes over the file at the name, which must still be the file seen there; nameTaken when it is
// not. A regular file is locked, reserved, overwritten from its start and then cut to the new
// length; it is never emptied first, and the catchable signals wait from the first write to the
// cut, so that only a kill that cannot be caught (or a power cut) leaves it part new, part old.
ReplaceResult writeInPlace(const std::string& fileName, const struct stat& seen,
                           const SaveBytes& bytes) {
  // O_NONBLOCK: a named pipe without a reader fails at once (ENXIO) instead of waiting.
  Descriptor file(open(fileName.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  // A regular file under a read lease (this process's own mapped image of it, or another
  // program's): the open has asked the holder to let go, and now waits for it to.
  if (!file && errno == EWOULDBLOCK) {
    file = Descriptor(open(fileName.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  }
  if (!file) {
    return errno == ENOENT ? ReplaceResult::nameTaken : ReplaceResult::notCreated;
  }
  clearNonBlocking(file.get());
  struct stat status {};
  if (fstat(file.get(), &status) != 0) {
    return ReplaceResult::notWritten;
  }
  // A device may open as another file than its name shows (/dev/tty, /dev/ptmx): only a
  // regular file, seen or found, must be the one seen.
  if (!sameFile(status, seen) && (S_ISREG(status.st_mode) || S_ISREG(seen.st_mode))) {
    return ReplaceResult::nameTaken;
  }
  if (!S_ISREG(status.st_mode)) {
    return writeStraight(file, bytes, -1);
  }
  // Another save of the same file waits here for this one to finish. A file system without
  // locks (some network disks) is written unlocked, as before.
  if (!lockWithin(file.get(), LOCK_EX, fileName)) {
    return ReplaceResult::locked;
  }
  if (!reserve(file.get(), bytes.size(), status.st_size)) {
    return ReplaceResult::notWritten;
  }
  bool written = false;
  {
    const HeldSignals hold(heldDuringSave);
    std::optional<bool> moved;
#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE)
    if (status.st_size > 0 && overwritesAllocate(file.get())) {
      moved = writeBesideAndMove(file.get(), bytes, status);
    }
#endif
    written = moved ? *moved
                    : writeImage(file.get(), bytes, true) && syncFile(file.get()) &&
                          ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0 &&
                          syncFile(file.get());
    // A failure part-way leaves the file part new: the held signal tells so.
    nameHolds.store(written ? NameHolds::newFile : NameHolds::partOfNewFile);
  }
  return written && file.closeNow() ? ReplaceResult::replaced : ReplaceResult::notWritten;
}

// In a folder with the sticky bit (/tmp), only the owner of the file or of the folder may rename
// over a file that others may still write.
bool renameMayReplace(const struct stat& folder, const struct stat& old) {
  const uid_t user = geteuid();
  return (folder.st_mode & S_ISVTX) == 0 || old.st_uid == user || folder.st_uid == user;
}

// A folder that takes new names but keeps every name it has (Linux's append-only attribute, the
// BSDs' append flags): a temporary name could never go again.
bool keepsEveryName(int folder) {
#if TILEGRAFT_LINUX_CALLS && defined(STATX_ATTR_APPEND)
  struct statx status {};
  return statx(folder, "", AT_EMPTY_PATH, 0, &status) == 0 &&
         (status.stx_attributes & STATX_ATTR_APPEND) != 0;
#elif defined(UF_APPEND) && defined(SF_APPEND)
  struct stat status {};
  return fstat(folder, &status) == 0 && (status.st_flags & (UF_APPEND | SF_APPEND)) != 0;
#else
  static_cast<void>(folder);
  return false;
#endif
}

// Opens the folder that a name lives in, for lookups relative to it.
Descriptor openFolder(const std::string& folderPath) {
  const char* path = folderPath.c_str();
  Descriptor folder(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#ifdef O_PATH
  if (!folder) {
    // A folder that may be written and searched but not listed.
    folder = Descriptor(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
#endif
  return folder;
}

bool folderMayBeWritten(int folder) { return faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) == 0; }

#if TILEGRAFT_LINUX_CALLS
std::optional<std::string> readLink(const std::string& path) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length < 0) {
      return std::nullopt;
    }
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
    text.resize(text.size() * 2);
  }
}
#endif

// The path of the file that the name leads to, where the system can tell it; empty otherwise.
// On Linux the kernel keeps it for the open descriptor; elsewhere realpath finds it. Either way,
// whoever uses it checks that the entry there is that file.
std::string pathOf([[maybe_unused]] int descriptor, [[maybe_unused]] const std::string& fileName) {
#if TILEGRAFT_LINUX_CALLS
  const std::optional<std::string> path = readLink(descriptorPath(descriptor));
  // Pipes and sockets have made-up names, and a file whose name has gone says "(deleted)".
  return path && path->starts_with('/') ? *path : std::string();
#else
  char* const resolved = realpath(fileName.c_str(), nullptr);
  const std::string path = resolved != nullptr ? resolved : "";
  std::free(resolved);
  return path;
#endif
}

bool seenAs(const struct stat& status, const NameState& expected) {
  return static_cast<std::uint64_t>(status.st_dev) == expected.device &&
         static_cast<std::uint64_t>(status.st_ino) == expected.inode;
}

// What a save finds at the name, gathered once before anything is written.
struct Target {
  bool changed = false;      // the name no longer holds what the caller saw there
  bool unreachable = false;  // the name leads to nothing the process may reach
  bool free = false;         // the name was free, and still is: it is to be created
  bool danglingLink = false; // a symbolic link that leads nowhere yet, as seen
  struct stat file {};       // the file at the name, through its links
  bool fileWritable = false;
  Descriptor folder;        // the folder that holds the file's entry (for a free name, the name's)
  std::string entry;        // the entry's name there
  bool entryIsFile = false; // the entry is the file itself, so a rename there replaces it
  struct stat folderStatus {};
  bool folderWritable = false;
  bool appendOnly = false;
};

void lookAtFolder(Target& target, const std::string& path) {
  target.entry = entryOf(path);
  target.folder = openFolder(folderOf(path));
  if (target.folder && fstat(target.folder.get(), &target.folderStatus) == 0) {
    target.folderWritable = folderMayBeWritten(target.folder.get());
    target.appendOnly = keepsEveryName(target.folder.get());
  }
}

// Symbolic links are followed by the kernel only, under the system's protections (such as
// fs.protected_symlinks), and only a free name's own folder is looked into by path.
Target lookAt(const std::string& fileName, const NameState& expected) {
  Target target;
  struct stat atName {};
  if (!expected.taken) {
    target.changed = lstat(fileName.c_str(), &atName) == 0;
    target.free = !target.changed;
    lookAtFolder(target, fileName);
    return target;
  }
#if TILEGRAFT_LINUX_CALLS
  const Descriptor found(open(fileName.c_str(), O_PATH | O_CLOEXEC));
  const bool reached = found && fstat(found.get(), &target.file) == 0;
#else
  const Descriptor found;
  const bool reached = stat(fileName.c_str(), &target.file) == 0;
#endif
  if (!reached) {
    if (errno != ENOENT) {
      target.unreachable = true;
      return target;
    }
    target.danglingLink = lstat(fileName.c_str(), &atName) == 0 && S_ISLNK(atName.st_mode) &&
                          seenAs(atName, expected);
    target.changed = !target.danglingLink;
    return target;
  }
  target.changed = !seenAs(target.file, expected);
  target.fileWritable = faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  // A name that is no link is looked for in its own folder, by the path as given (it may be
  // longer than a whole path may be); a link's file, where the kernel says it is.
  const bool link = lstat(fileName.c_str(), &atName) == 0 && S_ISLNK(atName.st_mode);
  const std::string path = link ? pathOf(found.get(), fileName) : fileName;
  if (!target.changed && !path.empty()) {
    lookAtFolder(target, path);
    struct stat atEntry {};
    target.entryIsFile =
        target.folder &&
        fstatat(target.folder.get(), target.entry.c_str(), &atEntry, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(atEntry, target.file);
  }
  return target;
}

enum class Way { nameTaken, notCreated, createNew, createThroughLink, rename, inPlace };

// What each route leaves if the machine stops (a power cut, a crash of the kernel) at each step;
// every one has synced all it wrote before the tool says "Done.":
// - createNew: the new file is written unnamed (or under a temporary name), synced with its
//   length, linked under the free name, and the folder synced. A stop before the link leaves the
//   name free (and maybe a temporary); after it, the name free or holding the new file whole.
// - rename: the same, then renamed over the old file, and the folder synced. Until the rename
//   reaches the disk the name holds the old file; after, the new file whole. The old file is
//   never replaced by bytes that are not on the disk yet.
// - createThroughLink: the file a link names is made, written, synced, then its folder synced. A
//   stop before the file's sync can leave it empty or part written where nothing was before.
// - inPlace: the old bytes are overwritten, synced, the file cut to the new length, synced again.
//   A stop while it writes leaves the file part new, part old; after the first sync, the new
//   bytes whole (with the old tail, if it was longer); after the second, the new file.

// The contract of replaceFile, in the order it is written there.
Way chooseWay(const Target& target) {
  if (target.changed) {
    return Way::nameTaken;
  }
  if (target.unreachable) {
    return Way::notCreated;
  }
  if (target.free) {
    return target.folderWritable ? Way::createNew : Way::notCreated;
  }
  if (target.danglingLink) {
    return Way::createThroughLink;
  }
  const bool renamable = S_ISREG(target.file.st_mode) && target.file.st_nlink == 1 &&
                         target.fileWritable && target.entryIsFile && target.folderWritable &&
                         renameMayReplace(target.folderStatus, target.file) && !target.appendOnly;
  return renamable ? Way::rename : Way::inPlace;
}

// A new name: a new file in its folder, linked under the name only while the name is free.
ReplaceResult createNew(const Target& target, const SaveBytes& bytes) {
  Temporary temporary(target.folder.get());
  // A folder that keeps every name could never lose a temporary's.
  // Made with the rights open(2) gives any new file in the folder.
  if (!temporary.create(!target.appendOnly, 0666)) {
    if (!target.appendOnly) {
      return ReplaceResult::notCreated;
    }
    // There the file is made under its own name; a write that fails part-way leaves what it
    // wrote, as the folder keeps that name too.
    Descriptor file;
    int openError = 0;
    {
      // The name and what a signal says of it change together.
      const HeldSignals hold(heldDuringSave);
      file =
          Descriptor(openat(target.folder.get(), target.entry.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
      openError = errno;
      if (file) {
        nameHolds.store(NameHolds::partOfNewFile);
      }
    }
    if (!file) {
      return openError == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notCreated;
    }
    return writeStraight(file, bytes, target.folder.get());
  }
  if (!writeImage(temporary.descriptor(), bytes, true) || !syncFile(temporary.descriptor())) {
    return ReplaceResult::notWritten;
  }
  return temporary.linkAsNew(target.entry);
}

// A symbolic link that leads nowhere: the kernel follows it, under the system's protections, and
// creates the file it names. A link refuses O_EXCL, so a file that appeared there meanwhile would
// open instead: only an empty one, which loses nothing, is written. Until the file is whole, a
// failure or a signal removes it again.
ReplaceResult createThroughLink(const std::string& fileName, const SaveBytes& bytes) {
  Descriptor file;
  Target where;
  bool known = false;
  {
    // From the file's making until the handler knows it, a signal waits: it would leave the new,
    // empty file at the name and say that the name holds what it held.
    const HeldSignals hold(heldDuringSave);
    file = Descriptor(
        open(fileName.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (!file) {
      return ReplaceResult::notCreated;
    }
    clearNonBlocking(file.get());
    struct stat made {};
    if (fstat(file.get(), &made) != 0 || !S_ISREG(made.st_mode) || made.st_size != 0) {
      return ReplaceResult::nameTaken;
    }
    lookAtFolder(where, pathOf(file.get(), fileName));
    struct stat atEntry {};
    known = where.folder &&
            fstatat(where.folder.get(), where.entry.c_str(), &atEntry, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(atEntry, made);
    if (known) {
      recordPending(where.folder.get(), where.entry.c_str());
    } else {
      // Where the file cannot be named again, a signal leaves what was written.
      nameHolds.store(NameHolds::partOfNewFile);
    }
  }
  const bool written = writeImage(file.get(), bytes, true) && syncFile(file.get()) &&
                       file.closeNow() && (!where.folder || syncFolder(where.folder.get()));
  const HeldSignals hold(heldDuringSave);
  if (known && !written) {
    unlinkat(where.folder.get(), where.entry.c_str(), 0);
  }
  forgetPending();
  if (written) {
    nameHolds.store(NameHolds::newFile);
  }
  return written ? ReplaceResult::replaced : ReplaceResult::notWritten;
}

// A regular file with one link: a new file beside it, with its mode, owner and group, renamed
// over it once whole.
ReplaceResult replaceByRename(const std::string& fileName, const Target& target,
                              const SaveBytes& bytes) {
  Temporary temporary(target.folder.get());
  if (!temporary.create(true, 0600)) {
    // No space, no inodes, a race: writing in place now is what would destroy the old file.
    return ReplaceResult::notCreated;
  }
  const struct stat& old = target.file;
  // The owner first: a change of owner clears set-user-ID and set-group-ID bits, which the mode
  // then sets again where the process may. A user who may not give the file away may still give
  // it the old group; with neither, the new file is the process's own, like a file it creates.
  if (fchown(temporary.descriptor(), old.st_uid, old.st_gid) != 0) {
    static_cast<void>(fchown(temporary.descriptor(), static_cast<uid_t>(-1), old.st_gid));
  }
  // A file system that cannot take the mode, or the old file's access list and attributes,
  // gets the file written in place, mode and all.
  if (fchmod(temporary.descriptor(), old.st_mode & 07777) != 0 ||
      !copyAttributes(target.folder.get(), target.entry, target.file, temporary.descriptor())) {
    temporary.discard();
    return writeInPlace(fileName, old, bytes);
  }
  if (!writeImage(temporary.descriptor(), bytes, true) || !syncFile(temporary.descriptor())) {
    return ReplaceResult::notWritten;
  }
  bool renameRefused = false;
  const ReplaceResult result = temporary.replace(target.entry, old, renameRefused);
  if (renameRefused) {
    temporary.discard();
    return writeInPlace(fileName, old, bytes);
  }
  return result;
}

ReplaceResult replaceWith(const std::string& fileName, const SaveBytes& bytes,
                          const NameState& expected) {
  const SaveSignals signals;
  const Target target = lookAt(fileName, expected);
  switch (chooseWay(target)) {
  case Way::nameTaken:
    return ReplaceResult::nameTaken;
  case Way::notCreated:
    return ReplaceResult::notCreated;
  case Way::createNew:
    return createNew(target, bytes);
  case Way::createThroughLink:
    return createThroughLink(fileName, bytes);
  case Way::rename:
    return replaceByRename(fileName, target, bytes);
  case Way::inPlace:
    break;
  }
  return writeInPlace(fileName, target.file, bytes);
}

} // namespace

ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes,
                          const NameState& expected) {
  return replaceWith(fileName, SaveBytes{bytes}, expected);
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image,
                          const NameState& expected) {
  return replaceWith(fileName, SaveBytes{{image.bytes(), image.size()}, &image}, expected);
}

ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
  return replaceFile(fileName, bytes, lookAtName(fileName));
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image) {
  return replaceFile(fileName, image, lookAtName(fileName));
}

bool replaceLooksPossible(const std::string& fileName) {
  struct stat old {};
  if (stat(fileName.c_str(), &old) == 0) {
    // A named pipe is not opened to see whether a reader is there: that would be a write to it.
    return !S_ISDIR(old.st_mode) && faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  }
  if (errno != ENOENT) {
    return false;
  }
  // A symbolic link that leads nowhere has its file made in the folder it leads to.
  const Descriptor folder = openFolder(folderOf(whereNameLeads(fileName)));
  return folder && folderMayBeWritten(folder.get());
}

} // namespace tilegraft
