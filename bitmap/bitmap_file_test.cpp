#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "platform/files.h"
#include "platform/test_seams.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/failure.h"
#include "tests/support/scoped_temp_dir.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft {
namespace {

using testing::bmpBitCountField;
using testing::BmpBuilder;
using testing::bmpCompressionField;
using testing::bmpHeightField;
using testing::bmpPixelOffsetField;
using testing::bmpWidthField;
using testing::Bytes;
using testing::messageOf;
using testing::readFileBytes;
using testing::ScopedTempDir;
using testing::writeFileBytes;

Bytes bytesOf(const BitmapImage& image) {
  const auto bytes = image.fileBytes();
  return Bytes(bytes.begin(), bytes.end());
}

class BitmapImageTest : public ::testing::Test {
protected:
  // Writes the bytes as in.bmp and loads them; the error message, or empty on success.
  std::string load(const Bytes& bytes) {
    writeFileBytes(dir.file("in.bmp"), bytes);
    return messageOf([&] { image.load(dir.file("in.bmp").string()); });
  }
  std::string save(const std::filesystem::path& path) {
    return messageOf([&] { image.save(path.string()); });
  }

  ScopedTempDir dir;
  BitmapImage image{"Base bitmap"};
};

TEST_F(BitmapImageTest, SaveReproducesTheLoadedFileByteForByte) {
  std::vector<BmpBuilder> files;
  for (int bits : {8, 24, 32}) {
    for (std::int32_t width = 1; width <= 7; ++width) {
      files.push_back(BmpBuilder(width, 3, bits).fillPattern(static_cast<std::uint32_t>(width)));
    }
    files.push_back(BmpBuilder(5, 2, bits).append(7));
    files.push_back(BmpBuilder(3, 2, bits, 108));
    files.push_back(BmpBuilder(3, 2, bits, 124));
    files.push_back(BmpBuilder(3, -2, bits));
  }
  // 32 bits whose colour masks say B, G, R, in a 108-byte header and after a 40-byte one.
  files.push_back(BmpBuilder(3, 2, 32, 108)
                      .setLe32(bmpCompressionField, 3)
                      .setLe32(54, 0xFF0000)
                      .setLe32(58, 0xFF00)
                      .setLe32(62, 0xFF));
  files.push_back(BmpBuilder(3, 2, 32, 52)
                      .setLe32(14, 40)
                      .setLe32(bmpCompressionField, 3)
                      .setLe32(54, 0xFF0000)
                      .setLe32(58, 0xFF00)
                      .setLe32(62, 0xFF));
  // Pixel offsets that point into the info header and into the colour table.
  files.push_back(BmpBuilder(2, 2, 24).setLe32(bmpPixelOffsetField, 20));
  files.push_back(BmpBuilder(2, 2, 8).setLe32(bmpPixelOffsetField, 54 + 16));

  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    const Bytes& original = files[i].bytes();
    ASSERT_EQ(load(original), "");
    EXPECT_TRUE(image.isLoaded());
    EXPECT_EQ(bytesOf(image), original);
    ASSERT_EQ(save(dir.file("out.bmp")), "");
    EXPECT_EQ(readFileBytes(dir.file("out.bmp")), original);
  }
}

TEST_F(BitmapImageTest, LoadTakesGeometryFromTheHeaders) {
  struct Case {
    int bits;
    std::int32_t width;
    std::int32_t height;
    std::int32_t stride;
  };
  const Case cases[] = {
      {24, 1, 2, 4},  {24, 2, 1, 8},  {24, 3, 1, 12}, {24, 4, 3, 12}, {24, 5, 1, 16},
      {24, 6, 1, 20}, {24, 7, 1, 24}, {8, 1, 1, 4},   {8, 4, 1, 4},   {8, 5, 2, 8},
      {8, 8, 1, 8},   {8, 9, 1, 12},  {24, 0, 2, 0},  {8, 3, -4, 4},  {32, 3, 2, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, width " + std::to_string(c.width));
    const BmpBuilder file(c.width, c.height, c.bits);
    ASSERT_EQ(load(file.bytes()), "");
    EXPECT_EQ(image.strideBytes(), c.stride);
    EXPECT_EQ(image.pixelWidth(), c.width);
    EXPECT_EQ(image.pixelHeight(), c.height);
    EXPECT_EQ(image.bytesPerPixelCount(), c.bits / 8);
    EXPECT_EQ(image.pixelArrayOffset(), c.bits == 8 ? 54 + 1024 : 54);
  }
}

TEST_F(BitmapImageTest, LoadChecksLengthSignatureCompressionBitCountSizeInThatOrder) {
  const auto file = [] { return BmpBuilder(4, 2, 24); }; // 54 + 2 * 12 = 78 bytes
  const auto expectLoad = [&](const char* what, const Bytes& bytes, const std::string& message) {
    SCOPED_TRACE(what);
    EXPECT_EQ(load(bytes), message.empty() ? "" : "Base bitmap: " + message);
    EXPECT_EQ(image.isLoaded(), message.empty());
  };
  const std::string invalid = "Invalid bitmap file.";
  const std::string unrecognized = "Unrecognized bitmap format.";
  const std::string compressed = "Compressed bitmaps not supported.";
  const std::string bitCount = "Only 24-BPP and 8-BPP bitmaps supported.";

  expectLoad("empty file", {}, invalid);
  expectLoad("53 bytes beginning with BM", file().truncate(53).bytes(), invalid);
  expectLoad("53 bytes of text", Bytes(53, 'x'), invalid);
  expectLoad("54 bytes of text", Bytes(54, 'x'), unrecognized);
  expectLoad("BA", file().setByte(1, 'A').bytes(), unrecognized);
  expectLoad("lower-case bm", file().setByte(0, 'b').setByte(1, 'm').bytes(), unrecognized);
  expectLoad("MB", file().setByte(0, 'M').setByte(1, 'B').bytes(), unrecognized);
  expectLoad("every test failing",
             file()
                 .setByte(0, 'X')
                 .setLe32(bmpCompressionField, 1)
                 .setLe16(bmpBitCountField, 4)
                 .truncate(54)
                 .bytes(),
             unrecognized);

  expectLoad("RLE8", file().setLe16(bmpBitCountField, 8).setLe32(bmpCompressionField, 1).bytes(),
             compressed);
  expectLoad("RLE4", file().setLe16(bmpBitCountField, 4).setLe32(bmpCompressionField, 2).bytes(),
             compressed);
  expectLoad("only the top byte set", file().setLe32(bmpCompressionField, 0x01000000).bytes(),
             compressed);
  expectLoad("compressed and short", file().setLe32(bmpCompressionField, 1).truncate(60).bytes(),
             compressed);
  const auto masks = [](std::uint32_t red, int bits) {
    return BmpBuilder(2, 2, bits, 108)
        .setLe32(bmpCompressionField, 3)
        .setLe32(54, red)
        .setLe32(58, 0xFF00)
        .setLe32(62, 0xFF)
        .bytes();
  };
  expectLoad("32 bits, the usual masks", masks(0xFF0000, 32), "");
  expectLoad("32 bits, other masks", masks(0xFF, 32), compressed);
  expectLoad("24 bits, the usual masks", masks(0xFF0000, 24), compressed);

  // 32 bits, once refused, load since PNG's RGBA came (BitmapImageTest.ThirtyTwoBitPixels).
  for (int bits : {16, 4, 1, 0, 0x0118}) {
    expectLoad(("bit count " + std::to_string(bits)).c_str(),
               file().setLe16(bmpBitCountField, static_cast<std::uint16_t>(bits)).bytes(),
               bitCount);
  }
  expectLoad("wrong bit count and short", file().setLe16(bmpBitCountField, 16).truncate(60).bytes(),
             bitCount);

  expectLoad("one byte short", file().truncate(77).bytes(), invalid);
  expectLoad("exact length", file().bytes(), "");
  expectLoad(
      "fields that are not read hold anything",
      file().setLe32(2, 0).setLe32(14, 0).setLe16(26, 0).setLe32(34, ~0U).setLe32(46, 999).bytes(),
      "");
}

TEST_F(BitmapImageTest, HeadersThatOverflowOrPointOutsideAreInvalid) {
  // A 2 by 2 bitmap with 64 bytes to spare, 134 bytes long (1150 at 8 bits), whose header says
  // other sizes.
  const auto saying = [](int bits, std::uint32_t width, std::uint32_t height,
                         std::uint32_t offset) {
    return BmpBuilder(2, 2, bits)
        .setLe32(bmpWidthField, width)
        .setLe32(bmpHeightField, height)
        .setLe32(bmpPixelOffsetField, offset)
        .append(64);
  };
  struct Case {
    const char* what;
    BmpBuilder file;
  };
  const Case cases[] = {
      {"3 * width overflows", BmpBuilder(4, 1, 24).setLe32(bmpWidthField, 0x2AAAAAAB)},
      {"width near the top", BmpBuilder(4, 1, 24).setLe32(bmpWidthField, 0x7FFFFFFF)},
      {"width + 3 overflows", BmpBuilder(4, 1, 8).setLe32(bmpWidthField, 0x7FFFFFFD)},
      {"stride * height wraps to 0", BmpBuilder(4, 4, 8).setLe32(bmpWidthField, 0x40000000)},
      {"stride * height wraps negative", BmpBuilder(4, 4, 8).setLe32(bmpWidthField, 0x20000000)},
      {"huge height", BmpBuilder(4, 2, 8).setLe32(bmpHeightField, 0x7FFFFFFF)},
      {"huge height, 24 bits", BmpBuilder(4, 2, 24).setLe32(bmpHeightField, 0x7FFFFFFF)},
      {"offset + size overflows", BmpBuilder(4, 2, 24).setLe32(bmpPixelOffsetField, 0x7FFFFFF0)},
      {"negative offset", BmpBuilder(4, 2, 24).setLe32(bmpPixelOffsetField, 0xFFFFFFF0)},
      {"offset cancelling the size", BmpBuilder(4, 2, 24).setLe32(bmpPixelOffsetField, 0xFFFFFFE8)},
      {"lowest offset", BmpBuilder(4, 2, 24).setLe32(bmpPixelOffsetField, 0x80000000)},
      // Each of the files below is long enough for what its header says once the arithmetic
      // wraps around in 32 bits, so only arithmetic that does not wrap refuses them.
      // 3 * width wraps to 2: rows of 4 bytes, the pixels end at byte 62.
      {"bytes per pixel times width", saying(24, 0x55555556, 2, 54)},
      // 3 * width is 0x7FFFFFFE; rounded up to a multiple of 4 it passes 2^31, and two such
      // rows wrap to 8 bytes at most.
      {"row bytes rounded up to a multiple of 4", saying(24, 0x2AAAAAAA, 2, 54)},
      // The same rounding at 8 bits.
      {"row bytes rounded up, 8 bits", saying(8, 0x7FFFFFFE, 2, 54)},
      // 0x10000 rows of 0x30000 bytes: 3 * 2^32 bytes, which wrap to 0.
      {"stride times height", saying(24, 0x10000, 0x10000, 54)},
      // 8 bytes of pixels from 0x7FFFFFFC end past 2^31, which wraps to a negative end.
      {"offset plus the pixel array", saying(24, 1, 2, 0x7FFFFFFC)},
      // These three overflow even a 64-bit product of stride and height; in 32 bits the pixels
      // end at byte -1, 54 and 54.
      {"every term at once", saying(24, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF)},
      {"stride times height past 64 bits", saying(24, 0x7FFFFFFF, 0x7E000002, 54)},
      {"both negative, past 64 bits", saying(24, 0x80000000, 0x80000000, 54)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(load(c.file.bytes()), "Base bitmap: Invalid bitmap file.");
    EXPECT_FALSE(image.isLoaded());
  }
}

TEST_F(BitmapImageTest, FileLongerThanInt32IsInvalid) {
  // Sparse files: the sizes cost no disk space. Cut to 32 bits, the first would look like a
  // good 1000-byte file.
  for (std::uintmax_t length : {(std::uintmax_t{1} << 32) + 1000, std::uintmax_t{1} << 31}) {
    SCOPED_TRACE(length);
    BmpBuilder(4, 2, 24).writeTo(dir.file("big.bmp"));
    std::filesystem::resize_file(dir.file("big.bmp"), length);
    EXPECT_EQ(messageOf([&] { image.load(dir.file("big.bmp").string()); }),
              "Base bitmap: Invalid bitmap file.");
    EXPECT_FALSE(image.isLoaded());
  }
}

TEST_F(BitmapImageTest, ShortReadIsAReadError) {
  // Sysfs reports 4096 bytes but delivers only a few.
  const std::filesystem::path sysfsFile = "/sys/devices/system/cpu/online";
  if (!std::filesystem::exists(sysfsFile)) {
    GTEST_SKIP() << "no " << sysfsFile;
  }
  EXPECT_EQ(messageOf([&] { image.load(sysfsFile.string()); }), "Base bitmap: Error reading file.");
  EXPECT_FALSE(image.isLoaded());
}

// A file that another program rewrites while it is read is read again, so that the image is one
// version the file really held; one that keeps changing is a read error. A rewrite of the same
// length is seen by its change of time.
TEST_F(BitmapImageTest, FileRewrittenDuringTheReadIsReadAgainOrRefused) {
  struct Case {
    int rewrites;
    bool sameLength;
    std::string message; // empty: the last version loads
  };
  static std::filesystem::path file;
  static int rewritesLeft = 0;
  static std::vector<Bytes> versions;
  static std::size_t version = 0;
  file = dir.file("in.bmp");
  for (const Case& c : {Case{1, false, ""}, Case{3, false, ""}, Case{2, true, ""},
                        Case{100, false, "Base bitmap: Error reading file."}}) {
    SCOPED_TRACE(::testing::Message()
                 << c.rewrites << " rewrites" << (c.sameLength ? " of the same length" : ""));
    versions = {BmpBuilder(4, 2, 24).fillPattern(1).bytes(),
                BmpBuilder(c.sameLength ? 4 : 6, 3, 24).fillPattern(2).bytes()};
    version = 0;
    rewritesLeft = c.rewrites;
    writeFileBytes(file, versions[0]);
    afterFileReadForTesting = [](const std::string&) {
      if (rewritesLeft > 0) {
        --rewritesLeft;
        version = 1 - version;
        const auto written = std::filesystem::last_write_time(file);
        writeFileBytes(file, versions[version]);
        std::filesystem::last_write_time(file, written + std::chrono::seconds(1));
      }
    };
    EXPECT_EQ(messageOf([&] { image.load(file.string()); }), c.message);
    afterFileReadForTesting = nullptr;
    EXPECT_EQ(image.isLoaded(), c.message.empty());
    if (c.message.empty()) {
      EXPECT_EQ(bytesOf(image), versions[version]);
    }
  }
}

TEST_F(BitmapImageTest, MessagesCarryTheDisplayName) {
  BitmapImage patch("Patch bitmap");
  EXPECT_EQ(patch.name(), "Patch bitmap");
  EXPECT_EQ(messageOf([&] { patch.save(dir.file("out.bmp").string()); }),
            "Patch bitmap: Not loaded.");
  EXPECT_EQ(messageOf([&] { patch.load(dir.file("missing.bmp").string()); }),
            "Patch bitmap: Error opening file.");
  writeFileBytes(dir.file("rle.bmp"), BmpBuilder(4, 2, 8).setLe32(bmpCompressionField, 1).bytes());
  EXPECT_EQ(messageOf([&] { patch.load(dir.file("rle.bmp").string()); }),
            "Patch bitmap: Compressed bitmaps not supported.");
  EXPECT_EQ(messageOf([&] { patch.requireLoaded(); }), "Patch bitmap: Not loaded.");
}

TEST_F(BitmapImageTest, FailedLoadLeavesItNotLoadedEvenIfLoadedBefore) {
  const Bytes good = BmpBuilder(3, 3, 24).bytes();
  const auto expectNotLoadedAfter = [&](const Bytes& bytes, const std::string& message) {
    SCOPED_TRACE(message);
    ASSERT_EQ(load(good), "");
    EXPECT_EQ(load(bytes), message);
    EXPECT_FALSE(image.isLoaded());
    EXPECT_TRUE(image.fileBytes().empty());
    EXPECT_EQ(save(dir.file("out.bmp")), "Base bitmap: Not loaded.");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
  };
  expectNotLoadedAfter(Bytes(10, 'B'), "Base bitmap: Invalid bitmap file.");
  expectNotLoadedAfter(BmpBuilder(3, 3, 24).setLe32(bmpCompressionField, 1).bytes(),
                       "Base bitmap: Compressed bitmaps not supported.");
  expectNotLoadedAfter(BmpBuilder(3, 3, 24).truncate(60).bytes(),
                       "Base bitmap: Invalid bitmap file.");

  ASSERT_EQ(load(good), "");
  EXPECT_EQ(messageOf([&] { image.load(dir.file("missing.bmp").string()); }),
            "Base bitmap: Error opening file.");
  EXPECT_FALSE(image.isLoaded());
}

TEST_F(BitmapImageTest, TileLayoutSurvivesLoadsAndUnloads) {
  const TileLayout defaults{0, 0, 1, 0, 0, 0, 1, 0};
  EXPECT_EQ(image.tileLayout(), defaults);

  const TileLayout custom{1, 2, 3, 4, 5, 6, 7, 8};
  image.setTileLayout(custom);
  ASSERT_EQ(load(BmpBuilder(3, 3, 24).bytes()), "");
  EXPECT_EQ(image.tileLayout(), custom);
  EXPECT_NE(load(Bytes(60, 'x')), "");
  EXPECT_EQ(image.tileLayout(), custom);
  ASSERT_EQ(load(BmpBuilder(3, 3, 8).bytes()), "");
  image.unload();
  EXPECT_EQ(image.tileLayout(), custom);
}

TEST_F(BitmapImageTest, UnloadReleasesTheImageAndIsHarmlessTwice) {
  image.unload();
  EXPECT_FALSE(image.isLoaded());
  ASSERT_EQ(load(BmpBuilder(3, 3, 24).bytes()), "");
  image.unload();
  EXPECT_FALSE(image.isLoaded());
  EXPECT_TRUE(image.fileBytes().empty());
  image.unload();
  EXPECT_FALSE(image.isLoaded());
}

TEST_F(BitmapImageTest, SaveWritesTheMemoryCopyNotTheFileOnDisk) {
  const Bytes original = BmpBuilder(5, 3, 24).append(3).bytes();
  ASSERT_EQ(load(original), "");
  writeFileBytes(dir.file("in.bmp"), BmpBuilder(2, 2, 8).bytes());
  ASSERT_EQ(save(dir.file("out.bmp")), "");
  EXPECT_EQ(readFileBytes(dir.file("out.bmp")), original);

  // Over its own source file, and over a longer file, which is emptied first.
  ASSERT_EQ(save(dir.file("in.bmp")), "");
  EXPECT_EQ(readFileBytes(dir.file("in.bmp")), original);
  writeFileBytes(dir.file("long.bmp"), Bytes(500, 'z'));
  ASSERT_EQ(save(dir.file("long.bmp")), "");
  EXPECT_EQ(readFileBytes(dir.file("long.bmp")), original);
}

TEST_F(BitmapImageTest, SaveFailuresLeaveTheImageLoaded) {
  const Bytes original = BmpBuilder(3, 2, 8).bytes();
  ASSERT_EQ(load(original), "");
  EXPECT_EQ(save(dir.file("no-such-dir/out.bmp")), "Base bitmap: Error creating file.");
  // The device accepts the open and refuses the data, when the buffer is flushed at the latest.
  EXPECT_EQ(save("/dev/full"), "Base bitmap: Error writing file.");
  EXPECT_TRUE(image.isLoaded());
  EXPECT_EQ(bytesOf(image), original);
}

} // namespace
} // namespace tilegraft
