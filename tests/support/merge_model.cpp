#include "tests/support/merge_model.h"

#include "common/script_error.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

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

std::uint8_t combine(MergeOperator op, std::uint8_t to, std::uint8_t from) {
  switch (op) {
  case MergeOperator::copy:
    return from;
  case MergeOperator::bitAnd:
    return static_cast<std::uint8_t>(to & from);
  case MergeOperator::bitOr:
    return static_cast<std::uint8_t>(to | from);
  case MergeOperator::bitXor:
    return static_cast<std::uint8_t>(to ^ from);
  case MergeOperator::keyed:
    return from;
  }
  throw std::logic_error("no such operator");
}

// Combines the bytes of one w by h block; the caller has tested it. A negative width, like a
// negative height, makes these loops run no pass: nothing is merged.
void combineBlock(ModelBitmap& to, MergeOperator op, std::int32_t x, std::int32_t y,
                  const ModelBitmap& from, std::int32_t sourceX, std::int32_t sourceY,
                  std::int32_t w, std::int32_t h) {
  for (std::int64_t row = 0; row < h; ++row) {
    for (std::int64_t column = 0; column < w; ++column) {
      const std::size_t target = byteIndex(to, x + column, y + row);
      const std::size_t origin = byteIndex(from, sourceX + column, sourceY + row);
      if (op == MergeOperator::keyed &&
          std::equal(from.key.begin(), from.key.end(),
                     from.file.begin() + static_cast<std::ptrdiff_t>(origin))) {
        continue;
      }
      for (std::size_t b = 0; b < static_cast<std::size_t>(to.bytesPerPixel); ++b) {
        to.file[target + b] = combine(op, to.file[target + b], from.file[origin + b]);
      }
    }
  }
}

void checkKey(MergeOperator op, const ModelBitmap& from) {
  if (op == MergeOperator::keyed &&
      from.key.size() != static_cast<std::size_t>(from.bytesPerPixel)) {
    fail(from, "No key colour.");
  }
}

void mergePixels(ModelBitmap& to, MergeOperator op, std::int32_t x, std::int32_t y,
                 const ModelBitmap& from, std::int32_t sourceX, std::int32_t sourceY,
                 std::int32_t w, std::int32_t h) {
  checkCompatible(to, from, false);
  checkKey(op, from);
  checkRect(to, x, y, w, h);
  checkRect(from, sourceX, sourceY, w, h);
  combineBlock(to, op, x, y, from, sourceX, sourceY, w, h);
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

// A range test of the tiles from (first column, first row) to (last column, last row) as one
// block: the first pixel of the first tile and the last pixel of the last tile.
void checkTiles(const ModelBitmap& bitmap, std::int32_t firstColumn, std::int32_t firstRow,
                std::int32_t lastColumn, std::int32_t lastRow) {
  const TileLayout& layout = bitmap.layout;
  checkPoint(bitmap, tileX(layout, firstColumn), tileY(layout, firstRow));
  checkPoint(bitmap, wrap32(std::int64_t{tileX(layout, lastColumn)} + layout.tileWidth - 1),
             wrap32(std::int64_t{tileY(layout, lastRow)} + layout.tileHeight - 1));
}

bool sizeFits(std::int32_t tileSize, std::int32_t count) {
  const std::int64_t size = std::int64_t{tileSize} * count;
  return size == wrap32(size);
}

// Tiles are merged one by one, each with the bytes of its own cell. Where the tool joins a
// run's tiles in an axis (no borders in either bitmap, and the run's size fits 32 bits), its
// range tests fall where a joined block's would: once per run in that axis, from the first
// tile's first pixel to the last tile's last pixel.
void mergeTiles(ModelBitmap& to, MergeOperator op, std::int32_t column, std::int32_t row,
                const ModelBitmap& from, std::int32_t sourceColumn, std::int32_t sourceRow,
                std::int32_t columns, std::int32_t rows) {
  checkCompatible(to, from, true);
  checkKey(op, from);
  const TileLayout& a = to.layout;
  const TileLayout& b = from.layout;
  const bool joinAcross = a.xBorderBefore == 0 && a.xBorderAfter == 0 && b.xBorderBefore == 0 &&
                          b.xBorderAfter == 0 && sizeFits(a.tileWidth, columns);
  const bool joinDown = a.yBorderBefore == 0 && a.yBorderAfter == 0 && b.yBorderBefore == 0 &&
                        b.yBorderAfter == 0 && sizeFits(a.tileHeight, rows);
  // Tested blocks per axis, and tiles in each.
  const std::int32_t blockColumns = joinAcross ? 1 : columns;
  const std::int32_t blockRows = joinDown ? 1 : rows;
  const std::int32_t tilesAcross = joinAcross ? columns : 1;
  const std::int32_t tilesDown = joinDown ? rows : 1;
  // The pieces whose bytes a block merges in one axis, and their size: its tiles one by one; but
  // a joined run of 0 or fewer tiles is the one block that their count times the tile size
  // makes, which is empty unless both are negative.
  struct Pieces {
    std::int32_t count;
    std::int32_t size;
  };
  const auto piecesOf = [](std::int32_t tiles, std::int32_t tileSize) {
    return tiles > 0 ? Pieces{tiles, tileSize} : Pieces{1, wrap32(std::int64_t{tiles} * tileSize)};
  };
  const Pieces across = piecesOf(tilesAcross, a.tileWidth);
  const Pieces down = piecesOf(tilesDown, a.tileHeight);
  const auto at = [](std::int32_t start, std::int64_t offset) { return wrap32(start + offset); };
  for (std::int32_t i = 0; i < blockRows; ++i) {
    for (std::int32_t j = 0; j < blockColumns; ++j) {
      checkCompatible(to, from, false);
      checkTiles(to, at(column, j), at(row, i), at(column, std::int64_t{j} + tilesAcross - 1),
                 at(row, std::int64_t{i} + tilesDown - 1));
      checkTiles(from, at(sourceColumn, j), at(sourceRow, i),
                 at(sourceColumn, std::int64_t{j} + tilesAcross - 1),
                 at(sourceRow, std::int64_t{i} + tilesDown - 1));
      for (std::int32_t tileRow = 0; tileRow < down.count; ++tileRow) {
        for (std::int32_t tileColumn = 0; tileColumn < across.count; ++tileColumn) {
          const std::int64_t c = std::int64_t{j} + tileColumn;
          const std::int64_t r = std::int64_t{i} + tileRow;
          combineBlock(to, op, tileX(a, at(column, c)), tileY(a, at(row, r)), from,
                       tileX(b, at(sourceColumn, c)), tileY(b, at(sourceRow, r)), across.size,
                       down.size);
        }
      }
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

std::size_t ModelBitmap::pixelAt(std::int32_t x, std::int32_t y) const {
  return static_cast<std::size_t>(pixelDataOffset + (height - 1 - y) * stride() +
                                  std::int64_t{x} * bytesPerPixel);
}

Bytes ModelBitmap::pixel(std::int32_t x, std::int32_t y) const {
  const auto first = file.begin() + static_cast<std::ptrdiff_t>(pixelAt(x, y));
  return Bytes(first, first + bytesPerPixel);
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
          mergeTiles(base, line.op, x, y, patch, line.sourceX, line.sourceY, line.width,
                     line.height);
        } else {
          mergePixels(base, line.op, x, y, patch, line.sourceX, line.sourceY, line.width,
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
      base.mergeTiles(line.op, line.x, line.y, patch, line.sourceX, line.sourceY, line.width,
                      line.height, {line.across, line.down});
    } else {
      base.mergePixels(line.op, line.x, line.y, patch, line.sourceX, line.sourceY, line.width,
                       line.height, {line.across, line.down});
    }
  } catch (const ScriptError& error) {
    return error.message();
  }
  return "";
}

namespace {

struct ModelTile {
  std::int64_t x;
  std::int64_t y;
  std::int64_t width;
  std::int64_t height;
};

// The grid's tiles from column 0 and row 0 on, for as long as each lies inside the bitmap; none
// where the grid does not move on from one tile to the next.
std::vector<ModelTile> wholeTilesOf(const ModelBitmap& bitmap, const TileLayout& grid) {
  const std::int64_t pitchX = std::int64_t{grid.xBorderBefore} + grid.tileWidth + grid.xBorderAfter;
  const std::int64_t pitchY =
      std::int64_t{grid.yBorderBefore} + grid.tileHeight + grid.yBorderAfter;
  std::vector<ModelTile> tiles;
  if (grid.tileWidth <= 0 || grid.tileHeight <= 0 || pitchX <= 0 || pitchY <= 0) {
    return tiles;
  }
  std::vector<std::int64_t> xs;
  std::vector<std::int64_t> ys;
  for (std::int64_t x = std::int64_t{grid.xOrigin} + grid.xBorderBefore;
       x >= 0 && x + grid.tileWidth <= bitmap.width; x += pitchX) {
    xs.push_back(x);
  }
  for (std::int64_t y = std::int64_t{grid.yOrigin} + grid.yBorderBefore;
       y >= 0 && y + grid.tileHeight <= bitmap.height; y += pitchY) {
    ys.push_back(y);
  }
  for (const std::int64_t y : ys) {
    for (const std::int64_t x : xs) {
      tiles.push_back({x, y, grid.tileWidth, grid.tileHeight});
    }
  }
  return tiles;
}

bool overlap(const ModelTile& a, const ModelTile& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// The tiles of a tile operation, after the tests that come before any tile is looked at.
std::vector<ModelTile> operationTiles(const ModelBitmap& bitmap, bool wholeBitmap) {
  if (!bitmap.loaded) {
    fail(bitmap, "Not loaded.");
  }
  if (bitmap.height < 0) {
    fail(bitmap, "Co-ordinates out of range.");
  }
  return wholeTilesOf(bitmap, wholeBitmap
                                  ? TileLayout{0, 0, bitmap.width, 0, 0, 0, bitmap.height, 0}
                                  : bitmap.layout);
}

void copyPixel(Bytes& to, const ModelBitmap& bitmap, std::int64_t x, std::int64_t y,
               std::int64_t fromX, std::int64_t fromY) {
  const std::size_t target = byteIndex(bitmap, x, y);
  const std::size_t origin = byteIndex(bitmap, fromX, fromY);
  for (std::size_t b = 0; b < static_cast<std::size_t>(bitmap.bytesPerPixel); ++b) {
    to[target + b] = bitmap.file[origin + b];
  }
}

// Moves each pixel of every tile to where place puts it inside its tile; tiles that share a
// pixel fail.
template <typename Place>
std::string rearrangeTiles(ModelBitmap& bitmap, bool wholeBitmap, Place place) {
  try {
    const std::vector<ModelTile> tiles = operationTiles(bitmap, wholeBitmap);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
      for (std::size_t j = i + 1; j < tiles.size(); ++j) {
        if (overlap(tiles[i], tiles[j])) {
          fail(bitmap, "Tiles overlap.");
        }
      }
    }
    Bytes result = bitmap.file;
    for (const ModelTile& tile : tiles) {
      for (std::int64_t row = 0; row < tile.height; ++row) {
        for (std::int64_t column = 0; column < tile.width; ++column) {
          const auto [toColumn, toRow] = place(tile, column, row);
          copyPixel(result, bitmap, tile.x + toColumn, tile.y + toRow, tile.x + column,
                    tile.y + row);
        }
      }
    }
    bitmap.file = std::move(result);
  } catch (const ModelFailure& failure) {
    return failure.message;
  }
  return "";
}

} // namespace

std::string modelExtrude(ModelBitmap& bitmap, std::int32_t n) {
  try {
    const std::vector<ModelTile> tiles = operationTiles(bitmap, false);
    if (n <= 0) {
      return "";
    }
    // Each tile with its extrusion, unclipped; no two may share a pixel.
    std::vector<ModelTile> grown;
    for (const ModelTile& tile : tiles) {
      grown.push_back({tile.x - n, tile.y - n, tile.width + 2 * std::int64_t{n},
                       tile.height + 2 * std::int64_t{n}});
    }
    for (std::size_t i = 0; i < grown.size(); ++i) {
      for (std::size_t j = i + 1; j < grown.size(); ++j) {
        if (overlap(grown[i], grown[j])) {
          fail(bitmap, "Extrusion too large.");
        }
      }
    }
    Bytes result = bitmap.file;
    for (const ModelTile& tile : tiles) {
      for (std::int64_t y = std::max<std::int64_t>(tile.y - n, 0);
           y < std::min<std::int64_t>(tile.y + tile.height + n, bitmap.height); ++y) {
        for (std::int64_t x = std::max<std::int64_t>(tile.x - n, 0);
             x < std::min<std::int64_t>(tile.x + tile.width + n, bitmap.width); ++x) {
          copyPixel(result, bitmap, x, y, std::clamp(x, tile.x, tile.x + tile.width - 1),
                    std::clamp(y, tile.y, tile.y + tile.height - 1));
        }
      }
    }
    bitmap.file = std::move(result);
  } catch (const ModelFailure& failure) {
    return failure.message;
  }
  return "";
}

std::string modelMirror(ModelBitmap& bitmap, bool wholeBitmap) {
  return rearrangeTiles(bitmap, wholeBitmap,
                        [](const ModelTile& tile, std::int64_t x, std::int64_t y) {
                          return std::pair{tile.width - 1 - x, y};
                        });
}

std::string modelFlip(ModelBitmap& bitmap, bool wholeBitmap) {
  return rearrangeTiles(bitmap, wholeBitmap,
                        [](const ModelTile& tile, std::int64_t x, std::int64_t y) {
                          return std::pair{x, tile.height - 1 - y};
                        });
}

} // namespace tilegraft::testing
