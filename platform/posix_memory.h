#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace tilegraft {

// A huge page on x86-64, and on arm64 with 4 KiB pages. Where huge pages are larger or absent,
// the alignment is a hint that goes unused and small pages serve as before.
inline constexpr std::size_t hugePageSize = std::size_t{2} << 20;

// Anonymous memory of length bytes that starts on an alignment boundary (a power of two and a
// multiple of the page size): more is mapped, then the ends are given back. Null when there is
// none. Only system calls, so a signal handler may use it. For the POSIX implementation files.
inline std::uint8_t* mapAligned(std::size_t length, std::size_t alignment, int protection,
                                int extraFlags = 0) {
  const std::size_t reserved = length + alignment;
  void* mapped =
      mmap(nullptr, reserved, protection, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  auto* first = static_cast<std::uint8_t*>(mapped);
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(first) % alignment;
  const std::size_t head = misalignment == 0 ? 0 : alignment - misalignment;
  // An end that cannot be given back would leave the block's neighbours unknown: none is had.
  if ((head != 0 && munmap(first, head) != 0) ||
      munmap(first + head + length, reserved - head - length) != 0) {
    static_cast<void>(munmap(first, reserved));
    return nullptr;
  }
  return first + head;
}

// Zeroed, writable anonymous memory of length bytes (a multiple of the page size), on a huge-page
// boundary and marked for huge pages from one huge page up, made resident in one call rather than
// a fault per small page as it is filled. Null when there is none, found here rather than by the
// kernel's out-of-memory killer later. Only system calls, so a signal handler may use it.
inline std::uint8_t* freshMemory(std::size_t length) {
  const bool huge = length >= hugePageSize;
  std::uint8_t* start = nullptr;
  if (huge) {
    start = mapAligned(length, hugePageSize, PROT_READ | PROT_WRITE);
  } else {
    void* mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    start = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
  }
  if (start == nullptr) {
    return nullptr;
  }
#ifdef MADV_HUGEPAGE
  // Advice: refused (no transparent huge pages), small pages serve, as good if slower.
  if (huge) {
    static_cast<void>(madvise(start, length, MADV_HUGEPAGE));
  }
#endif
#ifdef MADV_POPULATE_WRITE
  // Kernels before 5.14 refuse the advice; the pages are then faulted in as they are filled.
  if (madvise(start, length, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
    static_cast<void>(munmap(start, length));
    return nullptr;
  }
#endif
  return start;
}

} // namespace tilegraft
