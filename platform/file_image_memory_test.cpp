#include "platform/file_image_memory.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace tilegraft {
namespace {

constexpr std::size_t mebibyte = std::size_t{1} << 20;
#ifdef _WIN32
constexpr bool isWindows = true;
#else
constexpr bool isWindows = false;
#endif

TEST(FileImageMemoryTest, EveryLengthGetsZeroedWritableBytesHugeOnesOnAHugePageBoundary) {
  // Small, one page exactly, just under and at one huge page, and huge with short and long tails.
  const std::vector<std::size_t> lengths{
      54, 4096, 2 * mebibyte - 1, 2 * mebibyte, 6 * mebibyte + 54, 7 * mebibyte + 4097};
  FileImageMemory buffer;
  for (std::size_t length : lengths) {
    SCOPED_TRACE(length);
    // Each allocation replaces the one before.
    ASSERT_TRUE(buffer.allocate(length));
    std::uint8_t* bytes = buffer.get();
    EXPECT_TRUE(std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; }));
    std::fill(bytes, bytes + length, std::uint8_t{0xA5});
    EXPECT_EQ(bytes[length - 1], 0xA5);
    // The POSIX memory is laid out for huge pages; Windows gives what VirtualAlloc gives.
    if (!isWindows && length >= 2 * mebibyte) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % (2 * mebibyte), 0U);
    }
  }
  buffer.reset();
  EXPECT_FALSE(buffer);
  buffer.reset();
  EXPECT_EQ(buffer.get(), nullptr);
}

} // namespace
} // namespace tilegraft
