#pragma once

#include "common/int32_math.h"

#include <cstdint>

namespace tilegraft {

// A regular grid of equal tiles over one bitmap, in pixels: where the grid starts, the border
// inside each cell before and after the tile, and the tile size, across and then down. Values
// are never validated; zero and negative ones are used as they are.
struct TileLayout {
  std::int32_t xOrigin = 0;
  std::int32_t xBorderBefore = 0;
  std::int32_t tileWidth = 1;
  std::int32_t xBorderAfter = 0;
  std::int32_t yOrigin = 0;
  std::int32_t yBorderBefore = 0;
  std::int32_t tileHeight = 1;
  std::int32_t yBorderAfter = 0;

  friend bool operator==(const TileLayout&, const TileLayout&) = default;
};

// A pixel position: x from the left, y from the top.
struct PixelPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;

  friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

// The distance from one tile to the next, across and down: border, tile and border.
constexpr PixelPoint cellPitch(const TileLayout& layout) {
  return {wrapAdd(wrapAdd(layout.xBorderBefore, layout.tileWidth), layout.xBorderAfter),
          wrapAdd(wrapAdd(layout.yBorderBefore, layout.tileHeight), layout.yBorderAfter)};
}

} // namespace tilegraft
