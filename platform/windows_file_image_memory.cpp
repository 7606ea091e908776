#include "platform/file_image_memory.h"

#include <windows.h>

namespace tilegraft {

bool FileImageMemory::allocate(std::size_t length) noexcept {
  reset();
  // One byte more than the image, as on other systems; committed pages are zero.
  void* block = VirtualAlloc(nullptr, length + 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) {
    return false;
  }
  bytes = static_cast<std::uint8_t*>(block);
  mappedLength = length + 1;
  return true;
}

void FileImageMemory::reset() noexcept {
  if (bytes == nullptr) {
    return;
  }
  VirtualFree(bytes, 0, MEM_RELEASE);
  bytes = nullptr;
  mappedLength = 0;
}

} // namespace tilegraft
