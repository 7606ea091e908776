#include "platform/posix_save_signals.h"

#include "platform/posix_descriptor.h"
#include "platform/posix_features.h"

#include <climits>
#include <cstdio>
#include <string_view>

namespace tilegraft {

std::atomic<NameHolds> nameHolds{NameHolds::before};
sigset_t heldDuringSave;

namespace {

// Catchable signals whose default ends the process (not real-time ones, nor SIGTRAP).
constexpr int standardSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGABRT, SIGBUS,    SIGFPE,  SIGSEGV, SIGUSR1, SIGUSR2,
    SIGPIPE,   SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

template <typename Each> void forEachSignal(Each each) {
  for (const int signalNumber : standardSignals) {
    each(signalNumber);
  }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    each(signalNumber);
  }
#endif
}

char pendingName[NAME_MAX + 1];
std::atomic<int> pendingFolder{-1};
std::atomic<bool> pendingNamed{false};
constexpr std::string_view endedBefore = "**** Stopped by a signal while saving: the file was not "
                                         "written; its name holds what it held before.\n";
constexpr std::string_view endedAfter =
    "**** Stopped by a signal at the end of a save: the file was written whole.\n";
constexpr std::string_view endedPart =
    "**** Stopped by a signal while saving: only part of the file was written.\n";
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<NameHolds>::is_always_lock_free,
              "read by a signal handler");

// The dispositions one save replaced, by signal number; written while no handler of ours is in.
struct sigaction previous[NSIG];
sigset_t replaced;

// A file-size limit or a pipe without a reader signals the writer, whose write then fails.
bool sentFromOutside(const siginfo_t* info) {
  return info == nullptr || ((info->si_code == SI_USER || info->si_code == SI_QUEUE
#ifdef SI_TKILL
                              || info->si_code == SI_TKILL
#endif
                              ) &&
                             info->si_pid != getpid());
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
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
  setAction(signalNumber, SIG_DFL);
  // Blocked while its handler runs, it comes again, by default, on the way out.
  raise(signalNumber);
}

} // namespace

void recordPending(int folder, const char* name) {
  std::snprintf(pendingName, sizeof pendingName, "%s", name);
  pendingFolder.store(folder);
  pendingNamed.store(true);
}
void forgetPending() { pendingNamed.store(false); }

SaveSignals::SaveSignals() {
  nameHolds.store(NameHolds::before);
  // Standard signals are held whatever their disposition; a real-time one only when ours.
  sigemptyset(&heldDuringSave);
  sigemptyset(&replaced);
  for (const int signalNumber : standardSignals) {
    sigaddset(&heldDuringSave, signalNumber);
  }
  const HeldSignals hold(heldDuringSave);
  forEachSignal([](int signalNumber) {
    if (sigaction(signalNumber, nullptr, &previous[signalNumber]) == 0 &&
        (previous[signalNumber].sa_flags & SA_SIGINFO) == 0 &&
        previous[signalNumber].sa_handler == SIG_DFL) {
      sigaddset(&replaced, signalNumber);
      sigaddset(&heldDuringSave, signalNumber);
    }
  });
  const HeldSignals holdAll(heldDuringSave);
  forEachSignal([](int signalNumber) {
    if (sigismember(&replaced, signalNumber) == 1) {
      installHandler(signalNumber, removePendingAndResignal, heldDuringSave);
    }
  });
}

SaveSignals::~SaveSignals() {
  sigset_t callerHolds;
  pthread_sigmask(SIG_BLOCK, nullptr, &callerHolds);
  sigset_t ours = signalSet({});
  const HeldSignals hold(heldDuringSave);
  forEachSignal([&](int signalNumber) {
    if (sigismember(&replaced, signalNumber) == 1) {
      sigaction(signalNumber, &previous[signalNumber], nullptr);
      if (sigismember(&callerHolds, signalNumber) == 0) {
        sigaddset(&ours, signalNumber);
      }
    }
  });
  // One that came meanwhile would end the process without its line: it gets the handler's work.
#if TILEGRAFT_LINUX_CALLS
  siginfo_t info{};
  const struct timespec now {};
  const int waiting = sigtimedwait(&ours, &info, &now);
  if (waiting > 0) {
    removePendingAndResignal(waiting, &info, nullptr);
  }
#else
  // Without sigtimedwait (macOS), sigwait takes the first pending one without the details that
  // tell a write's own SIGXFSZ or SIGPIPE from one sent: those two are dropped, whoever sent them.
  sigset_t pending;
  sigpending(&pending);
  forEachSignal([&](int signalNumber) {
    const sigset_t one = signalSet({signalNumber});
    int taken = 0;
    if (sigismember(&ours, signalNumber) == 1 && sigismember(&pending, signalNumber) == 1 &&
        sigwait(&one, &taken) == 0 && taken != SIGXFSZ && taken != SIGPIPE) {
      sigemptyset(&pending); // one line, as sigtimedwait takes one
      removePendingAndResignal(taken, nullptr, nullptr);
    }
  });
#endif
}

} // namespace tilegraft
