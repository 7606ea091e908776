#include "bitmap/png_codec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#if TILEGRAFT_PNG
#include <spng.h>
#endif

namespace tilegraft {

namespace {

constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
} // namespace

bool isPngSignature(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof signature &&
         std::equal(std::begin(signature), std::end(signature), bytes.begin());
}

#if TILEGRAFT_PNG

namespace {

constexpr std::size_t chunkFrame = 12; // length, type, check value

std::uint32_t readBe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24U | static_cast<std::uint32_t>(bytes[1]) << 16U |
         static_cast<std::uint32_t>(bytes[2]) << 8U | static_cast<std::uint32_t>(bytes[3]);
}

bool hasType(const std::uint8_t* chunk, std::string_view type) {
  return std::equal(type.begin(), type.end(), chunk + 4,
                    [](char t, std::uint8_t b) { return static_cast<std::uint8_t>(t) == b; });
}

// Calls visit(chunk, whole length) for each chunk after the signature, up to and with IEND; false
// when a chunk runs past the end of the bytes or none ends them.
template <typename Visit> bool walkChunks(std::span<const std::uint8_t> file, Visit visit) {
  std::size_t at = sizeof signature;
  while (file.size() - at >= chunkFrame) {
    const std::uint64_t whole = std::uint64_t{readBe32(file.data() + at)} + chunkFrame;
    if (whole > file.size() - at) {
      return false;
    }
    const std::uint8_t* chunk = file.data() + at;
    visit(chunk, static_cast<std::size_t>(whole));
    if (hasType(chunk, "IEND")) {
      return true;
    }
    at += static_cast<std::size_t>(whole);
  }
  return false;
}

// Bits of one index or grey value, and the least depth of the same kind that holds highest.
int depthFor(int highest, int from) {
  int depth = from;
  while (depth < 8 && highest >= (1 << depth)) {
    depth *= 2;
  }
  return depth;
}

std::string howToConvert() {
  return "Convert it to 8 bits a channel first, for example with ImageMagick: convert in.png "
         "PNG32:out.png (RGBA) or PNG24:out.png (RGB).\n";
}

struct ContextFree {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

PngProblem libraryProblem(int error) {
  if (error == SPNG_EMEM) {
    return {"Not enough memory.", ""};
  }
  return {"Invalid bitmap file.",
          "It is a damaged PNG file: " + std::string(spng_strerror(error)) + ".\n"};
}

Context decoderFor(std::span<const std::uint8_t> file) {
  Context context(spng_ctx_new(0));
  if (context) {
    // Every size a 32-bit script number can address; the library's limits on chunks stay.
    spng_set_image_limits(context.get(), 0x7FFFFFFF, 0x7FFFFFFF);
    if (!pngChecksumsForTesting) {
      spng_set_crc_action(context.get(), SPNG_CRC_USE, SPNG_CRC_USE);
    }
    spng_set_png_buffer(context.get(), file.data(), file.size());
  }
  return context;
}

// Copies a row of 1-, 3- or 4-byte pixels between the file's R, G, B (A) order and the tool's
// B, G, R (A): the same swap either way.
void copyPixels(const std::uint8_t* from, std::uint8_t* to, std::uint32_t width, int size) {
  if (size == 1) {
    std::memcpy(to, from, width);
    return;
  }
  for (std::uint32_t x = 0; x < width; ++x, from += size, to += size) {
    to[0] = from[2];
    to[1] = from[1];
    to[2] = from[0];
    if (size == 4) {
      to[3] = from[3];
    }
  }
}

// Unpacks a row of the file's own samples (native order, several to a byte below 8 bits) into
// the tool's layout.
void unpackRow(const std::uint8_t* from, std::uint8_t* to, const PngLayout& layout) {
  const std::uint32_t width = layout.width;
  if (layout.bitDepth < 8) {
    const unsigned depth = layout.bitDepth;
    const unsigned perByte = 8 / depth;
    const unsigned mask = (1U << depth) - 1;
    for (std::uint32_t x = 0; x < width; ++x) {
      const unsigned shift = 8 - depth * (x % perByte + 1);
      to[x] = static_cast<std::uint8_t>(static_cast<unsigned>(from[x / perByte]) >> shift & mask);
    }
    return;
  }
  copyPixels(from, to, width, layout.bytesPerPixel());
}

// The reverse of unpackRow, at the given depth; the packed row's spare low bits are zero.
void packRow(const std::uint8_t* from, std::uint8_t* to, std::uint32_t width, int size, int depth) {
  if (depth < 8) {
    const unsigned perByte = 8 / static_cast<unsigned>(depth);
    std::memset(to, 0, (width + perByte - 1) / perByte);
    for (std::uint32_t x = 0; x < width; ++x) {
      const unsigned shift = 8 - static_cast<unsigned>(depth) * (x % perByte + 1);
      to[x / perByte] = static_cast<std::uint8_t>(to[x / perByte] | from[x] << shift);
    }
    return;
  }
  copyPixels(from, to, width, size);
}

std::size_t packedRowBytes(std::uint32_t width, int size, int depth) {
  return depth < 8 ? (std::size_t{width} * static_cast<std::size_t>(depth) + 7) / 8
                   : std::size_t{width} * static_cast<std::size_t>(size);
}

} // namespace

bool pngSupported() { return true; }

std::string pngLibraryName() { return "libspng " + std::string(spng_version_string()); }

std::optional<PngProblem> readPngLayout(std::span<const std::uint8_t> file, PngLayout& layout) {
  Context context = decoderFor(file);
  if (!context) {
    return PngProblem{"Not enough memory.", ""};
  }
  spng_ihdr header{};
  if (const int error = spng_get_ihdr(context.get(), &header); error != 0) {
    return libraryProblem(error);
  }
  layout = PngLayout{};
  layout.width = header.width;
  layout.height = header.height;
  layout.colourType = header.color_type;
  layout.bitDepth = header.bit_depth;
  layout.interlaced = header.interlace_method != 0;
  if (header.bit_depth == 16) {
    return PngProblem{"Unsupported PNG image.",
                      "It has 16 bits a channel; only 8-bit channels (and palettes of 1 to 8 "
                      "bits) are read.\n" +
                          howToConvert()};
  }
  if (header.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA) {
    return PngProblem{"Unsupported PNG image.",
                      "It is grey with an alpha channel; grey without one, RGB, RGBA and "
                      "palette images are read.\n" +
                          howToConvert()};
  }
  // Deflate expands its data at most 1032 times: a file too short for its pixels is refused
  // before memory is taken for them.
  constexpr std::uint64_t mostExpansion = 1032;
  const std::uint64_t leastData =
      std::uint64_t{header.height} *
      ((std::uint64_t{header.width} * static_cast<std::uint64_t>(layout.bytesPerPixel()) *
            header.bit_depth / 8 +
        1));
  if (leastData > mostExpansion * (file.size() + 1)) {
    return PngProblem{"Invalid bitmap file.",
                      "It is a damaged PNG file: its " + std::to_string(file.size()) +
                          " bytes cannot hold the pixels of " + std::to_string(header.width) +
                          " by " + std::to_string(header.height) + ".\n"};
  }
  if (header.color_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_plte palette{};
    if (const int error = spng_get_plte(context.get(), &palette); error != 0) {
      return libraryProblem(error);
    }
    for (std::uint32_t i = 0; i < palette.n_entries; ++i) {
      layout.palette.insert(layout.palette.end(), {palette.entries[i].red, palette.entries[i].green,
                                                   palette.entries[i].blue});
    }
  }
  spng_trns transparency{};
  layout.hasTransparency = spng_get_trns(context.get(), &transparency) == 0;

  // The chunks as the file has them; the library has checked those before the image data.
  enum class Place { beforePalette, beforeData, inData, afterData } place = Place::beforePalette;
  const bool splitsAtPalette = header.color_type == SPNG_COLOR_TYPE_INDEXED;
  const bool whole = walkChunks(file, [&](const std::uint8_t* chunk, std::size_t length) {
    if (hasType(chunk, "IHDR") || hasType(chunk, "IEND")) {
      return;
    }
    if (hasType(chunk, "IDAT")) {
      place = Place::inData;
      return;
    }
    if (place == Place::inData) {
      place = Place::afterData;
    }
    // Only the palette before the data: a stray one after it stays there, with what follows.
    if (splitsAtPalette && place == Place::beforePalette && hasType(chunk, "PLTE")) {
      place = Place::beforeData;
      return;
    }
    std::vector<std::uint8_t>& into = place == Place::beforePalette ? layout.chunksBeforePalette
                                      : place == Place::afterData   ? layout.chunksAfterData
                                                                    : layout.chunksBeforeData;
    into.insert(into.end(), chunk, chunk + length);
  });
  if (!whole) {
    return PngProblem{"Invalid bitmap file.",
                      "It is a damaged PNG file: it ends inside a chunk, or before IEND.\n"};
  }
  if (!splitsAtPalette) {
    layout.chunksBeforeData = std::move(layout.chunksBeforePalette);
    layout.chunksBeforePalette.clear();
  }
  return std::nullopt;
}

std::optional<PngProblem> decodePngPixels(std::span<const std::uint8_t> file,
                                          const PngLayout& layout, std::uint8_t* topRow,
                                          std::ptrdiff_t rowStep) {
  Context context = decoderFor(file);
  if (!context) {
    return PngProblem{"Not enough memory.", ""};
  }
  std::size_t imageBytes = 0;
  if (const int error = spng_decoded_image_size(context.get(), SPNG_FMT_PNG, &imageBytes);
      error != 0) {
    return libraryProblem(error);
  }
  const std::size_t rowBytes = layout.height == 0 ? 0 : imageBytes / layout.height;
  if (layout.interlaced) {
    // An interlaced file fills its rows in seven passes: the whole image is decoded first.
    std::vector<std::uint8_t> image(imageBytes);
    if (const int error =
            spng_decode_image(context.get(), image.data(), image.size(), SPNG_FMT_PNG, 0);
        error != 0) {
      return libraryProblem(error);
    }
    for (std::uint32_t y = 0; y < layout.height; ++y) {
      unpackRow(image.data() + rowBytes * y, topRow + rowStep * static_cast<std::ptrdiff_t>(y),
                layout);
    }
    return std::nullopt;
  }
  if (const int error =
          spng_decode_image(context.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE);
      error != 0) {
    return libraryProblem(error);
  }
  std::vector<std::uint8_t> row(rowBytes);
  for (;;) {
    spng_row_info info{};
    if (const int error = spng_get_row_info(context.get(), &info); error != 0) {
      return libraryProblem(error);
    }
    const int error = spng_decode_row(context.get(), row.data(), row.size());
    if (error != 0 && error != SPNG_EOI) {
      return libraryProblem(error);
    }
    unpackRow(row.data(), topRow + rowStep * static_cast<std::ptrdiff_t>(info.row_num), layout);
    if (error == SPNG_EOI) {
      return std::nullopt;
    }
  }
}

namespace {

// The chunks of the library's own file: its header, its palette, its image data and its end.
struct EncodedParts {
  std::span<const std::uint8_t> header, palette, data, end;
};

EncodedParts partsOf(std::span<const std::uint8_t> encoded) {
  EncodedParts parts;
  std::size_t dataStart = 0;
  std::size_t dataEnd = 0;
  walkChunks(encoded, [&](const std::uint8_t* chunk, std::size_t length) {
    const std::span<const std::uint8_t> whole(chunk, length);
    const auto at = static_cast<std::size_t>(chunk - encoded.data());
    if (hasType(chunk, "IHDR")) {
      parts.header = whole;
    } else if (hasType(chunk, "PLTE")) {
      parts.palette = whole;
    } else if (hasType(chunk, "IDAT")) {
      dataStart = dataStart == 0 ? at : dataStart;
      dataEnd = at + length;
    } else if (hasType(chunk, "IEND")) {
      parts.end = whole;
    }
  });
  parts.data = encoded.subspan(dataStart, dataEnd - dataStart);
  return parts;
}

struct BufferFree {
  void operator()(void* buffer) const { std::free(buffer); }
};

} // namespace

namespace {

// The header and palette a PNG of these pixels gets, or why it cannot hold them.
struct EncodingPlan {
  spng_ihdr header{};
  std::vector<std::uint8_t> palette;
};

std::optional<PngProblem> planEncoding(const PngPixels& pixels, const PngLayout* kept,
                                       EncodingPlan& plan) {
  if (pixels.width <= 0 || pixels.height <= 0 || pixels.width > 0x7FFFFFFF ||
      pixels.height > 0x7FFFFFFF) {
    return PngProblem{"PNG cannot hold the bitmap.",
                      "It is " + std::to_string(pixels.width) + " by " +
                          std::to_string(pixels.height) +
                          " pixels; a PNG file has at least one row and one column.\n"};
  }
  const auto width = static_cast<std::uint32_t>(pixels.width);
  const auto height = static_cast<std::uint32_t>(pixels.height);
  const int size = pixels.bytesPerPixel;
  int highest = 0;
  if (size == 1) {
    for (std::uint32_t y = 0; y < height && highest < 255; ++y) {
      const std::uint8_t* row = pixels.topRow + pixels.rowStep * static_cast<std::ptrdiff_t>(y);
      highest = std::max<int>(highest, *std::max_element(row, row + width));
    }
  }
  spng_ihdr& header = plan.header;
  header.width = width;
  header.height = height;
  header.bit_depth = 8;
  header.color_type = size == 3   ? SPNG_COLOR_TYPE_TRUECOLOR
                      : size == 4 ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA
                                  : SPNG_COLOR_TYPE_INDEXED;
  std::vector<std::uint8_t>& palette = plan.palette;
  if (kept != nullptr) {
    header.color_type = kept->colourType;
    header.interlace_method = kept->interlaced ? 1 : 0;
    palette = kept->palette;
    if (size == 1) {
      header.bit_depth = static_cast<std::uint8_t>(depthFor(highest, kept->bitDepth));
    }
    if (kept->colourType == SPNG_COLOR_TYPE_GRAYSCALE && header.bit_depth != kept->bitDepth) {
      return PngProblem{"PNG cannot hold the bitmap.",
                        "A grey value of " + std::to_string(highest) + " does not fit the file's " +
                            std::to_string(kept->bitDepth) +
                            " bits, and more bits would change every grey.\n"};
    }
    if (kept->colourType == SPNG_COLOR_TYPE_INDEXED &&
        static_cast<std::size_t>(highest) >= palette.size() / 3) {
      return PngProblem{"PNG cannot hold the bitmap.",
                        "A pixel has index " + std::to_string(highest) + ", past the " +
                            std::to_string(palette.size() / 3) +
                            " colours of the file's palette: merge from a bitmap with the same "
                            "palette, or save as .bmp.\n"};
    }
  } else if (size == 1) {
    const std::span<const std::uint8_t> table = pixels.bmpColourTable;
    const std::size_t entries = std::max<std::size_t>(std::min<std::size_t>(table.size() / 4, 256),
                                                      static_cast<std::size_t>(highest) + 1);
    palette.assign(entries * 3, 0);
    for (std::size_t i = 0; i < entries && 4 * i + 2 < table.size(); ++i) {
      palette[3 * i] = table[4 * i + 2];
      palette[3 * i + 1] = table[4 * i + 1];
      palette[3 * i + 2] = table[4 * i];
    }
  }
  return std::nullopt;
}

} // namespace

std::optional<PngProblem> checkPngEncodable(const PngPixels& pixels, const PngLayout* kept) {
  EncodingPlan plan;
  return planEncoding(pixels, kept, plan);
}

std::optional<PngProblem> encodePng(const PngPixels& pixels, const PngLayout* kept,
                                    std::vector<std::uint8_t>& out) {
  EncodingPlan plan;
  if (auto problem = planEncoding(pixels, kept, plan)) {
    return problem;
  }
  const spng_ihdr& header = plan.header;
  const std::vector<std::uint8_t>& palette = plan.palette;
  const std::uint32_t width = header.width;
  const std::uint32_t height = header.height;
  const int size = pixels.bytesPerPixel;
  const auto rowAt = [&](std::uint32_t y) {
    return pixels.topRow + pixels.rowStep * static_cast<std::ptrdiff_t>(y);
  };

  Context context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) {
    return PngProblem{"Not enough memory.", ""};
  }
  spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr headerCopy = header;
  int error = spng_set_ihdr(context.get(), &headerCopy);
  if (error == 0 && header.color_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_plte table{};
    table.n_entries = static_cast<std::uint32_t>(palette.size() / 3);
    for (std::uint32_t i = 0; i < table.n_entries; ++i) {
      table.entries[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2], 0};
    }
    error = spng_set_plte(context.get(), &table);
  }
  const std::size_t rowBytes = packedRowBytes(width, size, header.bit_depth);
  if (error == 0 && header.interlace_method != 0) {
    // The library interlaces a whole image only.
    std::vector<std::uint8_t> image(rowBytes * height);
    for (std::uint32_t y = 0; y < height; ++y) {
      packRow(rowAt(y), image.data() + rowBytes * y, width, size, header.bit_depth);
    }
    error = spng_encode_image(context.get(), image.data(), image.size(), SPNG_FMT_PNG,
                              SPNG_ENCODE_FINALIZE);
  } else if (error == 0) {
    error = spng_encode_image(context.get(), nullptr, 0, SPNG_FMT_PNG,
                              SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    std::vector<std::uint8_t> row(rowBytes);
    for (std::uint32_t y = 0; y < height && error == 0; ++y) {
      packRow(rowAt(y), row.data(), width, size, header.bit_depth);
      error = spng_encode_row(context.get(), row.data(), row.size());
    }
    error = error == SPNG_EOI ? 0 : error;
  }
  if (error != 0) {
    return error == SPNG_EMEM
               ? PngProblem{"Not enough memory.", ""}
               : PngProblem{"Error writing file.", "The PNG library refused the image: " +
                                                       std::string(spng_strerror(error)) + ".\n"};
  }
  std::size_t encodedLength = 0;
  const std::unique_ptr<void, BufferFree> encoded(
      spng_get_png_buffer(context.get(), &encodedLength, &error));
  if (!encoded) {
    return PngProblem{"Not enough memory.", ""};
  }
  const std::span<const std::uint8_t> file(static_cast<const std::uint8_t*>(encoded.get()),
                                           encodedLength);
  if (kept == nullptr) {
    out.assign(file.begin(), file.end());
    return std::nullopt;
  }
  // The kept chunks go back where they stood, around the library's header, palette and data.
  const EncodedParts parts = partsOf(file);
  out.clear();
  out.reserve(encodedLength + kept->chunksBeforePalette.size() + kept->chunksBeforeData.size() +
              kept->chunksAfterData.size());
  for (const std::span<const std::uint8_t> part :
       {std::span<const std::uint8_t>(signature), parts.header,
        std::span<const std::uint8_t>(kept->chunksBeforePalette), parts.palette,
        std::span<const std::uint8_t>(kept->chunksBeforeData), parts.data,
        std::span<const std::uint8_t>(kept->chunksAfterData), parts.end}) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return std::nullopt;
}

#else

bool pngSupported() { return false; }

std::string pngLibraryName() { return "no PNG library (libspng was not found at build time)"; }

namespace {
PngProblem notBuilt() {
  return {"PNG files not supported in this build.",
          "This tilegraft was built without libspng; build it again with libspng-dev installed, "
          "or convert the file to BMP.\n"};
}
} // namespace

std::optional<PngProblem> readPngLayout(std::span<const std::uint8_t> /*file*/,
                                        PngLayout& /*layout*/) {
  return notBuilt();
}

std::optional<PngProblem> decodePngPixels(std::span<const std::uint8_t> /*file*/,
                                          const PngLayout& /*layout*/, std::uint8_t* /*topRow*/,
                                          std::ptrdiff_t /*rowStep*/) {
  return notBuilt();
}

std::optional<PngProblem> encodePng(const PngPixels& /*pixels*/, const PngLayout* /*kept*/,
                                    std::vector<std::uint8_t>& /*out*/) {
  return notBuilt();
}

std::optional<PngProblem> checkPngEncodable(const PngPixels& /*pixels*/,
                                            const PngLayout* /*kept*/) {
  return notBuilt();
}

#endif

} // namespace tilegraft
