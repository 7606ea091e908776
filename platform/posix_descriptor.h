#pragma once

#include "platform/files.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace tilegraft {

// An open file descriptor with one owner, closed exactly once. For the POSIX implementation
// files only.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int opened) : number(opened) {}
  ~Descriptor() { closeNow(); }
  Descriptor(Descriptor&& other) noexcept : number(std::exchange(other.number, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      closeNow();
      number = std::exchange(other.number, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return number; }
  explicit operator bool() const { return number >= 0; }
  // True when nothing was open or the close succeeded: data that the system held back may fail
  // only at the close (a full network disk).
  bool closeNow() noexcept {
    const bool closed = number < 0 || close(number) == 0;
    number = -1;
    return closed;
  }

private:
  int number = -1;
};

// Writes all count bytes, at offset when it is not negative, else at the descriptor's position;
// false on an error.
inline bool writeAllAt(int descriptor, const std::uint8_t* bytes, std::size_t count, off_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t written = offset >= 0 ? pwrite(descriptor, bytes + done, count - done,
                                                 offset + static_cast<off_t>(done))
                                        : write(descriptor, bytes + done, count - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Reads exactly count bytes from offset; false on an error or an early end.
inline bool readAllAt(int descriptor, std::uint8_t* bytes, std::size_t count, std::size_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got =
        pread(descriptor, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// The name under /proc by which the kernel reaches the file a descriptor holds, whatever its
// names are now.
inline std::string descriptorPath(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

inline bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Puts the file's bytes and length on the disk: a power cut from then on leaves them.
inline bool syncFile(int descriptor) {
  int result = 0;
  do {
    result = fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Puts the folder's entries on the disk: a name linked or renamed there stays after a power cut.
// A folder the process may only search (opened O_PATH), or a file system that syncs no folders,
// is left to the file system's own commit.
inline bool syncFolder(int folder) {
  return syncFile(folder) || errno == EBADF || errno == EINVAL || errno == EROFS;
}

inline bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

#ifdef __APPLE__
inline const struct timespec& changeTime(const struct stat& s) { return s.st_ctimespec; }
inline const struct timespec& modifyTime(const struct stat& s) { return s.st_mtimespec; }
#else
inline const struct timespec& changeTime(const struct stat& s) { return s.st_ctim; }
inline const struct timespec& modifyTime(const struct stat& s) { return s.st_mtim; }
#endif

// After a load: the same file with the same contents, as far as its status tells. The change
// time is left out: a rename over the name, a new link or a chmod changes it, not the bytes.
inline bool sameContents(const struct stat& before, const struct stat& after) {
  return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
         before.st_size == after.st_size && sameTime(modifyTime(before), modifyTime(after));
}

// Holds the signals back for its lifetime; one that arrives meanwhile is delivered when the hold
// ends. Holds nest: each gives back the mask it found.
class HeldSignals {
public:
  explicit HeldSignals(const sigset_t& signals) { pthread_sigmask(SIG_BLOCK, &signals, &before); }
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

private:
  sigset_t before{};
};

// Takes a flock lock (LOCK_SH or LOCK_EX) on the file. Where another program holds one in the
// way, one line on standard error says what the tool waits for, and it waits lockWaitSeconds at
// most: false then, without the lock. A file system without locks counts as locked.
inline bool lockWithin(int descriptor, int operation, const std::string& fileName) {
  const auto taken = [&] {
    return flock(descriptor, operation | LOCK_NB) == 0 || errno != EWOULDBLOCK;
  };
  if (taken()) {
    return true;
  }
  std::fflush(stdout);
  std::fprintf(stderr,
               "Waiting up to %d seconds for another program to release its lock on %s...\n",
               lockWaitSeconds, fileName.c_str());
  struct timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const struct timespec pause { 0, 10'000'000 };
    nanosleep(&pause, nullptr);
    if (taken()) {
      return true;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec) >=
        lockWaitSeconds * 1'000'000'000L) {
      return false;
    }
  }
}

// Makes reads and writes on the descriptor wait again, after an open that must not wait (a named
// pipe without its other end, a file under another program's lease). False on an error.
inline bool clearNonBlocking(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags != -1 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

} // namespace tilegraft
