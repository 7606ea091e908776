#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/scoped_temp_dir.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>

namespace tilegraft {
namespace {

using testing::BmpBuilder;
using testing::ScopedTempDir;

constexpr std::int32_t int32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32Min = std::numeric_limits<std::int32_t>::min();

class TileCoordinatesTest : public ::testing::Test {
protected:
  // Loads a freshly built bitmap of that size into image.
  void loadBuilt(BitmapImage& image, std::int32_t width, std::int32_t height, int bitsPerPixel) {
    BmpBuilder(width, height, bitsPerPixel).writeTo(dir.file("image.bmp"));
    image.load(dir.file("image.bmp").string());
  }

  // The message of a 1-copy pixel merge from the same place of a bitmap of the same size, which
  // meets the destination's range test first, or "" when the block passes.
  std::string rectMessage(std::int32_t width, std::int32_t height, std::int32_t x, std::int32_t y,
                          std::int32_t w, std::int32_t h) {
    BitmapImage base("Base bitmap");
    BitmapImage patch("Patch bitmap");
    loadBuilt(base, width, height, 24);
    loadBuilt(patch, width, height, 24);
    try {
      base.mergePixels(MergeOperator::copy, x, y, patch, x, y, w, h);
    } catch (const ScriptError& error) {
      return error.message();
    }
    return "";
  }

  ScopedTempDir dir;
};

TEST_F(TileCoordinatesTest, TileOriginFollowsOriginBordersAndPitch) {
  struct Case {
    std::optional<TileLayout> layout; // none: the layout a new bitmap has
    std::int32_t column;
    std::int32_t row;
    PixelPoint expected;
  };
  // Across: origin 2, border 1, tiles 8 wide, border 1, so the pitch is 10. Down: origin -4,
  // border 3, tiles 2 high, border 0, so the pitch is 5.
  const TileLayout bordered{2, 1, 8, 1, -4, 3, 2, 0};
  // Tiles without borders touch.
  const TileLayout touching{0, 0, 5, 0, 0, 0, 3, 0};
  const Case cases[] = {
      {bordered, 0, 0, {3, -1}},
      {bordered, 1, 1, {13, 4}},
      {bordered, 3, 2, {33, 9}},
      {bordered, -1, -1, {-7, -6}},
      {bordered, -2, 3, {-17, 14}},
      {touching, 0, 0, {0, 0}},
      {touching, 1, 1, {5, 3}},
      {touching, 4, 7, {20, 21}},
      // A new bitmap's tiles are its pixels.
      {std::nullopt, 0, 0, {0, 0}},
      {std::nullopt, 7, 3, {7, 3}},
      {std::nullopt, -5, 2, {-5, 2}},
      {std::nullopt, int32Max, int32Min, {int32Max, int32Min}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.column << ", " << c.row);
    BitmapImage image("Base bitmap");
    if (c.layout) {
      image.setTileLayout(*c.layout);
    }
    EXPECT_EQ(image.tileOrigin(c.column, c.row), c.expected);
  }
}

// How many tiles of a grid lie wholly inside a bitmap along one axis, and what follows them.
TEST_F(TileCoordinatesTest, WholeTilesCountOnlyTilesInside) {
  struct Case {
    std::int32_t origin, before, tile, after, extent;
    std::int64_t count, pixelsAfter;
  };
  const Case cases[] = {
      {0, 2, 32, 0, 410, 12, 2},  // margin and gutters of 2: as much after as before
      {0, 2, 34, 0, 410, 11, 14}, // the gutter counted into the tile
      {0, 0, 4, 0, 12, 3, 0},     // exactly
      {0, 0, 4, 1, 14, 3, 0},     // the last tile's border cut off
      {0, 0, 4, 0, 3, 0, 0},      // not one
      {-1, 0, 4, 0, 40, 0, 0},    // the first tile starts outside
      {0, 0, 0, 0, 40, 0, 0},     // no tile
      {0, -3, 2, 0, 40, 0, 0},    // tiles that go backwards
      {int32Max, int32Max, 1, 0, int32Max, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.origin << " " << c.before << " " << c.tile << " "
                                      << c.after << " in " << c.extent);
    const WholeTiles tiles = wholeTiles(c.origin, c.before, c.tile, c.after, c.extent);
    EXPECT_EQ(tiles.count, c.count);
    EXPECT_EQ(tiles.pixelsAfter, c.pixelsAfter);
  }
}

TEST_F(TileCoordinatesTest, TileOriginWrapsAroundIn32Bits) {
  BitmapImage image("Base bitmap");
  // Pitch 4 across: column 2^30 is 2^32 pixels on, which wraps to the origin itself.
  image.setTileLayout({1, 0, 4, 0, 0, 1, 0, 1});
  EXPECT_EQ(image.tileOrigin(1 << 30, 0), (PixelPoint{1, 1}));
  EXPECT_EQ(image.tileOrigin((1 << 30) + 2, 1), (PixelPoint{9, 3}));
  // Pitch 2 down: row 2^31 - 1 lies 2^32 - 2 pixels on, that is 2 before the first row.
  EXPECT_EQ(image.tileOrigin(0, int32Max), (PixelPoint{1, -1}));
  // The origin and the border overflow on their own.
  image.setTileLayout({int32Max, 1, 1, 0, int32Min, -1, 1, 0});
  EXPECT_EQ(image.tileOrigin(0, 0), (PixelPoint{int32Min, int32Max}));
}

TEST_F(TileCoordinatesTest, PixelOffsetCountsRowsFromTheBottom) {
  BitmapImage image("Base bitmap");
  // 24 bits, 5 by 4: rows of 15 bytes padded to 16, pixels from byte 54.
  loadBuilt(image, 5, 4, 24);
  EXPECT_EQ(image.pixelOffset(0, 3), 54);
  EXPECT_EQ(image.pixelOffset(0, 0), 102);
  EXPECT_EQ(image.pixelOffset(2, 1), 92);
  EXPECT_EQ(image.pixelOffset(4, 0), 114);

  BitmapImage indexed("Patch bitmap");
  // 8 bits, 5 by 2: a 1024-byte colour table, rows of 5 bytes padded to 8.
  loadBuilt(indexed, 5, 2, 8);
  EXPECT_EQ(indexed.pixelOffset(0, 1), 54 + 1024);
  EXPECT_EQ(indexed.pixelOffset(4, 0), 54 + 1024 + 8 + 4);
}

TEST_F(TileCoordinatesTest, RangeTestsTakeTheFirstAndTheLastPixelOfABlock) {
  const std::string outOfRange = "Base bitmap: Co-ordinates out of range.";
  struct Case {
    std::int32_t x;
    std::int32_t y;
    std::int32_t w;
    std::int32_t h;
    bool passes;
  };
  const Case cases[] = {
      // The far corner exactly at (width - 1, height - 1) passes; one more pixel does not.
      {0, 0, 6, 4, true},
      {0, 0, 7, 4, false},
      {0, 0, 6, 5, false},
      {5, 3, 1, 1, true},
      {6, 3, 1, 1, false},
      {5, 4, 1, 1, false},
      {-1, 0, 1, 1, false},
      {0, -1, 1, 1, false},
      // An empty block's far corner lies before its first pixel.
      {0, 0, 0, 1, false},
      {1, 0, 0, 1, true},
      {0, 0, 1, 0, false},
      {0, 1, 1, 0, true},
      // Nothing else is tested: a negative size passes when both corners are inside.
      {5, 3, -4, -2, true},
      {2, 0, -2, 1, false},
      // Huge sizes wrap the far corner around instead of overflowing.
      {0, 0, int32Max, 1, false},
      {1, 0, int32Max, 1, false},
      {0, 0, int32Min, 1, false},
      {3, 2, 1, int32Min, false},
      {int32Max, 0, 2, 1, false},
      {0, int32Min, 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << ", " << c.y << ", " << c.w << ", " << c.h);
    EXPECT_EQ(rectMessage(6, 4, c.x, c.y, c.w, c.h), c.passes ? "" : outOfRange);
  }
}

TEST_F(TileCoordinatesTest, BitmapWithoutPositiveSizeFailsEveryPoint) {
  struct Case {
    std::int32_t width;
    std::int32_t height;
  };
  for (const Case c : {Case{0, 3}, Case{3, 0}, Case{-1, 2}, Case{4, -3}}) {
    SCOPED_TRACE(::testing::Message() << c.width << " by " << c.height);
    for (const PixelPoint point : {PixelPoint{0, 0}, PixelPoint{1, 1}, PixelPoint{-1, -1}}) {
      EXPECT_EQ(rectMessage(c.width, c.height, point.x, point.y, 1, 1),
                "Base bitmap: Co-ordinates out of range.");
    }
  }
}

} // namespace
} // namespace tilegraft
