#include "bitmap/png_codec.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft {
namespace {

using testing::Bytes;
using testing::readFileBytes;
using testing::RunOptions;
using testing::ScopedTempDir;
using testing::writeFileBytes;
using testing::writeTextFile;

// Pillow, the independent reader and writer: writes each case's PNG with its chunks (name.png),
// the pixels as the tool lays them out, top row first (name.raw), and checks a PNG the codec
// wrote (check.py NAME FILE INTERLACED): the same pixels, mode and chunks but the image data.
constexpr std::string_view pillowScript = R"(import struct, sys, zlib
from PIL import Image, PngImagePlugin
def chunks(path):
    data, at, out = open(path, 'rb').read(), 8, []
    while at < len(data):
        n = struct.unpack('>I', data[at:at + 4])[0]
        out.append(data[at:at + 12 + n]); at += 12 + n
    return out
def raw(im):
    if im.mode in ('P', 'L'): return im.tobytes()
    if im.mode == '1': return im.convert('L').point(lambda v: v // 255).tobytes()
    b = im.tobytes(); size = len(im.mode)
    return b''.join(b[i:i + size][2::-1] + b[i + 3:i + size] for i in range(0, len(b), size))
def make(name, mode, bits, w, h):
    colours = 1 << bits
    im = Image.new('L' if mode == 'P' else mode, (w, h))
    im.putdata([(x * 7 + y * 13) % colours if mode in ('P', 'L', '1') else
                tuple((x * 7 + y * 13 + c * 50) % 256 for c in range(len(mode)))
                for y in range(h) for x in range(w)])
    if mode == 'P':
        im = im.convert('P')
        im.putpalette([(i * 37 + c * 91) % 256 for i in range(colours) for c in range(3)])
    info = PngImagePlugin.PngInfo()
    info.add_text('Title', name)
    info.add(b'zzAf', b'after', after_idat=True)
    extra = {'P': {'transparency': bytes([0, 128])}, 'L': {'transparency': 3},
             'RGB': {'transparency': (1, 2, 3)}}.get(mode, {})
    if mode == 'P': extra['bits'] = bits
    im.save(name + '.png', pnginfo=info, dpi=(72, 96), **extra)
    if mode == 'P':  # a stray palette after the image data, kept where it is
        data = open(name + '.png', 'rb').read(); at = data.index(b'zzAf') - 4
        stray = b'PLTE' + bytes(6)
        stray = struct.pack('>I', 6) + stray + struct.pack('>I', zlib.crc32(stray))
        open(name + '.png', 'wb').write(data[:at] + stray + data[at:])
    open(name + '.raw', 'wb').write(raw(Image.open(name + '.png')))
if sys.argv[1] == 'check':
    name, path, interlaced = sys.argv[2], sys.argv[3], sys.argv[4] == '1'
    a, b = Image.open(name + '.png'), Image.open(path)
    assert a.mode == b.mode, (a.mode, b.mode)
    assert raw(b) == open(name + '.raw', 'rb').read(), 'pixels differ'
    assert b.info.get('interlace', 0) == interlaced, 'interlacing'
    keep = lambda p: [c for c in chunks(p) if c[4:8] not in (b'IHDR', b'IDAT')]
    assert keep(name + '.png') == keep(path), 'chunks differ'
    assert chunks(name + '.png')[0][16:17] == chunks(path)[0][16:17], 'bit depth'
else:
    make(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
)";

class PngCodecTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!pngSupported()) {
      GTEST_SKIP() << "built without libspng";
    }
    writeTextFile(dir.file("pillow.py"), pillowScript);
    // The first python3 on the path that has Pillow.
    const testing::ToolRun probe = shell("for p in $(which -a python3); do \"$p\" -c 'import PIL' "
                                         "2> /dev/null && echo \"$p\" && exit 0; done; exit 1");
    if (probe.exitStatus != 0) {
      GTEST_SKIP() << "no python3 with Pillow (python3-pil) to check the PNG files against";
    }
    pythonPath = probe.standardOutput.substr(0, probe.standardOutput.find('\n'));
  }
  testing::ToolRun shell(const std::string& command) {
    RunOptions options;
    options.throughShell = true;
    return testing::runTool(dir.path(), {command}, options);
  }
  testing::ToolRun python(const std::string& arguments) {
    return shell("'" + pythonPath + "' " + arguments);
  }

  ScopedTempDir dir;
  std::string pythonPath;
};

struct Decoded {
  PngLayout layout;
  Bytes pixels;
  std::string problem;
};

Decoded decode(const Bytes& file) {
  Decoded result;
  if (const auto problem = readPngLayout(file, result.layout)) {
    result.problem = problem->message;
    return result;
  }
  const auto rowBytes =
      std::size_t{result.layout.width} * static_cast<std::size_t>(result.layout.bytesPerPixel());
  result.pixels.resize(rowBytes * result.layout.height);
  if (const auto problem = decodePngPixels(file, result.layout, result.pixels.data(),
                                           static_cast<std::ptrdiff_t>(rowBytes))) {
    result.problem = problem->message;
  }
  return result;
}

Bytes encode(const Decoded& decoded, const PngLayout* kept) {
  PngPixels pixels;
  pixels.topRow = decoded.pixels.data();
  pixels.width = decoded.layout.width;
  pixels.height = decoded.layout.height;
  pixels.bytesPerPixel = decoded.layout.bytesPerPixel();
  pixels.rowStep = pixels.width * pixels.bytesPerPixel;
  Bytes out;
  const auto problem = encodePng(pixels, kept, out);
  EXPECT_FALSE(problem) << problem->message << problem->explanation;
  return out;
}

// Each colour type and depth, with odd sizes, from Pillow with tEXt, pHYs, tRNS and chunks after
// the image data (a stray palette among them): decoded to exactly Pillow's pixels, then written
// back plain and interlaced, and read again by Pillow and by the codec.
TEST_F(PngCodecTest, EveryKindRoundTripsWithItsChunksInOrder) {
  struct Row {
    const char* mode;
    int bits;
    int width;
    int height;
  };
  for (const Row row : {Row{"P", 1, 13, 7}, Row{"P", 2, 9, 5}, Row{"P", 4, 33, 3},
                        Row{"P", 8, 17, 9}, Row{"L", 8, 11, 4}, Row{"1", 1, 19, 3},
                        Row{"RGB", 8, 7, 5}, Row{"RGBA", 8, 5, 6}, Row{"RGB", 8, 1, 1}}) {
    const std::string name =
        std::string(row.mode) + std::to_string(row.bits) + "_" + std::to_string(row.width);
    SCOPED_TRACE(name);
    ASSERT_EQ(python("pillow.py " + name + " " + row.mode + " " + std::to_string(row.bits) + " " +
                     std::to_string(row.width) + " " + std::to_string(row.height))
                  .exitStatus,
              0);
    const Decoded decoded = decode(readFileBytes(dir.file(name + ".png")));
    ASSERT_EQ(decoded.problem, "");
    EXPECT_EQ(decoded.pixels, readFileBytes(dir.file(name + ".raw")));
    for (const bool interlaced : {false, true}) {
      PngLayout kept = decoded.layout;
      kept.interlaced = interlaced;
      const Bytes written = encode(decoded, &kept);
      writeFileBytes(dir.file("out.png"), written);
      const testing::ToolRun check =
          python("pillow.py check " + name + " out.png " + (interlaced ? "1" : "0"));
      EXPECT_EQ(check.exitStatus, 0) << "interlaced " << interlaced << ": " << check.standardError;
      const Decoded again = decode(written);
      EXPECT_EQ(again.layout.interlaced, interlaced);
      EXPECT_EQ(again.pixels, decoded.pixels) << "interlaced " << interlaced;
    }
  }
}

// An index past the depth raises it; one past the palette, or a grey past the depth, is refused.
TEST_F(PngCodecTest, DepthGrowsOnlyAsFarAsTheIndicesNeed) {
  ASSERT_EQ(python("pillow.py p2 P 2 6 2").exitStatus, 0);
  ASSERT_EQ(python("pillow.py g1 1 1 6 2").exitStatus, 0);
  Decoded palette = decode(readFileBytes(dir.file("p2.png")));
  palette.layout.palette.resize(3 * 16);
  palette.pixels[0] = 9;
  const Bytes grown = encode(palette, &palette.layout);
  EXPECT_EQ(grown[24], 4); // the header's bit depth
  EXPECT_EQ(decode(grown).pixels, palette.pixels);

  palette.pixels[0] = 20;
  PngPixels pixels{palette.pixels.data(), 6, 6, 2, 1, {}};
  Bytes out;
  EXPECT_EQ(encodePng(pixels, &palette.layout, out)->message, "PNG cannot hold the bitmap.");
  Decoded grey = decode(readFileBytes(dir.file("g1.png")));
  grey.pixels[0] = 2;
  pixels.topRow = grey.pixels.data();
  EXPECT_EQ(encodePng(pixels, &grey.layout, out)->message, "PNG cannot hold the bitmap.");
  // Without a kept layout (a BMP's pixels) the table grows to the highest index, black.
  const Bytes table{1, 2, 3, 0, 4, 5, 6, 0};
  pixels.bmpColourTable = table;
  pixels.topRow = palette.pixels.data();
  ASSERT_FALSE(encodePng(pixels, nullptr, out));
  const Decoded fromBmp = decode(out);
  EXPECT_EQ(fromBmp.layout.palette.size(), 3U * 21);
  EXPECT_EQ(Bytes(fromBmp.layout.palette.begin(), fromBmp.layout.palette.begin() + 9),
            (Bytes{3, 2, 1, 6, 5, 4, 0, 0, 0}));
}

TEST_F(PngCodecTest, RefusesWhatItDoesNotEditAndSaysHowToConvert) {
  ASSERT_EQ(python("-c \"from PIL import Image; Image.new('I;16', (3, 2)).save('i16.png'); "
                   "Image.new('LA', (3, 2)).save('la.png')\"")
                .exitStatus,
            0);
  for (const char* name : {"i16.png", "la.png"}) {
    PngLayout layout;
    const auto problem = readPngLayout(readFileBytes(dir.file(name)), layout);
    ASSERT_TRUE(problem) << name;
    EXPECT_EQ(problem->message, "Unsupported PNG image.");
    EXPECT_NE(problem->explanation.find("PNG32:out.png"), std::string::npos);
  }
  ASSERT_EQ(python("pillow.py rgb RGB 8 40 40").exitStatus, 0);
  Bytes cut = readFileBytes(dir.file("rgb.png"));
  cut.resize(cut.size() / 2);
  EXPECT_EQ(decode(cut).problem, "Invalid bitmap file.");
}

} // namespace
} // namespace tilegraft
