// Arbitrary bytes as a PNG file, check values ignored so that mutations reach the decoder.
// Whatever loads must save as PNG and load back to the same pixels and colour table, save as BMP
// with the same pixels or be refused for its transparency, and take pixel and tile merges both
// ways with a bitmap of its depth; anything else must be refused with a ScriptError, leaving no
// file open.

#include "bitmap/bitmap_image.h"
#include "bitmap/png_codec.h"
#include "common/script_error.h"
#include "fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using tilegraft::BitmapImage;
using tilegraft::ScriptError;
using tilegraft::fuzzing::finding;
using tilegraft::fuzzing::loadsOrIsRefused;

struct Files {
  std::string input;
  std::string png;
  std::string bmp;
  std::string partners[5]; // by bytes per pixel
};

const Files& files() {
  static const Files names = [] {
    tilegraft::pngChecksumsForTesting = false;
    const std::string directory = tilegraft::fuzzing::makeWorkDirectory();
    Files made{directory + "/input.png", directory + "/output.png", directory + "/output.bmp", {}};
    for (const int bytes : {1, 3, 4}) {
      made.partners[bytes] = directory + "/partner" + std::to_string(bytes) + ".bmp";
      tilegraft::fuzzing::writeFile(made.partners[bytes],
                                    tilegraft::fuzzing::smallBitmap(3, 4, 8 * bytes, 5));
    }
    return made;
  }();
  return names;
}

// The pixels, top row first, whichever way the file stores its rows (a top-down BMP saved as PNG
// comes back bottom-up). A top-down file's rows may run past its end, which loads accept: the
// rows that are there.
std::vector<std::uint8_t> rowsOf(const BitmapImage& image) {
  std::vector<std::uint8_t> rows;
  const std::int64_t rowBytes = std::int64_t{image.pixelWidth()} * image.bytesPerPixelCount();
  const std::int64_t stride = (rowBytes + 3) / 4 * 4;
  const std::int64_t height = image.pixelHeight();
  const auto fileLength = static_cast<std::int64_t>(image.fileBytes().size());
  for (std::int64_t y = 0; y < (height < 0 ? -height : height); ++y) {
    const std::int64_t stored = height < 0 ? y : height - 1 - y;
    if (image.pixelArrayOffset() + stored * stride + rowBytes > fileLength) {
      break;
    }
    const std::uint8_t* row = image.fileBytes().data() + image.pixelArrayOffset() + stored * stride;
    rows.insert(rows.end(), row, row + rowBytes);
  }
  return rows;
}

// Saves under the name and loads it again: false when the save was refused with the message.
bool saveAndReload(const BitmapImage& image, const std::string& name, const char* refusal,
                   BitmapImage& again) {
  try {
    image.save(name);
  } catch (const ScriptError& error) {
    if (error.message() != std::string("Base bitmap: ") + refusal) {
      finding(("an unexpected refusal of a save: " + error.message()).c_str());
    }
    return false;
  }
  again.load(name);
  if (rowsOf(again) != rowsOf(image)) {
    finding("a saved bitmap loaded back with other pixels");
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Files& names = files();
  tilegraft::fuzzing::writeFile(names.input, std::vector<std::uint8_t>(data, data + size));
  const int freeDescriptor = tilegraft::fuzzing::lowestFreeDescriptor();
  BitmapImage image("Base bitmap");
  if (!loadsOrIsRefused(image, names.input, freeDescriptor)) {
    return 0;
  }
  // A bitmap without pixels has no rows to compare, and round trips of a large image (top-down
  // ones too) only measure time: for both, the load was the test.
  const std::int64_t rows = image.pixelHeight();
  if (image.pixelWidth() <= 0 || (std::int64_t{image.pixelWidth()} + 1) *
                                         (rows < 0 ? -rows : rows) * image.bytesPerPixelCount() >
                                     (std::int64_t{1} << 20)) {
    return 0;
  }
  BitmapImage again("Again");
  // An index past a damaged file's palette has no PNG to go to.
  // Only a PNG keeps its palette as it is: a BMP's table is padded with black for indices past it.
  const bool loadedPng = size >= 4 && data[0] == 0x89 && data[1] == 'P' && data[2] == 'N';
  if (saveAndReload(image, names.png, "PNG cannot hold the bitmap.", again) && loadedPng) {
    const auto palette = image.paletteBytes();
    const auto reloaded = again.paletteBytes();
    if (!std::equal(palette.begin(), palette.end(), reloaded.begin(), reloaded.end())) {
      finding("a PNG saved from a PNG changed its palette");
    }
  }
  saveAndReload(image, names.bmp, "BMP cannot hold the bitmap.", again);

  BitmapImage partner("Patch bitmap");
  partner.load(names.partners[image.bytesPerPixelCount()]);
  tilegraft::fuzzing::mergeAll(image, partner);
  if (tilegraft::fuzzing::lowestFreeDescriptor() != freeDescriptor) {
    finding("a load or save left its file open");
  }
  return 0;
}
