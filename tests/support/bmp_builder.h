#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tilegraft::testing {

using Bytes = std::vector<std::uint8_t>;

// Offsets of the header fields that the tool reads.
inline constexpr std::size_t bmpPixelOffsetField = 10;
inline constexpr std::size_t bmpWidthField = 18;
inline constexpr std::size_t bmpHeightField = 22;
inline constexpr std::size_t bmpBitCountField = 28;
inline constexpr std::size_t bmpCompressionField = 30;

// A valid uncompressed BMP file built in memory: a 14-byte file header, an info header of 40, 108
// or 124 bytes (biSize, planes 1, bit count, biSizeImage filled in), a 256-entry colour table
// for 8 bits per pixel, then the pixel array right after, rows padded to a multiple of 4 bytes.
// A negative height makes a top-down file of |height| rows. Every byte of the pixel array,
// padding included, comes from fillPattern, so neighbouring pixels differ and merges show.
//
// The verbs edit the bytes as they stand and never recompute a header: append and truncate change
// only the length, so bfSize then no longer matches it (the tool does not read it).
class BmpBuilder {
public:
  BmpBuilder(std::int32_t width, std::int32_t height, int bitsPerPixel,
             std::uint32_t infoHeaderSize = 40);

  // Bytes per stored row of a bitmap of this width, as the BMP format pads it.
  static std::int32_t stride(std::int32_t width, int bitsPerPixel);

  // Refills the colour table, if any, and the pixel array (padding included) with patterns that
  // depend on the seed.
  BmpBuilder& fillPattern(std::uint32_t seed);

  BmpBuilder& setByte(std::size_t offset, std::uint8_t value);
  BmpBuilder& setLe16(std::size_t offset, std::uint16_t value);
  BmpBuilder& setLe32(std::size_t offset, std::uint32_t value);
  // Appends the given bytes, or count bytes of a pattern that is not all zero.
  BmpBuilder& append(const Bytes& extra);
  BmpBuilder& append(std::size_t count);
  BmpBuilder& truncate(std::size_t length);

  const Bytes& bytes() const { return data; }
  std::size_t size() const { return data.size(); }
  // Where the pixel array starts as built (bfOffBits before any setLe32 on it).
  std::size_t pixelArrayOffset() const { return pixelStart; }
  // Byte offset of pixel (x, y) as built, y counted from the top row (stored last in a bottom-up
  // bitmap, first in a top-down one).
  std::size_t pixelIndex(std::int32_t x, std::int32_t y) const;
  // Writes the bytes to the file, replacing it; throws std::runtime_error on failure.
  void writeTo(const std::filesystem::path& path) const;

private:
  Bytes data;
  std::size_t tableStart = 0;
  std::size_t pixelStart = 0;
  std::int32_t rows = 0;
  std::int32_t rowBytes = 0;
  int bytesPerPixel = 0;
  bool topDown = false;
};

} // namespace tilegraft::testing
