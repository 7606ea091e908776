#include "bitmap/bitmap_image.h"
#include "common/little_endian.h"
#include "platform/file_image.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tilegraft {

namespace {

constexpr std::size_t headersLength = 54;
constexpr std::size_t fileSizeField = 2;
constexpr std::size_t pixelOffsetField = 10;
constexpr std::size_t infoSizeField = 14;
constexpr std::size_t widthField = 18;
constexpr std::size_t heightField = 22;
constexpr std::size_t imageSizeField = 34;
constexpr std::uint32_t infoHeaderWithImageSize = 40;

// Writes count copies of one pixel of 1, 3 or 4 bytes; the pixel lies outside the range written.
void fillPixels(std::uint8_t* to, const std::uint8_t* pixel, std::int64_t count,
                std::int32_t pixelBytes) {
  if (count <= 0) {
    return;
  }
  if (pixelBytes == 1) {
    std::memset(to, *pixel, static_cast<std::size_t>(count));
    return;
  }
  // A constant size, so that each copy is a move or two rather than a call.
  if (pixelBytes == 3) {
    for (std::int64_t i = 0; i < count; ++i) {
      std::memcpy(to + i * 3, pixel, 3);
    }
    return;
  }
  for (std::int64_t i = 0; i < count; ++i) {
    std::memcpy(to + i * 4, pixel, 4);
  }
}

// Where the extrusions of a row of tiles lie across: count whole tiles, the first at firstX,
// pitch apart, each tileWidth wide and extruded by reach pixels on either side, clipped to the
// bitmap's width.
struct ExtrusionAcross {
  std::int64_t count;
  std::int64_t firstX;
  std::int64_t pitch;
  std::int64_t tileWidth;
  std::int64_t reach;
  std::int64_t width;
};

// Asks for the cache line at an address to be fetched for writing, where the compiler can.
inline void prefetchForWriting(const std::uint8_t* at) {
#ifdef __GNUC__
  __builtin_prefetch(at, 1);
#else
  static_cast<void>(at);
#endif
}

// Copies one pixel of a constant size count times; the pixel lies outside the range written.
template <std::size_t pixelBytes>
void repeatPixel(std::uint8_t* to, const std::uint8_t* pixel, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    std::memcpy(to + i * static_cast<std::int64_t>(pixelBytes), pixel, pixelBytes);
  }
}

// Extrudes one pixel row of a row of tiles across: each tile's first pixel into the reach
// pixels to its left, its last into those to its right. A gutter a tile apart lies in a cache
// line of its own, and each costs a wait for memory unless asked for ahead: the same pixels of
// nextRow (the row extruded next, or null) are, a row ahead.
template <std::size_t pixelBytes>
void extrudeAcross(std::uint8_t* row, const std::uint8_t* nextRow, const ExtrusionAcross& across) {
  constexpr auto size = static_cast<std::int64_t>(pixelBytes);
  for (std::int64_t column = 0; column < across.count; ++column) {
    const std::int64_t x = across.firstX + column * across.pitch;
    const std::int64_t right = x + across.tileWidth;
    const std::int64_t left = std::max<std::int64_t>(x - across.reach, 0);
    const std::int64_t rightEnd = std::min<std::int64_t>(right + across.reach, across.width);
    if (nextRow != nullptr) {
      prefetchForWriting(nextRow + left * size);
      prefetchForWriting(nextRow + right * size);
    }
    repeatPixel<pixelBytes>(row + left * size, row + x * size, x - left);
    repeatPixel<pixelBytes>(row + right * size, row + (right - 1) * size, rightEnd - right);
  }
}

// Copies each tile's extruded span of the row from into the row to; where the extrusions of
// neighbouring tiles touch, all tiles' spans at once.
void copyExtrudedSpans(std::uint8_t* to, const std::uint8_t* from, const ExtrusionAcross& across,
                       std::size_t pixelBytes) {
  const auto copy = [&](std::int64_t left, std::int64_t right) {
    const auto first = static_cast<std::size_t>(left) * pixelBytes;
    std::memcpy(to + first, from + first, static_cast<std::size_t>(right - left) * pixelBytes);
  };
  const auto spanLeft = [&](std::int64_t column) {
    return std::max<std::int64_t>(across.firstX + column * across.pitch - across.reach, 0);
  };
  const auto spanRight = [&](std::int64_t column) {
    return std::min<std::int64_t>(
        across.firstX + column * across.pitch + across.tileWidth + across.reach, across.width);
  };
  if (across.pitch - across.tileWidth == 2 * across.reach) {
    copy(spanLeft(0), spanRight(across.count - 1));
    return;
  }
  for (std::int64_t column = 0; column < across.count; ++column) {
    copy(spanLeft(column), spanRight(column));
  }
}

std::string plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + (count == 1 ? one : many);
}

} // namespace

KeyColour BitmapImage::pixelFromValues(std::span<const std::int32_t> values,
                                       std::int32_t pixelBytes) const {
  const bool fits =
      values.size() <= static_cast<std::size_t>(pixelBytes) &&
      std::all_of(values.begin(), values.end(), [](std::int32_t v) { return v >= 0 && v <= 255; });
  if (!fits) {
    raiseError("Invalid colour.",
               pixelBytes == 1   ? "A pixel of this bitmap is one byte, its colour index: give one "
                                   "number from 0 to 255.\n"
               : pixelBytes == 3 ? "A pixel of this bitmap is three bytes, blue, green and red: "
                                   "give up to three numbers from 0 to 255.\n"
                                 : "A pixel of this bitmap is four bytes, blue, green, red and "
                                   "alpha: give up to four numbers from 0 to 255.\n");
  }
  KeyColour pixel;
  pixel.size = static_cast<std::uint8_t>(pixelBytes);
  for (std::size_t i = 0; i < values.size() && i < pixel.bytes.size(); ++i) {
    pixel.bytes[i] = static_cast<std::uint8_t>(values[i]);
  }
  return pixel;
}

void BitmapImage::setKeyColour(std::span<const std::int32_t> values) {
  if (values.empty()) {
    key = {};
    return;
  }
  if (!loaded) {
    raiseError("Not loaded.", "The key colour is the bytes of one of its pixels, as many as its "
                              "bits per pixel give: load it first.\n");
  }
  key = pixelFromValues(values, bytesPerPixel);
}

void BitmapImage::requireKeyColour() const {
  if (key.size == 0) {
    raiseError("No key colour.", "The ~ operator copies every pixel except those of the patch's "
                                 "key colour: set it first with key patch and the bytes of one "
                                 "pixel.\n");
  }
  if (key.size != bytesPerPixel) {
    raiseError("No key colour.", "Its key colour was set for " + std::to_string(key.size * 8) +
                                     "-bit pixels, and it now has " +
                                     std::to_string(bytesPerPixel * 8) +
                                     ": set the key again for this bitmap.\n");
  }
}

void BitmapImage::makeCanvas(const BitmapImage& model, std::int32_t w, std::int32_t h,
                             std::span<const std::int32_t> values) {
  if (!model.loaded) {
    model.raiseError("Not loaded.", "A new bitmap takes its bits per pixel, headers and palette "
                                    "from the other bitmap: load that one first.\n");
  }
  const std::int32_t pixelBytes = model.bytesPerPixel;
  const KeyColour pixel = pixelFromValues(values, pixelBytes);
  // The headers and colour table are all that comes before the model's pixels; a pixel array
  // that begins inside the headers is moved after them, and a top-down model whose pixels would
  // begin past its end (it loads, merges refuse it) gives its whole file, not gigabytes of zeros.
  const auto headLength = std::max<std::int64_t>(
      std::min<std::int64_t>(model.pixelDataOffset,
                             static_cast<std::int64_t>(model.fileBytes().size())),
      headersLength);
  const std::int64_t stride = (std::int64_t{w} * pixelBytes + 3) / 4 * 4;
  // Each product is formed only once its factors fit 32 bits.
  const bool sizeFits = w >= 1 && h >= 1 && stride <= std::numeric_limits<std::int32_t>::max() &&
                        headLength + stride * h <= std::numeric_limits<std::int32_t>::max();
  if (!sizeFits) {
    raiseError("Invalid size.",
               "A new bitmap is at least 1 by 1 pixel, and its file at most 2147483647 bytes: " +
                   std::to_string(w) + " by " + std::to_string(h) + " pixels of " +
                   std::to_string(pixelBytes * 8) + " bits do not fit.\n");
  }
  const auto total = static_cast<std::size_t>(headLength + stride * h);
  FileImage image;
  try {
    std::vector<std::uint8_t> bytes(total);
    const std::span<const std::uint8_t> modelBytes = model.fileBytes();
    // The headers whole, even where the model's pixels begin inside them.
    std::copy_n(modelBytes.begin(),
                std::min(static_cast<std::size_t>(headLength), modelBytes.size()), bytes.begin());
    writeLe32(&bytes[fileSizeField], static_cast<std::uint32_t>(total));
    writeLe32(&bytes[pixelOffsetField], static_cast<std::uint32_t>(headLength));
    writeLe32(&bytes[widthField], static_cast<std::uint32_t>(w));
    writeLe32(&bytes[heightField], static_cast<std::uint32_t>(h));
    // An older, shorter info header has no image size field: its bytes are the colour table's.
    if (readLe32(&bytes[infoSizeField]) >= infoHeaderWithImageSize) {
      writeLe32(&bytes[imageSizeField], static_cast<std::uint32_t>(stride * h));
    }
    std::uint8_t* const firstRow = bytes.data() + headLength;
    fillPixels(firstRow, pixel.bytes.data(), w, pixelBytes);
    for (std::int64_t row = 1; row < h; ++row) {
      std::memcpy(firstRow + row * stride, firstRow, static_cast<std::size_t>(stride));
    }
    if (!image.holdCopy(bytes)) {
      raiseError("Not enough memory.");
    }
  } catch (const std::bad_alloc&) {
    raiseError("Not enough memory.");
  }
  // The model's headers passed these tests when it was loaded, but merges may have written over
  // them since (a pixel array that begins inside the headers): tested on a bitmap of its own,
  // a failure leaves this one as it was.
  BitmapImage made(displayName);
  made.adopt(std::move(image));
  unload();
  adopt(std::move(made.fileImage));
}

PixelPoint BitmapImage::wholeTileCounts() const {
  if (!loaded) {
    return {};
  }
  const WholeTiles across = wholeTiles(layout.xOrigin, layout.xBorderBefore, layout.tileWidth,
                                       layout.xBorderAfter, width);
  const WholeTiles down = wholeTiles(layout.yOrigin, layout.yBorderBefore, layout.tileHeight,
                                     layout.yBorderAfter, height);
  // At most the width or the height in pixels, so the counts fit.
  return {static_cast<std::int32_t>(across.count), static_cast<std::int32_t>(down.count)};
}

TileLayout BitmapImage::walkedGrid(bool wholeBitmap) const {
  return wholeBitmap ? TileLayout{0, 0, width, 0, 0, 0, height, 0} : layout;
}

void BitmapImage::checkSpacing(const char* axis, std::int64_t tiles, std::int32_t tile,
                               std::int32_t pitch, std::int32_t reach, bool extruding) const {
  if (tiles < 2) {
    return;
  }
  const std::int64_t gap = std::int64_t{pitch} - tile;
  const std::string overlap = std::string("The grid's tiles overlap ") + axis + ": each is " +
                              plural(tile, " pixel", " pixels") + " long but only " +
                              std::to_string(pitch) + " from the next.\n";
  if (!extruding && gap < 0) {
    raiseError("Tiles overlap.", overlap + "Changed in place, each would change its neighbour.\n");
  }
  if (extruding && reach > 0 && 2 * std::int64_t{reach} > gap) {
    raiseError("Extrusion too large.",
               (gap < 0 ? overlap
                        : "Between the grid's tiles " + std::string(axis) + " lie " +
                              plural(gap, " pixel", " pixels") + ": an extrusion of " +
                              std::to_string(reach) + " takes " + std::to_string(reach) +
                              " on each side of a tile, so at most " + std::to_string(gap / 2) +
                              " fit.\n"));
  }
}

bool BitmapImage::prepareTileOperation(const TileLayout& grid, std::int32_t reach, bool extruding) {
  requireLoaded();
  if (height < 0) {
    raiseError("Co-ordinates out of range.",
               "A negative height means the rows are stored top first; tile operations need them "
               "stored bottom first, as most BMP files are.\n");
  }
  const WholeTiles across =
      wholeTiles(grid.xOrigin, grid.xBorderBefore, grid.tileWidth, grid.xBorderAfter, width);
  const WholeTiles down =
      wholeTiles(grid.yOrigin, grid.yBorderBefore, grid.tileHeight, grid.yBorderAfter, height);
  if (across.count == 0 || down.count == 0) {
    return false;
  }
  const PixelPoint pitch = cellPitch(grid);
  checkSpacing("across", across.count, grid.tileWidth, pitch.x, reach, extruding);
  checkSpacing("down", down.count, grid.tileHeight, pitch.y, reach, extruding);
  if (!fileImage.isIntact()) {
    raiseLost(*this);
  }
  const auto pixelBytes = static_cast<std::size_t>(rowStride) * static_cast<std::size_t>(height);
  if (pixelBytes != 0 &&
      !fileImage.makeWritable(static_cast<std::size_t>(pixelDataOffset), pixelBytes)) {
    raiseError("Not enough memory.");
  }
  return true;
}

// Calls visit(x, y) with the top-left corner of every whole tile of the grid, row by row; the
// corners lie inside the bitmap, so they fit 32 bits.
template <typename Visit>
void forEachWholeTile(const TileLayout& grid, std::int32_t width, std::int32_t height,
                      Visit visit) {
  const WholeTiles across =
      wholeTiles(grid.xOrigin, grid.xBorderBefore, grid.tileWidth, grid.xBorderAfter, width);
  const WholeTiles down =
      wholeTiles(grid.yOrigin, grid.yBorderBefore, grid.tileHeight, grid.yBorderAfter, height);
  const PixelPoint pitch = cellPitch(grid);
  for (std::int64_t row = 0; row < down.count; ++row) {
    const std::int64_t y = std::int64_t{grid.yOrigin} + grid.yBorderBefore + row * pitch.y;
    for (std::int64_t column = 0; column < across.count; ++column) {
      const std::int64_t x = std::int64_t{grid.xOrigin} + grid.xBorderBefore + column * pitch.x;
      visit(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
    }
  }
}

void BitmapImage::extrudeTiles(std::int32_t n) {
  if (!prepareTileOperation(layout, std::max(n, 0), true) || n <= 0) {
    return;
  }
  const WholeTiles down = wholeTiles(layout.yOrigin, layout.yBorderBefore, layout.tileHeight,
                                     layout.yBorderAfter, height);
  const ExtrusionAcross across{
      wholeTiles(layout.xOrigin, layout.xBorderBefore, layout.tileWidth, layout.xBorderAfter, width)
          .count,
      std::int64_t{layout.xOrigin} + layout.xBorderBefore,
      cellPitch(layout).x,
      layout.tileWidth,
      n,
      width};
  const std::int64_t tileHeight = layout.tileHeight;
  const std::int64_t pitchDown = cellPitch(layout).y;
  // A row of tiles at a time, pixel row by pixel row across all its tiles, so that memory is
  // walked in the order it is stored rather than tile by tile: first the tiles' own rows, then
  // the rows above and below them, copies of their top and bottom rows so extruded.
  const auto extrude = [&](auto pixelSize) {
    constexpr std::size_t pixelBytes = decltype(pixelSize)::value;
    for (std::int64_t tileRow = 0; tileRow < down.count; ++tileRow) {
      const std::int64_t y =
          std::int64_t{layout.yOrigin} + layout.yBorderBefore + tileRow * pitchDown;
      const std::int64_t bottom = y + tileHeight;
      for (std::int64_t row = y; row < bottom; ++row) {
        extrudeAcross<pixelBytes>(
            writableRow(static_cast<std::int32_t>(row)),
            row + 1 < bottom ? writableRow(static_cast<std::int32_t>(row + 1)) : nullptr, across);
      }
      const std::int64_t top = std::max<std::int64_t>(y - n, 0);
      const std::int64_t end = std::min<std::int64_t>(bottom + n, height);
      for (std::int64_t row = top; row < y; ++row) {
        copyExtrudedSpans(writableRow(static_cast<std::int32_t>(row)),
                          writableRow(static_cast<std::int32_t>(y)), across, pixelBytes);
      }
      for (std::int64_t row = bottom; row < end; ++row) {
        copyExtrudedSpans(writableRow(static_cast<std::int32_t>(row)),
                          writableRow(static_cast<std::int32_t>(bottom - 1)), across, pixelBytes);
      }
      for (std::int64_t column = 0;
           column < across.count && mergeLog != nullptr && mergeLog->size() < mergeLogLimit;
           ++column) {
        const std::int64_t x = across.firstX + column * across.pitch;
        const std::int64_t left = std::max<std::int64_t>(x - n, 0);
        const std::int64_t right = std::min<std::int64_t>(x + across.tileWidth + n, width);
        mergeLog->push_back({{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top)},
                             {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)},
                             static_cast<std::int32_t>(right - left),
                             static_cast<std::int32_t>(end - top)});
      }
    }
  };
  if (bytesPerPixel == 1) {
    extrude(std::integral_constant<std::size_t, 1>{});
  } else if (bytesPerPixel == 3) {
    extrude(std::integral_constant<std::size_t, 3>{});
  } else {
    extrude(std::integral_constant<std::size_t, 4>{});
  }
  requireIntactAfter(*this);
}

void BitmapImage::mirrorTiles(bool wholeBitmap) {
  const TileLayout grid = walkedGrid(wholeBitmap);
  if (!prepareTileOperation(grid, 0, false)) {
    return;
  }
  const auto pixelBytes = static_cast<std::size_t>(bytesPerPixel);
  forEachWholeTile(grid, width, height, [&](std::int32_t x, std::int32_t y) {
    for (std::int32_t row = y; row < y + grid.tileHeight; ++row) {
      std::uint8_t* const first = writableRow(row) + static_cast<std::size_t>(x) * pixelBytes;
      std::uint8_t* last = first + (static_cast<std::size_t>(grid.tileWidth) - 1) * pixelBytes;
      if (pixelBytes == 1) {
        std::reverse(first, last + 1);
        continue;
      }
      for (std::uint8_t* pixel = first; pixel < last; pixel += pixelBytes, last -= pixelBytes) {
        std::swap_ranges(pixel, pixel + pixelBytes, last);
      }
    }
    if (mergeLog != nullptr && mergeLog->size() < mergeLogLimit) {
      mergeLog->push_back({{x, y}, {x, y}, grid.tileWidth, grid.tileHeight});
    }
  });
  requireIntactAfter(*this);
}

void BitmapImage::flipTiles(bool wholeBitmap) {
  const TileLayout grid = walkedGrid(wholeBitmap);
  if (!prepareTileOperation(grid, 0, false)) {
    return;
  }
  const std::size_t rowBytes =
      static_cast<std::size_t>(grid.tileWidth) * static_cast<std::size_t>(bytesPerPixel);
  forEachWholeTile(grid, width, height, [&](std::int32_t x, std::int32_t y) {
    const std::size_t first = static_cast<std::size_t>(x) * static_cast<std::size_t>(bytesPerPixel);
    for (std::int32_t top = y, bottom = y + grid.tileHeight - 1; top < bottom; ++top, --bottom) {
      std::swap_ranges(writableRow(top) + first, writableRow(top) + first + rowBytes,
                       writableRow(bottom) + first);
    }
    if (mergeLog != nullptr && mergeLog->size() < mergeLogLimit) {
      mergeLog->push_back({{x, y}, {x, y}, grid.tileWidth, grid.tileHeight});
    }
  });
  requireIntactAfter(*this);
}

} // namespace tilegraft
