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

// Along one axis of extent pixels: how many tiles of the grid, from the first on, lie wholly
// inside, and how many pixels follow the last of them. No tiles when the first does not fit, or
// the tile or the distance between tiles is not positive.
struct WholeTiles {
  std::int64_t count = 0;
  std::int64_t pixelsAfter = 0;
};
constexpr WholeTiles wholeTiles(std::int32_t origin, std::int32_t borderBefore, std::int32_t tile,
                                std::int32_t borderAfter, std::int32_t extent) {
  const std::int64_t first = std::int64_t{origin} + borderBefore;
  const std::int64_t pitch = std::int64_t{borderBefore} + tile + borderAfter;
  const std::int64_t room = std::int64_t{extent} - tile - first;
  if (tile <= 0 || pitch <= 0 || first < 0 || room < 0) {
    return {};
  }
  const std::int64_t count = room / pitch + 1;
  return {count, room - (count - 1) * pitch};
}

} // namespace tilegraft
