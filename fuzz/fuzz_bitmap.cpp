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
using tilegraft::fuzzing::finding;
using tilegraft::fuzzing::layouts;
using tilegraft::fuzzing::loadsOrIsRefused;
using tilegraft::fuzzing::mergeAll;
using tilegraft::fuzzing::tryMerge;

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
  if (!loadsOrIsRefused(image, names.input, freeDescriptor)) {
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
