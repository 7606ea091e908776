#include "bitmap/bitmap_image.h"
#include "bitmap/png_codec.h"
#include "common/ascii.h"
#include "platform/file_image.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tilegraft {

namespace {

constexpr std::size_t bmpHeadersLength = 54;
constexpr std::size_t colourTableOffset = 54;

void putLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// The BMP colour table that shows a PNG's palette, or its greys, as the PNG shows them.
std::vector<std::uint8_t> colourTableOf(const PngLayout& layout) {
  std::vector<std::uint8_t> table;
  if (layout.colourType == 3) {
    for (std::size_t i = 0; i + 2 < layout.palette.size(); i += 3) {
      table.insert(table.end(),
                   {layout.palette[i + 2], layout.palette[i + 1], layout.palette[i], 0});
    }
  } else if (layout.colourType == 0) {
    const int levels = 1 << layout.bitDepth;
    for (int level = 0; level < levels; ++level) {
      const auto grey = static_cast<std::uint8_t>(level * 255 / (levels - 1));
      table.insert(table.end(), {grey, grey, grey, 0});
    }
  }
  return table;
}

} // namespace

void BitmapImage::adoptPng(const FileImage& image) {
  PngLayout png;
  const std::span<const std::uint8_t> file(image.bytes(), image.size());
  if (const auto problem = readPngLayout(file, png)) {
    raiseError(problem->message, problem->explanation);
  }
  // The BMP file of its pixels: headers, colour table, rows bottom first, each padded to 4 bytes.
  const std::vector<std::uint8_t> table = colourTableOf(png);
  const int size = png.bytesPerPixel();
  const std::int64_t stride = (std::int64_t{png.width} * size + 3) / 4 * 4;
  const std::int64_t offset = static_cast<std::int64_t>(bmpHeadersLength + table.size());
  const std::int64_t length = offset + stride * png.height;
  if (length > std::numeric_limits<std::int32_t>::max()) {
    raiseError("Unsupported PNG image.",
               "It is " + std::to_string(png.width) + " by " + std::to_string(png.height) +
                   " pixels, more than the 2 GiB that a bitmap's pixels may take.\n");
  }
  // The headers and table first; the rows are decoded straight into the image's own bytes.
  std::vector<std::uint8_t> bmp(static_cast<std::size_t>(offset), 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  putLe32(bmp, 2, static_cast<std::uint32_t>(length));
  putLe32(bmp, 10, static_cast<std::uint32_t>(offset));
  putLe32(bmp, 14, 40);
  putLe32(bmp, 18, png.width);
  putLe32(bmp, 22, png.height);
  bmp[26] = 1;
  bmp[28] = static_cast<std::uint8_t>(8 * size);
  putLe32(bmp, 34, static_cast<std::uint32_t>(stride * png.height));
  putLe32(bmp, 46, static_cast<std::uint32_t>(table.size() / 4));
  std::copy(table.begin(), table.end(), bmp.begin() + colourTableOffset);
  FileImage decoded;
  if (!decoded.holdZeroed(static_cast<std::size_t>(length))) {
    raiseError("Not enough memory.");
  }
  std::copy(bmp.begin(), bmp.end(), decoded.writableBytes());
  if (png.height > 0) {
    std::uint8_t* topRow = decoded.writableBytes() + offset + stride * (png.height - 1);
    if (const auto problem = decodePngPixels(file, png, topRow, -stride)) {
      raiseError(problem->message, problem->explanation);
    }
  }
  adopt(std::move(decoded));
  pngLayout = std::move(png);
}

bool BitmapImage::savesAsPng(const std::string& fileName) const {
  if (endsInIgnoringCase(fileName, ".png")) {
    return true;
  }
  return !endsInIgnoringCase(fileName, ".bmp") && isFromPng();
}

namespace {

PngPixels pixelsOf(const BitmapImage& image) {
  PngPixels pixels;
  const std::int32_t height = image.pixelHeight();
  // A top-down file (a negative height) stores its top row first.
  const std::int64_t topRow = height <= 0 ? 0 : std::int64_t{height - 1} * image.strideBytes();
  pixels.topRow = image.fileBytes().data() + image.pixelArrayOffset() + topRow;
  pixels.rowStep = height < 0 ? image.strideBytes() : -std::ptrdiff_t{image.strideBytes()};
  pixels.width = image.pixelWidth();
  pixels.height = height < 0 ? -std::int64_t{height} : height;
  pixels.bytesPerPixel = image.bytesPerPixelCount();
  pixels.bmpColourTable = image.paletteBytes();
  return pixels;
}

} // namespace

void BitmapImage::checkFormat(const std::string& fileName) const {
  if (savesAsPng(fileName)) {
    // A top-down file's rows were never tested against its length: merges refuse them.
    const std::int64_t rowsEnd =
        pixelDataOffset - std::int64_t{height < 0 ? height : 0} * rowStride;
    if (rowsEnd > static_cast<std::int64_t>(fileImage.size())) {
      raiseError("PNG cannot hold the bitmap.",
                 "Its rows are stored top first and run past the end of its file.\n");
    }
    if (const auto problem =
            checkPngEncodable(pixelsOf(*this), pngLayout ? &*pngLayout : nullptr)) {
      raiseError(problem->message, problem->explanation);
    }
    return;
  }
  if (pngLayout && pngLayout->hasTransparency) {
    raiseError("BMP cannot hold the bitmap.",
               "Its PNG file has a transparent colour (a tRNS chunk), which a BMP file has no way "
               "to keep: save it as .png.\n");
  }
}

std::vector<std::uint8_t> BitmapImage::encodedPng() const {
  std::vector<std::uint8_t> out;
  try {
    if (const auto problem = encodePng(pixelsOf(*this), pngLayout ? &*pngLayout : nullptr, out)) {
      raiseError(problem->message, problem->explanation);
    }
  } catch (const std::bad_alloc&) {
    raiseError("Not enough memory.");
  }
  return out;
}

} // namespace tilegraft
