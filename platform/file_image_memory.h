#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tilegraft {

// The memory of one file image: anonymous pages of the process's own, laid out so that the
// kernel can back a large image with huge pages, and made resident before the file is read into
// them, so that filling it does not take a page fault for every small page.
//
// Holds nothing, or one block from a successful allocate until reset, the next allocate or
// destruction. The bytes are private to the process: nothing written to them reaches a file, and
// nothing done to a file changes them.
class FileImageMemory {
public:
  FileImageMemory() = default;
  FileImageMemory(const FileImageMemory&) = delete;
  FileImageMemory& operator=(const FileImageMemory&) = delete;
  // The block changes owner; the one moved from holds nothing.
  FileImageMemory(FileImageMemory&& other) noexcept { *this = std::move(other); }
  FileImageMemory& operator=(FileImageMemory&& other) noexcept {
    if (this != &other) {
      reset();
      std::swap(bytes, other.bytes);
      std::swap(mappedLength, other.mappedLength);
    }
    return *this;
  }
  ~FileImageMemory() { reset(); }

  // Releases any block held, then obtains length bytes, all zero. Returns false, holding
  // nothing, when the memory cannot be had.
  bool allocate(std::size_t length) noexcept;
  // Releases the block, if any. Never fails.
  void reset() noexcept;

  std::uint8_t* get() const { return bytes; }
  explicit operator bool() const { return bytes != nullptr; }

private:
  std::uint8_t* bytes = nullptr;
  std::size_t mappedLength = 0;
};

} // namespace tilegraft
