#include "platform/posix_save_signals.h"

#include "platform/posix_descriptor.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <unistd.h>

namespace tilegraft {

std::atomic<NameHolds> nameHolds{NameHolds::before};
sigset_t heldDuringSave;

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

// The file that a signal removes before it ends the process (recordPending).
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

// What one save changed in the signals' dispositions. Written only while no handler of ours is
// installed.
struct CleanedSignal {
  int number = 0;
  struct sigaction previous {};
  bool replaced = false;
};
CleanedSignal cleanedSignals[maxCleanedSignals];
std::size_t cleanedSignalCount = 0;

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

} // namespace

// The name is at most NAME_MAX long: one entry of a folder.
void recordPending(int folder, const char* name) {
  std::snprintf(pendingName, sizeof pendingName, "%s", name);
  pendingFolder.store(folder);
  pendingNamed.store(true);
}
void forgetPending() { pendingNamed.store(false); }

SaveSignals::SaveSignals() {
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

SaveSignals::~SaveSignals() {
  sigset_t callerHolds;
  pthread_sigmask(SIG_BLOCK, nullptr, &callerHolds);
  sigset_t ours;
  sigemptyset(&ours);
  const HeldSignals hold(heldDuringSave);
  for (std::size_t i = 0; i < cleanedSignalCount; ++i) {
    if (cleanedSignals[i].replaced) {
      sigaction(cleanedSignals[i].number, &cleanedSignals[i].previous, nullptr);
      if (sigismember(&callerHolds, cleanedSignals[i].number) == 0) {
        sigaddset(&ours, cleanedSignals[i].number);
      }
    }
  }
  // One that came while they were put back would end the process by its default action when
  // the hold ends, without its line: the handler's work is done for it, and it then does so.
  siginfo_t info{};
  const struct timespec now {};
  const int waiting = sigtimedwait(&ours, &info, &now);
  if (waiting > 0) {
    removePendingAndResignal(waiting, &info, nullptr);
  }
}

} // namespace tilegraft
