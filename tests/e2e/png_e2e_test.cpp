#include "bitmap/bitmap_image.h"
#include "bitmap/png_codec.h"
#include "common/script_error.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/tool_test.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft {
namespace {

using testing::BmpBuilder;
using testing::Bytes;
using testing::ToolCase;

// A whole chunk: length, type, data and its CRC-32, as the PNG format checks it.
Bytes chunk(std::string_view type, const Bytes& data) {
  Bytes out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(data.size() >> shift));
  }
  for (const char c : type) {
    out.push_back(static_cast<std::uint8_t>(c));
  }
  for (const std::uint8_t byte : data) {
    out.push_back(byte);
  }
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 4; i < out.size(); ++i) {
    crc ^= out[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
  }
  crc = ~crc;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(crc >> shift));
  }
  return out;
}

// Pixels of one byte each, top row first, as a PNG of a palette of 4 entries (2 bits), with a
// tEXt chunk, a tRNS one when asked and a pHYs one after the image data.
Bytes palettePng(const Bytes& pixels, std::int64_t width, bool transparent) {
  PngLayout kept;
  kept.colourType = 3;
  kept.bitDepth = 2;
  kept.palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
  kept.chunksBeforePalette = chunk("tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'});
  if (transparent) {
    kept.chunksBeforeData = chunk("tRNS", {0});
  }
  kept.chunksAfterData = chunk("pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1});
  const PngPixels source{
      pixels.data(), width, width, static_cast<std::int64_t>(pixels.size()) / width, 1, {}};
  Bytes out;
  EXPECT_FALSE(encodePng(source, &kept, out));
  return out;
}

// The BMP file of palettePng's pixels: its 4 colours in the table, rows bottom first.
Bytes bmpOf(const Bytes& pixels) {
  BmpBuilder file(5, 4, 8);
  Bytes bytes = file.bytes();
  bytes.erase(bytes.begin() + 54 + 16, bytes.begin() + 54 + 1024);
  const Bytes table{0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
  std::copy(table.begin(), table.end(), bytes.begin() + 54);
  for (std::size_t i = 0; i < 5; ++i) {
    const std::uint32_t values[] = {102, 70, 0, 0, 4};
    const std::size_t fields[] = {2, 10, 38, 42, 46};
    for (int b = 0; b < 4; ++b) {
      bytes[fields[i] + static_cast<std::size_t>(b)] =
          static_cast<std::uint8_t>(values[i] >> (8 * b));
    }
  }
  for (std::size_t y = 0; y < 4; ++y) {
    std::uint8_t* row = bytes.data() + 70 + 8 * (3 - y);
    std::fill(row, row + 8, 0);
    std::copy(pixels.begin() + static_cast<std::ptrdiff_t>(5 * y),
              pixels.begin() + static_cast<std::ptrdiff_t>(5 * y + 5), row);
  }
  return bytes;
}

class PngEndToEndTest : public testing::ToolTest {
protected:
  void SetUp() override {
    if (!pngSupported()) {
      GTEST_SKIP() << "built without libspng";
    }
  }
};

// Merges between PNG files, saves as PNG with the chunks kept, across formats and back, and the
// refusals a save across formats explains with the old file kept.
TEST_F(PngEndToEndTest, MergesAndSavesKeepEveryPixelOrRefuse) {
  const Bytes basePixels{0, 1, 2, 3, 3, 2, 1, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0};
  const Bytes patchPixels(20, 3);
  Bytes merged = basePixels;
  merged[6] = merged[7] = merged[11] = merged[12] = 3; // the block of 2 by 2 at (1, 1)
  const Bytes base = palettePng(basePixels, 5, false);
  const Bytes patch = palettePng(patchPixels, 5, false);
  const Bytes transparent = palettePng(basePixels, 5, true);
  const Bytes old{'o', 'l', 'd'};
  const std::string merge = "load base a.png\nload patch b.png\n<p = 1 1 0 0 2 2\n";
  const std::string progress = "Loading base bitmap: a.png...\nLoading patch bitmap: b.png...\n";
  const std::string bmpCannot =
      "**** Base bitmap: BMP cannot hold the bitmap.\n     Its PNG file has a transparent colour "
      "(a tRNS chunk), which a BMP file has no way to keep: save it as .png.\n";
  testing::ToolTest::expectCases({
      // Saved as PNG, under a name that says so or under any other: the chunks stay in order.
      ToolCase{.script = merge + "save out.PNG\nsave out\n",
               .out = progress + "Saving output bitmap: out.PNG...\nSaving output bitmap: out...\n"
                                 "Done.\n",
               .files = {{"a.png", base}, {"b.png", patch}},
               .expectedFiles = {{"out.PNG", palettePng(merged, 5, false)},
                                 {"out", palettePng(merged, 5, false)}}},
      // To BMP and back: the same pixels and palette, and a BMP name is read as PNG by its bytes.
      ToolCase{.script = merge + "save out.bmp\nload base out.bmp\nsave back.png\nload base "
                                 "back.png\nsave named.bmp\nload base named.bmp\nsave again.png\n",
               .out = progress +
                      "Saving output bitmap: out.bmp...\nLoading base bitmap: out.bmp...\n"
                      "Saving output bitmap: back.png...\nLoading base bitmap: back.png...\n"
                      "Saving output bitmap: named.bmp...\nLoading base bitmap: named.bmp...\n"
                      "Saving output bitmap: again.png...\nDone.\n",
               .files = {{"a.png", base}, {"b.png", patch}},
               .expectedFiles = {{"out.bmp", bmpOf(merged)}, {"named.bmp", bmpOf(merged)}}},
      // A transparent colour has no place in a BMP file: the old file stays, and --check says so.
      ToolCase{.script = "load base t.png\nsave out.bmp\n",
               .status = 1,
               .out = "Loading base bitmap: t.png...\nSaving output bitmap: out.bmp...\n",
               .err = "Line 2: save out.bmp\n**** Base bitmap: BMP cannot hold the bitmap.\n",
               .files = {{"t.png", transparent}},
               .absentFiles = {"out.bmp"}},
      ToolCase{.script = "load base t.png\nsave out.bmp\n",
               .status = 1,
               .out = "Loading base bitmap: t.png...\nSaving output bitmap: out.bmp...\n",
               .err = "out.bmp already exists: overwrite (y/n)? Line 2: save out.bmp\n" +
                      bmpCannot.substr(0, bmpCannot.find('\n') + 1),
               .files = {{"t.png", transparent}, {"out.bmp", old}},
               .input = "y\n",
               .expectedFiles = {{"out.bmp", old}}},
      ToolCase{.script = "load base t.png\nsave out.bmp\n",
               .status = 1,
               .out = "Reading patch script: script.txt...\nLoading base bitmap: t.png...\nWould "
                      "save output bitmap: out.bmp (a new file)\n",
               .err = "Line 2: save out.bmp\n" + bmpCannot,
               .files = {{"t.png", transparent}},
               .arguments = std::vector<std::string>{"--check", "script.txt"}},
  });
}

// Every bitmap of the fuzzing corpus that loads goes to PNG and back with the same pixels.
TEST_F(PngEndToEndTest, CorpusBitmapsGoToPngAndBackUnchanged) {
  const std::filesystem::path corpus =
      std::filesystem::path(TILEGRAFT_SOURCE_DIR) / "fuzz" / "corpus" / "bitmap";
  int roundTrips = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().filename().string());
    BitmapImage bmp("bmp");
    try {
      bmp.load(entry.path().string());
    } catch (const ScriptError&) {
      continue;
    }
    const std::string png = dir.file("x.png").string();
    try {
      bmp.save(png);
    } catch (const ScriptError& error) {
      // Only a bitmap without pixels, or one whose rows run past its file, has no PNG.
      EXPECT_EQ(error.message(), "bmp: PNG cannot hold the bitmap.");
      continue;
    }
    BitmapImage back("back");
    back.load(png);
    ASSERT_EQ(back.bytesPerPixelCount(), bmp.bytesPerPixelCount());
    ASSERT_EQ(back.pixelWidth(), bmp.pixelWidth());
    const std::int32_t height = bmp.pixelHeight() < 0 ? -bmp.pixelHeight() : bmp.pixelHeight();
    const auto rowBytes = static_cast<std::size_t>(bmp.pixelWidth() * bmp.bytesPerPixelCount());
    for (std::int32_t y = 0; y < height; ++y) {
      const std::uint8_t* was = bmp.fileBytes().data() + bmp.pixelArrayOffset() +
                                (bmp.pixelHeight() < 0 ? y : height - 1 - y) * bmp.strideBytes();
      const std::uint8_t* is = back.fileBytes().data() + back.pixelOffset(0, y);
      EXPECT_EQ(Bytes(was, was + rowBytes), Bytes(is, is + rowBytes)) << "row " << y;
    }
    const auto palette = bmp.paletteBytes();
    const auto again = back.paletteBytes();
    ASSERT_GE(again.size(), palette.size());
    // Whole entries only: a table cut short by the pixels ends in part of an entry.
    for (std::size_t i = 0; i + 4 <= palette.size(); i += 4) {
      EXPECT_EQ(Bytes(palette.data() + i, palette.data() + i + 3),
                Bytes(again.data() + i, again.data() + i + 3));
    }
    ++roundTrips;
  }
  EXPECT_GE(roundTrips, 8);
}

} // namespace
} // namespace tilegraft
