#pragma once

#include "bitmap/byte_operators.h"
#include "bitmap/png_codec.h"
#include "bitmap/tile_layout.h"
#include "common/int32_math.h"
#include "platform/file_image.h"
#include "platform/files.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tilegraft {

// How many times a merge is repeated side by side: `across` copies to the right, each one block
// further, in `down` rows of copies, each one block lower. Counts of 0 or less merge nothing.
struct MergeRepeats {
  std::int32_t across = 1;
  std::int32_t down = 1;
};

// A block that a merge changed, once it had passed its range tests: its top-left corner in the
// destination and in the source, and its size in pixels (both positive).
struct MergedBlock {
  PixelPoint destination;
  PixelPoint source;
  std::int32_t width;
  std::int32_t height;
};

// One 8-bit, 24-bit or 32-bit uncompressed BMP file, its bytes held exactly as they were loaded
// (copied, or mapped with the parts that merges write copied in: see FileImage); or a PNG file,
// held as the BMP file of its pixels (1-byte indices or grey values, B, G, R, or B, G, R, A),
// with what else it holds kept aside so that a PNG saved from it writes that back.
//
// Owns the file image from a successful load until unload, the next load or destruction; a
// failed load leaves it not loaded. Pixels are never decoded: merges change bytes of the file
// image in place, and save writes the file image back whole. The active tile layout belongs to
// the bitmap, not to the file: loads and unloads never change it. Every failure is a ScriptError
// whose message starts with the display name and ": ".
class BitmapImage {
public:
  explicit BitmapImage(std::string name);
  BitmapImage(const BitmapImage&) = delete;
  BitmapImage& operator=(const BitmapImage&) = delete;

  // Replaces whatever the bitmap held with the named file. Throws "Error opening file.",
  // "Invalid bitmap file.", "Not enough memory.", "Error reading file.", "Unrecognized bitmap
  // format.", "Compressed bitmaps not supported." or "Only 24-BPP and 8-BPP bitmaps supported.",
  // and is then not loaded. A file that begins as a PNG does is read as one, whatever its name:
  // refused as "Unsupported PNG image." (16-bit channels, grey with alpha, too large), "Invalid
  // bitmap file." (damaged) or, in a build without the PNG library, "PNG files not supported in
  // this build.".
  // missingNote, for a check run, ends the explanation of a name that leads to no file.
  void load(const std::string& fileName, std::string_view missingNote = {});
  // The same for bytes that a file would hold (a check run's unwritten saves): throws "Not enough
  // memory." or what the header checks of load throw.
  void loadCopy(std::span<const std::uint8_t> fileBytes);
  // Writes the bitmap in the format the name's extension says (.png or .bmp, any case), else in
  // the one it was loaded from: a BMP as the file image whole, a PNG encoded anew, either in the
  // way replaceFile chooses, so that a failure leaves the file that was there as it was. A save
  // across formats that the target cannot hold throws "BMP cannot hold the bitmap." or "PNG
  // cannot hold the bitmap.", writing nothing. Throws "Not loaded.", "Error creating file." or
  // "Error writing file.", or, when the load-time bytes of a mapped file were lost before or during
  // the save (see FileImage::loss), "Error reading file." or "Not enough memory.". The bitmap is
  // unchanged either way. False, with nothing written, when the name no longer holds what
  // expected says was seen there (see replaceFile).
  bool save(const std::string& fileName, const NameState& expected) const;
  // The same, over whatever is at the name now; a name that changes meanwhile fails as "Error
  // creating file.".
  void save(const std::string& fileName) const {
    if (!save(fileName, lookAtName(fileName))) {
      raiseError("Error creating file.");
    }
  }
  // Fails as save would before its first byte ("Not loaded.", "Error creating file.", a format
  // that cannot hold the bitmap), writing nothing.
  void checkSave(const std::string& fileName) const;
  // Releases the file image, if any. Never throws.
  void unload() noexcept;

  bool isLoaded() const { return loaded; }
  // True while some of the file image is still the file's own pages (see FileImage).
  bool isMapped() const { return fileImage.isMapped(); }
  // Throws "Not loaded." unless loaded.
  void requireLoaded() const;
  // Throws displayName + ": " + message.
  [[noreturn]] void raiseError(std::string_view message, std::string explanation = {}) const;
  const std::string& name() const { return displayName; }

  // The file image while loaded, empty otherwise.
  std::span<const std::uint8_t> fileBytes() const;
  std::int32_t pixelWidth() const { return width; }
  std::int32_t pixelHeight() const { return height; }
  std::int32_t bytesPerPixelCount() const { return bytesPerPixel; }
  std::int32_t strideBytes() const { return rowStride; }
  std::int32_t pixelArrayOffset() const { return pixelDataOffset; }
  // True when the bitmap was loaded from a PNG file.
  bool isFromPng() const { return pngLayout.has_value(); }
  // The colour table of an 8-bit bitmap as the header sizes it (its colours used, or 256, cut at
  // the pixels); empty for a 24-bit one or when not loaded.
  std::span<const std::uint8_t> paletteBytes() const;

  // Tile grid and co-ordinates. None of these fail.
  void setTileLayout(const TileLayout& newLayout) { layout = newLayout; }
  const TileLayout& tileLayout() const { return layout; }
  // Top-left pixel of a tile; no range test.
  PixelPoint tileOrigin(std::int32_t column, std::int32_t row) const {
    const PixelPoint pitch = cellPitch(layout);
    return {wrapAdd(wrapAdd(layout.xOrigin, layout.xBorderBefore), wrapMul(column, pitch.x)),
            wrapAdd(wrapAdd(layout.yOrigin, layout.yBorderBefore), wrapMul(row, pitch.y))};
  }
  // Byte offset of a pixel in the file image; no range test. Rows are stored bottom-up: the top
  // row y = 0 comes last.
  std::int32_t pixelOffset(std::int32_t x, std::int32_t y) const {
    const std::int32_t storedRow = wrapSub(wrapSub(height, 1), y);
    return wrapAdd(wrapAdd(pixelDataOffset, wrapMul(storedRow, rowStride)),
                   wrapMul(x, bytesPerPixel));
  }

  // Merges, with this bitmap as destination. Throws "Not loaded." (this bitmap first, then the
  // source) or, under this bitmap's name, "Bitmaps are incompatible." (bytes per pixel differ; for
  // tile merges, also tile width or height).
  void checkCompatible(const BitmapImage& source, bool withTileSize) const;
  // Combines the w by h block of the source at (sourceX, sourceY) into the block at (x, y) with
  // the operator, repeated as asked. Each copy runs all its tests before it changes a byte, so a
  // failing copy ("Co-ordinates out of range." under the name of the bitmap whose block does not
  // fit, destination first; "Not enough memory." under this bitmap's name when the block's part
  // of a mapped file cannot be copied in) leaves only the earlier copies merged. A mapped image,
  // this one or the source, that lost its load-time bytes (see FileImage::loss) fails the copy
  // before it changes a byte, with "Error reading file." or "Not enough memory." under that
  // image's name; a loss that strikes while a block is combined fails the merge at the next
  // block or at its end, so no merge that read a lost byte succeeds.
  void mergePixels(MergeOperator op, std::int32_t x, std::int32_t y, const BitmapImage& source,
                   std::int32_t sourceX, std::int32_t sourceY, std::int32_t w, std::int32_t h,
                   MergeRepeats repeats = {});
  // Combines the columns by rows run of the source's tiles that starts at tile (sourceColumn,
  // sourceRow) into the run of this bitmap's tiles at (column, row), each in its own layout,
  // repeated as asked; tiles without borders between them are merged as one block. A failing
  // block leaves the blocks before it merged.
  void mergeTiles(MergeOperator op, std::int32_t column, std::int32_t row,
                  const BitmapImage& source, std::int32_t sourceColumn, std::int32_t sourceRow,
                  std::int32_t columns, std::int32_t rows, MergeRepeats repeats = {});

  // The key colour that a keyed merge (~) from this bitmap leaves out: the bytes of one pixel,
  // those not given 0; no values clear it. It belongs to the bitmap, like its tile layout, and
  // stays over loads. Throws "Not loaded." (with its explanation) or "Invalid colour." (more
  // values than a pixel has bytes, or one outside 0 to 255), leaving the key as it was.
  void setKeyColour(std::span<const std::int32_t> values);
  const KeyColour& keyColour() const { return key; }
  // Throws "No key colour." unless a key of this bitmap's pixel size is set.
  void requireKeyColour() const;

  // Makes this bitmap a new one of w by h pixels, held in memory, with the model's bits per
  // pixel, headers (width, height, bfSize and biSizeImage made the new size's; a top-down model
  // gives a bottom-up bitmap, which merges can use) and colour table, every pixel's bytes the
  // values given and 0 where not given. Throws, leaving this bitmap as it was: "Not loaded."
  // under the model's name, or under this name "Invalid size." (w or h below 1, or a file over
  // 2147483647 bytes), "Invalid colour.", "Not enough memory.", or what a load's header checks
  // throw when merges wrote over the model's headers.
  void makeCanvas(const BitmapImage& model, std::int32_t w, std::int32_t h,
                  std::span<const std::int32_t> values);

  // The whole tiles of the grid inside the bitmap, across and down (see wholeTiles).
  PixelPoint wholeTileCounts() const;
  // For every whole tile of the grid, copies its outermost n rows and columns outward by n
  // pixels, corners from its corner pixels, clipped to the bitmap; n of 0 or less changes
  // nothing. Throws, changing nothing: "Not loaded.", "Co-ordinates out of range." (stored
  // top-down), or "Extrusion too large." where, in an axis with two or more whole tiles, two
  // tiles' extrusions would meet (n more than half the pixels between tiles); a lost mapped
  // image fails as a merge does.
  void extrudeTiles(std::int32_t n);
  // Mirrors left to right, or flips top to bottom, every whole tile of the grid in place, or
  // with wholeBitmap the whole bitmap. Throws, changing nothing, as extrudeTiles does, with
  // "Tiles overlap." where two whole tiles share pixels.
  void mirrorTiles(bool wholeBitmap);
  void flipTiles(bool wholeBitmap);

  // Null, or the list that each block merged into this bitmap is added to (check runs keep one),
  // up to mergeLogLimit blocks.
  void recordMergesInto(std::vector<MergedBlock>* log) { mergeLog = log; }
  static constexpr std::size_t mergeLogLimit = std::size_t{1} << 20;

private:
  struct CopyWalk;

  // Checks the headers of a file image that holds at least the headers, and makes it the
  // bitmap's when they pass.
  void adopt(FileImage&& image);
  // The same for a PNG file's image (png_file.cpp): its pixels become the bitmap's BMP image.
  void adoptPng(const FileImage& image);
  // True when a save to this name writes a PNG file.
  bool savesAsPng(const std::string& fileName) const;
  // Throws what a save to this name would refuse for its format.
  void checkFormat(const std::string& fileName) const;
  // The PNG file the bitmap saves as, encoded; throws as checkFormat does, or "Not enough memory.".
  std::vector<std::uint8_t> encodedPng() const;

  // The bytes of one pixel of pixelBytes bytes from a line's values; throws "Invalid colour."
  // under this bitmap's name.
  KeyColour pixelFromValues(std::span<const std::int32_t> values, std::int32_t pixelBytes) const;
  // The grid that a tile operation walks: the tile layout, or the whole bitmap as one tile.
  TileLayout walkedGrid(bool wholeBitmap) const;
  // Tests a tile operation's bitmap before it changes anything, and makes its pixels writable;
  // false when the grid has no whole tile and there is nothing to change.
  bool prepareTileOperation(const TileLayout& grid, std::int32_t reach, bool extruding);
  // Throws "Tiles overlap." or "Extrusion too large." for an axis.
  void checkSpacing(const char* axis, std::int64_t tiles, std::int32_t tile, std::int32_t pitch,
                    std::int32_t reach, bool extruding) const;
  // Where the row y starts; no range test.
  std::uint8_t* writableRow(std::int32_t y) {
    return fileImage.writableBytes() + pixelOffset(0, y);
  }

  // Kept out of line, so that the inline range tests stay small on the merge path.
  // For the block of width by height pixels at (x, y), which does not fit; a block of a tile
  // merge is also explained in the grid's tiles.
  [[noreturn]] void raiseOutOfRange(std::int32_t x, std::int32_t y, std::int32_t blockWidth,
                                    std::int32_t blockHeight, bool inTiles) const;

  // Runs the copies of one level of the walk, from the top-left corners of the first block in
  // this bitmap and in the source, each level inside the one before.
  void walkCopies(const CopyWalk& walk, int level, PixelPoint destinationCorner,
                  PixelPoint sourceCorner, const BitmapImage& source);
  // The innermost level: count blocks side by side, each moved on across by its step in pixels,
  // range-tested and merged row by row.
  void mergeAcross(const CopyWalk& walk, std::int32_t count, std::int32_t destinationStepAcross,
                   std::int32_t sourceStepAcross, PixelPoint destinationCorner,
                   PixelPoint sourceCorner, const BitmapImage& source);
  // Throws the loss of this bitmap's image, or else of the source's, under its name.
  [[noreturn]] void raiseLost(const BitmapImage& source) const;
  void requireIntactAfter(const BitmapImage& source) const;
  bool containsColumn(std::int32_t x) const { return x >= 0 && x < width; }
  bool containsRow(std::int32_t y) const { return y >= 0 && y < height; }

  std::string displayName;
  bool loaded = false;
  TileLayout layout;
  FileImage fileImage;
  std::int32_t pixelDataOffset = 0;
  std::int32_t bytesPerPixel = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t rowStride = 0;
  std::vector<MergedBlock>* mergeLog = nullptr;
  KeyColour key;
  std::optional<PngLayout> pngLayout; // what a loaded PNG held beyond its pixels
};

} // namespace tilegraft
