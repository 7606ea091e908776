#pragma once

#include "tests/support/scoped_temp_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace tilegraft::testing {

// The system's lease-break time, for a test that changes it: read once, put back on
// destruction, and held all the while against every other test that changes it, as tests run
// side by side and one that read another's short time as the system's would leave it behind.
// Root only: see mayChange.
class LeaseBreakTime {
public:
  static constexpr const char* path = "/proc/sys/fs/lease-break-time";

  static bool mayChange() { return geteuid() == 0 && access(path, W_OK) == 0; }

  LeaseBreakTime()
      : lock(open("/tmp/tilegraft-lease-break-time.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    while (lock >= 0 && flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    systemTime = readTextFile(path);
  }
  ~LeaseBreakTime() {
    writeTextFile(path, systemTime);
    if (lock >= 0) {
      close(lock);
    }
  }
  LeaseBreakTime(const LeaseBreakTime&) = delete;
  LeaseBreakTime& operator=(const LeaseBreakTime&) = delete;

  void set(const char* seconds) const { writeTextFile(path, std::string(seconds) + "\n"); }
  void putBack() const { writeTextFile(path, systemTime); }

private:
  int lock;
  std::string systemTime;
};

} // namespace tilegraft::testing
