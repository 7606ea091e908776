#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tilegraft {

// The memory of one file image: pages of the process's own, laid out for huge pages and made
// resident before the file is read in. Holds nothing, or one block from allocate until reset.
class FileImageMemory {
public:
  FileImageMemory() = default;
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

  // Releases any block, then obtains length zero bytes; false, holding nothing, without memory.
  bool allocate(std::size_t length) noexcept;
  void reset() noexcept;

  std::uint8_t* get() const { return bytes; }
  explicit operator bool() const { return bytes != nullptr; }

private:
  std::uint8_t* bytes = nullptr;
  std::size_t mappedLength = 0;
};

} // namespace tilegraft
