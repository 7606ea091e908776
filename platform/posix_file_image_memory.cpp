#include "platform/file_image_memory.h"
#include "platform/posix_memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) (static_cast<void>(addr), static_cast<void>(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) (static_cast<void>(addr), static_cast<void>(size))
#endif

namespace tilegraft {

namespace {

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

} // namespace

bool FileImageMemory::allocate(std::size_t length) noexcept {
  reset();
  // One byte more than the image, so that there is always room past its end that the address
  // sanitizer can mark as out of bounds.
  std::size_t span = roundUp(length + 1, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  // The tail past the last whole huge page stays in small pages unless it fills half of one:
  // at most 255 faults there, and at most 1 MiB of memory beyond the image.
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
  if (bytes == nullptr) {
    return;
  }
  // The shadow of these addresses must be clean for whatever is mapped there next.
  ASAN_UNPOISON_MEMORY_REGION(bytes, mappedLength);
  munmap(bytes, mappedLength);
  bytes = nullptr;
  mappedLength = 0;
}

} // namespace tilegraft
