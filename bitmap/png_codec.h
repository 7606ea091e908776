#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tilegraft {

// The one adapter between the tool and the PNG library (libspng): PNG file bytes in, pixels in
// the tool's own layout out, and back. No file is opened here; the bytes come from and go to
// the file image and the file writer.
//
// Pixels in memory are those of a BMP file: 1 byte (a palette index or a grey value), 3 (B, G, R)
// or 4 (B, G, R, A), rows `rowStep` bytes apart from the top row (a negative step walks a
// bottom-first image upwards), so that merges and canvases work the same on both formats.

// True when the tool was built with the PNG library.
bool pngSupported();
// The library and its version, or why there is none, for --help and messages.
std::string pngLibraryName();

// True when the bytes begin with the PNG signature.
bool isPngSignature(std::span<const std::uint8_t> bytes);

// A refusal: a one-line message and the check run's explanation (lines ending in '\n').
struct PngProblem {
  std::string message;
  std::string explanation;
};

// What a loaded PNG holds beyond its pixels, kept so that a PNG saved from it writes it back:
// the colour type and bit depth, interlacing, the palette and every other chunk but the image
// data, each chunk's bytes (length, type, data, check value) as they were, in their order.
struct PngLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint8_t colourType = 0; // 0 grey, 2 RGB, 3 palette, 6 RGBA
  std::uint8_t bitDepth = 0;
  bool interlaced = false;
  std::vector<std::uint8_t> palette;             // R, G, B of each entry, palette images only
  bool hasTransparency = false;                  // a tRNS chunk
  std::vector<std::uint8_t> chunksBeforePalette; // palette images: the chunks before PLTE
  std::vector<std::uint8_t> chunksBeforeData;    // then up to the first IDAT
  std::vector<std::uint8_t> chunksAfterData;     // from the last IDAT to IEND, not included

  // Bytes per pixel in memory: 1, 3 or 4.
  int bytesPerPixel() const { return colourType == 2 ? 3 : colourType == 6 ? 4 : 1; }
};

// Reads the header and every chunk but the image data. Refuses (a problem) what the tool does
// not edit: 16-bit channels, grey with alpha, a damaged file. Grey of fewer than 8 bits is read
// as values below 2, 4 or 16, as indices are.
std::optional<PngProblem> readPngLayout(std::span<const std::uint8_t> file, PngLayout& layout);

// Decodes the pixels of a file whose layout readPngLayout gave into memory laid out as above
// (width * bytesPerPixel bytes a row, the top row at topRow). A problem leaves the rows partly
// written.
std::optional<PngProblem> decodePngPixels(std::span<const std::uint8_t> file,
                                          const PngLayout& layout, std::uint8_t* topRow,
                                          std::ptrdiff_t rowStep);

// Pixels to encode, in the layout above.
struct PngPixels {
  const std::uint8_t* topRow = nullptr;
  std::ptrdiff_t rowStep = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  int bytesPerPixel = 0;
  // For 1-byte pixels from a BMP file: its colour table, B, G, R, 0 for each entry.
  std::span<const std::uint8_t> bmpColourTable;
};

// Encodes a PNG file into out. With kept (a PNG's own layout), the file keeps its colour type,
// palette, chunks and their order, interlacing, and its bit depth where every index fits it
// (otherwise the least depth above that does); only the image data is new. Without it, 1-byte
// pixels become a palette image of 8 bits (the table, grown with black entries up to the
// highest index used, as BMP readers show an index past the table), 3-byte pixels RGB and
// 4-byte RGBA. Refuses an empty image, a kept palette image whose pixels use an index past its
// palette, and a kept grey one whose values no longer fit its depth.
std::optional<PngProblem> encodePng(const PngPixels& pixels, const PngLayout* kept,
                                    std::vector<std::uint8_t>& out);
// For fuzzing: false has the library use chunks whatever their check values say, so that
// mutated files reach the decoder.
inline bool pngChecksumsForTesting = true;

// What encodePng would refuse, found without encoding.
std::optional<PngProblem> checkPngEncodable(const PngPixels& pixels, const PngLayout* kept);

} // namespace tilegraft
