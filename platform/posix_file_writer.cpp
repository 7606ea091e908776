#include "platform/file_writer.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace tilegraft {

namespace {

// Every signal whose default action ends the process and that a handler can catch. A debugger's
// breakpoint trap is left alone.
constexpr int cleanedSignals[] = {
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
constexpr std::size_t cleanedSignalCount = std::size(cleanedSignals);

// The named temporary file that the handler removes: its name relative to its folder.
constexpr std::size_t temporaryNameSize = 32;
char pendingName[temporaryNameSize];
std::atomic<int> pendingFolder{-1};
std::atomic<bool> pendingNamed{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read by a signal handler");

struct sigaction previousActions[cleanedSignalCount];
bool replacedAction[cleanedSignalCount];

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
void removeTemporaryAndResignal(int signalNumber, siginfo_t* info, void* /*context*/) {
  if ((signalNumber == SIGXFSZ || signalNumber == SIGPIPE) && !sentFromOutside(info)) {
    return;
  }
  if (pendingNamed.load()) {
    unlinkat(pendingFolder.load(), pendingName, 0);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signalNumber, &byDefault, nullptr);
  // Blocked while its handler runs, the signal is delivered again, by default, on the way out.
  raise(signalNumber);
}

// Holds the signals back for its lifetime, so that a temporary name and the handler's record of
// it come and go together. A signal that arrives meanwhile is delivered when the block ends.
class SignalBlock {
public:
  SignalBlock() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signalNumber : cleanedSignals) {
      sigaddset(&blocked, signalNumber);
    }
    sigprocmask(SIG_BLOCK, &blocked, &previousMask);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &previousMask, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

private:
  sigset_t previousMask{};
};

// The handlers for the length of one save; the ones found before come back afterwards.
class SaveSignals {
public:
  SaveSignals() {
    struct sigaction action {};
    action.sa_sigaction = removeTemporaryAndResignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : cleanedSignals) {
      sigaddset(&action.sa_mask, signalNumber);
    }
    const SignalBlock block;
    for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
      sigaction(cleanedSignals[i], nullptr, &previousActions[i]);
      // Only a signal that would have ended the process is taken over: one the tool was started
      // to ignore (nohup), or one a host program handles (a test harness's timer), is left as
      // it was.
      replacedAction[i] = (previousActions[i].sa_flags & SA_SIGINFO) == 0 &&
                          previousActions[i].sa_handler == SIG_DFL;
      if (replacedAction[i]) {
        sigaction(cleanedSignals[i], &action, nullptr);
      }
    }
  }
  ~SaveSignals() {
    const SignalBlock block;
    for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
      if (replacedAction[i]) {
        sigaction(cleanedSignals[i], &previousActions[i], nullptr);
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

// Follows symbolic links at the end of the path to the name that a rename must replace; a link
// that leads nowhere gives the name it would create. Links in the folders above stay as written,
// as the same folder is reached through them. Gives up after as many links as the system follows.
std::string finalTarget(std::string path) {
  constexpr int maxLinks = 40;
  for (int link = 0; link < maxLinks; ++link) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      return path;
    }
    const std::optional<std::string> text = readLink(path);
    if (!text || text->empty()) {
      return path;
    }
    path = text->front() == '/' ? *text : folderOf(path) + *text;
  }
  return path;
}

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

// Asks the file system for the blocks of the whole new length without changing the file, so that
// a full disk or a file-size limit shows before the first old byte is overwritten. Where the file
// system cannot reserve, the write goes ahead as it is.
bool reserve(int descriptor, std::size_t length) {
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
  int result = 0;
  do {
    result = fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
#else
  // No reservation that leaves the length alone (macOS's F_PREALLOCATE would serve; not yet).
  static_cast<void>(descriptor);
  return true;
#endif
}

// Writes over the file at the name. A regular file is locked, reserved, overwritten from its
// start and then cut to the new length; it is never emptied first.
ReplaceResult writeInPlace(const std::string& fileName, const SaveBytes& bytes) {
  // O_NONBLOCK: a named pipe without a reader fails at once (ENXIO) instead of waiting.
  Descriptor file(
      open(fileName.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  // A regular file under a read lease (this process's own mapped image of it, or another
  // program's): the open has asked the holder to let go, and now waits for it to.
  if (!file && errno == EWOULDBLOCK) {
    file = Descriptor(open(fileName.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  }
  if (!file) {
    return ReplaceResult::notCreated;
  }
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags != -1) {
    fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  struct stat status {};
  if (fstat(file.get(), &status) != 0) {
    return ReplaceResult::notWritten;
  }
  if (!S_ISREG(status.st_mode)) {
    return writeImage(file.get(), bytes, false) && file.closeNow() ? ReplaceResult::replaced
                                                                   : ReplaceResult::notWritten;
  }
  // Another save of the same file waits here for this one to finish. A file system without
  // locks (some network disks) is written unlocked, as before.
  int locked = 0;
  do {
    locked = flock(file.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (!reserve(file.get(), bytes.size())) {
    return ReplaceResult::notWritten;
  }
  const bool written = writeImage(file.get(), bytes, true) &&
                       ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0;
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

// The new file beside the old one. Its name, once it has one, is short (so it fits whatever
// the target's name and path) and relative to the folder's descriptor (so a rename of the folder
// or a long path changes nothing).
class Temporary {
public:
  explicit Temporary(int folderDescriptor) : folder(folderDescriptor) {}
  ~Temporary() { discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // False when no file could be made: no space, no inodes, or the folder refused.
  bool create() {
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
    return takeFreshName([this] {
      file = Descriptor(
          openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600));
      return static_cast<bool>(file);
    });
  }

  int descriptor() const { return file.get(); }

  // Gives the finished file the target's name. A new name is linked where no name may be removed;
  // everything else is renamed over the target.
  ReplaceResult commit(const std::string& targetName, bool linkDirectly, bool& renameRefused) {
    renameRefused = false;
    if (!named) {
      if (linkDirectly) {
        const bool linked = linkUnnamed(targetName.c_str());
        return linked && file.closeNow() ? ReplaceResult::replaced : ReplaceResult::notWritten;
      }
      if (!takeFreshName([this] { return linkUnnamed(name); })) {
        return ReplaceResult::notWritten;
      }
    }
    if (!file.closeNow()) {
      return ReplaceResult::notWritten;
    }
    const SignalBlock block;
    if (renameat(folder, name, folder, targetName.c_str()) != 0) {
      // A file that is a mount point of its own (as containers mount single files) cannot be
      // renamed over; it can still be written in place.
      renameRefused = errno == EBUSY;
      return ReplaceResult::notWritten;
    }
    forgetName();
    return ReplaceResult::replaced;
  }

  void discard() noexcept {
    file.closeNow();
    if (named) {
      const SignalBlock block;
      unlinkat(folder, name, 0);
      forgetName();
    }
  }

private:
  // Linking an unnamed file by its descriptor alone takes a privilege; through /proc it does not.
  static bool unnamedFilesCanBeLinked() {
    return access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
  }

  bool linkUnnamed(const char* as) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", file.get());
    if (linkat(AT_FDCWD, path, folder, as, AT_SYMLINK_FOLLOW) == 0) {
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
      const SignalBlock block;
      chooseName(attempt);
      if (makeFile()) {
        named = true;
        recordForHandler();
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

  // Called with the signals blocked.
  void recordForHandler() {
    std::copy(std::begin(name), std::end(name), std::begin(pendingName));
    pendingFolder.store(folder);
    pendingNamed.store(true);
  }
  void forgetName() {
    pendingNamed.store(false);
    named = false;
  }

  int folder;
  Descriptor file;
  char name[temporaryNameSize] = {};
  bool named = false;
};

// Opens the folder that the name lives in, for lookups relative to it.
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

ReplaceResult replaceWith(const std::string& fileName, const SaveBytes& bytes) {
  const SaveSignals signals;
  struct stat old {};
  const bool exists = stat(fileName.c_str(), &old) == 0;
  const bool missing = !exists && errno == ENOENT;
  // A file the process may not write is not replaced behind its back: the open in place refuses.
  const bool replaceable = exists && S_ISREG(old.st_mode) && old.st_nlink == 1 &&
                           faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  if (!replaceable && !missing) {
    return writeInPlace(fileName, bytes);
  }
  const std::string target = finalTarget(fileName);
  const std::string folderPath = folderOf(target);
  const std::string baseName = target.substr(folderPath.size());
  const Descriptor folder = openFolder(folderPath);
  struct stat folderStatus {};
  if (!folder || fstat(folder.get(), &folderStatus) != 0 ||
      faccessat(folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return writeInPlace(fileName, bytes);
  }
  // The name must lead where stat looked. Links that the process's own descriptors make
  // (/dev/stdout and its kin) may lead to a file under no name, or to a made-up name.
  struct stat atTarget {};
  const bool found = fstatat(folder.get(), baseName.c_str(), &atTarget, AT_SYMLINK_NOFOLLOW) == 0;
  const bool renamable =
      replaceable ? found && sameFile(atTarget, old) && renameMayReplace(folderStatus, old)
                  : !found && errno == ENOENT;
  const bool appendOnly = keepsEveryName(folder.get());
  if (!renamable || (appendOnly && (replaceable || !unnamedFilesExist))) {
    return writeInPlace(fileName, bytes);
  }

  Temporary temporary(folder.get());
  if (!temporary.create()) {
    // No space, no inodes, a race: writing in place now is what would destroy the old file.
    return ReplaceResult::notCreated;
  }
  // The owner first: a change of owner clears set-user-ID and set-group-ID bits, which the mode
  // then sets again where the process may. A user who may not give the file away may still give
  // it the old group; with neither, the new file is the process's own, like a file it creates.
  if (replaceable && fchown(temporary.descriptor(), old.st_uid, old.st_gid) != 0) {
    static_cast<void>(fchown(temporary.descriptor(), static_cast<uid_t>(-1), old.st_gid));
  }
  // A file system that cannot take the mode gets the file written in place, mode and all.
  if (fchmod(temporary.descriptor(), replaceable ? old.st_mode & 07777 : newFileMode()) != 0) {
    temporary.discard();
    return writeInPlace(fileName, bytes);
  }
  if (!writeImage(temporary.descriptor(), bytes, false)) {
    return ReplaceResult::notWritten;
  }
  bool renameRefused = false;
  const ReplaceResult result = temporary.commit(baseName, appendOnly, renameRefused);
  if (renameRefused) {
    temporary.discard();
    return writeInPlace(fileName, bytes);
  }
  return result;
}

} // namespace

ReplaceResult replaceFile(const std::string& fileName, std::span<const std::uint8_t> bytes) {
  return replaceWith(fileName, SaveBytes{bytes});
}

ReplaceResult replaceFile(const std::string& fileName, const FileImage& image) {
  return replaceWith(fileName, SaveBytes{{image.bytes(), image.size()}, &image});
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
  const Descriptor folder = openFolder(folderOf(finalTarget(fileName)));
  return folder && faccessat(folder.get(), ".", W_OK | X_OK, AT_EACCESS) == 0;
}

} // namespace tilegraft
