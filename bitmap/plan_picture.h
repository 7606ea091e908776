#pragma once

#include "bitmap/bitmap_image.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace tilegraft {

// Where a line's blocks are outlined: a merge's on both sides, a tile operation's on the bitmap
// it changed.
enum class PlanSide : std::uint8_t { both, base, patch };

// A picture of what a script does, for check runs: the base as the run leaves it at the left and
// the patch at the right, 8 pixels apart on a dark ground, at their own scale. Each shows its
// tile grid: the area before the grid's origin darkened, borders tinted magenta and, where the
// tiles have no borders, each tile's top row and left column tinted cyan. Every block that a merge
// line changed is outlined one pixel wide in that line's colour, on the base where it landed and
// on the patch where it came from.
//
// A script that loads a bitmap again after merges has stages: each keeps the two bitmaps as they
// were when it ended, with its own merges, and the stages are drawn one under the other, first
// at the top, 8 pixels apart. A script of one stage gives one row, as if stages were not.
class PlanPicture {
public:
  // Adds the blocks that one merge line changed, outlined in the next colour of the eight, which
  // later lines reuse in turn, on the sides given; gives the colour's name. A tile operation's
  // blocks are drawn at their destination.
  std::string_view addLine(std::span<const MergedBlock> lineBlocks, PlanSide side = PlanSide::both);
  // The picture as a 24-bit BMP file, drawn from the two bitmaps as they are now (one that is not
  // loaded, or stored top-down, leaves its side empty). Empty when it would not fit a BMP file.
  // An RGB PNG file of the same pixels instead when fileName ends in .png (any case) and the
  // build has the PNG library; throws "Plan picture: Not enough memory." when it cannot encode.
  std::vector<std::uint8_t> draw(const BitmapImage& base, const BitmapImage& patch,
                                 std::string_view fileName = {}) const;
  // Before a bitmap is loaded again: when merges were added since the last stage ended, they
  // and copies of the two bitmaps as they are now become a stage of their own. Throws what a
  // copy's load throws (memory).
  void endStage(const BitmapImage& base, const BitmapImage& patch);

private:
  struct Block {
    MergedBlock merged;
    std::size_t colour;
    PlanSide side;
  };
  struct Stage {
    BitmapImage base{"Base bitmap"};
    BitmapImage patch{"Patch bitmap"};
    std::vector<Block> blocks;
  };

  std::vector<std::unique_ptr<Stage>> stages; // ended, first first
  std::vector<Block> blocks;                  // of the stage under way
  std::size_t blockCount = 0;                 // of every stage
  std::size_t lines = 0;
};

} // namespace tilegraft
