#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "platform/file_image.h"
#include "platform/file_writer.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace tilegraft {

namespace {

// The 14-byte file header and the 40-byte info header; shorter files are not bitmaps.
constexpr std::size_t headersLength = 54;
constexpr std::size_t bitCountOffset = 28;
constexpr std::size_t compressionOffset = 30;
constexpr std::size_t pixelOffsetField = 10;
constexpr std::size_t widthOffset = 18;
constexpr std::size_t heightOffset = 22;

std::uint32_t readLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
         static_cast<std::uint32_t>(bytes[2]) << 16U | static_cast<std::uint32_t>(bytes[3]) << 24U;
}

std::uint16_t readLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8U);
}

bool fitsInt32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

} // namespace

BitmapImage::BitmapImage(std::string name) : displayName(std::move(name)) {}

void BitmapImage::raiseError(std::string_view message, std::string explanation) const {
  std::string text;
  text.reserve(displayName.size() + 2 + message.size());
  text.append(displayName).append(": ").append(message);
  throw ScriptError(std::move(text), std::move(explanation));
}

void BitmapImage::raiseOutOfRange(std::int32_t x, std::int32_t y, std::int32_t blockWidth,
                                  std::int32_t blockHeight) const {
  std::string why = "The block of " + std::to_string(blockWidth) + " by " +
                    std::to_string(blockHeight) + " pixels at x " + std::to_string(x) + ", y " +
                    std::to_string(y) + " does not fit in the bitmap's " + std::to_string(width) +
                    " by " + std::to_string(height) +
                    " pixels (x and y count from 0 at the top left).\n";
  if (height < 0) {
    why += "A negative height means the rows are stored top first; merges need them stored "
           "bottom first, as most BMP files are.\n";
  }
  raiseError("Co-ordinates out of range.", std::move(why));
}

void BitmapImage::requireLoaded() const {
  if (!loaded) {
    raiseError("Not loaded.");
  }
}

void BitmapImage::unload() noexcept {
  if (loaded) {
    fileImage.reset();
    loaded = false;
  }
}

std::span<const std::uint8_t> BitmapImage::fileBytes() const {
  if (!loaded) {
    return {};
  }
  return {fileImage.bytes(), fileImage.size()};
}

std::span<const std::uint8_t> BitmapImage::paletteBytes() const {
  constexpr std::size_t fileHeaderLength = 14;
  constexpr std::size_t coloursUsedOffset = 46;
  if (!loaded || bytesPerPixel != 1) {
    return {};
  }
  const std::uint8_t* header = fileImage.bytes();
  const std::uint64_t start = fileHeaderLength + std::uint64_t{readLe32(header + fileHeaderLength)};
  const std::uint32_t used = readLe32(header + coloursUsedOffset);
  const std::uint64_t end = std::min(start + 4 * std::uint64_t{used == 0 ? 256 : used},
                                     static_cast<std::uint64_t>(pixelDataOffset));
  if (start >= end) {
    return {};
  }
  return fileBytes().subspan(static_cast<std::size_t>(start),
                             static_cast<std::size_t>(end - start));
}

void BitmapImage::load(const std::string& fileName) {
  unload();
  // The image is read into memory of its own and becomes the bitmap's only once it has passed
  // every test, so a failure anywhere leaves the bitmap empty.
  FileImage image;
  // A length that does not fit the 32-bit field is refused before anything is allocated.
  switch (image.load(fileName, headersLength, std::numeric_limits<std::int32_t>::max())) {
  case FileReadResult::read:
    break;
  case FileReadResult::notOpened:
    raiseError("Error opening file.");
  case FileReadResult::lengthRefused:
    raiseError("Invalid bitmap file.");
  case FileReadResult::noMemory:
    raiseError("Not enough memory.");
  case FileReadResult::notRead:
    raiseError("Error reading file.");
  }
  const auto fileLength = static_cast<std::int64_t>(image.size());

  const std::uint8_t* header = image.bytes();
  if (header[0] != 'B' || header[1] != 'M') {
    raiseError("Unrecognized bitmap format.");
  }
  const std::uint32_t compression = readLe32(header + compressionOffset);
  if (compression != 0) {
    raiseError(
        "Compressed bitmaps not supported.",
        "Its header gives compression " + std::to_string(compression) +
            (compression == 3 ? " (colour masks of a 16- or 32-bit file, BI_BITFIELDS)" : "") +
            "; only uncompressed (0) 8- and 24-bit files are read.\n");
  }
  const std::uint16_t bitCount = readLe16(header + bitCountOffset);
  if (bitCount != 24 && bitCount != 8) {
    raiseError("Only 24-BPP and 8-BPP bitmaps supported.",
               "Its header gives " + std::to_string(bitCount) +
                   " bits per pixel; only 8 (a palette) and 24 are read.\n");
  }
  bytesPerPixel = bitCount / 8;
  width = static_cast<std::int32_t>(readLe32(header + widthOffset));
  height = static_cast<std::int32_t>(readLe32(header + heightOffset));
  pixelDataOffset = static_cast<std::int32_t>(readLe32(header + pixelOffsetField));

  // Merges address the pixel array without further bounds tests, so it must lie wholly inside
  // the file image: every step that would overflow 32 bits, and a negative offset, is refused.
  // Each product is formed only once its factors are known to fit 32 bits, so none overflows.
  const std::int64_t rowBytesRounded = std::int64_t{bytesPerPixel} * width + 3;
  if (!fitsInt32(rowBytesRounded)) {
    raiseError("Invalid bitmap file.");
  }
  const std::int64_t stride = rowBytesRounded / 4 * 4;
  const std::int64_t arrayBytes = stride * height;
  const std::int64_t arrayEnd = pixelDataOffset + arrayBytes;
  const bool pixelsInsideFile = fitsInt32(arrayBytes) && fitsInt32(arrayEnd) &&
                                pixelDataOffset >= 0 && arrayEnd <= fileLength;
  if (!pixelsInsideFile) {
    raiseError("Invalid bitmap file.");
  }
  rowStride = static_cast<std::int32_t>(stride);
  fileImage = std::move(image);
  loaded = true;
}

void BitmapImage::checkSave(const std::string& fileName) const {
  requireLoaded();
  if (!replaceLooksPossible(fileName)) {
    raiseError("Error creating file.");
  }
}

bool BitmapImage::save(const std::string& fileName, const NameState& expected) const {
  requireLoaded();
  // Only when the lease on a mapped file was taken back by force and the file then changed.
  if (!fileImage.isIntact()) {
    raiseError("Error reading file.");
  }
  switch (replaceFile(fileName, fileImage, expected)) {
  case ReplaceResult::replaced:
    return true;
  case ReplaceResult::nameTaken:
    return false;
  case ReplaceResult::notCreated:
    raiseError("Error creating file.");
  case ReplaceResult::notWritten:
    break;
  }
  raiseError("Error writing file.");
}

} // namespace tilegraft
