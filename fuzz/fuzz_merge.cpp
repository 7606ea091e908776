// The fast merges against the slow reference of the test suite. The input chooses two small
// bitmaps of one depth, their tile layouts, one merge line with small counts and, for a keyed
// copy, the patch's key colour (one of its pixels'), then a tile operation on the base after the
// merge; the bytes of the destination and the message, if any, must be those of the reference,
// copy for copy.

#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/merge_model.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace fuzzing = tilegraft::fuzzing;
using tilegraft::BitmapImage;
using tilegraft::MergeOperator;
using tilegraft::ScriptError;
using tilegraft::TileLayout;
using tilegraft::testing::MergeLine;
using tilegraft::testing::ModelBitmap;

// Hands out the input's bytes one at a time, zeros once they are used up.
class InputBytes {
public:
  InputBytes(const std::uint8_t* bytes, std::size_t length) : data(bytes), size(length) {}

  std::uint8_t next() { return used < size ? data[used++] : 0; }
  // A small number, -4 to 11, so that most blocks land on or near the bitmaps.
  std::int32_t small() { return static_cast<std::int32_t>(next() % 16) - 4; }

private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t used = 0;
};

TileLayout readLayout(InputBytes& input, std::int32_t tileWidth, std::int32_t tileHeight) {
  TileLayout layout;
  layout.xOrigin = input.small();
  layout.xBorderBefore = input.small() / 3;
  layout.tileWidth = tileWidth;
  layout.xBorderAfter = input.small() / 3;
  layout.yOrigin = input.small();
  layout.yBorderBefore = input.small() / 3;
  layout.tileHeight = tileHeight;
  layout.yBorderAfter = input.small() / 3;
  return layout;
}

const std::string& workDirectory() {
  static const std::string directory = fuzzing::makeWorkDirectory();
  return directory;
}

void loadInto(BitmapImage& image, const fuzzing::Bytes& bytes, const std::string& name) {
  const std::string path = workDirectory() + "/" + name;
  fuzzing::writeFile(path, bytes);
  image.load(path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputBytes input(data, size);
  const int bits = input.next() % 2 == 0 ? 8 : 24;
  const std::int32_t baseWidth = input.next() % 9 + 1;
  const std::int32_t baseHeight = input.next() % 9 + 1;
  const std::int32_t patchWidth = input.next() % 9 + 1;
  const std::int32_t patchHeight = input.next() % 9 + 1;
  // Equal tile sizes most of the time, so that tile merges get past the compatibility test.
  const std::int32_t tileWidth = input.small();
  const std::int32_t tileHeight = input.small();
  const std::uint8_t sizes = input.next();
  const TileLayout baseLayout = readLayout(input, tileWidth, tileHeight);
  const std::int32_t patchTileWidth = sizes < 32 ? input.small() : tileWidth;
  const std::int32_t patchTileHeight = sizes < 32 ? input.small() : tileHeight;
  const TileLayout patchLayout = readLayout(input, patchTileWidth, patchTileHeight);

  MergeLine line;
  line.tiles = input.next() % 2 == 1;
  line.op = static_cast<MergeOperator>(input.next() % 5);
  line.x = input.small();
  line.y = input.small();
  line.sourceX = input.small();
  line.sourceY = input.small();
  line.width = input.small();
  line.height = input.small();
  line.across = input.small();
  line.down = input.small();

  const fuzzing::Bytes baseBytes = fuzzing::smallBitmap(baseWidth, baseHeight, bits, 1);
  const fuzzing::Bytes patchBytes = fuzzing::smallBitmap(patchWidth, patchHeight, bits, 2);
  BitmapImage base("Base bitmap");
  BitmapImage patch("Patch bitmap");
  loadInto(base, baseBytes, "base.bmp");
  loadInto(patch, patchBytes, "patch.bmp");
  base.setTileLayout(baseLayout);
  patch.setTileLayout(patchLayout);

  ModelBitmap expected("Base bitmap", baseBytes, baseLayout);
  ModelBitmap source("Patch bitmap", patchBytes, patchLayout);
  // A key byte of 0 leaves the patch without a key.
  if (const std::uint8_t keyByte = input.next(); keyByte != 0) {
    const std::size_t at = source.pixelAt(keyByte % patchWidth, keyByte / 16 % patchHeight);
    source.key.assign(patchBytes.begin() + static_cast<std::ptrdiff_t>(at),
                      patchBytes.begin() + static_cast<std::ptrdiff_t>(at) + bits / 8);
    const std::vector<std::int32_t> values(source.key.begin(), source.key.end());
    patch.setKeyColour(values);
  }
  const std::uint8_t operation = input.next();
  const std::int32_t reach = input.small();

  std::string message = realMerge(base, patch, line);
  std::string expectedMessage = tilegraft::testing::modelMerge(expected, source, line);
  const auto differs = [&](const char* what) {
    const auto bytes = base.fileBytes();
    if (message != expectedMessage ||
        !std::equal(bytes.begin(), bytes.end(), expected.file.begin(), expected.file.end())) {
      std::fprintf(stderr, "%s differs from the reference: message \"%s\", expected \"%s\"\n", what,
                   message.c_str(), expectedMessage.c_str());
      std::abort();
    }
  };
  differs("merge");

  const bool wholeBitmap = (operation & 4U) != 0;
  message.clear();
  try {
    switch (operation % 4) {
    case 1:
      expectedMessage = tilegraft::testing::modelExtrude(expected, reach);
      base.extrudeTiles(reach);
      break;
    case 2:
      expectedMessage = tilegraft::testing::modelMirror(expected, wholeBitmap);
      base.mirrorTiles(wholeBitmap);
      break;
    case 3:
      expectedMessage = tilegraft::testing::modelFlip(expected, wholeBitmap);
      base.flipTiles(wholeBitmap);
      break;
    default:
      return 0;
    }
  } catch (const ScriptError& error) {
    message = error.message();
  }
  differs("tile operation");
  return 0;
}
