#include "tests/support/bmp_builder.h"

#include <fstream>
#include <stdexcept>
#include <string>

namespace tilegraft::testing {

namespace {

constexpr std::size_t fileHeaderSize = 14;
constexpr std::size_t colourTableSize = 256 * 4;

} // namespace

BmpBuilder::BmpBuilder(std::int32_t width, std::int32_t height, int bitsPerPixel,
                       std::uint32_t infoHeaderSize)
    : rows(height < 0 ? -height : height), rowBytes(stride(width, bitsPerPixel)),
      bytesPerPixel(bitsPerPixel / 8), topDown(height < 0) {
  const std::size_t tableSize = bitsPerPixel == 8 ? colourTableSize : 0;
  pixelStart = fileHeaderSize + infoHeaderSize + tableSize;
  const auto imageSize = static_cast<std::uint32_t>(rowBytes) * static_cast<std::uint32_t>(rows);
  data.assign(pixelStart + imageSize, 0);

  setByte(0, 'B').setByte(1, 'M');
  setLe32(2, static_cast<std::uint32_t>(data.size()));
  setLe32(bmpPixelOffsetField, static_cast<std::uint32_t>(pixelStart));
  setLe32(14, infoHeaderSize);
  setLe32(bmpWidthField, static_cast<std::uint32_t>(width));
  setLe32(bmpHeightField, static_cast<std::uint32_t>(height));
  setLe16(26, 1);
  setLe16(bmpBitCountField, static_cast<std::uint16_t>(bitsPerPixel));
  setLe32(bmpCompressionField, 0);
  setLe32(34, imageSize);
  setLe32(38, 2835);
  setLe32(42, 2835);
  setLe32(46, bitsPerPixel == 8 ? 256 : 0);
  if (infoHeaderSize >= 108) {
    setLe32(fileHeaderSize + 56, 0x73524742); // colour space "sRGB"
  }
  tableStart = fileHeaderSize + infoHeaderSize;
  fillPattern(0);
}

std::int32_t BmpBuilder::stride(std::int32_t width, int bitsPerPixel) {
  return (width * (bitsPerPixel / 8) + 3) / 4 * 4;
}

BmpBuilder& BmpBuilder::fillPattern(std::uint32_t seed) {
  // Each seed has its own colour table, so that a merge that reached one would show.
  for (std::size_t at = tableStart; at < pixelStart; at += 4) {
    const auto level = static_cast<std::uint8_t>((at - tableStart) / 4 + seed * 29);
    setByte(at, level).setByte(at + 1, static_cast<std::uint8_t>(255 - level));
    setByte(at + 2, static_cast<std::uint8_t>(level ^ (0x5A + seed))).setByte(at + 3, 0);
  }
  const std::size_t end =
      pixelStart + static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(rows);
  for (std::size_t i = pixelStart; i < end && i < data.size(); ++i) {
    // Consecutive bytes differ by 37 modulo 256, so no two neighbours are equal.
    const std::size_t k = i - pixelStart;
    data[i] = static_cast<std::uint8_t>(k * 37 + seed * 101 + 11 + (k >> 8));
  }
  return *this;
}

BmpBuilder& BmpBuilder::setByte(std::size_t offset, std::uint8_t value) {
  data.at(offset) = value;
  return *this;
}

BmpBuilder& BmpBuilder::setLe16(std::size_t offset, std::uint16_t value) {
  setByte(offset, static_cast<std::uint8_t>(value & 0xFF));
  return setByte(offset + 1, static_cast<std::uint8_t>(value >> 8));
}

BmpBuilder& BmpBuilder::setLe32(std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    setByte(offset + i, static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
  }
  return *this;
}

BmpBuilder& BmpBuilder::append(const Bytes& extra) {
  data.insert(data.end(), extra.begin(), extra.end());
  return *this;
}

BmpBuilder& BmpBuilder::append(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    data.push_back(static_cast<std::uint8_t>(0xA0 + i * 3));
  }
  return *this;
}

BmpBuilder& BmpBuilder::truncate(std::size_t length) {
  if (length < data.size()) {
    data.resize(length);
  }
  return *this;
}

std::size_t BmpBuilder::pixelIndex(std::int32_t x, std::int32_t y) const {
  const std::int32_t storedRow = topDown ? y : rows - 1 - y;
  return pixelStart + static_cast<std::size_t>(storedRow) * static_cast<std::size_t>(rowBytes) +
         static_cast<std::size_t>(x) * static_cast<std::size_t>(bytesPerPixel);
}

void BmpBuilder::writeTo(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

} // namespace tilegraft::testing
