#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "platform/test_seams.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/failure.h"
#include "tests/support/merge_model.h"
#include "tests/support/scoped_temp_dir.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include "tests/support/lease_break_time.h"
#include "tests/support/lease_loss.h"
#endif

namespace tilegraft {
namespace {

using testing::andOp;
using testing::BmpBuilder;
using testing::Bytes;
using testing::copyOp;
using testing::keyOp;
using testing::MergeLine;
using testing::ModelBitmap;
using testing::orOp;
using testing::ScopedTempDir;
using testing::xorOp;

constexpr std::int32_t int32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32Min = std::numeric_limits<std::int32_t>::min();

Bytes imageBytes(const BitmapImage& image) {
  const auto bytes = image.fileBytes();
  return {bytes.begin(), bytes.end()};
}

Bytes builtBytes(std::int32_t width, std::int32_t height, int bitsPerPixel, std::uint32_t seed) {
  return BmpBuilder(width, height, bitsPerPixel).fillPattern(seed).bytes();
}

std::ostream& operator<<(std::ostream& out, const TileLayout& layout) {
  return out << '{' << layout.xOrigin << ' ' << layout.xBorderBefore << ' ' << layout.tileWidth
             << ' ' << layout.xBorderAfter << " / " << layout.yOrigin << ' ' << layout.yBorderBefore
             << ' ' << layout.tileHeight << ' ' << layout.yBorderAfter << '}';
}

std::string describe(const MergeLine& line) {
  std::ostringstream text;
  text << (line.tiles ? "tiles " : "pixels ") << operatorCharacters[operatorIndex(line.op)] << ' '
       << line.x << ' ' << line.y << ' ' << line.sourceX << ' ' << line.sourceY << ' ' << line.width
       << ' ' << line.height << ' ' << line.across << ' ' << line.down;
  return text.str();
}

// The base and the patch bitmap, loaded through files of the test's own directory, and the
// reference model of both.
class BlockMergeTest : public ::testing::Test {
protected:
  void prepare(const Bytes& baseBytes, const TileLayout& baseLayout, const Bytes& patchBytes,
               const TileLayout& patchLayout) {
    load(base, "base.bmp", baseBytes, baseLayout);
    load(patch, "patch.bmp", patchBytes, patchLayout);
    originalPatch = patchBytes;
    modelBase.emplace("Base bitmap", baseBytes, baseLayout);
    modelPatch.emplace("Patch bitmap", patchBytes, patchLayout);
  }

  // Runs the line on the real bitmaps as the merge command would; returns the message or "".
  std::string merge(const MergeLine& line) { return realMerge(base, patch, line); }

  // Runs the line on the real bitmaps and the model line on the model; both must give the same
  // message and the same bytes, and the patch must stay as it was. Returns the model's message.
  std::string expectSameAsModel(const MergeLine& line, const MergeLine& modelLine) {
    SCOPED_TRACE(describe(line));
    const std::string expected = testing::modelMerge(*modelBase, *modelPatch, modelLine);
    EXPECT_EQ(merge(line), expected);
    EXPECT_EQ(imageBytes(base), modelBase->file);
    EXPECT_EQ(imageBytes(patch), originalPatch);
    return expected;
  }

  ScopedTempDir dir;
  BitmapImage base{"Base bitmap"};
  BitmapImage patch{"Patch bitmap"};
  Bytes originalPatch;
  std::optional<ModelBitmap> modelBase;
  std::optional<ModelBitmap> modelPatch;

private:
  void load(BitmapImage& image, const char* fileName, const Bytes& bytes,
            const TileLayout& layout) {
    testing::writeFileBytes(dir.file(fileName), bytes);
    image.load(dir.file(fileName).string());
    image.setTileLayout(layout);
  }
};

// Fixed-seed choices; std::mt19937's sequence is the same everywhere, and the reductions to a
// range are our own so that every standard library draws the same cases.
class CaseGenerator {
public:
  explicit CaseGenerator(std::uint32_t seed) : engine(seed) {}

  std::int32_t between(std::int32_t lowest, std::int32_t highest) {
    const auto span = static_cast<std::uint32_t>(highest - lowest + 1);
    return lowest + static_cast<std::int32_t>(next() % span);
  }
  bool percent(std::uint32_t chance) { return next() % 100 < chance; }

  // Now and then a value far out, some of which wrap back into range in tile arithmetic.
  std::int32_t orFar(std::int32_t usual) {
    static constexpr std::int32_t farValues[] = {1 << 30,  (1 << 30) + 1, -(1 << 30),
                                                 int32Min, int32Min + 1,  int32Max};
    return percent(4) ? farValues[next() % std::size(farValues)] : usual;
  }

private:
  std::uint32_t next() { return static_cast<std::uint32_t>(engine()); }

  std::mt19937 engine;
};

// A small bitmap written once for many cases: sometimes top-down (it then fails every range
// test), sometimes with a gap between the headers and the pixel array, usually with bytes after
// the pixel array.
struct PoolBitmap {
  std::string path;
  Bytes bytes;
  std::int32_t width = 0;
  std::int32_t rows = 0;
  std::string summary;
};

PoolBitmap poolBitmap(CaseGenerator& random, int bitsPerPixel, std::uint32_t seed,
                      const ScopedTempDir& dir) {
  PoolBitmap bitmap;
  const std::int32_t smallest = random.percent(15) ? 1 : 4;
  // Now and then rows wide enough for the keyed copy's 16-pixel steps.
  bitmap.width = random.percent(10) ? random.between(17, 70) : random.between(smallest, 12);
  bitmap.rows = random.between(smallest, 12);
  const bool topDown = random.percent(3);
  BmpBuilder built(bitmap.width, topDown ? -bitmap.rows : bitmap.rows, bitsPerPixel);
  built.fillPattern(seed);
  // Like a sprite sheet, many pixels of one colour (the first pixel's), for keyed merges.
  if (random.percent(40)) {
    const std::size_t first = built.pixelIndex(0, 0);
    for (std::int32_t y = 0; y < bitmap.rows; ++y) {
      for (std::int32_t x = 0; x < bitmap.width; ++x) {
        if (random.percent(40)) {
          for (std::size_t b = 0; b < static_cast<std::size_t>(bitsPerPixel / 8); ++b) {
            built.setByte(built.pixelIndex(x, y) + b, built.bytes()[first + b]);
          }
        }
      }
    }
  }
  const auto gap = static_cast<std::size_t>(random.percent(20) ? random.between(1, 6) : 0);
  if (gap != 0) {
    built.setLe32(testing::bmpPixelOffsetField,
                  static_cast<std::uint32_t>(built.pixelArrayOffset() + gap));
  }
  built.append(gap + static_cast<std::size_t>(random.between(0, 7)));
  bitmap.bytes = built.bytes();
  bitmap.path = dir.file("pool" + std::to_string(seed) + ".bmp").string();
  testing::writeFileBytes(bitmap.path, bitmap.bytes);
  std::ostringstream summary;
  summary << bitmap.width << 'x' << (topDown ? "-" : "") << bitmap.rows << 'x' << bitsPerPixel
          << " gap " << gap << " size " << built.size();
  bitmap.summary = summary.str();
  return bitmap;
}

struct RandomCase {
  const PoolBitmap* baseBitmap = nullptr;
  const PoolBitmap* patchBitmap = nullptr;
  TileLayout baseLayout;
  TileLayout patchLayout;
  MergeLine line;
  Bytes key; // the patch's key colour; empty for none
};

std::ostream& operator<<(std::ostream& out, const RandomCase& c) {
  return out << describe(c.line) << "; base " << c.baseBitmap->summary << ' ' << c.baseLayout
             << ", patch " << c.patchBitmap->summary << ' ' << c.patchLayout;
}

// A position for a block of that size that mostly fits in the given extent of pixels or tiles,
// and sometimes just misses it.
std::int32_t randomStart(CaseGenerator& random, std::int32_t extent, std::int32_t size) {
  if (size > 0 && size <= extent && random.percent(80)) {
    return random.between(0, extent - size);
  }
  return random.orFar(random.between(-2, extent + 1));
}

// A block size that mostly fits in the given extent, sometimes empty, negative or too large.
std::int32_t randomSize(CaseGenerator& random, std::int32_t extent) {
  if (random.percent(80)) {
    return random.between(1, std::max(extent, 1));
  }
  return random.orFar(random.between(-2, extent + 1));
}

RandomCase randomCase(CaseGenerator& random, const std::vector<PoolBitmap> (&pools)[3]) {
  RandomCase c;
  const auto pick = [&](int pool) {
    const std::vector<PoolBitmap>& bitmaps = pools[pool];
    return &bitmaps[static_cast<std::size_t>(
        random.between(0, static_cast<std::int32_t>(bitmaps.size()) - 1))];
  };
  const int pool = random.between(0, 2);
  c.baseBitmap = pick(pool);
  c.patchBitmap = pick(random.percent(4) ? (pool + 1) % 3 : pool);

  const auto tileSize = [&] {
    return random.percent(92) ? random.between(1, 3) : random.between(-1, 0);
  };
  const std::int32_t tileWidth = tileSize();
  const std::int32_t tileHeight = tileSize();
  // Without borders in both bitmaps an axis is coalesced; let that happen often.
  const bool bordersAcross = random.percent(50);
  const bool bordersDown = random.percent(50);
  const auto layout = [&](std::int32_t width, std::int32_t height) {
    const auto border = [&](bool used) {
      return used && random.percent(60) ? random.between(-1, 2) : 0;
    };
    const auto origin = [&] { return random.percent(50) ? random.between(-2, 3) : 0; };
    return TileLayout{origin(), border(bordersAcross), width,  border(bordersAcross),
                      origin(), border(bordersDown),   height, border(bordersDown)};
  };
  c.baseLayout = layout(tileWidth, tileHeight);
  c.patchLayout =
      random.percent(94) ? layout(tileWidth, tileHeight) : layout(tileSize(), tileSize());

  MergeLine& line = c.line;
  line.tiles = random.percent(50);
  line.op = static_cast<MergeOperator>(random.between(0, 4));
  if (line.op == keyOp && random.percent(50)) {
    // Often rows wide enough for the keyed copy's 16-pixel steps.
    const auto pickWide = [&](const PoolBitmap* usual) {
      for (int tries = 0; tries < 20 && usual->width < 17; ++tries) {
        usual = pick(pool);
      }
      return usual;
    };
    c.baseBitmap = pickWide(c.baseBitmap);
    c.patchBitmap = pickWide(c.patchBitmap);
  }
  if (line.op == keyOp && random.percent(85)) {
    // The colour of one of the patch's pixels, top-down or not.
    const PoolBitmap& from = *c.patchBitmap;
    const std::int32_t bytesPerPixel = from.bytes[testing::bmpBitCountField] / 8;
    const std::size_t at =
        from.bytes[testing::bmpPixelOffsetField] +
        from.bytes[testing::bmpPixelOffsetField + 1] * 256U +
        static_cast<std::size_t>(random.between(0, from.rows - 1)) *
            static_cast<std::size_t>(BmpBuilder::stride(from.width, bytesPerPixel * 8)) +
        static_cast<std::size_t>(random.between(0, from.width - 1) * bytesPerPixel);
    c.key.assign(from.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 from.bytes.begin() + static_cast<std::ptrdiff_t>(at) + bytesPerPixel);
  }
  std::int32_t across = std::min(c.baseBitmap->width, c.patchBitmap->width);
  std::int32_t down = std::min(c.baseBitmap->rows, c.patchBitmap->rows);
  if (line.tiles) {
    // Counted in tiles of the base grid; the counts stay small, as far ones would make the
    // reference loop for ever over a zero pitch.
    across = std::max(across / std::max(cellPitch(c.baseLayout).x, 1), 1);
    down = std::max(down / std::max(cellPitch(c.baseLayout).y, 1), 1);
    line.width =
        random.percent(90) ? random.between(1, std::min(across, 4)) : random.between(-2, 0);
    line.height = random.percent(90) ? random.between(1, std::min(down, 4)) : random.between(-2, 0);
  } else {
    line.width = randomSize(random, across);
    line.height = randomSize(random, down);
  }
  line.x = randomStart(random, across, line.width);
  line.y = randomStart(random, down, line.height);
  line.sourceX = randomStart(random, across, line.width);
  line.sourceY = randomStart(random, down, line.height);
  const auto repeat = [&] { return random.percent(70) ? 1 : random.between(-1, 3); };
  line.across = repeat();
  line.down = repeat();
  return c;
}

TEST_F(BlockMergeTest, AgreesWithTheReferenceOnRandomMerges) {
  constexpr int caseCount = 40000;
  constexpr int poolSize = 40;
  CaseGenerator random(20250607);
  std::vector<PoolBitmap> pools[3];
  for (int i = 0; i < poolSize; ++i) {
    pools[0].push_back(poolBitmap(random, 8, static_cast<std::uint32_t>(3 * i), dir));
    pools[1].push_back(poolBitmap(random, 24, static_cast<std::uint32_t>(3 * i + 1), dir));
    pools[2].push_back(poolBitmap(random, 32, static_cast<std::uint32_t>(3 * i + 2), dir));
  }
  int mismatches = 0;
  int mergedWhole = 0;
  int failedPartWay = 0;
  int failedUnchanged = 0;
  int keyedKeptSome = 0;
  int keyedKeptWide = 0; // in blocks of 16 pixels across or more
  // A keyed merge runs on each of the keyed copy's row loops that this processor offers.
  struct PathGuard {
    ~PathGuard() { chooseKeyedCopyPath(KeyedCopyPath::widest); }
  } restoresWidestPath;
  for (int n = 0; n < caseCount && mismatches < 5; ++n) {
    const RandomCase c = randomCase(random, pools);
    ModelBitmap expectedBase("Base bitmap", c.baseBitmap->bytes, c.baseLayout);
    ModelBitmap expectedPatch("Patch bitmap", c.patchBitmap->bytes, c.patchLayout);
    expectedPatch.key = c.key;
    const std::string expected = testing::modelMerge(expectedBase, expectedPatch, c.line);
    bool agrees = true;
    for (const KeyedCopyPath path : {KeyedCopyPath::widest, KeyedCopyPath::portable}) {
      if (path == KeyedCopyPath::portable && (c.line.op != keyOp || keyedCopyPath() == path)) {
        break;
      }
      chooseKeyedCopyPath(path);
      base.load(c.baseBitmap->path);
      base.setTileLayout(c.baseLayout);
      patch.load(c.patchBitmap->path);
      patch.setTileLayout(c.patchLayout);
      const std::vector<std::int32_t> keyValues(c.key.begin(), c.key.end());
      patch.setKeyColour(keyValues);
      const std::string actual = merge(c.line);
      const Bytes actualBase = imageBytes(base);
      if (actual != expected || actualBase != expectedBase.file ||
          imageBytes(patch) != c.patchBitmap->bytes) {
        agrees = false;
        const auto difference = std::mismatch(actualBase.begin(), actualBase.end(),
                                              expectedBase.file.begin(), expectedBase.file.end());
        ADD_FAILURE() << "case " << n << (path == KeyedCopyPath::portable ? " (portable)" : "")
                      << ": " << c << "\n  expected \"" << expected << "\", got \"" << actual
                      << "\"; first differing base byte "
                      << (difference.first - actualBase.begin());
      }
    }
    chooseKeyedCopyPath(KeyedCopyPath::widest);
    if (!agrees) {
      ++mismatches;
      continue;
    }
    const bool changed = expectedBase.file != c.baseBitmap->bytes;
    if (expected.empty() && changed && c.line.op == keyOp) {
      ModelBitmap copiedBase("Base bitmap", c.baseBitmap->bytes, c.baseLayout);
      MergeLine copyLine = c.line;
      copyLine.op = copyOp;
      testing::modelMerge(copiedBase, expectedPatch, copyLine);
      const bool keptSome = copiedBase.file != expectedBase.file;
      keyedKeptSome += keptSome ? 1 : 0;
      keyedKeptWide += keptSome && !c.line.tiles && c.line.width >= 16 ? 1 : 0;
    }
    if (expected.empty()) {
      mergedWhole += changed ? 1 : 0;
    } else {
      (changed ? failedPartWay : failedUnchanged) += 1;
    }
  }
  // The generator must reach every kind of outcome, or the comparison proves little.
  EXPECT_GT(mergedWhole, caseCount / 8);
  EXPECT_GT(failedPartWay, caseCount / 40);
  EXPECT_GT(failedUnchanged, caseCount / 8);
  EXPECT_GT(keyedKeptSome, caseCount / 150);
  EXPECT_GT(keyedKeptWide, caseCount / 1000);
}

// Extrusions, mirrors and flips of random bitmaps and grids against the reference, which finds
// the whole tiles, and the overlaps that fail, in its own way.
TEST_F(BlockMergeTest, TileOperationsAgreeWithTheReference) {
  constexpr int caseCount = 20000;
  CaseGenerator random(20261208);
  std::vector<PoolBitmap> bitmaps;
  for (int i = 0; i < 40; ++i) {
    constexpr int depths[] = {8, 24, 32};
    bitmaps.push_back(poolBitmap(random, depths[i % 3], static_cast<std::uint32_t>(i), dir));
  }
  const char* const names[] = {"extrude", "mirror", "flip"};
  int mismatches = 0;
  int outcomes[3][3] = {}; // per operation: changed, failed, left as it was
  for (int n = 0; n < caseCount && mismatches < 5; ++n) {
    const PoolBitmap& bitmap = bitmaps[static_cast<std::size_t>(
        random.between(0, static_cast<std::int32_t>(bitmaps.size()) - 1))];
    const auto border = [&] {
      return random.percent(70) ? random.between(0, 3) : random.between(-2, 0);
    };
    const auto origin = [&] {
      return random.percent(10) ? random.between(-2, -1) : random.between(0, 3);
    };
    const auto tile = [&] {
      return random.percent(95) ? random.between(1, 4) : random.between(-1, 0);
    };
    const TileLayout layout{origin(), border(), tile(), border(),
                            origin(), border(), tile(), border()};
    const int operation = random.between(0, 2);
    const bool wholeBitmap = random.percent(25);
    const std::int32_t reach =
        random.percent(85) ? random.between(1, 2) : random.orFar(random.between(-1, 9));

    base.load(bitmap.path);
    base.setTileLayout(layout);
    ModelBitmap expected("Base bitmap", bitmap.bytes, layout);
    std::string expectedMessage;
    std::string message;
    try {
      switch (operation) {
      case 0:
        expectedMessage = testing::modelExtrude(expected, reach);
        base.extrudeTiles(reach);
        break;
      case 1:
        expectedMessage = testing::modelMirror(expected, wholeBitmap);
        base.mirrorTiles(wholeBitmap);
        break;
      default:
        expectedMessage = testing::modelFlip(expected, wholeBitmap);
        base.flipTiles(wholeBitmap);
        break;
      }
    } catch (const ScriptError& error) {
      message = error.message();
    }
    if (message != expectedMessage || imageBytes(base) != expected.file) {
      ++mismatches;
      std::ostringstream layoutText;
      layoutText << layout;
      ADD_FAILURE() << "case " << n << ": " << names[operation] << ' ' << reach
                    << (wholeBitmap ? " whole" : "") << " on " << bitmap.summary << ' '
                    << layoutText.str() << "\n  expected \"" << expectedMessage << "\", got \""
                    << message << '"';
      continue;
    }
    const bool changed = expected.file != bitmap.bytes;
    ++outcomes[operation][!expectedMessage.empty() ? 1 : changed ? 0 : 2];
  }
  for (int operation = 0; operation < 3; ++operation) {
    SCOPED_TRACE(names[operation]);
    EXPECT_GT(outcomes[operation][0], caseCount / 25);
    EXPECT_GT(outcomes[operation][1], caseCount / 200);
    EXPECT_GT(outcomes[operation][2], caseCount / 100);
  }
}

TEST_F(BlockMergeTest, OperatorsCombineBytesInsideTheBlockOnly) {
  // The block ends at the right edge, so each of its rows is followed by the row's padding.
  for (const int bitsPerPixel : {8, 24}) {
    const BmpBuilder baseBuilt = BmpBuilder(5, 4, bitsPerPixel).fillPattern(3).append(4);
    const BmpBuilder patchBuilt = BmpBuilder(4, 3, bitsPerPixel).fillPattern(9);
    const int bytesPerPixel = bitsPerPixel / 8;
    for (const MergeOperator op : {copyOp, andOp, orOp, xorOp}) {
      SCOPED_TRACE(::testing::Message()
                   << bitsPerPixel << " bits, operator " << operatorCharacters[operatorIndex(op)]);
      prepare(baseBuilt.bytes(), {}, patchBuilt.bytes(), {});
      // The 3 by 2 block at (2, 1) of the base takes the one at (1, 0) of the patch.
      EXPECT_EQ(merge({false, op, 2, 1, 1, 0, 3, 2}), "");
      Bytes expected = baseBuilt.bytes();
      for (std::int32_t row = 0; row < 2; ++row) {
        for (std::int32_t column = 0; column < 3; ++column) {
          const std::size_t to = baseBuilt.pixelIndex(2 + column, 1 + row);
          const std::size_t from = patchBuilt.pixelIndex(1 + column, row);
          for (int b = 0; b < bytesPerPixel; ++b) {
            std::uint8_t& target = expected[to + static_cast<std::size_t>(b)];
            const std::uint8_t source = patchBuilt.bytes()[from + static_cast<std::size_t>(b)];
            const std::uint8_t results[] = {source, static_cast<std::uint8_t>(target & source),
                                            static_cast<std::uint8_t>(target | source),
                                            static_cast<std::uint8_t>(target ^ source)};
            target = results[operatorIndex(op)];
          }
        }
      }
      EXPECT_EQ(imageBytes(base), expected);
      EXPECT_EQ(imageBytes(patch), patchBuilt.bytes());
    }
  }
}

TEST_F(BlockMergeTest, LargeBitmapsMergeTheSameMappedOrCopied) {
  // Over 4 MiB each, so that both are mapped where the system allows; then the same copied. The
  // wide base's rows lie pages apart, so a save that writes merged pages only writes each alone.
  struct Shape {
    std::int32_t width;
    std::int32_t height;
    std::vector<MergeLine> lines;
  };
  // Blocks whose rows cross 2 MiB boundaries, to the last row and column, and tile runs.
  const Shape shapes[] = {
      {1400,
       1100,
       {MergeLine{false, xorOp, 700, 300, 10, 20, 700, 800},
        MergeLine{false, copyOp, 1399, 1099, 0, 0, 1, 1},
        MergeLine{true, orOp, 1, 2, 0, 0, 3, 4, 2, 3}}},
      {10000,
       300,
       {MergeLine{false, xorOp, 9000, 50, 10, 20, 700, 240},
        MergeLine{false, andOp, 9999, 299, 0, 0, 1, 1},
        MergeLine{true, orOp, 1, 1, 0, 0, 3, 3, 2, 2}}},
  };
  const Bytes patchBytes = builtBytes(1300, 1100, 24, 6);
  const TileLayout tiles{3, 1, 64, 0, 2, 0, 48, 2};
  for (const Shape& shape : shapes) {
    const Bytes baseBytes = builtBytes(shape.width, shape.height, 24, 5);
    for (const bool mapped : {true, false}) {
      SCOPED_TRACE(std::to_string(shape.width) + (mapped ? " wide, mapped" : " wide, copied"));
      fileMappingsForTesting = mapped;
      prepare(baseBytes, tiles, patchBytes, tiles);
      fileMappingsForTesting = true;
      EXPECT_EQ(base.isMapped(), mapped && fileMappingsExist);
      for (const MergeLine& line : shape.lines) {
        expectSameAsModel(line, line);
      }
      base.save(dir.file("out.bmp").string());
      EXPECT_EQ(testing::readFileBytes(dir.file("out.bmp")), modelBase->file);
    }
  }
}

// Losing a mapped image takes another process and resource limits: POSIX only.
#ifndef _WIN32
#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool underAddressSanitizer = true;
#else
constexpr bool underAddressSanitizer = false;
#endif
#else
constexpr bool underAddressSanitizer = false;
#endif

// A mapped image that lost its load-time bytes when another program took its file is never
// merged: the merge fails under the name of the image lost, with the cause, and changes
// nothing; nor is a lost base saved. Each case runs in a child, which loads both bitmaps
// mapped, has one lease broken by a program that opens the file to write, then merges. The
// lease-break time is the system's: those rows need root.
TEST_F(BlockMergeTest, AnImageThatLostItsLoadTimeBytesIsNeverMerged) {
  if (!fileMappingsExist) {
    GTEST_SKIP() << "no file mappings here";
  }
  using testing::LeaseLoss;
  struct Case {
    const char* title;
    LeaseLoss loss;
    bool patchLost;
    const char* message;
  };
  const Case cases[] = {
      {"no address space for the copy", LeaseLoss::addressSpace, true,
       "Patch bitmap: Not enough memory."},
      {"no address space for the copy", LeaseLoss::addressSpace, false,
       "Base bitmap: Not enough memory."},
      {"no memory for the copy, nor for zeros", LeaseLoss::noMappings, true,
       "Patch bitmap: Not enough memory."},
      {"no memory for the copy, nor for zeros", LeaseLoss::noMappings, false,
       "Base bitmap: Not enough memory."},
      {"taken back by force while stopped, then rewritten", LeaseLoss::forcedBreak, true,
       "Patch bitmap: Error reading file."},
      {"taken back by force while stopped, then rewritten", LeaseLoss::forcedBreak, false,
       "Base bitmap: Error reading file."},
      {"a lease-break time too short for the copy", LeaseLoss::breakTime, true,
       "Patch bitmap: Error reading file."},
  };
  const Bytes baseBytes = builtBytes(1400, 1100, 24, 7);
  const Bytes patchBytes = builtBytes(1300, 1100, 24, 8);
  int ran = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.title) + (c.patchLost ? ", patch" : ", base"));
    const bool timed = c.loss == LeaseLoss::forcedBreak || c.loss == LeaseLoss::breakTime;
    if ((!timed && underAddressSanitizer) || (timed && !testing::LeaseBreakTime::mayChange())) {
      // The limits would starve the sanitizer's own memory; the break time is root's to change.
      continue;
    }
    ++ran;
    std::optional<testing::LeaseBreakTime> breakTime;
    if (timed) {
      breakTime.emplace();
    }
    if (c.loss == LeaseLoss::forcedBreak) {
      breakTime->set("1");
    }
    // 0: as expected; 1: another message; 2: the base changed; 3: not mapped; 4: not staged;
    // 5: the lost base saved, or refused with another message.
    const int result = testing::resultInChild([&] {
      // The tool reads the lease-break time at load: the system's is put back at once.
      if (c.loss == LeaseLoss::breakTime) {
        breakTime->set("0");
      }
      prepare(baseBytes, {}, patchBytes, {});
      if (c.loss == LeaseLoss::breakTime) {
        breakTime->putBack();
      }
      if (!base.isMapped() || !patch.isMapped()) {
        return 3;
      }
      const Bytes before = imageBytes(base);
      if (!testing::breakLease(dir.file(c.patchLost ? "patch.bmp" : "base.bmp").string(), c.loss)) {
        return 4;
      }
      if (merge(MergeLine{false, xorOp, 10, 10, 20, 20, 1000, 1000}) != c.message) {
        return 1;
      }
      if (c.patchLost) {
        return imageBytes(base) != before ? 2 : 0;
      }
      const std::string out = dir.file("out.bmp").string();
      const bool refused =
          testing::messageOf([&] { base.save(out); }) == c.message && !std::filesystem::exists(out);
      return refused ? 0 : 5;
    });
    breakTime.reset();
    EXPECT_EQ(result, 0);
  }
  if (ran == 0) {
    GTEST_SKIP() << "no case could run here: the memory limits starve a sanitizer, and only root "
                    "may change the lease-break time";
  }
}
#endif

TEST_F(BlockMergeTest, NeutralMergesLeaveTheBaseAsItWas) {
  const Bytes baseBytes = builtBytes(6, 5, 24, 1);
  BmpBuilder ones(6, 5, 24);
  BmpBuilder zeros(6, 5, 24);
  for (std::size_t i = ones.pixelArrayOffset(); i < ones.size(); ++i) {
    ones.setByte(i, 0xFF);
    zeros.setByte(i, 0);
  }
  prepare(baseBytes, {}, ones.bytes(), {});
  EXPECT_EQ(merge({false, andOp, 0, 0, 0, 0, 6, 5}), "");
  EXPECT_EQ(imageBytes(base), baseBytes);

  prepare(baseBytes, {}, zeros.bytes(), {});
  EXPECT_EQ(merge({false, orOp, 0, 0, 0, 0, 6, 5}), "");
  EXPECT_EQ(imageBytes(base), baseBytes);

  prepare(baseBytes, {}, builtBytes(6, 5, 24, 2), {});
  EXPECT_EQ(merge({false, xorOp, 1, 1, 0, 0, 4, 3}), "");
  EXPECT_NE(imageBytes(base), baseBytes);
  EXPECT_EQ(merge({false, xorOp, 1, 1, 0, 0, 4, 3}), "");
  EXPECT_EQ(imageBytes(base), baseBytes);
}

TEST_F(BlockMergeTest, CompatibilityIsTestedBeforeAnything) {
  struct Case {
    bool baseLoaded;
    bool patchLoaded;
    int patchBits;
    std::int32_t patchTileWidth;
    MergeLine line;
    const char* message;
    bool changesBase;
    std::vector<std::int32_t> key = {};
    int keySetOnBits = 24; // the key is set while a bitmap of these bits per pixel is loaded
  };
  const Case cases[] = {
      {false, false, 24, 2, {false, copyOp, 0, 0}, "Base bitmap: Not loaded.", false},
      {false, true, 24, 2, {true, copyOp, 0, 0}, "Base bitmap: Not loaded.", false},
      {true, false, 24, 2, {true, copyOp, 0, 0}, "Patch bitmap: Not loaded.", false},
      // Positions far outside both bitmaps: compatibility fails first.
      {true,
       true,
       8,
       2,
       {false, copyOp, -9, -9, -9, -9},
       "Base bitmap: Bitmaps are incompatible.",
       false},
      {true, true, 8, 2, {true, copyOp, 0, 0}, "Base bitmap: Bitmaps are incompatible.", false},
      {true, true, 32, 2, {false, copyOp, 0, 0}, "Base bitmap: Bitmaps are incompatible.", false},
      // Tile sizes matter only to tile merges.
      {true, true, 24, 3, {true, copyOp, 0, 0}, "Base bitmap: Bitmaps are incompatible.", false},
      {true, true, 24, 3, {false, copyOp, 0, 0}, "", true},
      // Repeat counts of 0 or less merge nothing and test nothing.
      {false, false, 24, 2, {false, copyOp, 0, 0, 0, 0, 1, 1, 0, 1}, "", false},
      {false, false, 24, 2, {true, copyOp, 0, 0, 0, 0, 1, 1, 1, -1}, "", false},
      // Tile counts of 0 in an axis with borders still run the compatibility test.
      {true, false, 24, 2, {true, copyOp, 0, 0, 0, 0, 0, 1}, "Patch bitmap: Not loaded.", false},
      {true, true, 24, 2, {true, copyOp, 0, 0, 0, 0, 0, 1}, "", false},
      // A keyed copy needs the patch's key, of its own pixel size, after the tests above.
      {true, true, 24, 2, {false, keyOp, 0, 0}, "Patch bitmap: No key colour.", false},
      {true, true, 8, 2, {false, keyOp, 0, 0}, "Base bitmap: Bitmaps are incompatible.", false},
      {true, true, 24, 2, {false, keyOp, 0, 0, 0, 0, 1, 1, 0, 1}, "", false},
      {true, true, 24, 2, {false, keyOp, 0, 0}, "Patch bitmap: No key colour.", false, {7}, 8},
      {true, true, 24, 2, {true, keyOp, 0, 0}, "", true, {1, 2, 3}},
  };
  const Bytes baseBytes = builtBytes(4, 4, 24, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.line));
    // Borders across only, so tile merges coalesce down but not across.
    prepare(baseBytes, {0, 1, 2, 0, 0, 0, 2, 0}, builtBytes(4, 4, c.patchBits, 2),
            {0, 0, c.patchTileWidth, 0, 0, 0, 2, 0});
    if (!c.baseLoaded) {
      base.unload();
    }
    patch.setKeyColour({});
    if (!c.key.empty()) {
      patch.loadCopy(builtBytes(2, 2, c.keySetOnBits, 3));
      patch.setKeyColour(c.key);
      patch.load(dir.file("patch.bmp").string());
    }
    if (!c.patchLoaded) {
      patch.unload();
    }
    EXPECT_EQ(merge(c.line), c.message);
    if (c.baseLoaded) {
      EXPECT_EQ(imageBytes(base) != baseBytes, c.changesBase);
    }
  }
}

TEST_F(BlockMergeTest, KeyColourIsOnePixelOfTheLoadedBitmap) {
  struct Case {
    int bits; // 0: not loaded
    std::vector<std::int32_t> values;
    const char* message;
    KeyColour key; // after the call, starting from the key {9, 9, 9}
  };
  const KeyColour before{{9, 9, 9}, 3};
  const Case cases[] = {
      {24, {1, 2, 3}, "", {{1, 2, 3}, 3}},
      {24, {255}, "", {{255, 0, 0}, 3}},
      {8, {200}, "", {{200, 0, 0}, 1}},
      {24, {}, "", {}},
      {0, {}, "", {}},
      {0, {1}, "Patch bitmap: Not loaded.", before},
      {8, {1, 2}, "Patch bitmap: Invalid colour.", before},
      {24, {1, 2, 3, 4}, "Patch bitmap: Invalid colour.", before},
      {24, {256}, "Patch bitmap: Invalid colour.", before},
      {24, {0, -1}, "Patch bitmap: Invalid colour.", before},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bits << " bits, " << c.values.size() << " values");
    patch.loadCopy(builtBytes(3, 3, 24, 1));
    patch.setKeyColour(std::vector<std::int32_t>{9, 9, 9});
    if (c.bits == 0) {
      patch.unload();
    } else {
      patch.loadCopy(builtBytes(3, 3, c.bits, 1));
    }
    std::string message;
    try {
      patch.setKeyColour(c.values);
    } catch (const ScriptError& error) {
      message = error.message();
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(patch.keyColour(), c.key);
  }
}

// A canvas is the other bitmap's file before its pixels, with the size fields made its own, then
// rows of one pixel repeated and zero padding.
TEST_F(BlockMergeTest, CanvasTakesTheOtherBitmapsHeadersAndPalette) {
  struct Case {
    std::int32_t modelWidth;
    std::int32_t modelHeight; // negative: top-down
    int bits;
    std::uint32_t infoSize;
    std::int32_t width;
    std::int32_t height;
    std::vector<std::int32_t> values;
    const char* message;
    std::uint32_t pixelOffset = 0; // where the model's pixels begin, when not after its table
    bool mirrored = false;         // the model mirrored whole first
    std::int32_t storedHeight = 0; // written over the model's height field, when not 0
  };
  const Case cases[] = {
      {5, 3, 8, 40, 7, 2, {17}, ""},
      // Pixels that begin inside the headers: the canvas's begin after them.
      {4, 2, 24, 40, 3, 1, {9}, "", 20},
      // Its mirror wrote over the compression field that its pixels overlap.
      {4, 2, 24, 40, 3, 1, {9}, "Base bitmap: Compressed bitmaps not supported.", 20, true},
      {4, 4, 24, 40, 5, 3, {1, 2, 3}, ""},
      {4, 4, 24, 124, 1, 1, {4}, ""},
      {3, -2, 24, 108, 3, 5, {}, ""},
      {6, 2, 8, 40, 33, 1, {}, ""},
      {5, 3, 8, 40, 0, 2, {}, "Base bitmap: Invalid size."},
      {5, 3, 8, 40, 2, -1, {}, "Base bitmap: Invalid size."},
      {5, 3, 24, 40, int32Max, 1, {}, "Base bitmap: Invalid size."},
      {5, 3, 8, 40, 46341, 46341, {}, "Base bitmap: Invalid size."},
      {5, 3, 8, 40, 2, 2, {1, 2}, "Base bitmap: Invalid colour."},
      {5, 3, 24, 40, 2, 2, {1, 2, 256}, "Base bitmap: Invalid colour."},
      {0, 0, 24, 40, 2, 2, {}, "Patch bitmap: Not loaded."},
      // A top-down model whose pixels would begin past its end gives its whole file, not
      // gigabytes of zeros.
      {4, -2, 24, 40, 2, 1, {}, "", 0x60000000, false, -150000000},
  };
  const Bytes before = builtBytes(2, 2, 24, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << 'x' << c.height << " from " << c.modelWidth
                                      << 'x' << c.modelHeight << 'x' << c.bits);
    BmpBuilder built(std::max(c.modelWidth, 1), c.modelHeight == 0 ? 1 : c.modelHeight, c.bits,
                     c.infoSize);
    built.fillPattern(5).append(3);
    if (c.pixelOffset != 0) {
      built.setLe32(testing::bmpPixelOffsetField, c.pixelOffset);
    }
    if (c.storedHeight != 0) {
      built.setLe32(testing::bmpHeightField, static_cast<std::uint32_t>(c.storedHeight));
    }
    const Bytes model = built.bytes();
    patch.loadCopy(model);
    if (c.mirrored) {
      patch.mirrorTiles(true);
    }
    if (c.modelWidth == 0) {
      patch.unload();
    }
    base.loadCopy(before);
    std::string message;
    try {
      base.makeCanvas(patch, c.width, c.height, c.values);
    } catch (const ScriptError& error) {
      message = error.message();
    }
    EXPECT_EQ(message, c.message);
    if (!message.empty()) {
      EXPECT_EQ(imageBytes(base), before);
      continue;
    }
    const Bytes canvas = imageBytes(base);
    const std::size_t pixelStart = c.pixelOffset > model.size() ? model.size()
                                   : c.pixelOffset != 0
                                       ? 54
                                       : BmpBuilder(1, 1, c.bits, c.infoSize).pixelArrayOffset();
    const std::int32_t stride = BmpBuilder::stride(c.width, c.bits);
    ASSERT_EQ(canvas.size(), pixelStart + static_cast<std::size_t>(stride * c.height));
    Bytes expected(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(pixelStart));
    const auto setLe32 = [&](std::size_t at, std::int64_t value) {
      for (std::size_t b = 0; b < 4; ++b) {
        expected[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
      }
    };
    setLe32(2, static_cast<std::int64_t>(canvas.size()));
    setLe32(testing::bmpPixelOffsetField, static_cast<std::int64_t>(pixelStart));
    setLe32(testing::bmpWidthField, c.width);
    setLe32(testing::bmpHeightField, c.height);
    setLe32(34, std::int64_t{stride} * c.height);
    Bytes row(static_cast<std::size_t>(stride));
    for (std::int32_t x = 0; x < c.width; ++x) {
      for (std::size_t b = 0; b < static_cast<std::size_t>(c.bits / 8); ++b) {
        row[static_cast<std::size_t>(x * c.bits / 8) + b] =
            b < c.values.size() ? static_cast<std::uint8_t>(c.values[b]) : 0;
      }
    }
    for (std::int32_t y = 0; y < c.height; ++y) {
      expected.insert(expected.end(), row.begin(), row.end());
    }
    EXPECT_EQ(canvas, expected);
    EXPECT_EQ(base.pixelHeight(), c.height);
  }
}

TEST_F(BlockMergeTest, DefaultLayoutTileMergeIsAPixelMerge) {
  const Bytes baseBytes = builtBytes(7, 5, 8, 1);
  const Bytes patchBytes = builtBytes(6, 6, 8, 2);
  prepare(baseBytes, {}, patchBytes, {});
  EXPECT_EQ(merge({false, xorOp, 1, 2, 3, 0, 3, 2}), "");
  const Bytes byPixels = imageBytes(base);
  prepare(baseBytes, {}, patchBytes, {});
  EXPECT_EQ(merge({true, xorOp, 1, 2, 3, 0, 3, 2}), "");
  EXPECT_EQ(imageBytes(base), byPixels);
  EXPECT_NE(byPixels, baseBytes);
}

TEST_F(BlockMergeTest, FailingMergeKeepsTheBlocksBeforeIt) {
  struct Case {
    const char* what;
    TileLayout baseLayout;
    std::int32_t patchWidth;
    MergeLine line;
    // A line that merges exactly the blocks before the failing one; none when nothing is.
    std::optional<MergeLine> before;
    const char* message;
  };
  const char* const baseOut = "Base bitmap: Co-ordinates out of range.";
  const char* const patchOut = "Patch bitmap: Co-ordinates out of range.";
  // The base is 8 by 6; its tiles are 2 by 2, with borders of 1 before them where a case has
  // them, so that its tile columns (or rows) 0, 1 and 2 start at 1, 4 and 7, and 2 does not fit.
  const Case cases[] = {
      {"tile by tile",
       {0, 1, 2, 0, 0, 1, 2, 0},
       8,
       {true, copyOp, 0, 0, 0, 0, 3, 2},
       MergeLine{true, copyOp, 0, 0, 0, 0, 2, 1},
       baseOut},
      {"row by row",
       {0, 0, 2, 0, 0, 1, 2, 0},
       8,
       {true, copyOp, 0, 0, 0, 0, 2, 3},
       MergeLine{true, copyOp, 0, 0, 0, 0, 2, 2},
       baseOut},
      {"column by column",
       {0, 1, 2, 0, 0, 0, 2, 0},
       8,
       {true, copyOp, 0, 0, 0, 0, 3, 2},
       MergeLine{true, copyOp, 0, 0, 0, 0, 2, 2},
       baseOut},
      {"one block",
       {0, 0, 2, 0, 0, 0, 2, 0},
       8,
       {true, copyOp, 0, 0, 0, 0, 5, 1},
       std::nullopt,
       baseOut},
      {"patch tile",
       {0, 1, 2, 0, 0, 0, 2, 0},
       3,
       {true, orOp, 0, 0, 0, 0, 2, 1},
       MergeLine{true, orOp, 0, 0, 0, 0, 1, 1},
       patchOut},
      {"repeats across",
       {},
       8,
       {false, xorOp, 0, 1, 0, 0, 2, 2, 5, 1},
       MergeLine{false, xorOp, 0, 1, 0, 0, 2, 2, 4, 1},
       baseOut},
      {"repeats down",
       {0, 0, 2, 0, 0, 0, 2, 0},
       8,
       {true, andOp, 1, 0, 0, 0, 1, 1, 2, 4},
       MergeLine{true, andOp, 1, 0, 0, 0, 1, 1, 2, 3},
       baseOut},
      {"pixel block outside the patch only",
       {},
       6,
       {false, copyOp, 0, 0, 5, 0, 2, 2},
       std::nullopt,
       patchOut},
  };
  const Bytes baseBytes = builtBytes(8, 6, 24, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes patchBytes = builtBytes(c.patchWidth, 6, 24, 2);
    const TileLayout patchLayout{0, 0, c.baseLayout.tileWidth, 0, 0, 0, c.baseLayout.tileHeight, 0};
    Bytes expected = baseBytes;
    if (c.before) {
      prepare(baseBytes, c.baseLayout, patchBytes, patchLayout);
      EXPECT_EQ(merge(*c.before), "");
      expected = imageBytes(base);
      EXPECT_NE(expected, baseBytes);
    }
    prepare(baseBytes, c.baseLayout, patchBytes, patchLayout);
    EXPECT_EQ(merge(c.line), c.message);
    EXPECT_EQ(imageBytes(base), expected);
  }
}

TEST_F(BlockMergeTest, CoalescedCountOfZeroIsAnEmptyBlock) {
  const Bytes baseBytes = builtBytes(6, 6, 8, 1);
  const TileLayout noBorders{0, 0, 2, 0, 0, 0, 2, 0};
  prepare(baseBytes, noBorders, builtBytes(6, 6, 8, 2), noBorders);
  // Zero columns make a block 0 pixels wide: its far corner lies left of x = 0 ...
  EXPECT_EQ(merge({true, copyOp, 0, 1, 1, 1, 0, 1}), "Base bitmap: Co-ordinates out of range.");
  EXPECT_EQ(merge({true, copyOp, 1, 1, 0, 1, 0, 1}), "Patch bitmap: Co-ordinates out of range.");
  // ... and further right it passes and merges nothing, as does a negative count.
  EXPECT_EQ(merge({true, copyOp, 1, 1, 1, 1, 0, 1}), "");
  EXPECT_EQ(merge({true, copyOp, 2, 1, 2, 1, -1, 1}), "");
  EXPECT_EQ(merge({true, copyOp, 1, 2, 1, 2, 1, -1}), "");
  EXPECT_EQ(imageBytes(base), baseBytes);

  // A negative count of tiles of negative size joins into a block of positive size, which
  // merges: -1 tiles of -1 pixels are the pixel at tile -1's origin, (0, 0) here.
  const TileLayout negativeTiles{-1, 0, -1, 0, -1, 0, -1, 0};
  prepare(baseBytes, negativeTiles, builtBytes(6, 1, 8, 2), negativeTiles);
  EXPECT_EQ(expectSameAsModel({true, xorOp, -1, -1, -1, -1, -1, -1, 1, 2},
                              {true, xorOp, -1, -1, -1, -1, -1, -1, 1, 2}),
            "");
  EXPECT_NE(imageBytes(base), baseBytes);
}

// Lines whose counts would take years to walk copy by copy. Each is compared with the model on
// a line it can afford: where every copy lands on the same block, one copy gives what any number
// of = & | copies give, and two what an even number of ^ copies give; where the copies move, a
// bitmap's width or height in copies is enough for them to fail.
TEST_F(BlockMergeTest, HugeCountsGiveWhatFewCopiesGive) {
  constexpr std::int32_t many = int32Max;
  constexpr std::int32_t even = int32Max - 1;
  // A cell pitch of 0 with borders: every tile of the grid is the 2 by 2 block at (0, 0).
  const TileLayout samePlace{1, -1, 2, -1, 1, -1, 2, -1};
  // The same grid one pixel left of the bitmap.
  const TileLayout outside{0, -1, 2, -1, 1, -1, 2, -1};
  // Tiles of 0 by 0 without borders: one empty block at (1, 1).
  const TileLayout empty{1, 0, 0, 0, 1, 0, 0, 0};
  // Tiles of 3 by 3 without borders: a run of 1431655766 tiles would be 2^32 + 2 pixels wide, so
  // it is merged tile by tile and fails at the third tile instead of wrapping into 2 pixels.
  const TileLayout threes{0, 0, 3, 0, 0, 0, 3, 0};
  constexpr std::int32_t wrapsToTwo = 1431655766;
  struct TileCase {
    const TileLayout& layout;
    MergeOperator op;
    std::int32_t columns;
    std::int32_t rows;
    std::int32_t across;
    std::int32_t down;
    // The same counts, cut down to what the model can afford.
    std::int32_t modelColumns;
    std::int32_t modelRows;
    std::int32_t modelAcross;
    std::int32_t modelDown;
    bool fails;
  };
  const TileCase tileCases[] = {
      {samePlace, xorOp, many, many, many, many, 1, 1, 1, 1, false},
      {samePlace, xorOp, even, many, many, many, 2, 1, 1, 1, false},
      {samePlace, xorOp, many, many, many, even, 1, 1, 1, 2, false},
      {samePlace, copyOp, many, many, many, many, 1, 1, 1, 1, false},
      {samePlace, andOp, many, even, many, even, 1, 1, 1, 1, false},
      {samePlace, orOp, even, even, even, even, 1, 1, 1, 1, false},
      {outside, copyOp, many, many, many, many, 1, 1, 1, 1, true},
      {empty, copyOp, many, many, many, many, 1, 1, 1, 1, false},
      {threes, copyOp, wrapsToTwo, 1, 1, 1, wrapsToTwo, 1, 1, 1, true},
      {threes, xorOp, 1, wrapsToTwo, 1, 1, 1, wrapsToTwo, 1, 1, true},
  };
  const Bytes baseBytes = builtBytes(8, 7, 24, 1);
  const Bytes patchBytes = builtBytes(8, 7, 24, 2);
  for (const TileCase& c : tileCases) {
    prepare(baseBytes, c.layout, patchBytes, c.layout);
    const std::string message = expectSameAsModel(
        {true, c.op, 0, 0, 0, 0, c.columns, c.rows, c.across, c.down},
        {true, c.op, 0, 0, 0, 0, c.modelColumns, c.modelRows, c.modelAcross, c.modelDown});
    EXPECT_EQ(message.empty(), !c.fails);
  }

  struct PixelCase {
    MergeOperator op;
    std::int32_t x;
    std::int32_t y;
    std::int32_t w;
    std::int32_t h;
    std::int32_t modelAcross;
    std::int32_t modelDown;
    bool fails;
  };
  const PixelCase pixelCases[] = {
      // Nothing moves: one empty block.
      {xorOp, 1, 1, 0, 0, 1, 1, false},
      // Copies move down, or across, or both, and soon leave the bitmap.
      {copyOp, 5, 5, 0, 1, 1, 9, true},
      {copyOp, 0, 1, 1, 0, 9, 1, true},
      {xorOp, 0, 0, 2, 2, 9, 9, true},
      {orOp, 1, 1, -1, 1, 9, 9, true},
  };
  for (const PixelCase& c : pixelCases) {
    prepare(baseBytes, {}, patchBytes, {});
    const std::string message =
        expectSameAsModel({false, c.op, c.x, c.y, c.x, c.y, c.w, c.h, many, many},
                          {false, c.op, c.x, c.y, c.x, c.y, c.w, c.h, c.modelAcross, c.modelDown});
    // Where the copies move, the shortened line must fail, or it would prove nothing.
    EXPECT_EQ(message.empty(), !c.fails);
  }
}

} // namespace
} // namespace tilegraft
