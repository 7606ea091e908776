#include "platform/file_writer.h"
#include "platform/files.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <string_view>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>
#if TILEGRAFT_LINUX_CALLS
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

namespace tilegraft {

namespace {

// Every signal whose default action ends the process and that a handler can catch, besides the
// real-time ones (added while a save runs). A debugger's breakpoint trap is left alone.
constexpr int standardSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGABRT, SIGBUS,  SIGFPE,    SIGSEGV, SIGUSR1,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#if defined(SIGPOLL) && SIGPOLL != SIGIO
    SIGPOLL,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
constexpr std::size_t standardSignalCount = std::size(standardSignals);
// The standard ones and the whole real-time range, which no system makes larger than this.
constexpr std::size_t maxCleanedSignals = standardSignalCount + 64;

// The file that a signal removes before it ends the process: a temporary, or a new file made
// through a symbolic link, named relative to its folder.
char pendingName[NAME_MAX + 1];
std::atomic<int> pendingFolder{-1};
std::atomic<bool> pendingNamed{false};
// What the name holds if a signal ends the save now, for the line the handler writes. It only
// moves on from `before` inside a held stretch, together with the change it tells of.
enum class NameHolds : int { before, newFile, partOfNewFile };
std::atomic<NameHolds> nameHolds{NameHolds::before};
constexpr std::string_view endedBefore = "**** Stopped by a signal while saving: the file was not "
                                         "written; its name holds what it held before.\n";
constexpr std::string_view endedAfter =
    "**** Stopped by a signal at the end of a save: the file was written whole.\n";
constexpr std::string_view endedPart =
    "**** Stopped by a signal while saving: only part of the file was written.\n";
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<NameHolds>::is_always_lock_free,
              "read by a signal handler");

// What one save changed in the signals' dispositions, and the set that it holds back while a name
// and the handler's record of it change together, and while it writes in place. Written only
// while no handler of ours is installed.
struct CleanedSignal {
  int number = 0;
  struct sigaction previous {};
  bool replaced = false;
};
CleanedSignal cleanedSignals[maxCleanedSignals];
std::size_t cleanedSignalCount = 0;
sigset_t heldDuringSave;

// A file-size limit and a pipe without a reader signal the writing process itself; the write then
// fails with its own error, which the save reports. The same signals sent by another process end
// the run as any other.
bool sentFromOutside(const siginfo_t* info) {
  if (info == nullptr) {
    return true;
  }
  const bool sentByKill = info->si_code == SI_USER || info->si_code == SI_QUEUE
#ifdef SI_TKILL
                          || info->si_code == SI_TKILL
#endif
      ;
  return sentByKill && info->si_pid != getpid();
}

// Only async-signal-safe calls.
void removePendingAndResignal(int signalNumber, siginfo_t* info, void* /*context*/) {
  if ((signalNumber == SIGXFSZ || signalNumber == SIGPIPE) && !sentFromOutside(info)) {
    return;
  }
  if (pendingNamed.load()) {
    unlinkat(pendingFolder.load(), pendingName, 0);
  }
  const NameHolds holds = nameHolds.load();
  const std::string_view line = holds == NameHolds::before    ? endedBefore
                                : holds == NameHolds::newFile ? endedAfter
                                                              : endedPart;
  // Nothing to do if standard error is gone: the process ends either way.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signalNumber, &byDefault, nullptr);
  // Blocked while its handler runs, the signal is delivered again, by default, on the way out.
  raise(signalNumber);
}

// Called with heldDuringSave held. The name is at most NAME_MAX long: one entry of a folder.
void recordPending(int folder, const char* name) {
  std::snprintf(pendingName, sizeof pendingName, "%s", name);
  pendingFolder.store(folder);
  pendingNamed.store(true);
}
void forgetPending() { pendingNamed.store(false); }

// The handlers for the length of one save; the ones found before come back afterwards. Only a
// signal that would have ended the process is taken over: one the tool was started to ignore
// (nohup), or one a host program or the file images' lease machinery handles, is left as it was.
class SaveSignals {
public:
  SaveSignals() {
    nameHolds.store(NameHolds::before);
    cleanedSignalCount = 0;
    for (const int signalNumber : standardSignals) {
      cleanedSignals[cleanedSignalCount++].number = signalNumber;
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signalNumber = SIGRTMIN;
         signalNumber <= SIGRTMAX && cleanedSignalCount < maxCleanedSignals; ++signalNumber) {
      cleanedSignals[cleanedSignalCount++].number = signalNumber;
    }
#endif
    // The standard signals are held back whatever their disposition; a real-time one only when
    // it is ours, as another's handler (the lease machinery's) must run when its signal comes.
    sigemptyset(&heldDuringSave);
    for (const int signalNumber : standardSignals) {
      sigaddset(&heldDuringSave, signalNumber);
    }
    const HeldSignals hold(heldDuringSave);
    struct sigaction action {};
    action.sa_sigaction = removePendingAndResignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
      CleanedSignal& cleaned = cleanedSignals[i];
      sigaction(cleaned.number, nullptr, &cleaned.previous);
      cleaned.replaced =
          (cleaned.previous.sa_flags & SA_SIGINFO) == 0 && cleaned.previous.sa_handler == SIG_DFL;
      if (cleaned.replaced) {
        sigaddset(&heldDuringSave, cleaned.number);
      }
    }
    action.sa_mask = heldDuringSave;
    const HeldSignals holdAll(heldDuringSave);
    for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
      if (cleanedSignals[i].replaced) {
        sigaction(cleanedSignals[i].number, &action, nullptr);
      }
    }
  }
  ~SaveSignals() {
    const HeldSignals hold(heldDuringSave);
    for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
      if (cleanedSignals[i].replaced) {
        sigaction(cleanedSignals[i].number, &cleanedSignals[i].previous, nullptr);
      }
    }
  }
  SaveSignals(const SaveSignals&) = delete;
  SaveSignals& operator=(const SaveSignals&) = delete;
};

// The folder part of a path with its final slash ("a/b/" for "a/b/c"), empty for a bare name.
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The name under /proc by which the kernel reaches the file a descriptor holds, whatever its
// names are now.
std::string descriptorPath(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

// What a file created with mode 0666 gets. The mask can only be read by setting it; the tool has
// one thread and creates nothing in between.
mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

// Fills a new, empty file.
bool writeNew(int descriptor, const SaveBytes& bytes) {
  return writeImage(descriptor, bytes, false);
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
  // overwrite takes new blocks, writeBesideAndClone takes them before an old byte changes.
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

#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE) && defined(FICLONERANGE)
// Where every overwrite takes new blocks, the new bytes are written past the file's end first,
// into blocks reserved there for them, and then cloned over the old ones (a change of the file's
// map of blocks, not a write of its bytes); the stretch past the end is cut off last. A disk too
// full for the new bytes fails while the old file is whole. nullopt, with the file as it was,
// where the file system clones no blocks.
std::optional<bool> writeBesideAndClone(int descriptor, const SaveBytes& bytes,
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
  // A clone reads its source: the same file, opened again to read, where the process may.
  const Descriptor source(
      open(descriptorPath(descriptor).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!source) {
    return std::nullopt;
  }
  const auto restore = [&] { return ftruncate(descriptor, old.st_size) == 0; };
  if (!allocate(descriptor, FALLOC_FL_KEEP_SIZE, beside, newLength)) {
    const bool unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
    restore();
    return unsupported ? std::nullopt : std::optional<bool>(false);
  }
  if (lseek(descriptor, beside, SEEK_SET) != beside || !writeImage(descriptor, bytes, false)) {
    restore();
    return false;
  }
  // Clones take whole blocks; the last part block is written in place.
  const off_t block = old.st_blksize > 0 ? static_cast<off_t>(old.st_blksize) : 4096;
  const off_t whole = newLength / block * block;
  struct file_clone_range range {};
  range.src_fd = source.get();
  range.src_offset = static_cast<std::uint64_t>(beside);
  range.src_length = static_cast<std::uint64_t>(whole);
  if (whole > 0 && ioctl(descriptor, FICLONERANGE, &range) != 0) {
    const bool unsupported =
        errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL || errno == EXDEV;
    if (!restore() || !unsupported) {
      return false;
    }
    return std::nullopt;
  }
  return writeAll(descriptor, bytes, static_cast<std::size_t>(whole), bytes.size(), true) &&
         ftruncate(descriptor, newLength) == 0;
}
#endif

// Writes the bytes into a file that already stands at the name, from its position, with no way
// back: a signal meanwhile leaves the part written. A new, empty file may share the image's
// blocks; a pipe or a device is only written.
ReplaceResult writeStraight(Descriptor& file, const SaveBytes& bytes, bool newFile) {
  nameHolds.store(NameHolds::partOfNewFile);
  const bool written = newFile ? writeNew(file.get(), bytes) : writeImage(file.get(), bytes, false);
  if (!written || !file.closeNow()) {
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
    return writeStraight(file, bytes, false);
  }
  // Another save of the same file waits here for this one to finish. A file system without
  // locks (some network disks) is written unlocked, as before.
  int locked = 0;
  do {
    locked = flock(file.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (!reserve(file.get(), bytes.size(), status.st_size)) {
    return ReplaceResult::notWritten;
  }
  bool written = false;
  {
    const HeldSignals hold(heldDuringSave);
    std::optional<bool> cloned;
#if TILEGRAFT_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE) && defined(FICLONERANGE)
    if (status.st_size > 0 && overwritesAllocate(file.get())) {
      cloned = writeBesideAndClone(file.get(), bytes, status);
    }
#endif
    written = cloned ? *cloned
                     : writeImage(file.get(), bytes, true) &&
                           ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0;
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

// Where the system has them, a file without a name that the last step links into the folder.
#if TILEGRAFT_LINUX_CALLS && defined(O_TMPFILE)
constexpr bool unnamedFilesExist = true;
#else
constexpr bool unnamedFilesExist = false;
#endif

// Renames within the folder without replacing anything: fails with EEXIST when the new name is
// taken. Where renames cannot refuse, the file takes the second name and then loses the first.
bool renameNoReplace(int folder, const char* from, const char* to) {
#if TILEGRAFT_LINUX_CALLS && defined(RENAME_NOREPLACE)
  if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    return false;
  }
#endif
  if (linkat(folder, from, folder, to, 0) != 0) {
    return false;
  }
  unlinkat(folder, from, 0);
  return true;
}

// The new file beside the old one. Its name, once it has one, is short (so it fits whatever
// the target's name and path) and relative to the folder's descriptor (so a rename of the folder
// or a long path changes nothing).
class Temporary {
public:
  explicit Temporary(int folderDescriptor) : folder(folderDescriptor) {}
  ~Temporary() { discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // False when no file could be made: no space, no inodes, the folder refused, or only a named
  // file could be made and mayBeNamed is false.
  bool create(bool mayBeNamed) {
    if (unnamedFilesExist && unnamedFilesForTesting && unnamedFilesCanBeLinked()) {
#if TILEGRAFT_LINUX_CALLS && defined(O_TMPFILE)
      file = Descriptor(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
      if (file) {
        return true;
      }
      // A file system without unnamed files says so in one of these ways; others are real.
      const bool noUnnamedFilesHere =
          errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT;
      if (!noUnnamedFilesHere) {
        return false;
      }
#endif
    }
    return mayBeNamed && takeFreshName([this] {
             file = Descriptor(
                 openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600));
             return static_cast<bool>(file);
           });
  }

  int descriptor() const { return file.get(); }

  // Gives the finished file the new name, which must still be free: nameTaken when it is not.
  ReplaceResult linkAsNew(const std::string& entry) {
    if (!named) {
      {
        const HeldSignals hold(heldDuringSave);
        if (!linkUnnamed(entry.c_str())) {
          return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notWritten;
        }
        nameHolds.store(NameHolds::newFile);
      }
      return file.closeNow() ? ReplaceResult::replaced : ReplaceResult::notWritten;
    }
    if (!file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    const HeldSignals hold(heldDuringSave);
    if (!renameNoReplace(folder, name, entry.c_str())) {
      return errno == EEXIST ? ReplaceResult::nameTaken : ReplaceResult::notWritten;
    }
    forgetName();
    nameHolds.store(NameHolds::newFile);
    return ReplaceResult::replaced;
  }

  // Renames the finished file over the entry, which must still be the file seen there: nameTaken
  // when another has taken its place. (One that does so in the instant between that look and the
  // rename is replaced: no call renames over one given file only.) renameRefused tells a file
  // that cannot be renamed over but may be written in place.
  ReplaceResult replace(const std::string& entry, const struct stat& seen, bool& renameRefused) {
    renameRefused = false;
    const HeldSignals hold(heldDuringSave);
    // An unnamed file takes its temporary name here, in the same held stretch as the rename: a
    // kill that cannot be caught leaves that name only if it lands between the two calls.
    if (!named && !takeFreshName([this] { return linkUnnamed(name); })) {
      return ReplaceResult::notWritten;
    }
    if (!file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    struct stat now {};
    if (fstatat(folder, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, seen)) {
      return ReplaceResult::nameTaken;
    }
    if (renameat(folder, name, folder, entry.c_str()) != 0) {
      // A file that is a mount point of its own (as containers mount single files) cannot be
      // renamed over; it can still be written in place.
      renameRefused = errno == EBUSY;
      return ReplaceResult::notWritten;
    }
    forgetName();
    nameHolds.store(NameHolds::newFile);
    return ReplaceResult::replaced;
  }

  void discard() noexcept {
    file.closeNow();
    if (named) {
      const HeldSignals hold(heldDuringSave);
      unlinkat(folder, name, 0);
      forgetName();
    }
  }

private:
  // Linking an unnamed file by its descriptor alone takes a privilege; through /proc it does not.
  static bool unnamedFilesCanBeLinked() {
    return access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
  }

  // Links the unnamed file under the name, which must be free (EEXIST otherwise).
  bool linkUnnamed(const char* as) {
    if (linkat(AT_FDCWD, descriptorPath(file.get()).c_str(), folder, as, AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
#ifdef AT_EMPTY_PATH
    return errno == ENOENT && linkat(file.get(), "", folder, as, AT_EMPTY_PATH) == 0;
#else
    return false;
#endif
  }

  // Gives the file the first free short name that makeFile accepts (it creates or links the
  // name in the member, and fails with EEXIST when the name is taken). False on other failures.
  template <typename MakeFile> bool takeFreshName(MakeFile makeFile) {
    constexpr int nameAttempts = 100;
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
      const HeldSignals hold(heldDuringSave);
      chooseName(attempt);
      if (makeFile()) {
        named = true;
        recordPending(folder, name);
        return true;
      }
      if (errno != EEXIST) {
        return false;
      }
    }
    return false;
  }

  // ".tilegraft-" and eight hexadecimal digits that differ between processes and attempts.
  void chooseName(int attempt) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto mixed = static_cast<unsigned long>(now.tv_nsec) ^
                       static_cast<unsigned long>(getpid()) << 12U ^
                       static_cast<unsigned long>(attempt) * 2654435761UL;
    std::snprintf(name, sizeof name, ".tilegraft-%08lx", mixed & 0xFFFFFFFFUL);
  }

  void forgetName() {
    forgetPending();
    named = false;
  }

  int folder;
  Descriptor file;
  char name[32] = {};
  bool named = false;
};

// Opens the folder that a name lives in, for lookups relative to it.
Descriptor openFolder(const std::string& folderPath) {
  const char* path = folderPath.empty() ? "." : folderPath.c_str();
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
  const std::string folderPath = folderOf(path);
  target.entry = path.substr(folderPath.size());
  target.folder = openFolder(folderPath);
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
  if (!temporary.create(!target.appendOnly)) {
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
    return writeStraight(file, bytes, true);
  }
  if (fchmod(temporary.descriptor(), newFileMode()) != 0 ||
      !writeNew(temporary.descriptor(), bytes)) {
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
  const bool written = writeNew(file.get(), bytes) && file.closeNow();
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

#if TILEGRAFT_LINUX_CALLS
// The names of a file's extended attributes, each ended by a NUL; nullopt where they cannot be
// listed. The path is one of /proc's, of a descriptor.
std::optional<std::vector<char>> attributeNames(const char* path) {
  for (;;) {
    const ssize_t size = listxattr(path, nullptr, 0);
    if (size < 0) {
      return errno == EOPNOTSUPP ? std::optional<std::vector<char>>(std::vector<char>())
                                 : std::nullopt;
    }
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = listxattr(path, names.data(), names.size());
    if (listed >= 0) {
      names.resize(static_cast<std::size_t>(listed));
      return names;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
}

std::optional<std::vector<char>> attributeValue(const char* path, const char* name) {
  for (;;) {
    const ssize_t size = getxattr(path, name, nullptr, 0);
    if (size < 0) {
      return std::nullopt;
    }
    std::vector<char> value(static_cast<std::size_t>(size));
    const ssize_t read = getxattr(path, name, value.data(), value.size());
    if (read >= 0) {
      value.resize(static_cast<std::size_t>(read));
      return value;
    }
    if (errno != ERANGE) {
      return std::nullopt;
    }
  }
}

constexpr const char* accessList = "system.posix_acl_access";

// Gives the new file the old one's access list and extended attributes, so that a save by rename
// neither widens nor narrows who may use the file (the mode's group bits are the list's mask, not
// the group's rights). False where one that bears on that could not be copied: the file is then
// written in place. A security module's labels (security.*) and what only the system may set
// (trusted.*) are copied where the process may, and otherwise left as the new file has them.
bool copyAttributes(const Target& target, int to) {
  const Descriptor old(
      openat(target.folder.get(), target.entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!old || fstat(old.get(), &status) != 0 || !sameFile(status, target.file)) {
    return false;
  }
  const std::string oldPath = descriptorPath(old.get());
  const char* path = oldPath.c_str();
  const std::optional<std::vector<char>> names = attributeNames(path);
  if (!names) {
    return false;
  }
  bool listCopied = false;
  for (std::size_t at = 0; at < names->size();) {
    const char* name = names->data() + at;
    const std::string_view view(name);
    at += view.size() + 1;
    const bool bearsOnUse = !view.starts_with("security.") && !view.starts_with("trusted.");
    const std::optional<std::vector<char>> value = attributeValue(path, name);
    const bool copied = value && fsetxattr(to, name, value->data(), value->size(), 0) == 0;
    if (!copied && bearsOnUse) {
      return false;
    }
    listCopied = listCopied || (copied && view == accessList);
  }
  // A new file takes its folder's default list; a file that had none gets none.
  return listCopied || fremovexattr(to, accessList) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
}
#else
// Elsewhere each system keeps access lists and extended attributes its own way (macOS's and the
// BSDs' acl_get_fd, extattr_get_fd), and none is read here: a save by rename keeps the mode,
// owner and group only, and the documents say so. A list's extra rights are then lost, and so is
// a macOS deny entry; writing every file in place instead would give up whole-or-old saves for
// all files, which matters more than the rare list.
bool copyAttributes(const Target&, int) { return true; }
#endif

// A regular file with one link: a new file beside it, with its mode, owner and group, renamed
// over it once whole.
ReplaceResult replaceByRename(const std::string& fileName, const Target& target,
                              const SaveBytes& bytes) {
  Temporary temporary(target.folder.get());
  if (!temporary.create(true)) {
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
      !copyAttributes(target, temporary.descriptor())) {
    temporary.discard();
    return writeInPlace(fileName, old, bytes);
  }
  if (!writeNew(temporary.descriptor(), bytes)) {
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
