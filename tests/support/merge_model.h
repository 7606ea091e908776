#pragma once

#include "bitmap/bitmap_image.h"
#include "bitmap/tile_layout.h"
#include "tests/support/bmp_builder.h"

#include <cstdint>
#include <string>

namespace tilegraft::testing {

// Short names for the operators in tables of merge lines.
inline constexpr MergeOperator copyOp = MergeOperator::copy;
inline constexpr MergeOperator andOp = MergeOperator::bitAnd;
inline constexpr MergeOperator orOp = MergeOperator::bitOr;
inline constexpr MergeOperator xorOp = MergeOperator::bitXor;
inline constexpr MergeOperator keyOp = MergeOperator::keyed;

// The tests' one model of a bitmap, and with it a slow, plain reference for merges, kept apart
// from the tool's own code so that the two can be compared: one bitmap as the whole bytes of its
// file, the header values the merges read (taken from the bytes), and its active tile layout.
struct ModelBitmap {
  ModelBitmap(std::string name, Bytes bytes, const TileLayout& tiles = {});

  // Bytes per stored row, as the BMP format pads it.
  std::int64_t stride() const;
  // Where pixel (x, y) of a bottom-up file starts, y counted from the top row; its bytes.
  std::size_t pixelAt(std::int32_t x, std::int32_t y) const;
  Bytes pixel(std::int32_t x, std::int32_t y) const;

  std::string displayName;
  Bytes file;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytesPerPixel = 0;
  std::int32_t pixelDataOffset = 0;
  TileLayout layout;
  bool loaded = true;
  // The key colour a keyed merge from it leaves out, one byte per byte of a pixel; empty for none.
  Bytes key;
};

// The eight values of one merge line once it is completed, and its mode and operator index.
struct MergeLine {
  bool tiles = false;
  MergeOperator op = MergeOperator::copy;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t sourceX = 0;
  std::int32_t sourceY = 0;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::int32_t across = 1;
  std::int32_t down = 1;
};

// Runs the line on the base bitmap with the patch as source, copy after copy, tile after tile and
// pixel after pixel. Returns the message of the first failure (the copies before it stay merged)
// or "" when every copy was merged. The loops take as long as the counts say: keep them small.
std::string modelMerge(ModelBitmap& base, const ModelBitmap& patch, const MergeLine& line);

// Runs the same line on real bitmaps, as the merge command does; returns the message or "".
std::string realMerge(BitmapImage& base, const BitmapImage& patch, const MergeLine& line);

// The tile operations on one bitmap, pixel by pixel from their definitions: every whole tile of
// the grid (or, with wholeBitmap, the bitmap as one tile) extruded by n, mirrored or flipped.
// Return the message of the failure, with nothing changed, or "".
std::string modelExtrude(ModelBitmap& bitmap, std::int32_t n);
std::string modelMirror(ModelBitmap& bitmap, bool wholeBitmap);
std::string modelFlip(ModelBitmap& bitmap, bool wholeBitmap);

} // namespace tilegraft::testing
