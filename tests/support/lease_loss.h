#pragma once

#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tilegraft::testing {

// Runs the body in a child process, which ends with the body's result; gives that result, or -1
// when the child could not start or did not end by itself.
inline int resultInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// How a process that maps a file comes to lose its load-time bytes when another program opens
// the file to write.
enum class LeaseLoss {
  addressSpace, // no address space for the copy
  noMappings,   // no private memory at all: no copy, nor zeros
  forcedBreak,  // the lease taken back by force (the process hears nothing), then rewritten
  breakTime,    // the copy outlasts the lease-break time (set at the load by the caller)
};

// What the process has mapped of one kind, by its name in /proc/self/status ("VmSize:" all its
// address space, "VmData:" what counts against the data limit), in bytes; 0 when the system does
// not say.
inline rlim_t memoryInUse(const std::string& kind) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == kind) {
      rlim_t kibibytes = 0;
      status >> kibibytes;
      return kibibytes * 1024;
    }
  }
  return 0;
}

// For a process that maps the file under a lease: another process opens the file to write
// (and, for a forced break, rewrites it), while this one is starved or deaf as the loss says;
// afterwards its limits and signals are as they were. False when that could not be staged.
inline bool breakLease(const std::string& file, LeaseLoss loss) {
  const int limited = loss == LeaseLoss::addressSpace ? RLIMIT_AS : RLIMIT_DATA;
  const bool starved = loss == LeaseLoss::addressSpace || loss == LeaseLoss::noMappings;
  struct rlimit saved {};
  getrlimit(limited, &saved);
  struct rlimit tight = saved;
  // A little above what is in use: no room for a copy. No private memory at all (1, as the
  // system reads 0 as a debugger's request for no limit): no room for zeros either.
  tight.rlim_cur = loss == LeaseLoss::addressSpace ? memoryInUse("VmSize:") + (1 << 20) : 1;
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  if (loss == LeaseLoss::forcedBreak) {
    // A stopped process hears nothing.
    sigprocmask(SIG_BLOCK, &all, &before);
  }
  if (starved && setrlimit(limited, &tight) != 0) {
    return false;
  }
  const int written = resultInChild([&] {
    const int descriptor = open(file.c_str(), O_WRONLY);
    const std::uint8_t other[4096] = {0xEE};
    const bool rewritten =
        loss != LeaseLoss::forcedBreak || pwrite(descriptor, other, sizeof other, 1 << 20) > 0;
    return descriptor >= 0 && rewritten ? 0 : 1;
  });
  if (starved) {
    setrlimit(limited, &saved);
  }
  if (loss == LeaseLoss::forcedBreak) {
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
  return written == 0;
}

} // namespace tilegraft::testing
