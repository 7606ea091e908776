#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace tilegraft {

// A huge page on x86-64 and 4 KiB-page arm64; elsewhere an unused hint.
inline constexpr std::size_t hugePageSize = std::size_t{2} << 20;

inline std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Anonymous memory on an alignment boundary (more mapped, the ends given back), or null.
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
  if ((head != 0 && munmap(first, head) != 0) ||
      munmap(first + head + length, reserved - head - length) != 0) {
    static_cast<void>(munmap(first, reserved));
    return nullptr;
  }
  return first + head;
}

// Zeroed memory, from a huge page up aligned and marked for huge pages, resident in one call. Null
// when there is none (not the out-of-memory killer later). Both are safe in a signal handler.
inline std::uint8_t* freshMemory(std::size_t length) {
  const bool huge = length >= hugePageSize;
  void* const mapped =
      huge ? mapAligned(length, hugePageSize, PROT_READ | PROT_WRITE)
           : mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == nullptr || mapped == MAP_FAILED) {
    return nullptr;
  }
  auto* const start = static_cast<std::uint8_t*>(mapped);
#ifdef MADV_HUGEPAGE
  if (huge) {
    static_cast<void>(madvise(start, length, MADV_HUGEPAGE));
  }
#endif
#ifdef MADV_POPULATE_WRITE
  // Kernels before 5.14 refuse it; the pages are then faulted in as they are filled.
  if (madvise(start, length, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
    static_cast<void>(munmap(start, length));
    return nullptr;
  }
#endif
  return start;
}

} // namespace tilegraft
