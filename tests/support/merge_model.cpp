#include "tests/support/merge_model.h"

#include "common/script_error.h"

#include <stdexcept>
#include <utility>

namespace tilegraft::testing {

namespace {

// Thrown by the model's checks and caught only by modelMerge.
struct ModelFailure {
  std::string message;
};

std::uint32_t le32(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) |
         static_cast<std::uint32_t>(bytes.at(at + 1)) << 8U |
         static_cast<std::uint32_t>(bytes.at(at + 2)) << 16U |
         static_cast<std::uint32_t>(bytes.at(at + 3)) << 24U;
}

// Every sum and product is taken exactly in 64 bits and only then cut to 32, which is what
// 32-bit two's complement wrap-around means.
std::int32_t wrap32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

[[noreturn]] void fail(const ModelBitmap& bitmap, const char* message) {
  throw ModelFailure{bitmap.displayName + ": " + message};
}

void checkPoint(const ModelBitmap& bitmap, std::int32_t x, std::int32_t y) {
  if (x < 0 || x >= bitmap.width || y < 0 || y >= bitmap.height) {
    fail(bitmap, "Co-ordinates out of range.");
  }
}

void checkRect(const ModelBitmap& bitmap, std::int32_t x, std::int32_t y, std::int32_t w,
               std::int32_t h) {
  checkPoint(bitmap, x, y);
  checkPoint(bitmap, wrap32(std::int64_t{x} + w - 1), wrap32(std::int64_t{y} + h - 1));
}

void checkCompatible(const ModelBitmap& to, const ModelBitmap& from, bool withTileSize) {
  if (!to.loaded) {
    fail(to, "Not loaded.");
  }
  if (!from.loaded) {
    fail(from, "Not loaded.");
  }
  if (to.bytesPerPixel != from.bytesPerPixel) {
    fail(to, "Bitmaps are incompatible.");
  }
  if (withTileSize && (to.layout.tileWidth != from.layout.tileWidth ||
                       to.layout.tileHeight != from.layout.tileHeight)) {
    fail(to, "Bitmaps are incompatible.");
  }
}

// Rows are stored bottom-up: the top row y = 0 is the last one in the file.
std::size_t byteIndex(const ModelBitmap& bitmap, std::int64_t x, std::int64_t y) {
  const std::int64_t at =
      bitmap.pixelDataOffset + (bitmap.height - 1 - y) * bitmap.stride() + x * bitmap.bytesPerPixel;
  if (at < 0 || static_cast<std::uint64_t>(at + bitmap.bytesPerPixel) > bitmap.file.size()) {
    throw std::logic_error("the model addressed a pixel outside the file");
  }
  return static_cast<std::size_t>(at);
}

std::uint8_t combine(int operatorIndex, std::uint8_t to, std::uint8_t from) {
  switch (operatorIndex) {
  case 0:
    return from;
  case 1:
    return static_cast<std::uint8_t>(to & from);
  case 2:
    return static_cast<std::uint8_t>(to | from);
  case 3:
    return static_cast<std::uint8_t>(to ^ from);
  default:
    throw std::logic_error("no such operator");
  }
}

void mergePixels(ModelBitmap& to, int operatorIndex, std::int32_t x, std::int32_t y,
                 const ModelBitmap& from, std::int32_t sourceX, std::int32_t sourceY,
                 std::int32_t w, std::int32_t h) {
  checkCompatible(to, from, false);
  checkRect(to, x, y, w, h);
  checkRect(from, sourceX, sourceY, w, h);
  // A negative width, like a negative height, makes these loops run no pass: nothing is merged.
  for (std::int64_t row = 0; row < h; ++row) {
    for (std::int64_t column = 0; column < w; ++column) {
      const std::size_t target = byteIndex(to, x + column, y + row);
      const std::size_t origin = byteIndex(from, sourceX + column, sourceY + row);
      for (std::size_t b = 0; b < static_cast<std::size_t>(to.bytesPerPixel); ++b) {
        to.file[target + b] = combine(operatorIndex, to.file[target + b], from.file[origin + b]);
      }
    }
  }
}

std::int32_t tileX(const TileLayout& layout, std::int32_t column) {
  const std::int32_t pitch =
      wrap32(std::int64_t{layout.xBorderBefore} + layout.tileWidth + layout.xBorderAfter);
  return wrap32(std::int64_t{layout.xOrigin} + layout.xBorderBefore + std::int64_t{column} * pitch);
}

std::int32_t tileY(const TileLayout& layout, std::int32_t row) {
  const std::int32_t pitch =
      wrap32(std::int64_t{layout.yBorderBefore} + layout.tileHeight + layout.yBorderAfter);
  return wrap32(std::int64_t{layout.yOrigin} + layout.yBorderBefore + std::int64_t{row} * pitch);
}

void mergeTiles(ModelBitmap& to, int operatorIndex, std::int32_t column, std::int32_t row,
                const ModelBitmap& from, std::int32_t sourceColumn, std::int32_t sourceRow,
                std::int32_t columns, std::int32_t rows) {
  checkCompatible(to, from, true);
  std::int32_t blockWidth = to.layout.tileWidth;
  std::int32_t columnCount = columns;
  std::int32_t blockHeight = to.layout.tileHeight;
  std::int32_t rowCount = rows;
  if (to.layout.xBorderBefore == 0 && to.layout.xBorderAfter == 0 &&
      from.layout.xBorderBefore == 0 && from.layout.xBorderAfter == 0) {
    blockWidth = wrap32(std::int64_t{to.layout.tileWidth} * columns);
    columnCount = 1;
  }
  if (to.layout.yBorderBefore == 0 && to.layout.yBorderAfter == 0 &&
      from.layout.yBorderBefore == 0 && from.layout.yBorderAfter == 0) {
    blockHeight = wrap32(std::int64_t{to.layout.tileHeight} * rows);
    rowCount = 1;
  }
  for (std::int32_t i = 0; i < rowCount; ++i) {
    for (std::int32_t j = 0; j < columnCount; ++j) {
      const std::int32_t destinationColumn = wrap32(std::int64_t{column} + j);
      const std::int32_t destinationRow = wrap32(std::int64_t{row} + i);
      const std::int32_t originColumn = wrap32(std::int64_t{sourceColumn} + j);
      const std::int32_t originRow = wrap32(std::int64_t{sourceRow} + i);
      mergePixels(to, operatorIndex, tileX(to.layout, destinationColumn),
                  tileY(to.layout, destinationRow), from, tileX(from.layout, originColumn),
                  tileY(from.layout, originRow), blockWidth, blockHeight);
    }
  }
}

} // namespace

ModelBitmap::ModelBitmap(std::string name, Bytes bytes, const TileLayout& tiles)
    : displayName(std::move(name)), file(std::move(bytes)), layout(tiles) {
  width = static_cast<std::int32_t>(le32(file, bmpWidthField));
  height = static_cast<std::int32_t>(le32(file, bmpHeightField));
  bytesPerPixel = static_cast<std::int32_t>(le32(file, bmpBitCountField) & 0xFFFFU) / 8;
  pixelDataOffset = static_cast<std::int32_t>(le32(file, bmpPixelOffsetField));
}

std::int64_t ModelBitmap::stride() const {
  return (std::int64_t{width} * bytesPerPixel + 3) / 4 * 4;
}

std::string modelMerge(ModelBitmap& base, const ModelBitmap& patch, const MergeLine& line) {
  try {
    for (std::int32_t i = 0; i < line.down; ++i) {
      for (std::int32_t j = 0; j < line.across; ++j) {
        const std::int32_t x = wrap32(line.x + std::int64_t{j} * line.width);
        const std::int32_t y = wrap32(line.y + std::int64_t{i} * line.height);
        if (line.tiles) {
          mergeTiles(base, line.operatorIndex, x, y, patch, line.sourceX, line.sourceY, line.width,
                     line.height);
        } else {
          mergePixels(base, line.operatorIndex, x, y, patch, line.sourceX, line.sourceY, line.width,
                      line.height);
        }
      }
    }
  } catch (const ModelFailure& failure) {
    return failure.message;
  }
  return "";
}

std::string realMerge(BitmapImage& base, const BitmapImage& patch, const MergeLine& line) {
  try {
    if (line.tiles) {
      base.mergeTiles(line.operatorIndex, line.x, line.y, patch, line.sourceX, line.sourceY,
                      line.width, line.height, {line.across, line.down});
    } else {
      base.mergePixels(line.operatorIndex, line.x, line.y, patch, line.sourceX, line.sourceY,
                       line.width, line.height, {line.across, line.down});
    }
  } catch (const ScriptError& error) {
    return error.message();
  }
  return "";
}

} // namespace tilegraft::testing
