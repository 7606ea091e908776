#include "bitmap/bitmap_image.h"
#include "common/little_endian.h"
#include "common/script_error.h"
#include "platform/file_image.h"
#include "platform/file_writer.h"
#include "platform/files.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace tilegraft {

namespace {

// The 14-byte file header and the 40-byte info header; shorter files are not bitmaps.
constexpr std::size_t headersLength = 54;
constexpr std::size_t bitCountOffset = 28;
constexpr std::size_t compressionOffset = 30;
constexpr std::size_t pixelOffsetField = 10;
constexpr std::size_t widthOffset = 18;
constexpr std::size_t heightOffset = 22;
constexpr std::uint32_t bitFieldsCompression = 3;
// Where the red, green and blue masks stand, after a 40-byte info header or inside a longer one.
constexpr std::size_t masksOffset = 54;

// Every explanation of a file the tool cannot read ends in where to find the conversion.
constexpr std::string_view convertIt =
    "Convert it to an uncompressed 24-bit BMP, or an 8-bit one with a palette: the user "
    "guide's section Preparing bitmaps gives the commands.\n";

// What the first bytes of a file that is no BMP say it is.
std::string_view kindOf(const std::uint8_t* bytes) {
  const auto startsWith = [&](std::string_view magic, std::size_t at = 0) {
    return std::equal(magic.begin(), magic.end(), bytes + at,
                      [](char m, std::uint8_t b) { return static_cast<std::uint8_t>(m) == b; });
  };
  if (startsWith("\x89PNG")) {
    return "a PNG image";
  }
  if (startsWith("\xFF\xD8\xFF")) {
    return "a JPEG image";
  }
  if (startsWith("GIF8")) {
    return "a GIF image";
  }
  if (startsWith(std::string_view("II*\0", 4)) || startsWith(std::string_view("MM\0*", 4))) {
    return "a TIFF image";
  }
  if (startsWith("RIFF") && startsWith("WEBP", 8)) {
    return "a WebP image";
  }
  const bool text = std::all_of(bytes, bytes + headersLength, [](std::uint8_t b) {
    return (b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n' || b == '\r';
  });
  return text ? "a text file" : "";
}

// A 12-byte info header is the OS/2 layout, whose fields stand elsewhere.
bool isOs2Bitmap(const std::uint8_t* header) { return readLe32(header + 14) == 12; }

std::string compressionName(std::uint32_t compression) {
  switch (compression) {
  case 1:
    return " (run-length encoded 8-bit, RLE8)";
  case 2:
    return " (run-length encoded 4-bit, RLE4)";
  case 3:
    return " (colour masks of a 16- or 32-bit file, BI_BITFIELDS)";
  case 4:
    return " (a JPEG inside the BMP)";
  case 5:
    return " (a PNG inside the BMP)";
  default:
    return "";
  }
}

// Why a file could not be opened or read, as far as its name tells afterwards.
std::string readingTrouble(const std::string& fileName, std::string_view missingNote) {
  const NameFacts facts = troubleReading(fileName);
  switch (facts.trouble) {
  case NameTrouble::missing:
    return "There is no file " + fileName + ".\n" + std::string(missingNote);
  case NameTrouble::folderMissing:
    return "There is no folder " + facts.folder + ".\n" + std::string(missingNote);
  case NameTrouble::isFolder:
    return fileName + " is a folder, not a file.\n";
  case NameTrouble::noPermission:
    return "You may not read " + fileName + " (or search its folder): check the permissions.\n";
  case NameTrouble::isPipe:
    return fileName + " is a named pipe or a device, whose length cannot be known: save the "
                      "bitmap to a file first.\n";
  case NameTrouble::readOnly:
  case NameTrouble::unknown:
    break;
  }
  return "";
}

// Why a file could not be created at the name, as far as the name tells afterwards.
std::string writingTrouble(const std::string& fileName) {
  const NameFacts facts = troubleWriting(fileName);
  switch (facts.trouble) {
  case NameTrouble::folderMissing:
    return "There is no folder " + facts.folder + " to save into: create it first.\n";
  case NameTrouble::isFolder:
    return fileName + " is a folder: give the file's own name.\n";
  case NameTrouble::noPermission:
    return "You may not write " + fileName + " or its folder " + facts.folder +
           ": check the permissions, or save elsewhere.\n";
  case NameTrouble::readOnly:
    return "The file system of " + facts.folder + " is mounted read-only: save elsewhere.\n";
  case NameTrouble::isPipe:
    return fileName + " is a named pipe with no program reading it: start the reader first.\n";
  case NameTrouble::missing:
  case NameTrouble::unknown:
    break;
  }
  return "";
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

namespace {

// Where a block of tiles does not fit the grid's whole tiles along one axis: the first tile
// outside them, or nothing when all of its tiles are inside.
std::optional<std::int64_t> tileOutside(std::int32_t corner, std::int32_t origin,
                                        std::int32_t borderBefore, std::int32_t tile,
                                        std::int32_t pitch, std::int32_t blockSize,
                                        std::int64_t wholeCount) {
  const std::int64_t offset = std::int64_t{corner} - origin - borderBefore;
  // Rounded down, so that a block left of the first tile is in a negative column.
  const std::int64_t first = offset >= 0 ? offset / pitch : (offset - pitch + 1) / pitch;
  const std::int64_t last = first + std::max<std::int64_t>(blockSize / tile, 1) - 1;
  if (first < 0) {
    return first;
  }
  if (last >= wholeCount) {
    return std::max(first, wholeCount);
  }
  return std::nullopt;
}

std::string tileSpan(std::int64_t count, std::string_view what) {
  return count == 0 ? "no whole " + std::string(what)
                    : std::string(what) + "s 0 to " + std::to_string(count - 1);
}

} // namespace

void BitmapImage::raiseOutOfRange(std::int32_t x, std::int32_t y, std::int32_t blockWidth,
                                  std::int32_t blockHeight, bool inTiles) const {
  std::string why = "The block of " + std::to_string(blockWidth) + " by " +
                    std::to_string(blockHeight) + " pixels at x " + std::to_string(x) + ", y " +
                    std::to_string(y) + " does not fit in the bitmap's " + std::to_string(width) +
                    " by " + std::to_string(height) +
                    " pixels (x and y count from 0 at the top left).\n";
  const PixelPoint pitch = cellPitch(layout);
  if (inTiles && pitch.x > 0 && pitch.y > 0 && layout.tileWidth > 0 && layout.tileHeight > 0) {
    const WholeTiles across = wholeTiles(layout.xOrigin, layout.xBorderBefore, layout.tileWidth,
                                         layout.xBorderAfter, width);
    const WholeTiles down = wholeTiles(layout.yOrigin, layout.yBorderBefore, layout.tileHeight,
                                       layout.yBorderAfter, height);
    const std::optional<std::int64_t> column =
        tileOutside(x, layout.xOrigin, layout.xBorderBefore, layout.tileWidth, pitch.x, blockWidth,
                    across.count);
    const std::optional<std::int64_t> row =
        tileOutside(y, layout.yOrigin, layout.yBorderBefore, layout.tileHeight, pitch.y,
                    blockHeight, down.count);
    const std::string outside = column ? "tile column " + std::to_string(*column)
                                : row  ? "tile row " + std::to_string(*row)
                                       : "the block";
    why += "In tiles: " + outside + " is outside the grid's whole tiles here, " +
           tileSpan(across.count, "column") + " and " + tileSpan(down.count, "row") + ".\n";
  }
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
    pngLayout.reset();
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
  // A top-down file's pixel offset may lie past its end: the table is cut at both.
  const std::uint64_t end =
      std::min({start + 4 * std::uint64_t{used == 0 ? 256 : used},
                static_cast<std::uint64_t>(pixelDataOffset), std::uint64_t{fileImage.size()}});
  if (start >= end) {
    return {};
  }
  return fileBytes().subspan(static_cast<std::size_t>(start),
                             static_cast<std::size_t>(end - start));
}

void BitmapImage::load(const std::string& fileName, std::string_view missingNote) {
  unload();
  // The image is read into memory of its own and becomes the bitmap's only once it has passed
  // every test, so a failure anywhere leaves the bitmap empty.
  FileImage image;
  // A length that does not fit the 32-bit field is refused before anything is allocated.
  switch (image.load(fileName, headersLength, std::numeric_limits<std::int32_t>::max())) {
  case FileReadResult::read:
    break;
  case FileReadResult::notOpened:
    raiseError("Error opening file.", readingTrouble(fileName, missingNote));
  case FileReadResult::tooManyOpen:
    // The message of any file that cannot be opened; only a check run says why.
    raiseError("Error opening file.", "Too many files are open: the limit of open files "
                                      "(ulimit -n), or the system's, was reached.\n");
  case FileReadResult::lengthRefused: {
    const NameFacts facts = troubleReading(fileName);
    if (facts.trouble != NameTrouble::unknown) {
      raiseError("Invalid bitmap file.", readingTrouble(fileName, missingNote));
    }
    const std::uint64_t length = facts.length;
    raiseError("Invalid bitmap file.",
               "It is " + std::to_string(length) + " bytes long; " +
                   (length < headersLength
                        ? "a BMP file's headers alone take " + std::to_string(headersLength) + "."
                        : "a BMP file has at most 2147483647.") +
                   "\n");
  }
  case FileReadResult::noMemory:
    raiseError("Not enough memory.");
  case FileReadResult::notRead:
    raiseError("Error reading file.", readingTrouble(fileName, missingNote));
  }
  adopt(std::move(image));
}

void BitmapImage::loadCopy(std::span<const std::uint8_t> fileBytes) {
  unload();
  if (fileBytes.size() < headersLength) {
    raiseError("Invalid bitmap file.");
  }
  FileImage image;
  if (!image.holdCopy(fileBytes)) {
    raiseError("Not enough memory.");
  }
  adopt(std::move(image));
}

void BitmapImage::adopt(FileImage&& image) {
  const auto fileLength = static_cast<std::int64_t>(image.size());

  const std::uint8_t* header = image.bytes();
  if (isPngSignature({header, image.size()})) {
    adoptPng(image);
    return;
  }
  if (header[0] != 'B' || header[1] != 'M') {
    const std::string_view kind = kindOf(header);
    raiseError("Unrecognized bitmap format.",
               (kind.empty() ? std::string("It does not begin with BM, as every BMP file does")
                             : "It is " + std::string(kind) + ", not a BMP file") +
                   ".\n" + std::string(convertIt));
  }
  const std::string os2 = isOs2Bitmap(header)
                              ? "It is an OS/2 bitmap (a 12-byte header), whose fields stand "
                                "elsewhere.\n"
                              : "";
  const std::uint32_t compression = readLe32(header + compressionOffset);
  const std::uint16_t bitCount = readLe16(header + bitCountOffset);
  // Colour masks that say B, G, R, A in that order are 32-bit pixels as BI_RGB stores them.
  const bool usualMasks = compression == bitFieldsCompression && bitCount == 32 &&
                          fileLength >= std::int64_t{masksOffset + 12} &&
                          readLe32(header + masksOffset) == 0x00FF0000 &&
                          readLe32(header + masksOffset + 4) == 0x0000FF00 &&
                          readLe32(header + masksOffset + 8) == 0x000000FF;
  if (compression != 0 && !usualMasks) {
    raiseError("Compressed bitmaps not supported.",
               os2.empty() ? "Its header gives compression " + std::to_string(compression) +
                                 compressionName(compression) +
                                 "; only uncompressed (0) 8-, 24- and 32-bit files are read.\n" +
                                 std::string(convertIt)
                           : os2 + std::string(convertIt));
  }
  if (bitCount != 24 && bitCount != 8 && bitCount != 32) {
    raiseError("Only 24-BPP and 8-BPP bitmaps supported.",
               os2.empty() ? "Its header gives " + std::to_string(bitCount) +
                                 (bitCount == 1 ? " bit" : " bits") +
                                 " per pixel; only 8 (a palette), 24 and 32 are read.\n" +
                                 std::string(convertIt)
                           : os2 + std::string(convertIt));
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
    raiseError("Invalid bitmap file.", "Its header gives a width of " + std::to_string(width) +
                                           " pixels, more than a BMP file can hold.\n");
  }
  const std::int64_t stride = rowBytesRounded / 4 * 4;
  const std::int64_t arrayBytes = stride * height;
  const std::int64_t arrayEnd = pixelDataOffset + arrayBytes;
  const bool pixelsInsideFile = fitsInt32(arrayBytes) && fitsInt32(arrayEnd) &&
                                pixelDataOffset >= 0 && arrayEnd <= fileLength;
  if (!pixelsInsideFile) {
    raiseError("Invalid bitmap file.",
               "Its header puts the pixels at bytes " + std::to_string(pixelDataOffset) + " to " +
                   std::to_string(std::int64_t{pixelDataOffset} + arrayBytes) +
                   ", but the file has " + std::to_string(fileLength) + ".\n");
  }
  rowStride = static_cast<std::int32_t>(stride);
  fileImage = std::move(image);
  loaded = true;
}

void BitmapImage::checkSave(const std::string& fileName) const {
  requireLoaded();
  checkFormat(fileName);
  if (!replaceLooksPossible(fileName)) {
    raiseError("Error creating file.", writingTrouble(fileName));
  }
}

bool BitmapImage::save(const std::string& fileName, const NameState& expected) const {
  requireLoaded();
  // Only a mapped file's image is ever lost (see FileImage::loss); the send stops at a loss
  // found during the save, which is then what is reported.
  const auto raiseLost = [this] {
    raiseError(fileImage.loss() == ImageLoss::noMemory ? "Not enough memory."
                                                       : "Error reading file.");
  };
  if (!fileImage.isIntact()) {
    raiseLost();
  }
  checkFormat(fileName);
  std::vector<std::uint8_t> png;
  if (savesAsPng(fileName)) {
    png = encodedPng();
    // A mapped BMP's loss during the encoding is found here, before the file is written.
    if (!fileImage.isIntact()) {
      raiseLost();
    }
  }
  switch (png.empty() ? replaceFile(fileName, fileImage, expected)
                      : replaceFile(fileName, png, expected)) {
  case ReplaceResult::replaced:
    return true;
  case ReplaceResult::nameTaken:
    return false;
  case ReplaceResult::notCreated:
    raiseError("Error creating file.", writingTrouble(fileName));
  case ReplaceResult::locked:
    raiseError("Error writing file.",
               "Another program held a lock on " + fileName + " for " +
                   std::to_string(lockWaitSeconds) +
                   " seconds: it was left as it was. Save again once that program is done.\n");
  case ReplaceResult::notWritten:
    if (!fileImage.isIntact()) {
      raiseLost();
    }
    break;
  }
  raiseError("Error writing file.");
}

} // namespace tilegraft
