// The read lease over mapped file images, and the process-wide signal handlers that keep it.
//
// Who may touch what, with which signals blocked:
// - The handlers' signals are the lease signal (SIGRTMIN + 1), SIGIO (a lease break arrives as
//   plain SIGIO when no real-time signal can be queued) and the terminal's stop requests
//   (SIGTSTP, SIGTTIN, SIGTTOU). Each handler runs with all of them blocked (one mask for all),
//   so handlers never nest and never run a mapping's release twice over each other.
// - The main line registers and drops mappings, copies chunks in for merges and sends chunks for
//   saves only with all of them held (LeaseSignalHeld), so a handler never meets that work half
//   done.
// - The main line reads a mapped image without holding them (a merge's rows). So a chunk swaps
//   from the file's pages to its copy by one mremap: a reader paused on a byte of that chunk
//   resumes on the copy's equal byte. A chunk that cannot be copied in time, or for want of
//   memory, becomes zeros, or stays the file's pages when not even zeros can be mapped (it is
//   then never marked own), and the image is lost. Merges test for loss before each block and
//   after the last one, saves before each piece they send, so no merge that read a lost byte
//   succeeds and no save sends one (a merge that fails ends the run, its image unsaved).
// - A chunk's own mark only goes from 0 to 1, and an image's loss only rises (LossRecord).
// - A handler copies for at most half the lease-break time read at load: past that, the kernel
//   would let the writer in on a copy still being made. What is left is lost.
// - A merge that changes few pages of a chunk makes those pages alone private (copy-on-write of
//   the file mapped private), marks them written with the signals held, and leaves the chunk not
//   own. A handler that copies such a chunk in takes its marked pages from memory, the rest from
//   the file, so a merge paused in one of those pages resumes on a copy of what it wrote.
// - Handlers touch only sig_atomic_t fields, the written marks (read only) and the chunks'
//   memory, make only system calls, and check every one of them. The save's cleanup
//   handlers (posix_file_writer.cpp) touch no mapping.
//
// The Linux calls the handlers rely on: fcntl(F_SETLEASE) to let the lease go (F_SETSIG chose
// the signal at load) and fcntl(F_GETLEASE) to see whether it is still held, pread and fstat on the
// leased descriptor, process_vm_readv for the private pages (a page gone makes it fail, where a
// read would raise SIGBUS), mmap (MAP_FIXED for zeros), mremap (MREMAP_FIXED for the swap),
// madvise, munmap, clock_gettime(CLOCK_MONOTONIC) for the time bound, and, in the stop handler,
// sigaction, pthread_sigmask and raise.

#include "platform/posix_lease.h"

#if TILEGRAFT_LINUX_CALLS

#include "platform/posix_memory.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
#include <new>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

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

sigset_t handlerSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int handled : {leaseSignal(), SIGIO, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaddset(&set, handled);
  }
  return set;
}

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

std::int64_t nanosecondsOf(const struct timespec& time) {
  return std::int64_t{time.tv_sec} * nanosecondsPerSecond + time.tv_nsec;
}

// When a handler began: the start of its time bound. A clock that cannot be read leaves no time.
struct HandlerStart {
  bool known = false;
  struct timespec at {};
};

HandlerStart handlerStart() {
  HandlerStart start;
  start.known = clock_gettime(CLOCK_MONOTONIC, &start.at) == 0;
  return start;
}

bool withinCopyTime(const FileImage::Mapping& mapping, const HandlerStart& start) {
  struct timespec now {};
  return start.known && clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
         nanosecondsOf(now) - nanosecondsOf(start.at) < mapping.copyNanoseconds;
}

// Half the system's lease-break time: a handler that copies no longer leaves the other half for
// the signal to arrive and the lease to go.
std::int64_t copyTimeAllowed() {
  std::int64_t seconds = usualBreakSeconds;
  const Descriptor setting(open("/proc/sys/fs/lease-break-time", O_RDONLY | O_CLOEXEC));
  char text[24] = {};
  if (setting && read(setting.get(), text, sizeof text - 1) > 0 && text[0] >= '0' &&
      text[0] <= '9') {
    seconds = 0;
    for (const char* digit = text; *digit >= '0' && *digit <= '9' && seconds < 1'000'000; ++digit) {
      seconds = seconds * 10 + (*digit - '0');
    }
  }
  return seconds * nanosecondsPerSecond / 2;
}

// Gives address space back. A failure only keeps the range reserved, and nothing can be done
// about it, least of all in a handler.
void giveBack(void* start, std::size_t count) { static_cast<void>(munmap(start, count)); }

// Anonymous memory of count bytes, on a huge-page boundary when it is a whole chunk, its pages
// made resident; null when there is none. Only system calls, so the lease handler may use it.
std::uint8_t* freshChunk(std::size_t count) {
  if (count != chunkSize) {
    void* mapped = mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
  }
  std::uint8_t* start = mapAligned(chunkSize, chunkSize, PROT_READ | PROT_WRITE);
  if (start == nullptr) {
    return nullptr;
  }
#ifdef MADV_HUGEPAGE
  // Advice: refused, the chunk is small pages, as good if slower.
  static_cast<void>(madvise(start, chunkSize, MADV_HUGEPAGE));
#endif
#ifdef MADV_POPULATE_WRITE
  // No memory for the pages is no memory for the chunk, found here rather than by the kernel's
  // out-of-memory killer during the read; an older kernel refuses the advice, and the read fills
  // the pages instead.
  if (madvise(start, chunkSize, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
    giveBack(start, chunkSize);
    return nullptr;
  }
#endif
  return start;
}

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
void letLeaseGo(FileImage::Mapping& mapping, const HandlerStart& start) {
  if (mapping.leaseHeld == 0) {
    return;
  }
  for (std::size_t c = 0; c < mapping.chunks; ++c) {
    if (mapping.own[c] != 0) {
      continue;
    }
    if (!withinCopyTime(mapping, start)) {
      mapping.loss.lose(ImageLoss::notRead);
      giveUpChunk(mapping, c);
    } else if (!copyChunkIn(mapping, c)) {
      mapping.loss.lose(ImageLoss::noMemory);
      giveUpChunk(mapping, c);
    }
  }
  // Refused, the lease stays until the next signal or until the kernel takes it back; every
  // chunk is the process's own or lost by then.
  if (fcntl(mapping.file.get(), F_SETLEASE, F_UNLCK) == 0) {
    mapping.leaseHeld = 0;
  }
}

void onLeaseBreak(int signal, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  const HandlerStart start = handlerStart();
  // A lease break names its file. A plain SIGIO, or a signal another program sent, names none:
  // every lease goes.
  const bool namesFile = signal != SIGIO && info != nullptr && info->si_code == POLL_MSG;
  for (FileImage::Mapping* mapping : mappings) {
    if (mapping != nullptr && (!namesFile || info->si_fd == mapping->file.get())) {
      letLeaseGo(*mapping, start);
    }
  }
  errno = savedErrno;
}

bool installHandler(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  action.sa_mask = handlerSignals();
  return sigaction(signal, &action, nullptr) == 0;
}

// A stop from the terminal (Ctrl-Z, or the overwrite question read in the background) may last
// longer than the lease-break time while a writer waits, and the lease would then be taken
// back by force: every lease goes first, then the process stops as it would have.
void onStopRequest(int signal, siginfo_t* /*info*/, void* /*context*/) {
  const int savedErrno = errno;
  const HandlerStart start = handlerStart();
  for (FileImage::Mapping* mapping : mappings) {
    if (mapping != nullptr) {
      letLeaseGo(*mapping, start);
    }
  }
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  // Where the default cannot be put back, the process goes on without stopping.
  if (sigaction(signal, &stop, nullptr) == 0) {
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

bool atDefault(int signal) {
  struct sigaction current {};
  return sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_DFL;
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
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  if (sigaction(SIGIO, &byDefault, nullptr) == 0) {
    sigioTaken = false;
  }
}

// Local file systems whose leases see every writer. A network or user-space file system may
// grant a lease that another machine or the file system's own daemon never breaks.
bool leasesSeeEveryWriter(int descriptor) {
  struct statfs system {};
  if (fstatfs(descriptor, &system) != 0) {
    return false;
  }
  switch (static_cast<unsigned long>(system.f_type)) {
  case EXT4_SUPER_MAGIC: // also ext2 and ext3
  case XFS_SUPER_MAGIC:
  case BTRFS_SUPER_MAGIC:
  case TMPFS_MAGIC:
  case F2FS_SUPER_MAGIC:
    return true;
  default:
    return false;
  }
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

// Copies count bytes of this process's memory by a call that fails where a page has gone rather
// than raise SIGBUS: a file cut short after its lease was taken back by force takes back even the
// private pages past its new end, at any moment.
bool copyWithoutFault(std::uint8_t* to, const std::uint8_t* from, std::size_t count) {
  struct iovec local {};
  local.iov_base = to;
  local.iov_len = count;
  struct iovec remote {};
  remote.iov_base = const_cast<std::uint8_t*>(from);
  remote.iov_len = count;
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(count);
}

// A private writable mapping counts in full against the data limit, and under strict overcommit
// against the system's commit limit, however few of its pages merges write: there the file is
// mapped read-only and merges copy whole chunks in, as a copy at load would take the whole file.
bool privateMappingCostsNothing() {
  struct rlimit data {};
  if (getrlimit(RLIMIT_DATA, &data) != 0 || data.rlim_cur != RLIM_INFINITY) {
    return false;
  }
  const Descriptor setting(open("/proc/sys/vm/overcommit_memory", O_RDONLY | O_CLOEXEC));
  char mode = 0;
  return setting && read(setting.get(), &mode, 1) == 1 && mode != '2';
}

// Where a sandbox refuses the call, private pages could not be copied safely: the file is mapped
// read-only.
bool privatePagesCopy() {
  const std::uint8_t from = 1;
  std::uint8_t to = 0;
  return copyWithoutFault(&to, &from, 1) && to == 1;
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
  const std::size_t pages = roundUp(length, writtenPageSize) / writtenPageSize;
  mapping->written.reset(new (std::nothrow) std::uint64_t[roundUp(pages, 64) / 64]());
  if (!mapping->own || !mapping->written) {
    return nullptr;
  }
  // On a chunk boundary, so that every chunk copied in can be one huge page: an address range
  // is reserved there, then the file is mapped over it. Private and writable where the system
  // allows it and its pages are the size merges record; else read-only, and merges copy whole
  // chunks in.
  std::uint8_t* area = nullptr;
  for (const bool privately : {true, false}) {
    if (privately && (sysconf(_SC_PAGESIZE) != static_cast<long>(writtenPageSize) ||
                      !privateMappingCostsNothing() || !privatePagesCopy())) {
      continue;
    }
    area = mapAligned(mapping->mappedLength, chunkSize, PROT_NONE, MAP_NORESERVE);
    if (area == nullptr) {
      return nullptr;
    }
    const int protection = privately ? PROT_READ | PROT_WRITE : PROT_READ;
    const int flags = privately ? MAP_PRIVATE | MAP_NORESERVE : MAP_SHARED;
    if (mmap(area, mapping->mappedLength, protection, flags | MAP_FIXED, file.get(), 0) !=
        MAP_FAILED) {
      mapping->privatePages = privately;
      break;
    }
    giveBack(area, mapping->mappedLength);
    area = nullptr;
  }
  if (area == nullptr) {
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

LeaseSignalHeld::LeaseSignalHeld() {
  const sigset_t held = handlerSignals();
  pthread_sigmask(SIG_BLOCK, &held, &before);
}

LeaseSignalHeld::~LeaseSignalHeld() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }

bool LeaseSignalHeld::wasHeld() const { return sigismember(&before, leaseSignal()) == 1; }

// Reads the file by its descriptor, so a file cut short by force gives a short read, never
// SIGBUS; the bytes are the load-time bytes while the lease holds, which the status confirms.
// Pages already private are copied from memory: they may hold a merge's bytes.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c) {
  const std::size_t offset = c * chunkSize;
  const std::size_t count = std::min(chunkSize, mapping.mappedLength - offset);
  std::uint8_t* fresh = freshChunk(count);
  if (fresh == nullptr) {
    return false;
  }
  const bool readAsLoaded =
      readAllAt(mapping.file.get(), fresh, std::min(count, mapping.length - offset), offset) &&
      stillAsLoaded(mapping);
  if (!readAsLoaded) {
    mapping.loss.lose(ImageLoss::notRead);
  }
  if (afterChunkReadForTesting != nullptr) {
    afterChunkReadForTesting();
  }
  // Not from a file changed under the image: a cut takes back even the private pages past the
  // file's new end. The image is lost anyway. One cut from here on fails the copy.
  for (std::size_t at = 0; mapping.privatePages && readAsLoaded && at < count;) {
    std::size_t end = at;
    while (end < count && pageWritten(mapping, (offset + end) / writtenPageSize)) {
      end += writtenPageSize;
    }
    if (end > at && !copyWithoutFault(fresh + at, mapping.start + offset + at, end - at)) {
      mapping.loss.lose(ImageLoss::notRead);
      break;
    }
    at = std::max(end, at + writtenPageSize);
  }
  if (mremap(fresh, count, count, MREMAP_MAYMOVE | MREMAP_FIXED, mapping.start + offset) ==
      MAP_FAILED) {
    giveBack(fresh, count);
    return false;
  }
  mapping.own[c] = 1;
  return true;
}

bool makePagesPrivate(FileImage::Mapping& mapping, std::size_t from, std::size_t to) {
#ifdef MADV_POPULATE_WRITE
  // Writing each page as the merge would, in one call: a page the file no longer has gives an
  // error here rather than SIGBUS in the merge.
  return madvise(mapping.start + from, to - from, MADV_POPULATE_WRITE) == 0;
#else
  static_cast<void>(mapping);
  static_cast<void>(from);
  static_cast<void>(to);
  return false;
#endif
}

bool stillAsLoaded(FileImage::Mapping& mapping) {
  struct stat now {};
  return fstat(mapping.file.get(), &now) == 0 && asLoaded(mapping, now);
}

// While the read lease is still held nobody has opened the file to write since the load, so it
// holds the load's bytes whatever its times say (touch, chmod and a new link change them). Once
// the lease is breaking or gone, a writer let in by force may have put the modification time
// back (cp -p, rsync --inplace): then the change time must be the load's as well.
bool asLoaded(FileImage::Mapping& mapping, const struct stat& now) {
  if (fcntl(mapping.file.get(), F_GETLEASE) == F_RDLCK) {
    return true;
  }
  if (!sameContents(mapping.loaded, now) ||
      !sameTime(changeTime(mapping.loaded), changeTime(now))) {
    mapping.loss.lose(ImageLoss::notRead);
    return false;
  }
  return true;
}

std::optional<FileReadResult> mapUnderLease(Descriptor& file, std::size_t minLength,
                                            std::size_t maxLength, FileImage::Mapping*& mapped) {
  // Held back until the mapping is registered, so that a break the lease meets at once finds
  // the mapping to copy.
  const LeaseSignalHeld held;
  if (held.wasHeld() || !takeLease(file.get())) {
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
    const LeaseSignalHeld held;
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
