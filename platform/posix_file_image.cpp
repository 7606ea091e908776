#include "platform/file_image.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_lease.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if TILEGRAFT_LINUX_CALLS
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#endif

namespace tilegraft {

namespace {

// A file rewritten this many times in a row, each time during the read, is given up.
constexpr int readAttempts = 4;

// While a file is read: nothing about it changed at all.
bool unchanged(const struct stat& before, const struct stat& after) {
  return sameContents(before, after) && sameTime(changeTime(before), changeTime(after));
}

// In-place saves write under an exclusive lock; a load waits for one to finish under a shared
// one, so it never reads a file half written. Held only until the bytes are read or the lease is
// taken (the lease guards a mapped image from then on), so that no image holds up later saves.
// A file system without locks is read unlocked, as saves write it.
class SharedLock {
public:
  SharedLock(int descriptor, const std::string& fileName) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
      return;
    }
    // Another program's lock, held past the wait, is read past: the read's own check then
    // finds a file that changes meanwhile.
    locked = lockWithin(descriptor, LOCK_SH, fileName) ? descriptor : -1;
  }
  ~SharedLock() {
    if (locked >= 0) {
      static_cast<void>(flock(locked, LOCK_UN));
    }
  }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

private:
  int locked = -1;
};

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

namespace {

// Untouched parts go from file to file in pieces of this size: the largest that measured no
// slower (64 KiB to 4 MiB tried), and small enough that a writer waiting on the lease waits
// for at most one.
constexpr std::size_t sendPiece = std::size_t{1} << 20;

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

namespace {

// The rows of a makeWritable call: count bytes from offset, rows times, stride apart.
struct Rows {
  std::size_t offset;
  std::size_t count;
  std::size_t rows;
  std::size_t stride;

  std::size_t end() const { return offset + (rows - 1) * stride + count; }
  // Calls visit(firstPage, endPage) for the runs of pages the rows touch within pages
  // [fromPage, toPage), each run once, in order, adjacent pages joined; stops at the first
  // false it gives.
  template <class Visit> bool eachRun(std::size_t fromPage, std::size_t toPage, Visit visit) const {
    const std::size_t from = fromPage * writtenPageSize;
    // The first row that ends at or past from.
    std::size_t r = 0;
    if (stride != 0 && from > offset + count) {
      r = std::min(rows, (from - offset - count + stride - 1) / stride);
    }
    std::size_t runFrom = 0;
    std::size_t runTo = 0;
    for (; r < rows; ++r) {
      const std::size_t rowStart = offset + r * stride;
      const std::size_t first = std::max(fromPage, rowStart / writtenPageSize);
      const std::size_t last = std::min(toPage, (rowStart + count - 1) / writtenPageSize + 1);
      if (first >= toPage) {
        break;
      }
      if (first >= last) {
        continue;
      }
      if (first > runTo) {
        if (runTo > runFrom && !visit(runFrom, runTo)) {
          return false;
        }
        runFrom = first;
      }
      runTo = std::max(runTo, last);
    }
    return runTo <= runFrom || visit(runFrom, runTo);
  }
};

// A chunk whose pages the rows take fewer than this share of (1 in n) has those pages alone made
// private; one they take more of is copied in whole, as one huge page. Measured: a page made
// private costs about what its share of a chunk copy does, and a huge page is faster to merge
// into and to save from.
constexpr std::size_t wholeChunkShare = 4;
constexpr std::size_t pagesPerChunk = chunkSize / writtenPageSize;

} // namespace

bool FileImage::copyIn(std::size_t offset, std::size_t count, std::size_t rows,
                       std::size_t stride) noexcept {
  if (count == 0 || rows == 0) {
    return true;
  }
  const Rows block{offset, count, rows, stride};
  const std::size_t first = offset / chunkSize;
  const std::size_t last = (block.end() - 1) / chunkSize;
  bool fewPages = false;
  if (mapping->privatePages) {
    std::size_t pages = 0;
    block.eachRun(first * pagesPerChunk, (last + 1) * pagesPerChunk,
                  [&pages](std::size_t from, std::size_t to) {
                    pages += to - from;
                    return true;
                  });
    fewPages = pages * wholeChunkShare < (last - first + 1) * pagesPerChunk;
  }
  // The rows' pages only are marked, not the span between them: a block's rows are far apart in
  // a wide bitmap, and a save that shares blocks writes exactly these.
  const auto mark = [this](std::size_t from, std::size_t to) {
    for (std::size_t page = from; page < to; ++page) {
      mapping->written[page / 64] |= std::uint64_t{1} << (page % 64);
    }
    return true;
  };
  // A chunk at a time, so that a writer waiting on the lease waits for at most one. A page of a
  // chunk not yet own is marked only once it is private, with the signal held, so that a handler
  // that copies the chunk in takes that page from memory.
  for (std::size_t c = first; c <= last; ++c) {
    const std::size_t fromPage = c * pagesPerChunk;
    const std::size_t toPage = fromPage + pagesPerChunk;
    // Chunks only ever become own, so one seen own stays so without holding the signal.
    if (mapping->own[c] != 0) {
      block.eachRun(fromPage, toPage, mark);
      continue;
    }
    const LeaseSignalHeld held;
    if (mapping->own[c] == 0) {
      const auto makePrivate = [this](std::size_t from, std::size_t to) {
        return makePagesPrivate(*mapping, from * writtenPageSize,
                                std::min(to * writtenPageSize, mapping->mappedLength));
      };
      const bool pagesAlone =
          fewPages && block.eachRun(fromPage, toPage, makePrivate) && stillAsLoaded(*mapping);
      if (!pagesAlone && !copyChunkIn(*mapping, c)) {
        return false;
      }
    }
    block.eachRun(fromPage, toPage, mark);
  }
  return true;
}

// Written pages at most this many clean pages apart are written in one call.
constexpr std::size_t joinedGapPages = 4;

std::optional<bool> FileImage::shareInto(int descriptor, void (*afterClone)()) const {
#ifdef FICLONE
  if (mapping == nullptr || !blockSharingForTesting) {
    return std::nullopt;
  }
  {
    // While the lease is held and the image intact, the file holds exactly the load-time bytes,
    // so a clone taken now shares those; the signal waits, as for a send, until it is taken.
    const LeaseSignalHeld held;
    if (mapping->leaseHeld == 0 || !isIntact()) {
      return std::nullopt;
    }
    const bool cloned = cloneByCopyForTesting
                            ? sendFromFile(mapping->file.get(), descriptor, 0, length, true)
                            : ioctl(descriptor, FICLONE, mapping->file.get()) == 0;
    if (!cloned) {
      // Refused (another file system, one that shares nothing, flags that differ): whatever a
      // clone that failed part-way left is cut off, and the bytes are written as anywhere else.
      if (ftruncate(descriptor, 0) != 0) {
        return false;
      }
      return std::nullopt;
    }
    struct stat now {};
    if (fstat(mapping->file.get(), &now) != 0) {
      return false;
    }
    if (!asLoaded(*mapping, now)) {
      return false;
    }
  }
  if (afterClone != nullptr) {
    afterClone();
  }
  // Runs of written pages, each in one write, and runs a few clean pages apart joined into one:
  // a write into shared blocks costs per call about what a few pages do (1,754 writes of the
  // rows of 100 small blocks took 25 ms on XFS and 75 on Btrfs; joined into 10 writes, 22 and
  // 45 ms). The pages between hold the load-time bytes: copied in with their chunk, or still the
  // file's own pages, which the kernel reads for the write (a file cut short by force then fails
  // the write rather than raising SIGBUS).
  const std::size_t pages = (length + writtenPageSize - 1) / writtenPageSize;
  const auto isWritten = [this](std::size_t page) { return pageWritten(*mapping, page); };
  const auto nextWritten = [&](std::size_t page) {
    while (page < pages && !isWritten(page)) {
      page = mapping->written[page / 64] >> (page % 64) == 0 ? (page / 64 + 1) * 64 : page + 1;
    }
    return std::min(page, pages);
  };
  for (std::size_t page = nextWritten(0); page < pages;) {
    std::size_t runEnd = page;
    for (std::size_t next = page; next < pages && next <= runEnd + joinedGapPages;
         next = nextWritten(runEnd)) {
      runEnd = next;
      while (runEnd < pages && isWritten(runEnd)) {
        ++runEnd;
      }
    }
    const std::size_t from = page * writtenPageSize;
    const std::size_t to = std::min(length, runEnd * writtenPageSize);
    if (!isIntact() || !writeAllAt(descriptor, view + from, to - from, static_cast<off_t>(from))) {
      return false;
    }
    page = nextWritten(runEnd);
  }
  return isIntact();
#else
  static_cast<void>(descriptor);
  static_cast<void>(afterClone);
  return std::nullopt;
#endif
}

// The parts still mapped go from file to file with the lease signal held, and the file's status
// then confirms they were the load-time bytes. Into anything but a regular file (a pipe, a
// socket, a terminal), which may take its time, a piece is first read into memory with the
// signal held, then written with it free, so that a writer of the file never waits on a slow
// reader. A loss found anywhere is kept: the send fails, and so does every later one.
bool FileImage::writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const {
  if (mapping == nullptr) {
    return writeAllAt(descriptor, view + from, to - from,
                      positioned ? static_cast<off_t>(from) : -1);
  }
  struct stat target {};
  if (fstat(descriptor, &target) != 0) {
    return false;
  }
  const bool slowTarget = !S_ISREG(target.st_mode);
  // A chunk at a time, or without memory for that, a small buffer's worth.
  std::unique_ptr<std::uint8_t[]> chunkBuffer;
  std::uint8_t smallBuffer[std::size_t{64} << 10];
  if (slowTarget) {
    chunkBuffer.reset(new (std::nothrow) std::uint8_t[chunkSize]);
  }
  std::uint8_t* const buffer = chunkBuffer ? chunkBuffer.get() : smallBuffer;
  const std::size_t bufferSize = chunkBuffer ? chunkSize : sizeof smallBuffer;
  while (from < to && isIntact()) {
    const std::size_t c = from / chunkSize;
    std::size_t end = std::min(to, (c + 1) * chunkSize);
    const std::uint8_t* piece = view + from;
    // Pages that merges made private are written from memory, the rest of the chunk is sent.
    bool privateRun = false;
    if (mapping->own[c] == 0 && mapping->privatePages) {
      const std::size_t page = from / writtenPageSize;
      privateRun = pageWritten(*mapping, page);
      std::size_t next = page + 1;
      while (next * writtenPageSize < end && pageWritten(*mapping, next) == privateRun) {
        ++next;
      }
      end = std::min(end, next * writtenPageSize);
    }
    if (mapping->own[c] == 0 && !privateRun) {
      if (slowTarget) {
        end = std::min(end, from + bufferSize);
      }
      const LeaseSignalHeld held;
      if (mapping->own[c] == 0) {
        const bool got = slowTarget
                             ? readAllAt(mapping->file.get(), buffer, end - from, from)
                             : sendFromFile(mapping->file.get(), descriptor, from, end, positioned);
        struct stat now {};
        if (!got || fstat(mapping->file.get(), &now) != 0) {
          return false;
        }
        if (!asLoaded(*mapping, now)) {
          return false;
        }
        if (!slowTarget) {
          from = end;
          continue;
        }
        piece = buffer;
      }
    }
    if (!writeAllAt(descriptor, piece, end - from, positioned ? static_cast<off_t>(from) : -1)) {
      return false;
    }
    from = end;
  }
  return isIntact();
}

#else

struct FileImage::Mapping {};

bool FileImage::isMapped() const { return false; }
bool FileImage::copyIn(std::size_t, std::size_t, std::size_t, std::size_t) noexcept { return true; }
// No call here clones into an open file (macOS's clones make a new name of their own).
std::optional<bool> FileImage::shareInto(int, void (*)()) const { return std::nullopt; }
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
  const SharedLock lock(file.get(), fileName);
#if TILEGRAFT_LINUX_CALLS
  if (const std::optional<FileReadResult> mapped =
          mapUnderLease(file, minLength, maxLength, mapping)) {
    if (*mapped == FileReadResult::read) {
      view = mapping->start;
      length = mapping->length;
      lossState = mapping->loss.state();
    }
    return *mapped;
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
    dropMapping(mapping);
    mapping = nullptr;
  }
#endif
  copy.reset();
  view = nullptr;
  length = 0;
  lossState = &neverLost;
}

} // namespace tilegraft
