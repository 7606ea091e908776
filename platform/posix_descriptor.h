#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <signal.h>
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

// Makes reads and writes on the descriptor wait again, after an open that must not wait (a named
// pipe without its other end, a file under another program's lease). False on an error.
inline bool clearNonBlocking(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags != -1 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

} // namespace tilegraft
