#include "bitmap/bitmap_image.h"
#include "bitmap/byte_operators.h"
#include "common/int32_math.h"

#include <array>
#include <cstddef>

namespace tilegraft {

namespace {

PixelPoint step(PixelPoint point, PixelPoint by) {
  return {wrapAdd(point.x, by.x), wrapAdd(point.y, by.y)};
}

// Applies one operator to each row of a block, from its top row down: one row down is one
// stride toward the start of each file image, and the pointers never step past the last row.
// Chosen once per block, so the operator is inlined into the row loop.
template <ByteOperator combine>
void walkRows(std::uint8_t* to, const std::uint8_t* from, std::size_t rowBytes, std::int32_t rows,
              std::int32_t toStride, std::int32_t fromStride) {
  for (;;) {
    combine(to, from, rowBytes);
    if (--rows == 0) {
      break;
    }
    to -= toStride;
    from -= fromStride;
  }
}

using RowWalker = void (*)(std::uint8_t*, const std::uint8_t*, std::size_t, std::int32_t,
                           std::int32_t, std::int32_t);

constexpr std::array<RowWalker, byteOperators.size()> rowWalkers{
    walkRows<byteOperators[0]>, walkRows<byteOperators[1]>, walkRows<byteOperators[2]>,
    walkRows<byteOperators[3]>};

} // namespace

// The copies of one merge, as nested loops from the outermost: rows of repeats, repeats across,
// then tile rows and tile columns. Each level moves the destination and the source block by a
// fixed step per copy; the innermost level merges one block.
struct BitmapImage::CopyWalk {
  struct Level {
    std::int32_t count;
    PixelPoint destinationStep;
    PixelPoint sourceStep;
  };

  MergeOperator op;
  std::int32_t blockWidth;
  std::int32_t blockHeight;
  std::array<Level, 4> levels;
  int levelCount;

  // True when some level runs no copy at all: then no block is checked or merged.
  bool isEmpty() const {
    for (int i = 0; i < levelCount; ++i) {
      if (levels[static_cast<std::size_t>(i)].count <= 0) {
        return true;
      }
    }
    return false;
  }
};

void BitmapImage::checkCompatible(const BitmapImage& source, bool withTileSize) const {
  requireLoaded();
  source.requireLoaded();
  if (bytesPerPixel != source.bytesPerPixel) {
    raiseError("Bitmaps are incompatible.", "The base has " + std::to_string(bytesPerPixel * 8) +
                                                " bits per pixel, the patch " +
                                                std::to_string(source.bytesPerPixel * 8) + ".\n");
  }
  if (withTileSize && (layout.tileWidth != source.layout.tileWidth ||
                       layout.tileHeight != source.layout.tileHeight)) {
    raiseError("Bitmaps are incompatible.",
               "The base's tiles are " + std::to_string(layout.tileWidth) + " by " +
                   std::to_string(layout.tileHeight) + " pixels, the patch's " +
                   std::to_string(source.layout.tileWidth) + " by " +
                   std::to_string(source.layout.tileHeight) + ".\n");
  }
}

void BitmapImage::mergePixels(MergeOperator op, std::int32_t x, std::int32_t y,
                              const BitmapImage& source, std::int32_t sourceX, std::int32_t sourceY,
                              std::int32_t w, std::int32_t h, MergeRepeats repeats) {
  if (repeats.down <= 0 || repeats.across <= 0) {
    return;
  }
  checkCompatible(source, false);
  const CopyWalk walk{
      op, w, h, {{{repeats.down, {0, h}, {0, 0}}, {repeats.across, {w, 0}, {0, 0}}}}, 2};
  walkCopies(walk, 0, {x, y}, {sourceX, sourceY}, source);
}

void BitmapImage::mergeTiles(MergeOperator op, std::int32_t column, std::int32_t row,
                             const BitmapImage& source, std::int32_t sourceColumn,
                             std::int32_t sourceRow, std::int32_t columns, std::int32_t rows,
                             MergeRepeats repeats) {
  if (repeats.down <= 0 || repeats.across <= 0) {
    return;
  }
  checkCompatible(source, true);
  const TileLayout& to = layout;
  const TileLayout& from = source.layout;
  // Tiles that touch in both bitmaps are merged as one block: the same pixels, fewer calls. A
  // run whose size in pixels does not fit 32 bits is merged tile by tile instead, so that it
  // fails at its first tile outside a bitmap rather than wrap around into a block elsewhere.
  const bool joinAcross = to.xBorderBefore == 0 && to.xBorderAfter == 0 &&
                          from.xBorderBefore == 0 && from.xBorderAfter == 0 &&
                          productFits(to.tileWidth, columns);
  const bool joinDown = to.yBorderBefore == 0 && to.yBorderAfter == 0 && from.yBorderBefore == 0 &&
                        from.yBorderAfter == 0 && productFits(to.tileHeight, rows);
  const std::int32_t blockWidth = joinAcross ? wrapMul(to.tileWidth, columns) : to.tileWidth;
  const std::int32_t blockHeight = joinDown ? wrapMul(to.tileHeight, rows) : to.tileHeight;
  const std::int32_t columnCount = joinAcross ? 1 : columns;
  const std::int32_t rowCount = joinDown ? 1 : rows;

  const PixelPoint pitch = cellPitch(to);
  const PixelPoint sourcePitch = cellPitch(from);
  // A repeat moves the destination by the run's size in tiles; the source stays.
  const CopyWalk walk{op,
                      blockWidth,
                      blockHeight,
                      {{{repeats.down, {0, wrapMul(rows, pitch.y)}, {0, 0}},
                        {repeats.across, {wrapMul(columns, pitch.x), 0}, {0, 0}},
                        {rowCount, {0, pitch.y}, {0, sourcePitch.y}},
                        {columnCount, {pitch.x, 0}, {sourcePitch.x, 0}}}},
                      4};
  if (walk.isEmpty()) {
    return;
  }
  walkCopies(walk, 0, tileOrigin(column, row), source.tileOrigin(sourceColumn, sourceRow), source);
}

// Every copy of a level lands where the previous one did when neither block moves: then =, &
// and | give after one copy the bytes that many give, and ^ after two copies those of any even
// number. Copies that move are all run; each is range-tested, and as the positions never repeat
// within a bitmap's width or height, a long loop soon fails or ends.
void BitmapImage::walkCopies(const CopyWalk& walk, int level, PixelPoint destination,
                             PixelPoint origin, const BitmapImage& source) {
  const CopyWalk::Level& copies = walk.levels[static_cast<std::size_t>(level)];
  const bool innermost = level + 1 == walk.levelCount;
  if (copies.destinationStep == PixelPoint{} && copies.sourceStep == PixelPoint{}) {
    const int passes = walk.op == MergeOperator::bitXor && copies.count % 2 == 0 ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      if (innermost) {
        mergeAcross(walk, 1, 0, 0, destination, origin, source);
      } else {
        walkCopies(walk, level + 1, destination, origin, source);
      }
    }
    return;
  }
  if (innermost) {
    mergeAcross(walk, copies.count, copies.destinationStep.x, copies.sourceStep.x, destination,
                origin, source);
    return;
  }
  for (std::int32_t i = 0; i < copies.count; ++i) {
    walkCopies(walk, level + 1, destination, origin, source);
    destination = step(destination, copies.destinationStep);
    origin = step(origin, copies.sourceStep);
  }
}

// The blocks of the innermost level move across only, so their rows are range-tested once and
// only their columns block by block; a block fails exactly where its own two corner tests would.
void BitmapImage::mergeAcross(const CopyWalk& walk, std::int32_t count, std::int32_t step,
                              std::int32_t sourceStep, PixelPoint destination, PixelPoint origin,
                              const BitmapImage& source) {
  const std::int32_t w = walk.blockWidth;
  const std::int32_t h = walk.blockHeight;
  const std::int32_t lastColumn = wrapSub(w, 1);
  const std::int32_t lastRow = wrapSub(h, 1);
  const bool rowsInside =
      containsRow(destination.y) && containsRow(wrapAdd(destination.y, lastRow));
  const bool sourceRowsInside =
      source.containsRow(origin.y) && source.containsRow(wrapAdd(origin.y, lastRow));
  // A block of negative width passes the corner tests like one of negative height, and like it
  // merges nothing: the operators never see a negative count.
  const bool mergesBytes = w > 0 && h > 0;
  const RowWalker walkBlockRows = rowWalkers[operatorIndex(walk.op)];
  const auto rowBytes =
      mergesBytes ? static_cast<std::size_t>(w) * static_cast<std::size_t>(bytesPerPixel) : 0;
  // A block's first byte is its top row's offset plus its column's bytes; a pointer is formed
  // only once the block has passed every test, so none ever points outside a file image.
  const std::int32_t topRow = pixelOffset(0, destination.y);
  const std::int32_t sourceTopRow = source.pixelOffset(0, origin.y);
  std::int32_t x = destination.x;
  std::int32_t sourceX = origin.x;
  for (std::int32_t i = 0; i < count; ++i) {
    if (!rowsInside || !containsColumn(x) || !containsColumn(wrapAdd(x, lastColumn))) {
      raiseOutOfRange(x, destination.y, w, h);
    }
    if (!sourceRowsInside || !source.containsColumn(sourceX) ||
        !source.containsColumn(wrapAdd(sourceX, lastColumn))) {
      source.raiseOutOfRange(sourceX, origin.y, w, h);
    }
    if (mergesBytes) {
      if (mergeObserver != nullptr) {
        mergeObserver->mergedBlock({x, destination.y}, {sourceX, origin.y}, w, h);
      }
      walkBlockRows(fileImage.get() + wrapAdd(topRow, wrapMul(x, bytesPerPixel)),
                    source.fileImage.get() +
                        wrapAdd(sourceTopRow, wrapMul(sourceX, source.bytesPerPixel)),
                    rowBytes, h, rowStride, source.rowStride);
    }
    x = wrapAdd(x, step);
    sourceX = wrapAdd(sourceX, sourceStep);
  }
}

} // namespace tilegraft
