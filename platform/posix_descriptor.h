#pragma once

#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#ifdef __linux__
#include <sys/vfs.h>
#endif

// Small helpers of the POSIX implementation files.

namespace tilegraft {

// An open file descriptor with one owner, closed exactly once.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int opened) : number(opened) {}
  ~Descriptor() { closeNow(); }
  Descriptor(Descriptor&& other) noexcept : number(std::exchange(other.number, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(number, other.number);
    return *this;
  }

  int get() const { return number; }
  explicit operator bool() const { return number >= 0; }
  // True when nothing was open or the close succeeded (a full network disk may fail only here).
  bool closeNow() noexcept {
    const int was = std::exchange(number, -1);
    return was < 0 || close(was) == 0;
  }

private:
  int number = -1;
};

// Moves all count bytes by call(done), a read or write of the rest: false on an error or early end.
template <typename Call> bool transferAll(std::size_t count, Call call) {
  for (std::size_t done = 0; done < count;) {
    const ssize_t moved = call(done);
    if (moved <= 0 && !(moved < 0 && errno == EINTR)) {
      return false;
    }
    done += moved > 0 ? static_cast<std::size_t>(moved) : 0;
  }
  return true;
}

// Writes count bytes, at offset when it is not negative, else at the descriptor's position; 1 MiB
// a call, as larger take 2 MiB page-cache folios, slow to touch after an idle spell on a VM.
inline bool writeAllAt(int descriptor, const std::uint8_t* bytes, std::size_t count, off_t offset) {
  return transferAll(count, [&](std::size_t done) {
    const std::size_t piece = std::min(count - done, std::size_t{1} << 20);
    return offset >= 0 ? pwrite(descriptor, bytes + done, piece, offset + static_cast<off_t>(done))
                       : write(descriptor, bytes + done, piece);
  });
}

inline bool readAllAt(int descriptor, std::uint8_t* bytes, std::size_t count, std::size_t offset) {
  return transferAll(count, [&](std::size_t done) {
    return pread(descriptor, bytes + done, count - done, static_cast<off_t>(offset + done));
  });
}

// The name under /proc of the file a descriptor holds, whatever its names are now.
inline std::string descriptorPath(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

inline NameState stateOf(const struct stat& file) {
  return {true, static_cast<std::uint64_t>(file.st_dev), static_cast<std::uint64_t>(file.st_ino)};
}

inline bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same file, length, modification and change time (which even cp -p moves).
inline bool unchangedSince(const struct stat& before, const struct stat& now) {
  const auto times = [](const struct stat& s) {
#ifdef __APPLE__
    return std::tuple(s.st_mtimespec.tv_sec, s.st_mtimespec.tv_nsec, s.st_ctimespec.tv_sec,
                      s.st_ctimespec.tv_nsec);
#else
    return std::tuple(s.st_mtim.tv_sec, s.st_mtim.tv_nsec, s.st_ctim.tv_sec, s.st_ctim.tv_nsec);
#endif
  };
  return sameFile(before, now) && before.st_size == now.st_size && times(before) == times(now);
}

// The text of a symbolic link; nothing where it cannot be read.
inline std::optional<std::string> readLink(const std::string& path) {
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

#ifdef __linux__
// True when the descriptor's file is on a file system of one of these types (statfs's f_type).
inline bool onFileSystem(int descriptor, std::initializer_list<unsigned long> types) {
  struct statfs status {};
  return fstatfs(descriptor, &status) == 0 &&
         std::find(types.begin(), types.end(), static_cast<unsigned long>(status.f_type)) !=
             types.end();
}
#endif

// True when call (a system call giving 0 on success) succeeds, retried while interrupted.
template <typename Call> bool succeeds(Call call) {
  int result = 0;
  do {
    result = call();
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Puts the file's bytes and length on the disk: a power cut from then on leaves them.
inline bool syncFile(int descriptor) {
  return succeeds([descriptor] { return fsync(descriptor); });
}

// Puts the folder's entries on the disk, where it may be synced (not O_PATH, not on all systems).
inline bool syncFolder(int folder) {
  return syncFile(folder) || errno == EBADF || errno == EINVAL || errno == EROFS;
}

// True when the signal has its default action: no handler, not ignored.
inline bool atDefault(int signal) {
  struct sigaction current {};
  return sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_DFL;
}

inline sigset_t signalSet(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : signals) {
    sigaddset(&set, signal);
  }
  return set;
}

inline bool installHandler(int signal, void (*handler)(int, siginfo_t*, void*),
                           const sigset_t& mask) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  action.sa_mask = mask;
  return sigaction(signal, &action, nullptr) == 0;
}

inline bool setAction(int signal, void (*action)(int)) {
  struct sigaction plain {};
  plain.sa_handler = action;
  sigemptyset(&plain.sa_mask);
  return sigaction(signal, &plain, nullptr) == 0;
}

// Holds the signals back for its lifetime (one that comes is delivered after); holds nest.
class HeldSignals {
public:
  explicit HeldSignals(const sigset_t& signals) { pthread_sigmask(SIG_BLOCK, &signals, &before); }
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  bool wasHeld(int signal) const { return sigismember(&before, signal) == 1; }

private:
  sigset_t before{};
};

// Takes a flock lock (LOCK_SH or LOCK_EX), waiting as files.h says; no locks counts as locked.
inline bool lockWithin(int descriptor, int operation, const std::string& fileName) {
  return waitForLock(fileName, [&] {
    return flock(descriptor, operation | LOCK_NB) == 0 || errno != EWOULDBLOCK;
  });
}

// Makes reads and writes wait again, after an open that must not wait.
inline void clearNonBlocking(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags != -1) {
    fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  }
}

} // namespace tilegraft
