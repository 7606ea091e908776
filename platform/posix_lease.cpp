// The read lease over mapped file images, and the signal handlers that keep it.
//
// What a lease break does. When the kernel asks for the lease back (the lease signal, or plain
// SIGIO where no real-time signal could be queued) or the terminal asks it to stop, the handler
// reads each 2 MiB chunk still shared with the file into fresh memory by pread (a file cut short
// reads short, never SIGBUS), checks the file's status, swaps the copy in by one mremap (a merge
// paused in the chunk resumes on the copy's equal byte), and lets the lease go. A chunk not copied
// within half the lease-break time, or for want of memory, becomes zeros and the image is lost;
// merges and saves test for loss before each block or piece. The handlers' signals block one
// another; the main line holds them (leaseHandlerSignals) while it works on a mapping. Handlers
// make only system calls (fcntl, pread, fstat, mmap, mremap, madvise, munmap, clock_gettime; to
// stop, sigaction, pthread_sigmask, raise), check each, touch only sig_atomic_t fields and chunks.

#include "platform/posix_lease.h"

#if TILEGRAFT_LINUX_CALLS

#include "platform/posix_memory.h"
#include "platform/test_seams.h"

#include <charconv>
#include <ctime>
#include <linux/magic.h>
#include <new>

namespace tilegraft {

FileImage::Mapping::~Mapping() {
  if (start != nullptr) {
    munmap(start, mappedLength);
  }
}

namespace {

// A smaller file is copied whole at load: a mapping would save nothing.
constexpr std::size_t mappedMinimum = 2 * chunkSize;
// One per bitmap a script holds, with room to spare; beyond it, loads copy.
constexpr int maxMappings = 8;
constexpr std::int64_t usualBreakSeconds = 45;
constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;

FileImage::Mapping* volatile mappings[maxMappings] = {};
// SIGIO's handler is ours while any mapping exists, where it was the default.
bool sigioTaken = false;

int leaseSignal() { return SIGRTMIN + 1; }

// The monotonic clock, in nanoseconds; 0 where it cannot be read, which leaves no time to copy.
std::int64_t monotonicNow() {
  struct timespec now {};
  return clock_gettime(CLOCK_MONOTONIC, &now) == 0
             ? std::int64_t{now.tv_sec} * nanosecondsPerSecond + now.tv_nsec
             : 0;
}

// Half the lease-break time (unreadable: the usual), the rest for the signal and the lease.
std::int64_t copyTimeAllowed() {
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

// Zeros in place of chunk c of a lost image, so nothing faults on a file cut short.
void giveUpChunk(FileImage::Mapping& mapping, std::size_t c) {
  const std::size_t offset = c * chunkSize;
  if (mmap(mapping.start + offset, std::min(chunkSize, mapping.mappedLength - offset),
           PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
           0) != MAP_FAILED) {
    mapping.own[c] = 1;
  }
}

// Copies in each chunk still shared while there is time and memory, gives up the rest, lets go.
void letLeaseGo(FileImage::Mapping& mapping, std::int64_t start) {
  for (std::size_t c = 0; c < mapping.chunks; ++c) {
    if (mapping.own[c] != 0) {
      continue;
    }
    const std::int64_t now = monotonicNow();
    const bool inTime = start != 0 && now != 0 && now - start < mapping.copyNanoseconds;
    if (!inTime || !copyChunkIn(mapping, c)) {
      lose(mapping, inTime ? ImageLoss::noMemory : ImageLoss::notRead);
      giveUpChunk(mapping, c);
    }
  }
  // Refused (or gone), the lease stays until the next signal or the kernel's taking it back.
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
  // A plain SIGIO, or a signal another program sent, names no file: every lease goes.
  const bool namesFile = signal != SIGIO && info != nullptr && info->si_code == POLL_MSG;
  letLeasesGo(namesFile ? info->si_fd : -1);
  errno = savedErrno;
}

// A terminal stop (Ctrl-Z, a question read in the background) may outlast the lease-break time:
// every lease goes first, then the process stops.
void onStopRequest(int signal, siginfo_t* /*info*/, void* /*context*/) {
  const int savedErrno = errno;
  letLeasesGo(-1);
  // Where the default cannot be put back, the process goes on without stopping.
  if (setAction(signal, SIG_DFL)) {
    // Only the stop is let through; the other handlers' signals wait until it is over.
    const sigset_t self = signalSet({signal});
    if (pthread_sigmask(SIG_UNBLOCK, &self, nullptr) == 0) {
      static_cast<void>(raise(signal));
    }
    // Continued: the next stop is taken the same way. Refused, the next one simply stops.
    static_cast<void>(installHandler(signal, onStopRequest, leaseHandlerSignals()));
  }
  errno = savedErrno;
}

// Installed once, only over the default: a host program's use of a signal wins (loads copy).
bool leaseHandlerReady() {
  static const bool ready = [] {
    for (const int stop : {SIGTSTP, SIGTTIN, SIGTTOU}) {
      if (atDefault(stop)) {
        static_cast<void>(installHandler(stop, onStopRequest, leaseHandlerSignals()));
      }
    }
    return atDefault(leaseSignal()) &&
           installHandler(leaseSignal(), onLeaseBreak, leaseHandlerSignals());
  }();
  return ready;
}

// A read lease on a regular file large enough to map, where leases see every writer (not on a
// network or user-space file system); granted only while nobody has it open to write.
bool takeLease(int descriptor) {
  struct stat status {};
  return fileMappingsForTesting && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<std::uint64_t>(status.st_size) >= mappedMinimum &&
         onFileSystem(descriptor, {EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC,
                                   TMPFS_MAGIC, F2FS_SUPER_MAGIC}) &&
         leaseHandlerReady() && fcntl(descriptor, F_SETSIG, leaseSignal()) == 0 &&
         fcntl(descriptor, F_SETLEASE, F_RDLCK) == 0;
}

// Maps and registers the leased file; null (file left open) without memory or a free slot.
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
  mapping->written.reset(new (std::nothrow)
                             std::uint64_t[mapping->chunks * (chunkSize / writtenBlock / 64)]());
  if (!mapping->own || !mapping->written) {
    return nullptr;
  }
  // On a chunk boundary, so that every chunk copied in can be one huge page.
  std::uint8_t* area = mapAligned(mapping->mappedLength, chunkSize, PROT_NONE, MAP_NORESERVE);
  if (area == nullptr) {
    return nullptr;
  }
  if (mmap(area, mapping->mappedLength, PROT_READ, MAP_SHARED | MAP_FIXED, file.get(), 0) ==
      MAP_FAILED) {
    munmap(area, mapping->mappedLength);
    return nullptr;
  }
  mapping->start = area;
  for (FileImage::Mapping* volatile& slot : mappings) {
    if (slot == nullptr) {
      mapping->file = std::move(file);
      // SIGIO, where it would end the process, lets the leases go while any mapping exists.
      if (!sigioTaken && atDefault(SIGIO)) {
        sigioTaken = installHandler(SIGIO, onLeaseBreak, leaseHandlerSignals());
      }
      slot = mapping.get();
      return mapping.release();
    }
  }
  return nullptr;
}

} // namespace

sigset_t leaseHandlerSignals() {
  return signalSet({leaseSignal(), SIGIO, SIGTSTP, SIGTTIN, SIGTTOU});
}

// By the descriptor, so a file cut short by force gives a short read, never SIGBUS.
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
  reach(afterChunkReadForTesting);
  if (mremap(fresh, count, count, MREMAP_MAYMOVE | MREMAP_FIXED, mapping.start + offset) ==
      MAP_FAILED) {
    munmap(fresh, count); // a failure only keeps the range reserved
    return false;
  }
  mapping.own[c] = 1;
  return true;
}

// While the lease holds, nobody has opened the file to write, whatever its times say (touch).
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
  // Held until the mapping is registered, so that an early break finds it. Blocked already (a
  // parent may leave it so), a break would go unheard: no lease is taken.
  const HeldSignals held(leaseHandlerSignals());
  if (held.wasHeld(leaseSignal()) || !takeLease(file.get())) {
    return std::nullopt;
  }
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
  static_cast<void>(fcntl(file.get(), F_SETLEASE, F_UNLCK)); // else the close lets it go
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
    // A SIGIO pending is still a lease's: the handler stays for it, to go with the next mapping.
    sigset_t pending;
    if (!othersLeft && sigioTaken && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGIO) == 0) {
      sigioTaken = !setAction(SIGIO, SIG_DFL);
    }
  }
  delete mapping;
}

} // namespace tilegraft

#endif
