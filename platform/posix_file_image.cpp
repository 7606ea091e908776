#include "platform/file_image.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_memory.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <new>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if TILEGRAFT_LINUX_CALLS
#include <linux/magic.h>
#include <sys/sendfile.h>
#include <sys/vfs.h>
#endif

namespace tilegraft {

namespace {

// A file rewritten this many times in a row, each time during the read, is given up.
constexpr int readAttempts = 4;

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

#ifdef __APPLE__
const struct timespec& changeTime(const struct stat& s) { return s.st_ctimespec; }
const struct timespec& modifyTime(const struct stat& s) { return s.st_mtimespec; }
#else
const struct timespec& changeTime(const struct stat& s) { return s.st_ctim; }
const struct timespec& modifyTime(const struct stat& s) { return s.st_mtim; }
#endif

// After a load: the same file with the same contents, as far as its status tells. The change
// time is left out: a rename over the name, a new link or a chmod changes it, not the bytes.
bool sameContents(const struct stat& before, const struct stat& after) {
  return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
         before.st_size == after.st_size && sameTime(modifyTime(before), modifyTime(after));
}

// While a file is read: nothing about it changed at all.
bool unchanged(const struct stat& before, const struct stat& after) {
  return sameContents(before, after) && sameTime(changeTime(before), changeTime(after));
}

// Reads exactly count bytes from offset; false on an error or an early end.
bool readAllAt(int descriptor, std::uint8_t* bytes, std::size_t count, std::size_t offset) {
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

FileReadResult readOnce(int descriptor, std::size_t minLength, std::size_t maxLength,
                        FileImageMemory& memory, std::size_t& length, bool& changed,
                        const std::string& fileName) {
  struct stat before {};
  if (fstat(descriptor, &before) != 0) {
    return FileReadResult::notRead;
  }
  const bool regular = S_ISREG(before.st_mode);
  // A device tells its length by a seek; a pipe, a socket or a named pipe has none.
  const off_t end = regular ? before.st_size : lseek(descriptor, 0, SEEK_END);
  if (end < 0) {
    return FileReadResult::notRead;
  }
  const auto fileLength = static_cast<std::uint64_t>(end);
  if (fileLength < minLength || fileLength > maxLength) {
    return FileReadResult::lengthRefused;
  }
  length = static_cast<std::size_t>(fileLength);
  if (!memory.allocate(length)) {
    return FileReadResult::noMemory;
  }
  const bool whole = readAllAt(descriptor, memory.get(), length, 0);
  if (afterFileReadForTesting != nullptr) {
    afterFileReadForTesting(fileName);
  }
  if (!regular) {
    return whole ? FileReadResult::read : FileReadResult::notRead;
  }
  struct stat after {};
  if (fstat(descriptor, &after) != 0) {
    return FileReadResult::notRead;
  }
  // A changed file is read again; one shorter than it says and unchanged (a length that is only
  // an estimate, as in sysfs) is a read error.
  changed = !unchanged(before, after);
  return whole && !changed ? FileReadResult::read : FileReadResult::notRead;
}

} // namespace

#if TILEGRAFT_LINUX_CALLS

// The mapped image's state. The lease signal's handler reads and changes it, so whatever the
// handler may change is a sig_atomic_t, and the main line changes the rest only with the signal
// blocked.
struct FileImage::Mapping {
  Descriptor file;       // read-only, holding the lease
  struct stat loaded {}; // the file as the lease found it
  std::uint8_t* start = nullptr;
  std::size_t length = 0;       // the file's bytes
  std::size_t mappedLength = 0; // in whole pages
  std::size_t chunks = 0;
  std::unique_ptr<volatile std::sig_atomic_t[]> own; // per chunk: 1 once it is private memory
  volatile std::sig_atomic_t leaseHeld = 1;
  volatile std::sig_atomic_t intact = 1;

  ~Mapping() {
    if (start != nullptr) {
      munmap(start, mappedLength);
    }
  }
};

namespace {

// Parts of a mapped image become private this many bytes at a time: a huge page, so that each
// takes one page fault, and few enough system calls for a merge of many small blocks.
constexpr std::size_t chunkSize = std::size_t{2} << 20;
// A smaller file is copied whole at load: with fewer than two chunks there is nothing a mapping
// would save.
constexpr std::size_t mappedMinimum = 2 * chunkSize;
// Untouched parts go from file to file in pieces of this size: the largest that measured no
// slower (64 KiB to 4 MiB tried), and small enough that a writer waiting on the lease waits
// for at most one.
constexpr std::size_t sendPiece = std::size_t{1} << 20;
// One mapped image per bitmap a script holds, with room to spare; beyond it, loads copy.
constexpr int maxMappings = 8;

FileImage::Mapping* volatile mappings[maxMappings] = {};

int leaseSignal() { return SIGRTMIN + 1; }

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Holds the lease signal (and the terminal's stop requests, which let the leases go too) back
// for the length of a piece of work that reads the file by its descriptor, so that no handler
// lets the lease go in the middle of it.
class LeaseSignalHeld {
public:
  LeaseSignalHeld() {
    sigset_t lease;
    sigemptyset(&lease);
    for (const int signal : {leaseSignal(), SIGTSTP, SIGTTIN, SIGTTOU}) {
      sigaddset(&lease, signal);
    }
    pthread_sigmask(SIG_BLOCK, &lease, &before);
  }
  ~LeaseSignalHeld() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
  // Blocked already, as a parent may leave it: a lease whose break is never heard would hold a
  // writer up, then be taken back by force, so no lease is taken.
  bool wasHeld() const { return sigismember(&before, leaseSignal()) == 1; }
  LeaseSignalHeld(const LeaseSignalHeld&) = delete;
  LeaseSignalHeld& operator=(const LeaseSignalHeld&) = delete;

private:
  sigset_t before{};
};

// Anonymous memory of count bytes, on a huge-page boundary when it is a whole chunk; null when
// there is none. Only system calls, so the lease handler may use it.
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
  madvise(start, chunkSize, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  madvise(start, chunkSize, MADV_POPULATE_WRITE);
#endif
  return start;
}

// Puts private memory holding the file's bytes in place of chunk c's file pages. Reads the file
// by its descriptor, so a file cut short by force gives a short read, never SIGBUS; the bytes
// are the load-time bytes while the lease holds, which the status then confirms. False, with
// the chunk unchanged, only when there is no memory. Only system calls: the handler uses it.
bool copyChunkIn(FileImage::Mapping& mapping, std::size_t c) {
  const std::size_t offset = c * chunkSize;
  const std::size_t count = std::min(chunkSize, mapping.mappedLength - offset);
  std::uint8_t* fresh = freshChunk(count);
  if (fresh == nullptr) {
    return false;
  }
  struct stat now {};
  if (!readAllAt(mapping.file.get(), fresh, std::min(count, mapping.length - offset), offset) ||
      fstat(mapping.file.get(), &now) != 0 || !sameContents(mapping.loaded, now)) {
    mapping.intact = 0;
  }
  if (mremap(fresh, count, count, MREMAP_MAYMOVE | MREMAP_FIXED, mapping.start + offset) ==
      MAP_FAILED) {
    munmap(fresh, count);
    return false;
  }
  mapping.own[c] = 1;
  return true;
}

// A writer waits for this process: every chunk still shared is copied in, then the lease goes.
// Without memory for a chunk, the chunk becomes zeros, so that nothing can fault on a file that
// is then cut short, and the image is no longer intact.
void letLeaseGo(FileImage::Mapping& mapping) {
  if (mapping.leaseHeld == 0) {
    return;
  }
  for (std::size_t c = 0; c < mapping.chunks; ++c) {
    if (mapping.own[c] == 0 && !copyChunkIn(mapping, c)) {
      const std::size_t offset = c * chunkSize;
      mmap(mapping.start + offset, std::min(chunkSize, mapping.mappedLength - offset),
           PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      mapping.own[c] = 1;
      mapping.intact = 0;
    }
  }
  fcntl(mapping.file.get(), F_SETLEASE, F_UNLCK);
  mapping.leaseHeld = 0;
}

void onLeaseBreak(int /*signal*/, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  // A signal sent by a program rather than by a lease tells no file: every lease goes.
  const bool fromLease = info->si_code == POLL_MSG;
  for (FileImage::Mapping* mapping : mappings) {
    if (mapping != nullptr && (!fromLease || info->si_fd == mapping->file.get())) {
      letLeaseGo(*mapping);
    }
  }
  errno = savedErrno;
}

void takeStopRequests(int signal);

// A stop from the terminal (Ctrl-Z, or the overwrite question read in the background) may last
// longer than the lease-break time while a writer waits, and the lease would then be taken
// back by force: every lease goes first, then the process stops as it would have.
void onStopRequest(int signal) {
  const int savedErrno = errno;
  for (FileImage::Mapping* mapping : mappings) {
    if (mapping != nullptr) {
      letLeaseGo(*mapping);
    }
  }
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(signal, &stop, nullptr);
  sigset_t self;
  sigemptyset(&self);
  sigaddset(&self, signal);
  pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
  raise(signal);
  // Continued: the next stop is taken the same way.
  takeStopRequests(signal);
  errno = savedErrno;
}

void takeStopRequests(int signal) {
  struct sigaction handler {};
  handler.sa_handler = onStopRequest;
  handler.sa_flags = SA_RESTART;
  sigemptyset(&handler.sa_mask);
  sigaction(signal, &handler, nullptr);
}

// Installed once, and only over the default: a host program's own use of a signal wins (for
// the lease signal, its loads then copy).
bool leaseHandlerReady() {
  static const bool ready = [] {
    for (const int stop : {SIGTSTP, SIGTTIN, SIGTTOU}) {
      struct sigaction current {};
      if (sigaction(stop, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        takeStopRequests(stop);
      }
    }
    struct sigaction current {};
    if (sigaction(leaseSignal(), nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
      return false;
    }
    struct sigaction handler {};
    handler.sa_sigaction = onLeaseBreak;
    handler.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&handler.sa_mask);
    return sigaction(leaseSignal(), &handler, nullptr) == 0;
  }();
  return ready;
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

// Sends [from, to) of the mapped file to out without passing it through this process, or with
// a small buffer where the system cannot. Only with the lease signal held back.
bool sendFromFile(int in, int out, std::size_t from, std::size_t to, bool positioned) {
  auto inOffset = static_cast<off_t>(from);
  auto outOffset = static_cast<off_t>(from);
  bool kernelCopies = true;
  while (static_cast<std::size_t>(inOffset) < to) {
    const std::size_t piece = std::min(sendPiece, to - static_cast<std::size_t>(inOffset));
    if (kernelCopies) {
      const ssize_t sent = positioned ? copy_file_range(in, &inOffset, out, &outOffset, piece, 0)
                                      : sendfile(out, in, &inOffset, piece);
      // Both calls move the offsets they are given on by what they sent.
      if (sent > 0) {
        continue;
      }
      if (sent < 0 && errno == EINTR) {
        continue;
      }
      // 0: the file ended early, cut by force. Otherwise a pairing the system cannot copy
      // between (another file system, a special file): the buffer serves.
      const bool pairingRefused = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                  errno == EOPNOTSUPP || errno == EBADF;
      if (sent == 0 || !pairingRefused) {
        return false;
      }
      kernelCopies = false;
    }
    std::uint8_t buffer[std::size_t{64} << 10];
    const std::size_t count = std::min(piece, sizeof buffer);
    if (!readAllAt(in, buffer, count, static_cast<std::size_t>(inOffset)) ||
        !writeAllAt(out, buffer, count, positioned ? outOffset : -1)) {
      return false;
    }
    inOffset += static_cast<off_t>(count);
    outOffset += static_cast<off_t>(count);
  }
  return true;
}

} // namespace

bool FileImage::isMapped() const {
  if (mapping == nullptr) {
    return false;
  }
  for (std::size_t c = 0; c < mapping->chunks; ++c) {
    if (mapping->own[c] == 0) {
      return true;
    }
  }
  return false;
}

bool FileImage::isIntact() const { return mapping == nullptr || mapping->intact != 0; }

bool FileImage::copyIn(std::size_t offset, std::size_t count) noexcept {
  if (mapping == nullptr || count == 0) {
    return true;
  }
  const std::size_t first = offset / chunkSize;
  const std::size_t last = (offset + count - 1) / chunkSize;
  // Chunks only ever become private, so one seen private stays so without holding the signal.
  bool allPrivate = true;
  for (std::size_t c = first; c <= last && allPrivate; ++c) {
    allPrivate = mapping->own[c] != 0;
  }
  if (allPrivate) {
    return true;
  }
  // A chunk at a time, so that a writer waiting on the lease waits for at most one.
  for (std::size_t c = first; c <= last; ++c) {
    const LeaseSignalHeld held;
    if (mapping->own[c] == 0 && !copyChunkIn(*mapping, c)) {
      return false;
    }
  }
  allOwn = !isMapped();
  return true;
}

bool FileImage::writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const {
  if (mapping == nullptr) {
    return writeAllAt(descriptor, view + from, to - from,
                      positioned ? static_cast<off_t>(from) : -1);
  }
  while (from < to && mapping->intact != 0) {
    const std::size_t c = from / chunkSize;
    const std::size_t end = std::min(to, (c + 1) * chunkSize);
    bool sent = false;
    if (mapping->own[c] == 0) {
      const LeaseSignalHeld held;
      if (mapping->own[c] == 0) {
        struct stat now {};
        if (!sendFromFile(mapping->file.get(), descriptor, from, end, positioned) ||
            fstat(mapping->file.get(), &now) != 0) {
          return false;
        }
        mapping->intact = sameContents(mapping->loaded, now) ? 1 : 0;
        sent = true;
      }
    }
    if (!sent && !writeAllAt(descriptor, view + from, end - from,
                             positioned ? static_cast<off_t>(from) : -1)) {
      return false;
    }
    from = end;
  }
  return mapping->intact != 0;
}

namespace {

// Maps the open file under a read lease, or returns null (the lease let go) when this file or
// this system does not allow it; the caller then copies. status is the file as the lease found
// it, and length its size, already checked against the limits.
FileImage::Mapping* mapUnderLease(Descriptor& file, const struct stat& status, std::size_t length) {
  std::unique_ptr<FileImage::Mapping> mapping(new (std::nothrow) FileImage::Mapping);
  if (!mapping) {
    return nullptr;
  }
  mapping->loaded = status;
  mapping->length = length;
  mapping->mappedLength = roundUp(length, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  mapping->chunks = roundUp(mapping->mappedLength, chunkSize) / chunkSize;
  mapping->own.reset(new (std::nothrow) volatile std::sig_atomic_t[mapping->chunks]());
  if (!mapping->own) {
    return nullptr;
  }
  // On a chunk boundary, so that every chunk copied in can be one huge page: an address range
  // is reserved there, then the file is mapped over it.
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
  mapping->file = std::move(file);
  const LeaseSignalHeld held;
  for (FileImage::Mapping* volatile& slot : mappings) {
    if (slot == nullptr) {
      slot = mapping.get();
      return mapping.release();
    }
  }
  file = std::move(mapping->file);
  return nullptr;
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

} // namespace

#else

struct FileImage::Mapping {};

bool FileImage::isMapped() const { return false; }
bool FileImage::isIntact() const { return true; }
bool FileImage::copyIn(std::size_t, std::size_t) noexcept { return true; }
bool FileImage::writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const {
  return writeAllAt(descriptor, view + from, to - from, positioned ? static_cast<off_t>(from) : -1);
}

#endif

FileReadResult FileImage::load(const std::string& fileName, std::size_t minLength,
                               std::size_t maxLength) {
  reset();
  // Without O_NONBLOCK a named pipe would wait for a writer for ever. Every attempt reads the
  // one open file: a program that replaces the name by a rename leaves it as it was.
  Descriptor file(open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) {
    return errno == EMFILE || errno == ENFILE ? FileReadResult::tooManyOpen
                                              : FileReadResult::notOpened;
  }
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags != -1) {
    fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
#if TILEGRAFT_LINUX_CALLS
  {
    // Held back until the mapping is registered, so that a break the lease meets at once finds
    // the mapping to copy.
    const LeaseSignalHeld held;
    if (!held.wasHeld() && takeLease(file.get())) {
      // From here on nobody writes the file without this process hearing first.
      struct stat status {};
      if (fstat(file.get(), &status) != 0) {
        return FileReadResult::notRead;
      }
      const auto fileLength = static_cast<std::uint64_t>(status.st_size);
      if (fileLength < minLength || fileLength > maxLength) {
        return FileReadResult::lengthRefused;
      }
      mapping = mapUnderLease(file, status, static_cast<std::size_t>(fileLength));
      if (mapping != nullptr) {
        view = mapping->start;
        length = mapping->length;
        allOwn = false;
        return FileReadResult::read;
      }
      fcntl(file.get(), F_SETLEASE, F_UNLCK);
    }
  }
#endif
  FileReadResult result = FileReadResult::notRead;
  std::size_t fileLength = 0;
  for (int attempt = 0; attempt < readAttempts; ++attempt) {
    bool changed = false;
    result = readOnce(file.get(), minLength, maxLength, copy, fileLength, changed, fileName);
    if (!changed) {
      break;
    }
  }
  if (result != FileReadResult::read) {
    copy.reset();
    return result;
  }
  view = copy.get();
  length = fileLength;
  return result;
}

void FileImage::reset() noexcept {
#if TILEGRAFT_LINUX_CALLS
  if (mapping != nullptr) {
    {
      const LeaseSignalHeld held;
      for (Mapping* volatile& slot : mappings) {
        if (slot == mapping) {
          slot = nullptr;
        }
      }
    }
    // The descriptor's close lets the lease go.
    delete mapping;
    mapping = nullptr;
  }
#endif
  copy.reset();
  view = nullptr;
  length = 0;
  allOwn = true;
}

} // namespace tilegraft
