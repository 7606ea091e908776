#include "bitmap/file_replace.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace tilegraft {

namespace {

// The signals that stop a run from outside (an interrupt key, a kill, a closed terminal), and the
// one a file-size limit sends in the middle of the write.
constexpr int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};
constexpr std::size_t cleanedSignalCount = std::size(cleanedSignals);

// The temporary file that the signal handler removes, or null.
std::atomic<const char*> pendingTemporary{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read by a signal handler");

struct sigaction previousActions[cleanedSignalCount];
bool replacedAction[cleanedSignalCount];

// Only async-signal-safe calls: the name was made before the handler could run.
void removeTemporaryAndResignal(int signalNumber) {
  const char* name = pendingTemporary.load();
  if (name != nullptr) {
    unlink(name);
  }
  // Blocked while its handler runs, the signal is delivered again, by default, on the way out.
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void installHandlers() {
  struct sigaction action {};
  action.sa_handler = removeTemporaryAndResignal;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : cleanedSignals) {
    sigaddset(&action.sa_mask, signalNumber);
  }
  for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
    sigaction(cleanedSignals[i], nullptr, &previousActions[i]);
    // A signal the tool was started to ignore (nohup) would not have ended it, so it still won't.
    replacedAction[i] = previousActions[i].sa_handler != SIG_IGN;
    if (replacedAction[i]) {
      sigaction(cleanedSignals[i], &action, nullptr);
    }
  }
}

void restoreHandlers() {
  for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
    if (replacedAction[i]) {
      sigaction(cleanedSignals[i], &previousActions[i], nullptr);
    }
  }
}

// Holds the four signals back for its lifetime, so that the temporary file and the handler's
// record of its name come and go together. A signal that arrives meanwhile is delivered when the
// block ends.
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

// ".<name>.tilegraft-XXXXXX" beside the target. A long name is cut, so that the temporary one
// still fits the folder's name limit.
std::string temporaryPattern(const std::string& target) {
  constexpr std::size_t keptNameLength = 200;
  const std::string folder = folderOf(target);
  const std::string name = target.substr(folder.size(), keptNameLength);
  return folder + "." + name + ".tilegraft-XXXXXX";
}

// What a file created with mode 0666 gets, as "wb" gave. The mask can only be read by setting
// it; the tool has one thread and creates nothing in between.
mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// In a folder with the sticky bit (/tmp), only the owner of the file or of the folder may rename
// over a file that others may still write. The same rule lets the process remove its temporary
// file after giving it to the old file's owner.
bool renameMayReplace(const std::string& target, const struct stat& old) {
  const std::string folder = folderOf(target);
  struct stat status {};
  if (stat(folder.empty() ? "." : folder.c_str(), &status) != 0) {
    return false;
  }
  const uid_t user = geteuid();
  return (status.st_mode & S_ISVTX) == 0 || old.st_uid == user || status.st_uid == user;
}

} // namespace

FileReplacement::FileReplacement(const std::string& fileName) {
  struct stat old {};
  const bool exists = stat(fileName.c_str(), &old) == 0;
  const bool missing = !exists && errno == ENOENT;
  // A file the process may not write is not replaced behind its back: the open in place refuses.
  const bool replaceable = exists && S_ISREG(old.st_mode) && old.st_nlink == 1 &&
                           faccessat(AT_FDCWD, fileName.c_str(), W_OK, AT_EACCESS) == 0;
  if (replaceable || missing) {
    const std::string target = finalTarget(fileName);
    // The name must lead where stat looked. Links that the process's own descriptors make
    // (/dev/stdout and its kin) may lead to a file under no name, or to a made-up name.
    struct stat atTarget {};
    const bool found = lstat(target.c_str(), &atTarget) == 0;
    const bool renamable = replaceable
                               ? found && sameFile(atTarget, old) && renameMayReplace(target, old)
                               : !found && errno == ENOENT;
    if (renamable) {
      switch (openTemporary(target, replaceable ? &old : nullptr)) {
      case TemporaryOutcome::opened:
        return;
      case TemporaryOutcome::noSpace:
        // Writing in place on a full disk is what destroys the old file: nothing is opened.
        return;
      case TemporaryOutcome::refused:
        break;
      }
    }
  }
  descriptor = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

FileReplacement::TemporaryOutcome FileReplacement::openTemporary(const std::string& target,
                                                                 const struct stat* old) {
  std::string name = temporaryPattern(target);
  {
    const SignalBlock block;
    installHandlers();
    handlersInstalled = true;
    descriptor = mkstemp(name.data());
    if (descriptor >= 0) {
      temporaryName = std::move(name);
      pendingTemporary.store(temporaryName.c_str());
    }
  }
  if (descriptor < 0) {
    const int failure = errno;
    restoreHandlers();
    handlersInstalled = false;
    return failure == ENOSPC || failure == EDQUOT ? TemporaryOutcome::noSpace
                                                  : TemporaryOutcome::refused;
  }
  targetName = target;
  // The mode is set while the file is still the process's own, which it may no longer be once
  // given to the old owner; a change of owner may then drop set-user-ID and set-group-ID bits, as
  // it does for any file. A file system that cannot take the mode gets the file written in place.
  if (fchmod(descriptor, old != nullptr ? old->st_mode & 07777 : newFileMode()) != 0) {
    close(descriptor);
    descriptor = -1;
    discardTemporary();
    return TemporaryOutcome::refused;
  }
  // A user who may not give the file away may still give it the old group.
  if (old != nullptr && fchown(descriptor, old->st_uid, old->st_gid) != 0 &&
      fchown(descriptor, static_cast<uid_t>(-1), old->st_gid) != 0) {
    // Neither: the new file is the process's own, like a file it creates.
  }
  return TemporaryOutcome::opened;
}

FileReplacement::~FileReplacement() {
  if (descriptor >= 0) {
    close(descriptor);
  }
  discardTemporary();
}

void FileReplacement::discardTemporary() noexcept {
  if (!temporaryName.empty()) {
    const SignalBlock block;
    unlink(temporaryName.c_str());
    pendingTemporary.store(nullptr);
    temporaryName.clear();
  }
  if (handlersInstalled) {
    restoreHandlers();
    handlersInstalled = false;
  }
}

bool FileReplacement::write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool FileReplacement::commit() {
  // Data that the system held back may fail only at the close (a full network disk).
  const bool closed = close(descriptor) == 0;
  descriptor = -1;
  if (!closed || temporaryName.empty()) {
    return closed;
  }
  const SignalBlock block;
  if (rename(temporaryName.c_str(), targetName.c_str()) != 0) {
    return false;
  }
  pendingTemporary.store(nullptr);
  temporaryName.clear();
  return true;
}

} // namespace tilegraft
