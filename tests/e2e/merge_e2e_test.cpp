#include "tests/support/bmp_builder.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);
const std::string loadBoth = "load base base.bmp\nload patch patch.bmp\n";
const std::string loadingBoth =
    "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n";
const std::string savingAndDone = "Saving output bitmap: out.bmp...\nDone.\n";

TileLayout tiles(std::int32_t width, std::int32_t height) {
  return {0, 0, width, 0, 0, 0, height, 0};
}

// A base bitmap of 20 by 24 pixels with bytes after its pixels, and a patch bitmap of 18 by 25,
// so that the two strides differ; both 24 bits, and an 8-bit patch for the incompatible cases.
class MergeEndToEndTest : public ToolTest {
protected:
  MergeEndToEndTest()
      : baseBytes(BmpBuilder(20, 24, 24).fillPattern(1).append(5).bytes()),
        patchBytes(BmpBuilder(18, 25, 24).fillPattern(2).bytes()),
        inputs{{"base.bmp", baseBytes},
               {"patch.bmp", patchBytes},
               {"patch8.bmp", BmpBuilder(18, 25, 8).bytes()}} {
    for (const auto& [name, bytes] : inputs) {
      writeFileBytes(dir.file(name), bytes);
    }
  }

  // What the reference makes of the base for the completed line under these layouts.
  Bytes merged(const TileLayout& baseLayout, const TileLayout& patchLayout,
               const MergeLine& line) const {
    ModelBitmap base("Base bitmap", baseBytes, baseLayout);
    const ModelBitmap patch("Patch bitmap", patchBytes, patchLayout);
    EXPECT_EQ(modelMerge(base, patch, line), "");
    return base.file;
  }

  // Runs the script, which must end well after saving out.bmp, and compares the file.
  void expectSaved(const std::string& script, const std::string& out, const Bytes& expected) {
    expectCases({{script, 0, out, "", inputs, "", {{"out.bmp", expected}}}});
  }

  // Runs the lines between loading both bitmaps and saving the base.
  void expectMerged(const std::string& lines, const Bytes& expected) {
    expectSaved(loadBoth + lines + "save out.bmp\n", loadingBoth + savingAndDone, expected);
  }

  // Runs the script with a failing last line (numbered lineNumber) before a save that must not
  // happen; out is the standard output after the start line.
  void expectFailure(const std::string& before, const std::string& line, int lineNumber,
                     const std::string& out, const std::string& message) {
    expectCases({{before + line + "\nsave out.bmp\n",
                  1,
                  out,
                  failureReport(lineNumber, line, message),
                  inputs,
                  "",
                  {},
                  {"out.bmp"}}});
  }

  const Bytes baseBytes;
  const Bytes patchBytes;
  std::vector<std::pair<std::string, Bytes>> inputs; // every row's folder holds these
};

using TileCommandsEndToEndTest = MergeEndToEndTest;

TEST_F(MergeEndToEndTest, FailuresNameTheBitmapConcerned) {
  struct Case {
    std::string loads;
    std::string loading;
    const char* line;
    const char* message;
  };
  const char* const both = "load base base.bmp\nload patch patch.bmp\n";
  const char* const bothLoading =
      "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n";
  const char* const mixed = "load base base.bmp\nload patch patch8.bmp\n";
  const char* const mixedLoading =
      "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch8.bmp...\n";
  const Case cases[] = {
      {"", "", "merge pixels = 0 0", "Base bitmap: Not loaded."},
      {"load patch patch.bmp\n", "Loading patch bitmap: patch.bmp...\n", "merge tiles = 0 0",
       "Base bitmap: Not loaded."},
      {"load base base.bmp\n", "Loading base bitmap: base.bmp...\n", "<p = 0 0",
       "Patch bitmap: Not loaded."},
      {"load base base.bmp\n", "Loading base bitmap: base.bmp...\n", "<t = 0 0",
       "Patch bitmap: Not loaded."},
      {mixed, mixedLoading, "<p = 0 0", "Base bitmap: Bitmaps are incompatible."},
      {mixed, mixedLoading, "<t = 0 0", "Base bitmap: Bitmaps are incompatible."},
      {both, bothLoading, "<p = 19 0 0 0 2 1", "Base bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<p = 0 23 0 0 1 2", "Base bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<p = 0 0 17 0 2 1", "Patch bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<p = 0 0 0 24 1 2", "Patch bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<p = 20 0 18 0", "Base bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<t = 0 0 0 0 21 1", "Base bitmap: Co-ordinates out of range."},
      {both, bothLoading, "<t = 0 0 0 0 19 1", "Patch bitmap: Co-ordinates out of range."},
      // 3 x 1431655766 wraps to 2 pixels: the run goes tile by tile and fails at tile 6.
      {"load base base.bmp\nload patch patch.bmp\ntilesize 3\n", bothLoading,
       "<t = 0 0 0 0 1431655766 1", "Base bitmap: Co-ordinates out of range."},
      // The words are checked before the bitmaps, the mode before the operator.
      {"", "", "merge blocks = 1 1", "Invalid argument: blocks"},
      {"", "", "MERGE Blocks = 1", "Invalid argument: blocks"},
      {"", "", "merge blocks ==", "Invalid argument: blocks"},
      {"", "", "merge pixels == 1 1", "Invalid operator: =="},
      {"", "", "merge pixels", "Invalid operator: "},
      {"", "", "merge pixels AB", "Invalid operator: ab"},
      {"", "", "<p # 1", "Invalid operator: #"},
      {"", "", "<t x", "Invalid operator: x"},
      {"", "", "<T", "Invalid operator: "},
      {"", "", "merge", "Missing arguments."},
      {"", "", "tilesize", "Missing arguments."},
      {"", "", "tilesize big", "Missing arguments."},
      {"", "", "tilespecs", "Missing arguments."},
      {"", "", "tilespecs both 1 1", "Invalid argument: both"},
      {"", "", "TileSpecs Base2 1 1", "Invalid argument: base2"},
      // The tile-set commands: their words first, then the bitmaps.
      {"", "", "new base 4", "Missing arguments."},
      {"", "Making base bitmap: 4 by 4 pixels...\n", "new base 4 4", "Patch bitmap: Not loaded."},
      {both, std::string(bothLoading) + "Making patch bitmap: 0 by 4 pixels...\n", "new patch 0 4",
       "Patch bitmap: Invalid size."},
      {both, std::string(bothLoading) + "Making base bitmap: 4 by 4 pixels...\n",
       "new base 4 4 0 0 256", "Base bitmap: Invalid colour."},
      {"", "", "key base 1", "Invalid argument: base"},
      {"", "", "key patch 1", "Patch bitmap: Not loaded."},
      {both, bothLoading, "key patch 1 2 3 4", "Patch bitmap: Invalid colour."},
      {both, bothLoading, "<p ~ 0 0", "Patch bitmap: No key colour."},
      {mixed, mixedLoading, "<t ~ 0 0", "Base bitmap: Bitmaps are incompatible."},
      {"", "", "extrude base", "Missing arguments."},
      {"", "", "extrude base -1", "Invalid argument: -1"},
      {"", "", "mirror", "Missing arguments."},
      {"", "", "flip side", "Invalid argument: side"},
      {"", "", "mirror base", "Base bitmap: Not loaded."},
      {both, bothLoading, "extrude base 1", "Base bitmap: Extrusion too large."},
      {std::string(both) + "tilesize 3\ntilespecs patch 1 0 -1\n", bothLoading, "flip patch",
       "Patch bitmap: Tiles overlap."},
  };
  for (const Case& c : cases) {
    const std::string& loads = c.loads;
    const auto lineNumber = static_cast<int>(std::count(loads.begin(), loads.end(), '\n')) + 1;
    expectFailure(loads, c.line, lineNumber, c.loading, c.message);
  }
}

// A canvas from the patch's headers, a keyed copy, an extrusion, a mirror and a flip, against the
// reference; the patch's key is the colour of the bottom-left pixel, which the flip takes to the
// top left, where the merge keeps the canvas.
TEST_F(MergeEndToEndTest, TileSetCommandsAgreeWithTheReference) {
  const std::size_t firstPixel = BmpBuilder(18, 25, 24).pixelIndex(0, 24);
  const std::string key = std::to_string(patchBytes[firstPixel]) + " " +
                          std::to_string(patchBytes[firstPixel + 1]) + " " +
                          std::to_string(patchBytes[firstPixel + 2]);
  const std::string script = "load patch patch.bmp\nflip patch\nnew base 23 29 7 8\nkey patch " +
                             key +
                             "\ntilesize 4 5\ntilespecs base 1 2 1 2 3 2\n<t ~ 0 0 0 0 3 3\n"
                             "extrude base 2\nmirror base\n"
                             "<p = 0 0 0 0 18 1\nsave out.bmp\n";
  // The canvas: the patch's headers with its own size, then rows of the pixel 7 8 0.
  Bytes canvas(patchBytes.begin(), patchBytes.begin() + 54);
  const std::int32_t stride = BmpBuilder::stride(23, 24);
  const auto putLe32 = [&](std::size_t at, std::uint32_t value) {
    for (std::size_t b = 0; b < 4; ++b) {
      canvas[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
  };
  putLe32(2, static_cast<std::uint32_t>(54 + stride * 29));
  putLe32(bmpWidthField, 23);
  putLe32(bmpHeightField, 29);
  putLe32(34, static_cast<std::uint32_t>(stride * 29));
  for (std::int32_t y = 0; y < 29; ++y) {
    for (std::int32_t x = 0; x < stride; ++x) {
      canvas.push_back(x >= 23 * 3 ? 0 : x % 3 == 0 ? 7 : x % 3 == 1 ? 8 : 0);
    }
  }
  const TileLayout grid{1, 1, 4, 3, 2, 2, 5, 2};
  ModelBitmap base("Base bitmap", canvas, grid);
  ModelBitmap patch("Patch bitmap", patchBytes, tiles(1, 1));
  // Before any tilesize line, a flip takes the whole bitmap.
  EXPECT_EQ(modelFlip(patch, true), "");
  patch.layout = tiles(4, 5);
  patch.key.assign(patchBytes.begin() + static_cast<std::ptrdiff_t>(firstPixel),
                   patchBytes.begin() + static_cast<std::ptrdiff_t>(firstPixel) + 3);
  EXPECT_EQ(modelMerge(base, patch, {true, keyOp, 0, 0, 0, 0, 3, 3, 1, 1}), "");
  EXPECT_EQ(modelExtrude(base, 2), "");
  EXPECT_EQ(modelMirror(base, false), "");
  EXPECT_EQ(modelMerge(base, patch, {false, copyOp, 0, 0, 0, 0, 18, 1, 1, 1}), "");
  expectSaved(script,
              "Loading patch bitmap: patch.bmp...\nMaking base bitmap: 23 by 29 pixels...\n" +
                  savingAndDone,
              base.file);
}

TEST_F(MergeEndToEndTest, MissingValuesAreCompleted) {
  struct Case {
    const char* setup;
    const char* line;
    TileLayout layout;
    MergeLine completed;
  };
  const Case cases[] = {
      // The source defaults to the destination, the block to one tile.
      {"tilesize 2 2", "merge tiles = 3 4", tiles(2, 2), {true, copyOp, 3, 4, 3, 4, 1, 1, 1, 1}},
      {"tilesize 2 2",
       "merge tiles = 3 4 0 0",
       tiles(2, 2),
       {true, copyOp, 3, 4, 0, 0, 1, 1, 1, 1}},
      {"tilesize 2", "<t ^ 0 0 0 0 4 1 2 3", tiles(2, 2), {true, xorOp, 0, 0, 0, 0, 4, 1, 2, 3}},
      {"tilesize 3 2",
       "merge pixels | 10 20",
       tiles(3, 2),
       {false, orOp, 10, 20, 10, 20, 3, 2, 1, 1}},
      {"tilesize 3 2", "merge pixels =", tiles(3, 2), {false, copyOp, 0, 0, 0, 0, 3, 2, 1, 1}},
      {"tilesize 3 2", "merge pixels = x", tiles(3, 2), {false, copyOp, 0, 0, 0, 0, 3, 2, 1, 1}},
      {"tilesize 3 2", "merge tiles =", tiles(3, 2), {true, copyOp, 0, 0, 0, 0, 1, 1, 1, 1}},
      {"tilesize 3 2",
       "merge tiles = 0 0 0 0 2",
       tiles(3, 2),
       {true, copyOp, 0, 0, 0, 0, 2, 1, 1, 1}},
      {"tilesize 3 2",
       "merge pixels = 0 0 0 0 2",
       tiles(3, 2),
       {false, copyOp, 0, 0, 0, 0, 2, 2, 1, 1}},
      {"tilesize 3 2", "merge pixels = 1,2", tiles(3, 2), {false, copyOp, 1, 0, 1, 0, 3, 2, 1, 1}},
      {"tilesize 3 2", "<p ^ 1 2 3", tiles(3, 2), {false, xorOp, 1, 2, 3, 2, 3, 2, 1, 1}},
      {"tilesize 3 2", "<p & 1 2 3 4 5 6", tiles(3, 2), {false, andOp, 1, 2, 3, 4, 5, 6, 1, 1}},
      {"tilesize 3 2", "<p ^ 1 2 3 4 2 2 3", tiles(3, 2), {false, xorOp, 1, 2, 3, 4, 2, 2, 3, 1}},
      {"tilesize 3 2",
       "<p = 0 0 1 1 2 2 2 2 9 9",
       tiles(3, 2),
       {false, copyOp, 0, 0, 1, 1, 2, 2, 2, 2}},
      {"tilesize 3 2",
       "<p = 2 2 0 0 1 1 -1 5",
       tiles(3, 2),
       {false, copyOp, 2, 2, 0, 0, 1, 1, -1, 5}},
      // Short forms and any case reach the same merge.
      {"tilesize 3 2", "<P ^ 1 1", tiles(3, 2), {false, xorOp, 1, 1, 1, 1, 3, 2, 1, 1}},
      {"tilesize 3 2", "MERGE PIXELS ^ 1 1", tiles(3, 2), {false, xorOp, 1, 1, 1, 1, 3, 2, 1, 1}},
      {"tilesize 3 2", "Merge Tiles | 1 1", tiles(3, 2), {true, orOp, 1, 1, 1, 1, 1, 1, 1, 1}},
      // Numbers beyond 32 bits keep their low 32 bits; beyond the scanned type, its limit's.
      {"tilesize 3 2", "<p = 4294967297 3", tiles(3, 2), {false, copyOp, 1, 3, 1, 3, 3, 2, 1, 1}},
      {"tilesize 3 2",
       "<p = -99999999999999999999 2",
       tiles(3, 2),
       {false, copyOp, 0, 2, 0, 2, 3, 2, 1, 1}},
      // Column 2^30 of tiles 4 wide starts 2^32 pixels on: at x = 0 again.
      {"tilesize 4",
       "<t = 1073741824 1 0 0",
       tiles(4, 4),
       {true, copyOp, 1 << 30, 1, 0, 0, 1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    expectMerged(std::string(c.setup) + "\n" + c.line + "\n",
                 merged(c.layout, c.layout, c.completed));
  }
}

TEST_F(MergeEndToEndTest, RepeatCountOfZeroMergesNothingEvenWithoutBitmaps) {
  const ToolRun result =
      runScript(dir.path(), "<p = 0 0 0 0 1 1 0 1\nmerge tiles ^ 1 1 1 1 1 1 1 -5\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput, start + "Done.\n");
  EXPECT_EQ(result.standardError, "");
}

TEST_F(MergeEndToEndTest, TileRunsFollowEachBitmapsOwnLayout) {
  // Borders around the base's tiles only: six separate blocks, the borders between them kept.
  const TileLayout baseLayout{1, 1, 2, 1, 0, 1, 3, 0};
  expectMerged("tilesize 2 3\ntilespecs base 1 0 1 1 1 0\n<t = 1 1 0 0 3 2\n",
               merged(baseLayout, tiles(2, 3), {true, copyOp, 1, 1, 0, 0, 3, 2, 1, 1}));
  // Borders on neither: one block, merged in one piece.
  expectMerged("tilesize 2 3\n<t | 1 1 0 0 3 2\n",
               merged(tiles(2, 3), tiles(2, 3), {true, orOp, 1, 1, 0, 0, 3, 2, 1, 1}));
}

TEST_F(MergeEndToEndTest, NeutralOperatorsLeaveTheBase) {
  BmpBuilder ones(18, 25, 24);
  BmpBuilder zeros(18, 25, 24);
  for (std::size_t i = ones.pixelArrayOffset(); i < ones.size(); ++i) {
    ones.setByte(i, 0xFF);
    zeros.setByte(i, 0);
  }
  inputs.emplace_back("ones.bmp", ones.bytes());
  inputs.emplace_back("zeros.bmp", zeros.bytes());
  const std::string saved = "Saving output bitmap: out.bmp...\nDone.\n";
  expectSaved("load base base.bmp\nload patch ones.bmp\n<p & 0 0 0 0 18 24\nsave out.bmp\n",
              "Loading base bitmap: base.bmp...\nLoading patch bitmap: ones.bmp...\n" + saved,
              baseBytes);
  expectSaved("load base base.bmp\nload patch zeros.bmp\n<t | 0 0 0 0 18 24\nsave out.bmp\n",
              "Loading base bitmap: base.bmp...\nLoading patch bitmap: zeros.bmp...\n" + saved,
              baseBytes);
  expectMerged("<p ^ 2 3 4 5 6 7\n<p ^ 2 3 4 5 6 7\n", baseBytes);
}

TEST_F(TileCommandsEndToEndTest, LayoutsFollowTheCommandsInOrder) {
  // Each line runs after its setup; the bytes must be those of the completed merge on the
  // layouts that the setup leaves.
  auto check = [&](std::string_view setup, std::string_view line, const TileLayout& baseLayout,
                   const TileLayout& patchLayout, const MergeLine& completed) {
    expectMerged(std::string(setup) + "\n" + std::string(line) + "\n",
                 merged(baseLayout, patchLayout, completed));
  };
  check("tilesize 16 8", "<t ^ 0 0", tiles(16, 8), tiles(16, 8), {true, xorOp, 0, 0, 0, 0});
  check("tilesize 16", "<t ^ 0 0", tiles(16, 16), tiles(16, 16), {true, xorOp, 0, 0, 0, 0});
  check("tilesize 8 8 extra", "<t ^ 1 1 0 0", tiles(8, 8), tiles(8, 8), {true, xorOp, 1, 1, 0, 0});
  // The origin alone changes; the borders and the other bitmap stay as they were.
  check("tilesize 3 2\ntilespecs base 1 2 1 0 1 1\ntilespecs base 2 3", "<t ^ 1 1 0 0 2 2",
        {2, 1, 3, 1, 3, 0, 2, 1}, tiles(3, 2), {true, xorOp, 1, 1, 0, 0, 2, 2});
  check("tilesize 3 2\ntilespecs patch 1 1 1 1 1 1\ntilespecs patch", "<t ^ 0 0 1 1 2 2",
        tiles(3, 2), {1, 1, 3, 1, 1, 1, 2, 1}, {true, xorOp, 0, 0, 1, 1, 2, 2});
  // Borders survive a later tilesize, and the tile size a later tilespecs.
  check("tilesize 2 3\ntilespecs base 1 1 1 1 1 1\ntilesize 2 2", "<t | 0 0 0 0 3 2",
        {1, 1, 2, 1, 1, 1, 2, 1}, tiles(2, 2), {true, orOp, 0, 0, 0, 0, 3, 2});
  check("tilespecs base 0 1 1 0 1 0\ntilesize 2 3\ntilespecs base 1 1", "<t & 0 0 1 1 2 2",
        {1, 1, 2, 1, 1, 0, 3, 0}, tiles(2, 3), {true, andOp, 0, 0, 1, 1, 2, 2});
  check("TILESPECS Patch 2 0 1\nTileSize 2", "merge tiles ^ 0 0 0 0 2 2", tiles(2, 2),
        {2, 1, 2, 0, 0, 0, 2, 0}, {true, xorOp, 0, 0, 0, 0, 2, 2});
  // Scanning stops at the first word that is not a number.
  check("tilesize 2\ntilespecs base 1 2 x 5", "<t ^ 0 0 0 0 2 2", {1, 0, 2, 0, 2, 0, 2, 0},
        tiles(2, 2), {true, xorOp, 0, 0, 0, 0, 2, 2});
  // 2^32 + 2 keeps 2, -(2^32 - 1) keeps 1, and a number beyond 64 bits becomes the largest
  // 64-bit value, whose low 32 bits are -1.
  check("tilesize 2\ntilespecs base 4294967298 -4294967295 1 1", "<t ^ 0 0 0 0 2 2",
        {2, 1, 2, 0, 1, 1, 2, 0}, tiles(2, 2), {true, xorOp, 0, 0, 0, 0, 2, 2});
  check("tilesize 2\ntilespecs base 99999999999999999999", "<t = 1 1 0 0",
        {-1, 0, 2, 0, 0, 0, 2, 0}, tiles(2, 2), {true, copyOp, 1, 1, 0, 0});
}

TEST_F(TileCommandsEndToEndTest, LayoutsMayBeSetBeforeTheBitmapsAreLoaded) {
  expectSaved("tilesize 3 2\ntilespecs base 1 1 1 1\n" + loadBoth +
                  "<t ^ 1 1 0 0 2 2\n<p | 0 0 5 5\nsave out.bmp\n",
              loadingBoth + savingAndDone, [&] {
                const TileLayout baseLayout{1, 1, 3, 0, 1, 1, 2, 0};
                ModelBitmap base("Base bitmap", baseBytes, baseLayout);
                const ModelBitmap patch("Patch bitmap", patchBytes, tiles(3, 2));
                EXPECT_EQ(modelMerge(base, patch, {true, xorOp, 1, 1, 0, 0, 2, 2}), "");
                EXPECT_EQ(modelMerge(base, patch, {false, orOp, 0, 0, 5, 5, 3, 2}), "");
                return base.file;
              }());
}

} // namespace
} // namespace tilegraft::testing
