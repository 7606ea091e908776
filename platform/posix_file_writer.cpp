// Saves bytes under a name (file_writer.h) on POSIX systems: lookAt gathers what is at the name,
// replaceWith picks the route (and says what each leaves after a power cut), one function a route.
//
// The states of a save: where a temporary can be, what a signal finds, what a power cut leaves.
// 1. Looking: nothing is made; a signal says the name holds what it held, as a power cut leaves it.
// 2. Writing the new file: unnamed (O_TMPFILE) where the system can, else in the folder under a
//    short name (".tilegraft-" and 8 hex digits) that a signal removes; a power cut leaves the name
//    as it was (and maybe that temporary).
// 3. Synced, the new file takes the name: linked to a free name, or given its temporary name and
//    renamed over the old one in one held stretch (a signal waits, then says it was written whole).
//    A power cut leaves the old file or the new, each whole; the new once the folder is synced.
// 4. In place (several links, no rename): signals wait from the first byte to the last sync; a
//    power cut before the first sync leaves the file part new, part old.
// 5. At the name itself (through a link that leads nowhere, or in an append-only folder without
//    unnamed files): a signal removes a file made through a link, and leaves what an append-only
//    folder keeps, saying so.
// 6. Done, handlers put back: a signal that came meanwhile still gets its line.

#include "platform/file_writer.h"
#include "platform/posix_new_file.h"

#include <cstdlib>
#include <sys/resource.h>
#ifdef __linux__
#include <linux/magic.h>
#endif

namespace tilegraft {

namespace {

// Bytes in memory, or a file image, which sends what it still maps straight from its file.
struct SaveBytes {
  std::span<const std::uint8_t> memory;
  const FileImage* image = nullptr;
  std::size_t size() const { return memory.size(); }
};

// Positioned: at the offsets the bytes have in the image; else at the descriptor's position.
bool writeAll(int descriptor, const SaveBytes& bytes, std::size_t from, std::size_t to,
              bool positioned) {
  return bytes.image != nullptr ? bytes.image->writeTo(descriptor, from, to, positioned)
                                : writeAllAt(descriptor, bytes.memory.data() + from, to - from,
                                             positioned ? static_cast<off_t>(from) : -1);
}

// Writes the bytes with the tests' seam half way. A save to be synced starts the disk on each
// 32 MiB as it goes (more often costs calls where blocks are shared), so the sync waits for less.
bool writeImage(int descriptor, const SaveBytes& image, bool positioned) {
  const std::size_t half = image.size() / 2;
  for (std::size_t from = 0, to = 0; from < image.size(); from = to) {
    reach(from == half ? afterHalfWrittenForTesting : nullptr);
    to = std::min(from < half ? half : image.size(), from + (std::size_t{32} << 20));
    if (!writeAll(descriptor, image, from, to, positioned)) {
      return false;
    }
#if TILEGRAFT_LINUX_CALLS
    if (positioned && !bulkSaves) {
      static_cast<void>(sync_file_range(descriptor, static_cast<off_t>(from),
                                        static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE));
    }
#endif
  }
  return true;
}

bool withinSizeLimit(std::uint64_t length) {
  struct rlimit limit {};
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
         length <= limit.rlim_cur;
}

#if TILEGRAFT_LINUX_CALLS
bool allocate(int descriptor, int mode, off_t offset, off_t length) {
  return succeeds([&] { return fallocate(descriptor, mode, offset, length); });
}

// Where every overwrite takes new blocks, the new bytes go past the file's end first, synced, then
// are copied over the old ones by the kernel (sharing blocks, not a write), the end cut off last:
// a full disk fails while the old file is whole. nullopt, the file as it was, without room.
std::optional<bool> writeBesideAndMove(int descriptor, const SaveBytes& bytes,
                                       const struct stat& old) {
  const auto newLength = static_cast<off_t>(bytes.size());
  constexpr off_t besideAlignment = off_t{1} << 16;
  const off_t beside =
      (std::max(old.st_size, newLength) + besideAlignment - 1) / besideAlignment * besideAlignment;
  const Descriptor source(
      open(descriptorPath(descriptor).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!withinSizeLimit(static_cast<std::uint64_t>(beside) + bytes.size()) || !source) {
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
  const auto wholeCount = static_cast<std::size_t>(whole);
  const auto share = [&](std::size_t done) {
    return copy_file_range(source.get(), &from, descriptor, &to, wholeCount - done, 0);
  };
  return transferAll(wholeCount, share) &&
         writeAll(descriptor, bytes, static_cast<std::size_t>(whole), bytes.size(), true) &&
         syncFile(descriptor) && ftruncate(descriptor, newLength) == 0 && syncFile(descriptor);
}
#endif

// Reserves the new length's blocks, so a full disk or the size limit shows before an old byte
// changes; where the file system cannot reserve, or off Linux, the write goes ahead as it is.
bool reserve([[maybe_unused]] int descriptor, std::size_t length,
             [[maybe_unused]] off_t oldLength) {
  if (!withinSizeLimit(length)) {
    return false;
  }
#if TILEGRAFT_LINUX_CALLS
  const auto newLength = static_cast<off_t>(length);
  if (length > 0 && !allocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, newLength)) {
    return errno == EOPNOTSUPP || errno == ENOSYS;
  }
  // Blocks shared with another file (a reflink copy) are unshared, which reserves them too.
  const off_t overwritten = std::min(oldLength, newLength);
  if (overwritten > 0 && !allocate(descriptor, FALLOC_FL_UNSHARE_RANGE, 0, overwritten)) {
    return errno != ENOSPC && errno != EDQUOT;
  }
#endif
  return true;
}

// Writes into a file already at the name, with no way back: a signal leaves the part written.
ReplaceResult writeStraight(Descriptor& file, const SaveBytes& bytes, int newFileFolder) {
  nameHolds.store(NameHolds::partOfNewFile);
  const bool newFile = newFileFolder >= 0;
  const bool written =
      newFile ? writeImage(file.get(), bytes, true) && (bulkSaves || syncFile(file.get()))
              : writeImage(file.get(), bytes, false);
  if (!written || !file.closeNow() || (newFile && !bulkSaves && !syncFolder(newFileFolder))) {
    return ReplaceResult::notWritten;
  }
  const HeldSignals hold(heldDuringSave);
  nameHolds.store(NameHolds::newFile);
  return ReplaceResult::replaced;
}

// Writes over the file seen at the name (else nameTaken): locked, reserved, overwritten, cut to
// the new length, never emptied first; signals wait from the first write to the cut.
ReplaceResult writeInPlace(const std::string& fileName, const struct stat& seen,
                           const SaveBytes& bytes) {
  // O_NONBLOCK: a named pipe without a reader fails at once (ENXIO) instead of waiting.
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  Descriptor file(open(fileName.c_str(), flags | O_NONBLOCK));
  // Under a read lease the open has asked the holder to let go: this process's own mapped image
  // has by the time it returns; another program may take the lease-break time, and we say so.
  if (!file && errno == EWOULDBLOCK) {
    file = Descriptor(open(fileName.c_str(), flags | O_NONBLOCK));
  }
  if (!file && errno == EWOULDBLOCK) {
    std::fflush(stdout);
    std::fprintf(stderr, "Waiting for another program to release its lease on %s...\n",
                 fileName.c_str());
    file = Descriptor(open(fileName.c_str(), flags));
  }
  if (!file) {
    return errno == ENOENT ? ReplaceResult::nameTaken : ReplaceResult::notCreated;
  }
  clearNonBlocking(file.get());
  struct stat status {};
  if (fstat(file.get(), &status) != 0) {
    return ReplaceResult::notWritten;
  }
  // A device may open as another file (/dev/tty, /dev/ptmx): only a regular one must be the same.
  if (!sameFile(status, seen) && (S_ISREG(status.st_mode) || S_ISREG(seen.st_mode))) {
    return ReplaceResult::nameTaken;
  }
  if (!S_ISREG(status.st_mode)) {
    return writeStraight(file, bytes, -1);
  }
  // Another save of the file waits here; a file system without locks is written unlocked.
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
#if TILEGRAFT_LINUX_CALLS
    // Where overwrites take new blocks (Btrfs, bcachefs, ZFS, NILFS, F2FS), old ones reserve none.
    if (status.st_size > 0 && onFileSystem(file.get(), {0x9123683EUL, 0xCA451A4EUL, 0x2FC12FC1UL,
                                                        0x3434UL, 0xF2F52010UL})) {
      moved = writeBesideAndMove(file.get(), bytes, status);
    }
#endif
    written = moved ? *moved
                    : writeImage(file.get(), bytes, true) && syncFile(file.get()) &&
                          ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0 &&
                          syncFile(file.get());
    nameHolds.store(written ? NameHolds::newFile : NameHolds::partOfNewFile);
  }
  return written && file.closeNow() ? ReplaceResult::replaced : ReplaceResult::notWritten;
}

// In a sticky folder (/tmp) only the file's or the folder's owner may rename over a file.
bool renameMayReplace(const struct stat& folder, const struct stat& old) {
  const uid_t user = geteuid();
  return (folder.st_mode & S_ISVTX) == 0 || old.st_uid == user || folder.st_uid == user;
}

// A folder that keeps every name it has (append-only): a temporary name could never go again.
bool keepsEveryName([[maybe_unused]] int folder) {
#if TILEGRAFT_LINUX_CALLS && defined(STATX_ATTR_APPEND)
  struct statx status {};
  return statx(folder, "", AT_EMPTY_PATH, 0, &status) == 0 &&
         (status.stx_attributes & STATX_ATTR_APPEND) != 0;
#elif defined(UF_APPEND) && defined(SF_APPEND)
  struct stat status {};
  return fstat(folder, &status) == 0 && (status.st_flags & (UF_APPEND | SF_APPEND)) != 0;
#else
  return false;
#endif
}

Descriptor openFolder(const std::string& path) {
  Descriptor folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#ifdef O_PATH
  if (!folder) { // one that may be written and searched but not listed
    folder = Descriptor(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
#endif
  return folder;
}

bool folderMayBeWritten(int folder) { return faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) == 0; }

// Where the name's file is (the kernel's word, else realpath's), or empty; to be checked.
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

// What is at the name, gathered once before anything is written.
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

// Looks at the folder of path, and whether its entry there is file (when given).
void lookAtFolder(Target& target, const std::string& path, const struct stat* file = nullptr) {
  target.entry = entryOf(path);
  target.folder = openFolder(folderOf(path));
  if (target.folder && fstat(target.folder.get(), &target.folderStatus) == 0) {
    target.folderWritable = folderMayBeWritten(target.folder.get());
    target.appendOnly = keepsEveryName(target.folder.get());
  }
  struct stat atEntry {};
  target.entryIsFile =
      file != nullptr && target.folder &&
      fstatat(target.folder.get(), target.entry.c_str(), &atEntry, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(atEntry, *file);
}

// Links are followed by the kernel only (fs.protected_symlinks); a free name's folder by path.
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
                          stateOf(atName) == expected;
    target.changed = !target.danglingLink;
    return target;
  }
  target.changed = stateOf(target.file) != expected;
  target.fileWritable = faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  // A link's file is looked for where the kernel says; another by the path as given (however long).
  const bool link = lstat(fileName.c_str(), &atName) == 0 && S_ISLNK(atName.st_mode);
  const std::string path = link ? pathOf(found.get(), fileName) : fileName;
  if (!target.changed && !path.empty()) {
    lookAtFolder(target, path, &target.file);
  }
  return target;
}

// A new name: a new file with the rights open(2) gives there, linked only while the name is free.
ReplaceResult createNew(const Target& target, const SaveBytes& bytes) {
  Temporary temporary(target.folder.get());
  // A folder that keeps every name gets the file under its own name, kept if a write fails.
  if (!temporary.create(!target.appendOnly, 0666)) {
    if (!target.appendOnly) {
      return ReplaceResult::notCreated;
    }
    Descriptor file;
    {
      const HeldSignals hold(heldDuringSave); // the name and the signal's line change together
      file =
          Descriptor(openat(target.folder.get(), target.entry.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
      if (!file) {
        return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notCreated;
      }
      nameHolds.store(NameHolds::partOfNewFile);
    }
    return writeStraight(file, bytes, target.folder.get());
  }
  if (!writeImage(temporary.descriptor(), bytes, true) ||
      !(bulkSaves || syncFile(temporary.descriptor()))) {
    return ReplaceResult::notWritten;
  }
  return temporary.linkAsNew(target.entry);
}

// A link that leads nowhere: the kernel creates the file it names. A link refuses O_EXCL, so only
// an empty file found there meanwhile, which loses nothing, is written. Until it is whole, a
// failure or a signal removes it again.
ReplaceResult createThroughLink(const std::string& fileName, const SaveBytes& bytes) {
  Descriptor file;
  Target where;
  {
    // Until the handler knows the new file, a signal waits: it would leave it and say otherwise.
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
    lookAtFolder(where, pathOf(file.get(), fileName), &made);
    if (where.entryIsFile) {
      recordPending(where.folder.get(), where.entry.c_str());
    } else {
      // Where the file cannot be named again, a signal leaves what was written.
      nameHolds.store(NameHolds::partOfNewFile);
    }
  }
  const bool written = writeImage(file.get(), bytes, true) && (bulkSaves || syncFile(file.get())) &&
                       file.closeNow() &&
                       (bulkSaves || !where.folder || syncFolder(where.folder.get()));
  const HeldSignals hold(heldDuringSave);
  if (where.entryIsFile && !written) {
    unlinkat(where.folder.get(), where.entry.c_str(), 0);
  }
  forgetPending();
  if (written) {
    nameHolds.store(NameHolds::newFile);
  }
  return written ? ReplaceResult::replaced : ReplaceResult::notWritten;
}

// A regular file with one link: a new file with its mode, owner and more, renamed over it.
ReplaceResult replaceByRename(const std::string& fileName, const Target& target,
                              const SaveBytes& bytes) {
  Temporary temporary(target.folder.get());
  if (!temporary.create(true, 0600)) {
    // No space, no inodes, a race: writing in place now would destroy the old file.
    return ReplaceResult::notCreated;
  }
  const struct stat& old = target.file;
  // The owner first (its change clears set-ID bits), else at least the group.
  if (fchown(temporary.descriptor(), old.st_uid, old.st_gid) != 0) {
    static_cast<void>(fchown(temporary.descriptor(), static_cast<uid_t>(-1), old.st_gid));
  }
  // A file system that cannot take the mode, access list or attributes: written in place.
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

// Each route syncs all it wrote before "Done."; what it leaves if the machine stops at each step:
// - createNew: the new file is written (unnamed, or under a temporary name), synced, linked under
//   the free name, the folder synced. Until the link the name stays free; after, the file whole.
// - replaceByRename: the same, renamed over the old file. Until the rename reaches the disk the
//   name holds the old file, after it the new one whole: never bytes not yet on the disk.
// - createThroughLink: the file a link names is made, written, synced, its folder synced. A stop
//   before the file's sync can leave it empty or part written where nothing was.
// - writeInPlace: overwritten, synced, cut, synced. A stop while it writes leaves it part new,
//   part old; after the first sync the new bytes whole (and an old tail); after the second, new.
// With bulkSaves a new name's syncs and the folder's are skipped: a stop may leave a new name free
// or its file empty, a replaced one the old file; the syncs that keep an old file whole stay.
// The routes follow replaceFile's contract, in its order.
ReplaceResult replaceWith(const std::string& fileName, const SaveBytes& bytes,
                          const NameState& expected) {
  const SaveSignals signals;
  const Target target = lookAt(fileName, expected);
  if (target.changed || target.unreachable || (target.free && !target.folderWritable)) {
    return target.changed ? ReplaceResult::nameTaken : ReplaceResult::notCreated;
  }
  if (target.free) {
    return createNew(target, bytes);
  }
  if (target.danglingLink) {
    return createThroughLink(fileName, bytes);
  }
  const bool renamable = S_ISREG(target.file.st_mode) && target.file.st_nlink == 1 &&
                         target.fileWritable && target.entryIsFile && target.folderWritable &&
                         renameMayReplace(target.folderStatus, target.file) && !target.appendOnly;
  return renamable ? replaceByRename(fileName, target, bytes)
                   : writeInPlace(fileName, target.file, bytes);
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

bool replaceLooksPossible(const std::string& fileName) {
  struct stat old {};
  if (stat(fileName.c_str(), &old) == 0) {
    // A named pipe is not opened to see whether a reader is there: that would be a write to it.
    return !S_ISDIR(old.st_mode) && faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  }
  if (errno != ENOENT) {
    return false;
  }
  // A dangling link's file is made where it leads. A file system showing the kernel's state
  // (proc, sysfs, cgroups, debugfs, securityfs) makes no new files, whatever the rights say.
  const Descriptor folder = openFolder(folderOf(whereNameLeads(fileName)));
  return folder && folderMayBeWritten(folder.get())
#ifdef __linux__
         && !onFileSystem(folder.get(), {PROC_SUPER_MAGIC, SYSFS_MAGIC, CGROUP_SUPER_MAGIC,
                                         CGROUP2_SUPER_MAGIC, DEBUGFS_MAGIC, SECURITYFS_MAGIC})
#endif
      ;
}

} // namespace tilegraft
