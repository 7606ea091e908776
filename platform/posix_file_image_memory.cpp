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

// A huge page on x86-64, and on arm64 with 4 KiB pages. Where huge pages are larger or absent,
// the alignment is a hint that goes unused and small pages serve as before.
constexpr std::size_t hugePageSize = std::size_t{2} << 20;

std::size_t roundUp(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

} // namespace

bool FileImageMemory::allocate(std::size_t length) noexcept {
  reset();
  const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // One byte more than the image, so that there is always room past its end that the address
  // sanitizer can mark as out of bounds.
  std::size_t span = roundUp(length + 1, pageSize);
  const bool huge = span >= hugePageSize;
  // The tail past the last whole huge page stays in small pages unless it fills half of one:
  // at most 255 faults there, and at most 1 MiB of memory beyond the image.
  if (huge && span % hugePageSize >= hugePageSize / 2) {
    span = roundUp(span, hugePageSize);
  }
  // A huge page needs 2 MiB of the mapping on a 2 MiB boundary.
  std::uint8_t* start = nullptr;
  if (huge) {
    start = mapAligned(span, hugePageSize, PROT_READ | PROT_WRITE);
  } else {
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    start = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
  }
  if (start == nullptr) {
    return false;
  }
  if (huge) {
#ifdef MADV_HUGEPAGE
    // Only a hint: without transparent huge pages (an older kernel, or the "never" mode) the
    // call fails or is ignored, and small pages are used.
    madvise(start, span, MADV_HUGEPAGE);
#endif
  }
#ifdef MADV_POPULATE_WRITE
  // Makes the pages resident in one call rather than one fault at a time while the file is
  // read into them. Also only a hint: kernels before 5.14 refuse it, and the read then faults
  // the pages in as it goes.
  madvise(start, length, MADV_POPULATE_WRITE);
#endif
  bytes = start;
  mappedLength = span;
  ASAN_POISON_MEMORY_REGION(start + length, span - length);
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
