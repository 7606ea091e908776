#include "platform/file_image.h"
#include "platform/posix_descriptor.h"
#include "platform/posix_lease.h"
#include "platform/posix_memory.h"
#include "platform/test_seams.h"

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) (static_cast<void>(addr), static_cast<void>(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) (static_cast<void>(addr), static_cast<void>(size))
#endif

namespace tilegraft {

bool FileImageMemory::allocate(std::size_t length) noexcept {
  reset();
  // One byte more, so there is always room past the end for the address sanitizer to mark.
  std::size_t span = roundUp(length + 1, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  // A tail past the last huge page stays in small pages unless it fills half of one.
  if (span >= hugePageSize && span % hugePageSize >= hugePageSize / 2) {
    span = roundUp(span, hugePageSize);
  }
  bytes = freshMemory(span);
  if (bytes == nullptr) {
    return false;
  }
  mappedLength = span;
  ASAN_POISON_MEMORY_REGION(bytes + length, span - length);
  return true;
}

void FileImageMemory::reset() noexcept {
  if (bytes != nullptr) {
    // Clean shadow for whatever is mapped there next.
    ASAN_UNPOISON_MEMORY_REGION(bytes, mappedLength);
    munmap(bytes, std::exchange(mappedLength, 0));
    bytes = nullptr;
  }
}

namespace {

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
  reach(afterFileReadForTesting, fileName);
  if (!regular) {
    return whole ? FileReadResult::read : FileReadResult::notRead;
  }
  struct stat after {};
  const bool seen = fstat(descriptor, &after) == 0;
  // A changed file is read again; one shorter than it says and unchanged (sysfs) fails.
  changed = seen && !unchangedSince(before, after);
  return whole && seen && !changed ? FileReadResult::read : FileReadResult::notRead;
}

#if TILEGRAFT_LINUX_CALLS

// 1 MiB pieces: the largest no slower (64 KiB-4 MiB tried); a writer waits for one at most.
constexpr std::size_t sendPiece = std::size_t{1} << 20;
constexpr std::size_t blockSize = 4096;
constexpr std::size_t minimumSent = 8;

// Static: under an address-space limit a stack grown by 64 KiB ends the process (SIGSEGV).
std::uint8_t bounceBuffer[std::size_t{64} << 10];

// Copies [from, to) of the mapped file to out by the kernel, or through the buffer. Held signal.
bool sendFromFile(int in, int out, std::size_t from, std::size_t to, bool positioned) {
  auto inOffset = static_cast<off_t>(from);
  auto outOffset = static_cast<off_t>(from);
  bool kernelCopies = blockSharingForTesting;
  while (static_cast<std::size_t>(inOffset) < to) {
    // A piece off a block boundary ends at the next, so later ones can share blocks.
    const auto at = static_cast<std::size_t>(inOffset);
    const std::size_t piece =
        std::min(to - at, at % blockSize == 0 ? sendPiece : blockSize - at % blockSize);
    if (kernelCopies) {
      const ssize_t sent =
          copy_file_range(in, &inOffset, out, positioned ? &outOffset : nullptr, piece, 0);
      if (sent > 0 || (sent < 0 && errno == EINTR)) {
        continue;
      }
      // 0: cut by force. A pairing refused (before Linux 5.19, or append) takes the buffer.
      const bool pairingRefused = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                  errno == EOPNOTSUPP || errno == EBADF;
      if (sent == 0 || !pairingRefused) {
        return false;
      }
      kernelCopies = false;
    }
    const std::size_t count = std::min(piece, sizeof bounceBuffer);
    if (!readAllAt(in, bounceBuffer, count, static_cast<std::size_t>(inOffset)) ||
        !writeAllAt(out, bounceBuffer, count, positioned ? outOffset : -1)) {
      return false;
    }
    inOffset += static_cast<off_t>(count);
    outOffset += static_cast<off_t>(count);
  }
  return true;
}
#endif

} // namespace

#if TILEGRAFT_LINUX_CALLS
bool FileImage::isMapped() const {
  return mapping != nullptr && std::any_of(mapping->own.get(), mapping->own.get() + mapping->chunks,
                                           [](std::sig_atomic_t own) { return own == 0; });
}

// A chunk at a time, so a writer waits for one at most; one seen own stays so.
bool FileImage::copyIn(std::size_t offset, std::size_t count, std::size_t rows,
                       std::size_t stride) noexcept {
  for (std::size_t r = 0; count != 0 && r < rows; ++r) {
    const std::size_t from = offset + r * stride;
    for (std::size_t b = from / writtenBlock; b <= (from + count - 1) / writtenBlock; ++b) {
      mapping->written[b / 64] |= std::uint64_t{1} << (b % 64);
    }
    for (std::size_t c = from / chunkSize; c <= (from + count - 1) / chunkSize; ++c) {
      if (mapping->own[c] == 0) {
        const HeldSignals held(leaseHandlerSignals());
        if (mapping->own[c] == 0 && !copyChunkIn(*mapping, c)) {
          return false;
        }
      }
    }
  }
  return true;
}

// Mapped parts go file to file with the lease signal held, confirmed by the file's status. Into
// anything but a regular file, a piece is read with the signal held and written with it free, so
// a writer never waits on a slow reader. A loss found fails this send and every later one.
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
  while (from < to && isIntact()) {
    const std::size_t c = from / chunkSize;
    std::size_t end = std::min(to, (c + 1) * chunkSize);
    const std::uint8_t* piece = view + from;
    // In a chunk of its own, a run of minimumSent or more blocks no merge wrote holds the file's
    // bytes while the lease does: it goes file to file too, sharing blocks; shorter, from memory.
    bool unwritten = mapping->own[c] == 0;
    if (!unwritten && !slowTarget) {
      const std::size_t first = from / writtenBlock;
      const std::size_t stop = (end + writtenBlock - 1) / writtenBlock;
      std::size_t next = first;
      std::size_t past = first;
      for (; next < stop; next = past + 1) {
        for (past = next; past < stop && (mapping->written[past / 64] >> (past % 64) & 1) == 0;
             ++past) {
        }
        if (past - next >= minimumSent) {
          break;
        }
      }
      unwritten = next == first && next < stop;
      end = std::min(end, (unwritten ? past : next) * writtenBlock);
    }
    if (unwritten) {
      if (slowTarget) {
        end = std::min(end, from + sizeof bounceBuffer);
      }
      const HeldSignals held(leaseHandlerSignals());
      if (mapping->own[c] == 0 || mapping->leased != 0) {
        const bool got = slowTarget
                             ? readAllAt(mapping->file.get(), bounceBuffer, end - from, from)
                             : sendFromFile(mapping->file.get(), descriptor, from, end, positioned);
        if (!got || !stillAsLoaded(*mapping)) {
          return false;
        }
        if (!slowTarget) {
          from = end;
          continue;
        }
        piece = bounceBuffer;
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

bool FileImage::isMapped() const { return false; }
bool FileImage::copyIn(std::size_t, std::size_t, std::size_t, std::size_t) noexcept { return true; }
bool FileImage::writeTo(int descriptor, std::size_t from, std::size_t to, bool positioned) const {
  return writeAllAt(descriptor, view + from, to - from, positioned ? static_cast<off_t>(from) : -1);
}

#endif

FileReadResult FileImage::load(const std::string& fileName, std::size_t minLength,
                               std::size_t maxLength) {
  reset();
  // O_NONBLOCK: a named pipe would wait for a writer for ever. Every attempt reads this file.
  Descriptor file(open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) {
    return errno == EMFILE || errno == ENFILE ? FileReadResult::tooManyOpen
                                              : FileReadResult::notOpened;
  }
  clearNonBlocking(file.get());
  const auto hold = [&]() -> FileReadResult {
#if TILEGRAFT_LINUX_CALLS
    if (const std::optional<FileReadResult> mapped =
            mapUnderLease(file, minLength, maxLength, mapping)) {
      if (*mapped == FileReadResult::read) {
        view = mapping->start;
        length = mapping->length;
        lossState = &mapping->loss;
      }
      return *mapped;
    }
#endif
    FileReadResult result = FileReadResult::notRead;
    bool changed = true;
    for (int attempt = 0; attempt < 4 && changed; ++attempt) { // then a changing file is given up
      changed = false;
      result = readOnce(file.get(), minLength, maxLength, copy, length, changed, fileName);
    }
    view = result == FileReadResult::read ? copy.get() : nullptr;
    return result;
  };
  // A shared lock waits for an in-place save to end, so no half-written file is read; held only
  // until the bytes are read or the lease taken, so no image holds up later saves. Another's lock
  // past the wait is read past (the read's check finds a change); no locks: read unlocked.
  const int descriptor = file.get();
  struct stat status {};
  const bool locked = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                      lockWithin(descriptor, LOCK_SH, fileName);
  const FileReadResult result = hold();
  if (locked) {
    static_cast<void>(flock(descriptor, LOCK_UN));
  }
  if (result != FileReadResult::read) {
    reset();
  }
  return result;
}

void FileImage::reset() noexcept {
#if TILEGRAFT_LINUX_CALLS
  if (mapping != nullptr) {
    dropMapping(std::exchange(mapping, nullptr));
  }
#endif
  copy.reset();
  view = nullptr;
  length = 0;
  lossState = &neverLost;
}

} // namespace tilegraft
