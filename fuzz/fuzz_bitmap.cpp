// Arbitrary bytes as a bitmap file. Whatever loads must save back byte for byte and take part in
// pixel and tile merges, as destination and as source, with every operator; anything else must
// be refused with a ScriptError.

#include "bitmap/bitmap_image.h"
#include "bitmap/png_codec.h"
#include "common/script_error.h"
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using tilegraft::BitmapImage;
using tilegraft::MergeOperator;
using tilegraft::MergeRepeats;
using tilegraft::ScriptError;
using tilegraft::TileLayout;

struct Files {
  std::string input;
  std::string output;
  std::string partner8;
  std::string partner24;
};

const Files& files() {
  static const Files names = [] {
    const std::string directory = tilegraft::fuzzing::makeWorkDirectory();
    Files made{directory + "/input.bmp", directory + "/output.bmp", directory + "/small8.bmp",
               directory + "/small24.bmp"};
    tilegraft::fuzzing::writeFile(made.partner8, tilegraft::fuzzing::smallBitmap(5, 4, 8, 1));
    tilegraft::fuzzing::writeFile(made.partner24, tilegraft::fuzzing::smallBitmap(3, 6, 24, 2));
    return made;
  }();
  return names;
}

// Layouts that exercise coalescing in both axes and in one axis only, a pitch of 0 (every tile on
// the pixel at (0, 0)) and a negative pitch.
const TileLayout layouts[] = {
    {0, 0, 1, 0, 0, 0, 1, 0},     {0, 0, 2, 0, 0, 0, 2, 0},   {1, 1, 2, 1, 0, 0, 2, 0},
    {1, -1, 2, -1, 1, -1, 2, -1}, {-3, 0, 2, 0, 6, 1, 2, -5},
};

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// Returns the message of the refusal, or an empty text when the merge went through. A pixel merge
// of one copy checks everything before it changes a byte, so a refused one must change nothing.
std::string tryMerge(bool tiles, MergeOperator op, BitmapImage& destination,
                     const BitmapImage& source, std::int32_t at, std::int32_t size,
                     MergeRepeats repeats) {
  const bool oneCopy = !tiles && repeats.across == 1 && repeats.down == 1;
  std::vector<std::uint8_t> before;
  if (oneCopy) {
    before.assign(destination.fileBytes().begin(), destination.fileBytes().end());
  }
  try {
    if (tiles) {
      destination.mergeTiles(op, at, at, source, 0, 0, size, size, repeats);
    } else {
      destination.mergePixels(op, at, at, source, 0, 0, size, size, repeats);
    }
  } catch (const ScriptError& error) {
    if (oneCopy && !std::equal(before.begin(), before.end(), destination.fileBytes().begin(),
                               destination.fileBytes().end())) {
      finding("a refused pixel merge changed the destination");
    }
    return error.message();
  }
  return {};
}

// The tile operations on the loaded file and a canvas made from it, whose bytes must load again.
void tileOperationsOn(BitmapImage& loadedImage) {
  for (const TileLayout& layout : layouts) {
    loadedImage.setTileLayout(layout);
    for (const std::int32_t reach : {1, 2, 0}) {
      try {
        loadedImage.extrudeTiles(reach);
      } catch (const ScriptError&) {
      }
    }
    for (const bool wholeBitmap : {false, true}) {
      try {
        loadedImage.mirrorTiles(wholeBitmap);
        loadedImage.flipTiles(wholeBitmap);
      } catch (const ScriptError&) {
      }
    }
  }
  // A canvas fails only where the operations above wrote over headers that the pixels overlap,
  // and then leaves the bitmap as it was.
  BitmapImage canvas("Base bitmap");
  try {
    canvas.makeCanvas(loadedImage, 3, 2, std::vector<std::int32_t>{1});
  } catch (const ScriptError&) {
    if (canvas.isLoaded() || loadedImage.pixelArrayOffset() >= 54) {
      finding("a canvas of a loaded bitmap failed");
    }
    return;
  }
  BitmapImage again("Base bitmap");
  again.loadCopy(canvas.fileBytes());
}

void mergeAll(BitmapImage& loadedImage, BitmapImage& partner) {
  const std::int32_t sizes[] = {1, 2, 0, -1, 7};
  const MergeRepeats repeatList[] = {{1, 1}, {3, 2}, {2147483647, 2147483647}};
  int round = 0;
  for (const TileLayout& layout : layouts) {
    loadedImage.setTileLayout(layout);
    partner.setTileLayout(layout);
    for (const std::int32_t size : sizes) {
      const MergeRepeats repeats = repeatList[round % 3];
      const auto op = static_cast<MergeOperator>(round % 5);
      ++round;
      for (const bool tiles : {false, true}) {
        tryMerge(tiles, op, loadedImage, partner, round % 3, size, repeats);
        tryMerge(tiles, op, partner, loadedImage, 0, size, repeats);
      }
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Files& names = files();
  const std::vector<std::uint8_t> input(data, data + size);
  // A PNG file loads as the BMP file of its pixels, not byte for byte: fuzz_png takes those.
  if (tilegraft::isPngSignature(input)) {
    return 0;
  }
  tilegraft::fuzzing::writeFile(names.input, input);

  // The fuzzer itself opens and closes files between runs, so the baseline is taken afresh.
  const int freeDescriptor = tilegraft::fuzzing::lowestFreeDescriptor();
  BitmapImage image("Base bitmap");
  try {
    image.load(names.input);
  } catch (const ScriptError&) {
    if (tilegraft::fuzzing::lowestFreeDescriptor() != freeDescriptor) {
      finding("a failed load left its file open");
    }
    return 0;
  }

  image.save(names.output);
  if (tilegraft::fuzzing::readFile(names.output) != input) {
    finding("a loaded bitmap did not save back byte for byte");
  }

  BitmapImage partner("Patch bitmap");
  partner.load(image.bytesPerPixelCount() == 1 ? names.partner8 : names.partner24);
  partner.setKeyColour(std::vector<std::int32_t>{0});
  mergeAll(image, partner);
  // A partner of the other depth must be refused in both directions.
  BitmapImage other("Patch bitmap");
  other.load(image.bytesPerPixelCount() == 1 ? names.partner24 : names.partner8);
  if (tryMerge(false, MergeOperator::copy, image, other, 0, 1, {}) !=
          "Base bitmap: Bitmaps are incompatible." ||
      tryMerge(true, MergeOperator::copy, other, image, 0, 1, {}) !=
          "Patch bitmap: Bitmaps are incompatible.") {
    finding("bitmaps of different depths were not refused");
  }
  tileOperationsOn(image);
  if (tilegraft::fuzzing::lowestFreeDescriptor() != freeDescriptor) {
    finding("a load or save left its file open");
  }
  return 0;
}
