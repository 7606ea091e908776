#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace tilegraft {

// Anonymous memory of length bytes that starts on an alignment boundary (a power of two and a
// multiple of the page size), so that the kernel may back it with huge pages: more is mapped,
// then the ends are given back. Null when there is none. Only system calls, so a signal handler
// may use it. For the POSIX implementation files only.
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

} // namespace tilegraft
