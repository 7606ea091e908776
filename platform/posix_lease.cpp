// The read lease over mapped file images, and the signal handlers that keep it.
//
// What a lease break does. When the kernel asks for the lease back (the lease signal, or plain
// SIGIO where no real-time signal could be queued), or the terminal asks the process to stop,
// the handler reads every 2 MiB chunk still shared with the file into fresh memory by pread (a
// file cut short gives a short read, never SIGBUS), checks the file's status, swaps the copy in
// over the file's pages by one mremap (a merge paused in the chunk resumes on the copy's equal
// byte), and lets the lease go. A chunk not copied within half the lease-break time, or for want
// of memory, becomes zeros and the image is lost; merges and saves test for loss before each
// block or piece. The handlers' signals block one another, and the main line holds them
// (leaseHandlerSignals) while it works on a mapping, so that no handler meets that work half
// done. Handlers make only system calls, check each, and touch only sig_atomic_t fields and chunks.
//
// The Linux calls the handlers rely on: fcntl(F_SETLEASE, F_GETLEASE), pread and fstat on the
// leased descriptor, mmap, mremap, madvise, munmap, clock_gettime(CLOCK_MONOTONIC) for the time
// bound, and, in the stop handler, sigaction, pthread_sigmask and raise.

#include "platform/posix_lease.h"

#if TILEGRAFT_LINUX_CALLS

#include "platform/posix_memory.h"
#include "platform/test_seams.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <linux/magic.h>
#include <new>
#include <sys/mman.h>

namespace tilegraft {

FileImage::Mapping::~Mapping() {
  if (start != nullptr) {
    munmap(start, mappedLength);
  }
}

namespace {

// A smaller file is copied whole at load: with fewer than two chunks there is nothing a mapping
// would save.
constexpr std::size_t mappedMinimum = 2 * chunkSize;
// One mapped image per bitmap a script holds, with room to spare; beyond it, loads copy.
constexpr int maxMappings = 8;
// The system's usual lease-break time, for a system that does not say.
constexpr std::int64_t usualBreakSeconds = 45;
constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;

FileImage::Mapping* volatile mappings[maxMappings] = {};
// SIGIO's handler is ours while any mapping exists, when it was the default before.
bool sigioTaken = false;

int leaseSignal() { return SIGRTMIN + 1; }

} // namespace

sigset_t leaseHandlerSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int handled : {leaseSignal(), SIGIO, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaddset(&set, handled);
  }
  return set;
}

namespace {

// The monotonic clock, in nanoseconds; 0 where it cannot be read, which leaves no time to copy.
std::int64_t monotonicNow() {
  struct timespec now {};
  return clock_gettime(CLOCK_MONOTONIC, &now) == 0
             ? std::int64_t{now.tv_sec} * nanosecondsPerSecond + now.tv_nsec
             : 0;
}

// Half the system's lease-break time: a handler that copies no longer leaves the other half for
// the signal to arrive and the lease to go.
std::int64_t copyTimeAllowed() {
  // Unreadable, or not a number of seconds the clock can count in nanoseconds: the usual time.
  std::int64_t seconds = usualBreakSeconds;
  const Descriptor setting(open("/proc/sys/fs/lease-break-time", O_RDONLY | O_CLOEXEC));
  char text[24] = {};
  if (setting && read(setting.get(), text, sizeof text - 1) > 0 &&
      (std::from_chars(text, text + sizeof text, seconds).ec != std::errc{} || seconds < 0 ||
       seconds > 1'000'000)) {
    seconds = usualBreakSeconds;
  }
  return seconds * nanosecondsPerSecond / 2;
}

// Gives address space back. A failure only keeps the range reserved, and nothing can be done
// about it, least of all in a handler.
void giveBack(void* start, std::size_t count) { static_cast<void>(munmap(start, count)); }

// Chunk c cannot be kept: zeros take its place, so that nothing faults on the file once cut
// short. Where not even zeros can be mapped, it stays the file's pages and is never marked own.
// Only ever with the image already lost.
void giveUpChunk(FileImage::Mapping& mapping, std::size_t c) {
  const std::size_t offset = c * chunkSize;
  void* zeros =
      mmap(mapping.start + offset, std::min(chunkSize, mapping.mappedLength - offset),
           PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (zeros != MAP_FAILED) {
    mapping.own[c] = 1;
  }
}

// A writer waits for this process: every chunk still shared is copied in while there is time
// and memory, the rest is given up, then the lease goes.
void letLeaseGo(FileImage::Mapping& mapping, std::int64_t start) {
  for (std::size_t c = 0; c < mapping.chunks; ++c) {
    if (mapping.own[c] != 0) {
      continue;
    }
    const std::int64_t now = monotonicNow();
    if (start == 0 || now == 0 || now - start >= mapping.copyNanoseconds) {
      lose(mapping, ImageLoss::notRead);
      giveUpChunk(mapping, c);
    } else if (!copyChunkIn(mapping, c)) {
      lose(mapping, ImageLoss::noMemory);
      giveUpChunk(mapping, c);
    }
  }
  // Refused (or gone already), the lease stays until the next signal or until the kernel takes
  // it back; every chunk is the process's own or lost by then.
  mapping.leased = 0;
  static_cast<void>(fcntl(mapping.file.get(), F_SETLEASE, F_UNLCK));
}

// Lets the lease on the file go, or with -1 every lease.
void letLeasesGo(int file) {
  const std::int64_t start = monotonicNow();
  for (FileImage::Mapping* mapping : mappings) {
    if (mapping != nullptr && (file < 0 || file == mapping->file.get())) {
      letLeaseGo(*mapping, start);
    }
  }
}

void onLeaseBreak(int signal, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  // A lease break names its file. A plain SIGIO, or a signal another program sent, names none:
  // every lease goes.
  const bool namesFile = signal != SIGIO && info != nullptr && info->si_code == POLL_MSG;
  letLeasesGo(namesFile ? info->si_fd : -1);
  errno = savedErrno;
}

bool installHandler(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  action.sa_mask = leaseHandlerSignals();
  return sigaction(signal, &action, nullptr) == 0;
}

// A stop from the terminal (Ctrl-Z, or the overwrite question read in the background) may last
// longer than the lease-break time while a writer waits, and the lease would then be taken
// back by force: every lease goes first, then the process stops as it would have.
void onStopRequest(int signal, siginfo_t* /*info*/, void* /*context*/) {
  const int savedErrno = errno;
  letLeasesGo(-1);
  // Where the default cannot be put back, the process goes on without stopping.
  if (setAction(signal, SIG_DFL)) {
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signal);
    // Only the stop itself is let through; the other handlers' signals wait until it is over.
    // A raise that fails leaves the process running, as a refused unblock does.
    if (pthread_sigmask(SIG_UNBLOCK, &self, nullptr) == 0) {
      static_cast<void>(raise(signal));
    }
    // Continued: the next stop is taken the same way. Refused, the next one simply stops.
    static_cast<void>(installHandler(signal, onStopRequest));
  }
  errno = savedErrno;
}

// Installed once, and only over the default: a host program's own use of a signal wins (for
// the lease signal, its loads then copy).
bool leaseHandlerReady() {
  static const bool ready = [] {
    for (const int stop : {SIGTSTP, SIGTTIN, SIGTTOU}) {
      if (atDefault(stop)) {
        static_cast<void>(installHandler(stop, onStopRequest));
      }
    }
    return atDefault(leaseSignal()) && installHandler(leaseSignal(), onLeaseBreak);
  }();
  return ready;
}

// SIGIO ends the process by default. While any mapping exists it lets the leases go instead,
// when the default was there; the default comes back with the last mapping. Called with the
// handlers' signals held.
void takeSigio() {
  if (!sigioTaken && atDefault(SIGIO)) {
    sigioTaken = installHandler(SIGIO, onLeaseBreak);
  }
}

void giveSigioBack() {
  // A SIGIO that came in meanwhile is still a lease's: the handler stays to take it, and goes
  // with the next mapping dropped.
  sigset_t pending;
  if (!sigioTaken || sigpending(&pending) != 0 || sigismember(&pending, SIGIO) != 0) {
    return;
  }
  sigioTaken = !setAction(SIGIO, SIG_DFL);
}

// Local file systems whose leases see every writer. A network or user-space file system may
// grant a lease that another machine or the file system's own daemon never breaks.
// ext4's also stands for ext2 and ext3.
bool leasesSeeEveryWriter(int descriptor) {
  return onFileSystem(descriptor, {EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC,
                                   TMPFS_MAGIC, F2FS_SUPER_MAGIC});
}

// Takes a read lease on a regular file large enough to map, on a file system whose leases see
// every writer; the kernel grants it only while nobody has the file open to write.
bool takeLease(int descriptor) {
  struct stat status {};
  return fileMappingsForTesting && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<std::uint64_t>(status.st_size) >= mappedMinimum &&
         leasesSeeEveryWriter(descriptor) && leaseHandlerReady() &&
         fcntl(descriptor, F_SETSIG, leaseSignal()) == 0 &&
         fcntl(descriptor, F_SETLEASE, F_RDLCK) == 0;
}

// Maps the leased file and registers the mapping for the handlers; null (file left open) when
// there is no memory or no free slot. With the handlers' signals held.
FileImage::Mapping* newMapping(Descriptor& file, const struct stat& status, std::size_t length) {
  std::unique_ptr<FileImage::Mapping> mapping(new (std::nothrow) FileImage::Mapping);
  if (!mapping) {
    return nullptr;
  }
  mapping->loaded = status;
  mapping->length = length;
  mapping->mappedLength = roundUp(length, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  mapping->chunks = roundUp(mapping->mappedLength, chunkSize) / chunkSize;
  mapping->copyNanoseconds = copyTimeAllowed();
  mapping->own.reset(new (std::nothrow) volatile std::sig_atomic_t[mapping->chunks]());
  mapping->written.reset(new (std::nothrow) std::uint64_t[mapping->chunks * wordsPerChunk]());
  if (!mapping->own || !mapping->written) {
    return nullptr;
  }
  // On a chunk boundary, so that every chunk copied in can be one huge page: an address range
  // is reserved there, then the file is mapped over it, read-only.
  std::uint8_t* area = mapAligned(mapping->mappedLength, chunkSize, PROT_NONE, MAP_NORESERVE);
  if (area == nullptr) {
    return nullptr;
  }
  if (mmap(area, mapping->mappedLength, PROT_READ, MAP_SHARED | MAP_FIXED, file.get(), 0) ==
      MAP_FAILED) {
    giveBack(area, mapping->mappedLength);
    return nullptr;
  }
  mapping->start = area;
  for (FileImage::Mapping* volatile& slot : mappings) {
    if (slot == nullptr) {
      mapping->file = std::move(file);
      takeSigio();
      slot = mapping.get();
      return mapping.release();
    }
  }
  return nullptr;
}

} // namespace

// Reads the file by its descriptor, so a file cut short by force gives a short read, never
// SIGBUS; the bytes are the load-time bytes while the lease holds, which the status confirms.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c) {
  const std::size_t offset = c * chunkSize;
  const std::size_t count = std::min(chunkSize, mapping.mappedLength - offset);
  std::uint8_t* fresh = freshMemory(count);
  if (fresh == nullptr) {
    return false;
  }
  if (!readAllAt(mapping.file.get(), fresh, std::min(count, mapping.length - offset), offset) ||
      !stillAsLoaded(mapping)) {
    lose(mapping, ImageLoss::notRead);
  }
  if (afterChunkReadForTesting != nullptr) {
    afterChunkReadForTesting();
  }
  if (mremap(fresh, count, count, MREMAP_MAYMOVE | MREMAP_FIXED, mapping.start + offset) ==
      MAP_FAILED) {
    giveBack(fresh, count);
    return false;
  }
  mapping.own[c] = 1;
  return true;
}

// While the read lease is still held nobody has opened the file to write since the load, so it
// holds the load's bytes whatever its times say (touch, chmod and a new link change them). Once
// the lease is breaking or gone, a writer let in by force may have changed it.
bool stillAsLoaded(FileImage::Mapping& mapping) {
  struct stat now {};
  if (fcntl(mapping.file.get(), F_GETLEASE) == F_RDLCK ||
      (fstat(mapping.file.get(), &now) == 0 && unchangedSince(mapping.loaded, now))) {
    return true;
  }
  lose(mapping, ImageLoss::notRead);
  return false;
}

std::optional<FileReadResult> mapUnderLease(Descriptor& file, std::size_t minLength,
                                            std::size_t maxLength, FileImage::Mapping*& mapped) {
  // Held back until the mapping is registered, so that a break the lease meets at once finds
  // the mapping to copy.
  // Blocked already, as a parent may leave it: a lease whose break is never heard would hold a
  // writer up, then be taken back by force, so no lease is taken.
  const HeldSignals held(leaseHandlerSignals());
  if (held.wasHeld(leaseSignal()) || !takeLease(file.get())) {
    return std::nullopt;
  }
  // From here on nobody writes the file without this process hearing first.
  struct stat status {};
  if (fstat(file.get(), &status) != 0) {
    return FileReadResult::notRead;
  }
  const auto fileLength = static_cast<std::uint64_t>(status.st_size);
  if (fileLength < minLength || fileLength > maxLength) {
    return FileReadResult::lengthRefused;
  }
  mapped = newMapping(file, status, static_cast<std::size_t>(fileLength));
  if (mapped != nullptr) {
    return FileReadResult::read;
  }
  // Refused, the lease goes with the descriptor's close at the end of the load.
  static_cast<void>(fcntl(file.get(), F_SETLEASE, F_UNLCK));
  return std::nullopt;
}

void dropMapping(FileImage::Mapping* mapping) noexcept {
  {
    const HeldSignals held(leaseHandlerSignals());
    bool othersLeft = false;
    for (FileImage::Mapping* volatile& slot : mappings) {
      if (slot == mapping) {
        slot = nullptr;
      } else if (slot != nullptr) {
        othersLeft = true;
      }
    }
    if (!othersLeft) {
      giveSigioBack();
    }
  }
  delete mapping;
}

} // namespace tilegraft

#endif
