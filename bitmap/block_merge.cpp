#include "bitmap/bitmap_image.h"
#include "bitmap/byte_operators.h"
#include "common/int32_math.h"

#include <array>
#include <cstddef>
#include <cstring>

// On x86 a keyed copy of 3-byte pixels has a second row loop for processors with SSE4.1 (and so
// SSSE3's byte shuffles), chosen at run time: baseline x86-64 code has no shuffle, and builds
// with the portable loop alone everywhere else. It keyed a 4096 x 4096 block in memory in 1.36
// to 1.39 times the CPU time of its copy, against 1.55 to 1.58 (bench/README.md).
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TILEGRAFT_SHUFFLED_KEYED_COPY 1
#include <immintrin.h>
#endif

namespace tilegraft {

namespace {

// A corner moved on by one copy's step.
PixelPoint movedBy(PixelPoint point, PixelPoint by) {
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

#ifdef TILEGRAFT_SHUFFLED_KEYED_COPY

// Unaligned 16-byte loads and stores, through memcpy so that no pointer is cast.
[[gnu::target("sse4.1")]] inline __m128i load16(const void* at) {
  __m128i value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

[[gnu::target("sse4.1")]] inline void store16(void* at, __m128i value) {
  std::memcpy(at, &value, sizeof value);
}

// Shuffle tables: a lane of 0x80 becomes 0. Spread puts four 3-byte pixels in four 32-bit lanes;
// each pair of the others turns the pixels' 32-bit compare results into a mask of the 16 bytes
// of one of a group's three chunks, from the pixels of two windows.
constexpr std::uint8_t z = 0x80;
alignas(16) constexpr std::uint8_t spreadPixels[16] = {0, 1, 2, z, 3, 4,  5,  z,
                                                       6, 7, 8, z, 9, 10, 11, z};
alignas(16) constexpr std::uint8_t chunkMasks[6][16] = {
    {0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, z, z, z, z}, // chunk 0: pixels 0-3 of window 0,
    {z, z, z, z, z, z, z, z, z, z, z, z, 0, 0, 0, 4},    // pixels 4 and 5 of window 1
    {4, 4, 8, 8, 8, 12, 12, 12, z, z, z, z, z, z, z, z}, // chunk 1: pixels 5-7 of window 1,
    {z, z, z, z, z, z, z, z, 0, 0, 0, 4, 4, 4, 8, 8},    // pixels 8-10 of window 2
    {8, 12, 12, 12, z, z, z, z, z, z, z, z, z, z, z, z}, // chunk 2: pixels 10 and 11 of window 2,
    {z, z, z, z, 0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12}, // pixels 12-15 of window 3
};

// Keys 48 bytes, 16 pixels: four windows of four pixels are each spread into 32-bit lanes and
// compared with the key at once; the results, shuffled back to the bytes of the three 16-byte
// chunks, pick the destination's bytes where the pixel is the key.
[[gnu::target("sse4.1")]] void walkKeyedRows24Shuffled(std::uint8_t* to, const std::uint8_t* from,
                                                       std::size_t pixels, std::int32_t rows,
                                                       std::int32_t toStride,
                                                       std::int32_t fromStride,
                                                       const std::array<std::uint8_t, 4>& key) {
  const __m128i keyPixel = _mm_set1_epi32(static_cast<int>(
      std::uint32_t{key[0]} | std::uint32_t{key[1]} << 8 | std::uint32_t{key[2]} << 16));
  const __m128i spread = load16(spreadPixels);
  __m128i masks[6];
  for (std::size_t i = 0; i < 6; ++i) {
    masks[i] = load16(chunkMasks[i]);
  }
  const std::size_t groups = pixels / 16;
  for (;;) {
    for (std::size_t group = 0; group < groups; ++group) {
      std::uint8_t* const out = to + group * 48;
      const std::uint8_t* const in = from + group * 48;
      const __m128i chunk0 = load16(in);
      const __m128i chunk1 = load16(in + 16);
      const __m128i chunk2 = load16(in + 32);
      // Windows at bytes 0, 12, 24 and 36: pixels 0-3, 4-7, 8-11 and 12-15 in their first 12.
      const __m128i key0 = _mm_cmpeq_epi32(_mm_shuffle_epi8(chunk0, spread), keyPixel);
      const __m128i key1 =
          _mm_cmpeq_epi32(_mm_shuffle_epi8(_mm_alignr_epi8(chunk1, chunk0, 12), spread), keyPixel);
      const __m128i key2 =
          _mm_cmpeq_epi32(_mm_shuffle_epi8(_mm_alignr_epi8(chunk2, chunk1, 8), spread), keyPixel);
      const __m128i key3 =
          _mm_cmpeq_epi32(_mm_shuffle_epi8(_mm_srli_si128(chunk2, 4), spread), keyPixel);
      const __m128i keep0 =
          _mm_or_si128(_mm_shuffle_epi8(key0, masks[0]), _mm_shuffle_epi8(key1, masks[1]));
      const __m128i keep1 =
          _mm_or_si128(_mm_shuffle_epi8(key1, masks[2]), _mm_shuffle_epi8(key2, masks[3]));
      const __m128i keep2 =
          _mm_or_si128(_mm_shuffle_epi8(key2, masks[4]), _mm_shuffle_epi8(key3, masks[5]));
      store16(out, _mm_blendv_epi8(chunk0, load16(out), keep0));
      store16(out + 16, _mm_blendv_epi8(chunk1, load16(out + 16), keep1));
      store16(out + 32, _mm_blendv_epi8(chunk2, load16(out + 32), keep2));
    }
    copyUnlessKey24(to + groups * 48, from + groups * 48, pixels - groups * 16, key);
    if (--rows == 0) {
      break;
    }
    to -= toStride;
    from -= fromStride;
  }
}

// Asked once: the processor does not change while the tool runs.
bool processorShuffles() {
  static const bool shuffles = __builtin_cpu_supports("sse4.1");
  return shuffles;
}

#else

bool processorShuffles() { return false; }

#endif

KeyedCopyPath chosenKeyedCopyPath = KeyedCopyPath::widest;

// The keyed copy's row loop, apart from the byte operators' so that theirs stays as it was.
void walkKeyedRows(std::uint8_t* to, const std::uint8_t* from, std::size_t pixels,
                   std::int32_t rows, std::int32_t toStride, std::int32_t fromStride,
                   const KeyColour& key) {
#ifdef TILEGRAFT_SHUFFLED_KEYED_COPY
  if (key.size == 3 && keyedCopyPath() == KeyedCopyPath::widest) {
    walkKeyedRows24Shuffled(to, from, pixels, rows, toStride, fromStride, key.bytes);
    return;
  }
#endif
  for (;;) {
    if (key.size == 1) {
      copyUnlessKey8(to, from, pixels, key.bytes[0]);
    } else if (key.size == 3) {
      copyUnlessKey24(to, from, pixels, key.bytes);
    } else {
      copyUnlessKey32(to, from, pixels, key.bytes);
    }
    if (--rows == 0) {
      break;
    }
    to -= toStride;
    from -= fromStride;
  }
}

// Along one axis, a run of tiles that touch in both bitmaps (no border before or after a tile in
// either) is merged as one block: the same pixels, fewer calls. Only when the run's size in
// pixels fits 32 bits: a larger one is merged tile by tile, so that it fails at its first tile
// outside a bitmap rather than wrap around into a block elsewhere.
bool runJoins(std::int32_t beforeTo, std::int32_t afterTo, std::int32_t beforeFrom,
              std::int32_t afterFrom, std::int32_t tileSize, std::int32_t tiles) {
  const bool tilesTouch = beforeTo == 0 && afterTo == 0 && beforeFrom == 0 && afterFrom == 0;
  return tilesTouch && productFits(tileSize, tiles);
}

} // namespace

void chooseKeyedCopyPath(KeyedCopyPath path) { chosenKeyedCopyPath = path; }

KeyedCopyPath keyedCopyPath() {
  return processorShuffles() ? chosenKeyedCopyPath : KeyedCopyPath::portable;
}

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
  bool inTiles;
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
  if (op == MergeOperator::keyed) {
    source.requireKeyColour();
  }
  const CopyWalk walk{
      op, false, w, h, {{{repeats.down, {0, h}, {0, 0}}, {repeats.across, {w, 0}, {0, 0}}}}, 2};
  walkCopies(walk, 0, {x, y}, {sourceX, sourceY}, source);
  requireIntactAfter(source);
}

void BitmapImage::mergeTiles(MergeOperator op, std::int32_t column, std::int32_t row,
                             const BitmapImage& source, std::int32_t sourceColumn,
                             std::int32_t sourceRow, std::int32_t columns, std::int32_t rows,
                             MergeRepeats repeats) {
  if (repeats.down <= 0 || repeats.across <= 0) {
    return;
  }
  checkCompatible(source, true);
  if (op == MergeOperator::keyed) {
    source.requireKeyColour();
  }
  const TileLayout& to = layout;
  const TileLayout& from = source.layout;
  const bool joinAcross = runJoins(to.xBorderBefore, to.xBorderAfter, from.xBorderBefore,
                                   from.xBorderAfter, to.tileWidth, columns);
  const bool joinDown = runJoins(to.yBorderBefore, to.yBorderAfter, from.yBorderBefore,
                                 from.yBorderAfter, to.tileHeight, rows);
  const std::int32_t blockWidth = joinAcross ? wrapMul(to.tileWidth, columns) : to.tileWidth;
  const std::int32_t blockHeight = joinDown ? wrapMul(to.tileHeight, rows) : to.tileHeight;
  const std::int32_t columnCount = joinAcross ? 1 : columns;
  const std::int32_t rowCount = joinDown ? 1 : rows;

  const PixelPoint pitch = cellPitch(to);
  const PixelPoint sourcePitch = cellPitch(from);
  // A repeat moves the destination by the run's size in tiles; the source stays.
  const CopyWalk walk{op,
                      true,
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
  requireIntactAfter(source);
}

// A lease's handler may lose an image while a block's rows are combined; the test before each
// block then finds it at the next block, and this one after the last.
void BitmapImage::requireIntactAfter(const BitmapImage& source) const {
  if (!FileImage::LossWatch(fileImage, source.fileImage).bothIntact()) {
    raiseLost(source);
  }
}

void BitmapImage::raiseLost(const BitmapImage& source) const {
  const BitmapImage& lost = fileImage.isIntact() ? source : *this;
  lost.raiseError(lost.fileImage.loss() == ImageLoss::noMemory ? "Not enough memory."
                                                               : "Error reading file.");
}

// Every copy of a level lands where the previous one did when neither block moves: then =, &
// and | give after one copy the bytes that many give, and ^ after two copies those of any even
// number. Copies that move are all run; each is range-tested, and as the positions never repeat
// within a bitmap's width or height, a long loop soon fails or ends.
void BitmapImage::walkCopies(const CopyWalk& walk, int level, PixelPoint destinationCorner,
                             PixelPoint sourceCorner, const BitmapImage& source) {
  const CopyWalk::Level& copies = walk.levels[static_cast<std::size_t>(level)];
  const bool innermost = level + 1 == walk.levelCount;
  if (copies.destinationStep == PixelPoint{} && copies.sourceStep == PixelPoint{}) {
    const int passes = walk.op == MergeOperator::bitXor && copies.count % 2 == 0 ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      if (innermost) {
        mergeAcross(walk, 1, 0, 0, destinationCorner, sourceCorner, source);
      } else {
        walkCopies(walk, level + 1, destinationCorner, sourceCorner, source);
      }
    }
    return;
  }
  if (innermost) {
    mergeAcross(walk, copies.count, copies.destinationStep.x, copies.sourceStep.x,
                destinationCorner, sourceCorner, source);
    return;
  }
  for (std::int32_t i = 0; i < copies.count; ++i) {
    walkCopies(walk, level + 1, destinationCorner, sourceCorner, source);
    destinationCorner = movedBy(destinationCorner, copies.destinationStep);
    sourceCorner = movedBy(sourceCorner, copies.sourceStep);
  }
}

// The blocks of the innermost level move across only, so their rows are range-tested once and
// only their columns block by block; a block fails exactly where its own two corner tests would.
void BitmapImage::mergeAcross(const CopyWalk& walk, std::int32_t count,
                              std::int32_t destinationStepAcross, std::int32_t sourceStepAcross,
                              PixelPoint destinationCorner, PixelPoint sourceCorner,
                              const BitmapImage& source) {
  const std::int32_t w = walk.blockWidth;
  const std::int32_t h = walk.blockHeight;
  const std::int32_t lastColumn = wrapSub(w, 1);
  const std::int32_t lastRow = wrapSub(h, 1);
  const bool rowsInside =
      containsRow(destinationCorner.y) && containsRow(wrapAdd(destinationCorner.y, lastRow));
  const bool sourceRowsInside =
      source.containsRow(sourceCorner.y) && source.containsRow(wrapAdd(sourceCorner.y, lastRow));
  // A block of negative width passes the corner tests like one of negative height, and like it
  // merges nothing: the operators never see a negative count.
  const bool mergesBytes = w > 0 && h > 0;
  const bool keyed = walk.op == MergeOperator::keyed;
  const RowWalker walkBlockRows = keyed ? nullptr : rowWalkers[operatorIndex(walk.op)];
  const auto rowBytes =
      mergesBytes ? static_cast<std::size_t>(w) * static_cast<std::size_t>(bytesPerPixel) : 0;
  // A block's first byte is its top row's offset plus its column's bytes; a pointer is formed
  // only once the block has passed every test, so none ever points outside a file image.
  const std::int32_t topRow = pixelOffset(0, destinationCorner.y);
  const std::int32_t sourceTopRow = source.pixelOffset(0, sourceCorner.y);
  const FileImage::LossWatch lossWatch(fileImage, source.fileImage);
  std::int32_t x = destinationCorner.x;
  std::int32_t sourceX = sourceCorner.x;
  for (std::int32_t i = 0; i < count; ++i) {
    if (!rowsInside || !containsColumn(x) || !containsColumn(wrapAdd(x, lastColumn))) {
      raiseOutOfRange(x, destinationCorner.y, w, h, walk.inTiles);
    }
    if (!sourceRowsInside || !source.containsColumn(sourceX) ||
        !source.containsColumn(wrapAdd(sourceX, lastColumn))) {
      source.raiseOutOfRange(sourceX, sourceCorner.y, w, h, walk.inTiles);
    }
    if (mergesBytes) {
      // The block's rows run up from its bottom row's first byte, rowStride apart.
      const auto topFirst = static_cast<std::size_t>(wrapAdd(topRow, wrapMul(x, bytesPerPixel)));
      const std::size_t below =
          static_cast<std::size_t>(h - 1) * static_cast<std::size_t>(rowStride);
      if (!fileImage.makeWritable(topFirst - below, rowBytes, static_cast<std::size_t>(h),
                                  static_cast<std::size_t>(rowStride))) {
        raiseError("Not enough memory.");
      }
      if (!lossWatch.bothIntact()) {
        raiseLost(source);
      }
      if (mergeLog != nullptr && mergeLog->size() < mergeLogLimit) {
        mergeLog->push_back({{x, destinationCorner.y}, {sourceX, sourceCorner.y}, w, h});
      }
      std::uint8_t* const to = fileImage.writableBytes() + topFirst;
      const std::uint8_t* const from =
          source.fileImage.bytes() + wrapAdd(sourceTopRow, wrapMul(sourceX, source.bytesPerPixel));
      if (keyed) {
        walkKeyedRows(to, from, static_cast<std::size_t>(w), h, rowStride, source.rowStride,
                      source.key);
      } else {
        walkBlockRows(to, from, rowBytes, h, rowStride, source.rowStride);
      }
    }
    x = wrapAdd(x, destinationStepAcross);
    sourceX = wrapAdd(sourceX, sourceStepAcross);
  }
}

} // namespace tilegraft
