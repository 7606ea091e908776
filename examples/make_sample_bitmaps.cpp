// Draws the sample bitmaps that the demo and the example scripts work on, so that every input
// of the examples is made by the project itself.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Colour {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
};

// A top-down canvas of 24-bit colours or 8-bit palette indices, written out as a bottom-up BMP.
class Canvas {
public:
  Canvas(int canvasWidth, int canvasHeight, int bits)
      : width(canvasWidth), height(canvasHeight), bitsPerPixel(bits),
        pixels(static_cast<std::size_t>(canvasWidth * canvasHeight)) {}

  void set(int x, int y, std::uint32_t value) {
    pixels[static_cast<std::size_t>(y * width + x)] = value;
  }

  void fill(int left, int top, int w, int h, std::uint32_t value) {
    for (int y = top; y < top + h; ++y) {
      for (int x = left; x < left + w; ++x) {
        set(x, y, value);
      }
    }
  }

  bool write(const std::string& path, const std::vector<Colour>& palette = {}) const {
    const int bytesPerPixel = bitsPerPixel / 8;
    const int stride = (width * bytesPerPixel + 3) / 4 * 4;
    const int paletteBytes = bitsPerPixel == 8 ? 256 * 4 : 0;
    const int offset = 54 + paletteBytes;
    const int fileSize = offset + stride * height;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fileSize), 0);
    auto put = [&bytes](int at, std::uint32_t value, int count) {
      for (int i = 0; i < count; ++i) {
        bytes[static_cast<std::size_t>(at + i)] = static_cast<std::uint8_t>(value >> (8 * i));
      }
    };
    bytes[0] = 'B';
    bytes[1] = 'M';
    put(2, static_cast<std::uint32_t>(fileSize), 4);
    put(10, static_cast<std::uint32_t>(offset), 4);
    put(14, 40, 4);
    put(18, static_cast<std::uint32_t>(width), 4);
    put(22, static_cast<std::uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, static_cast<std::uint32_t>(bitsPerPixel), 2);
    put(34, static_cast<std::uint32_t>(stride * height), 4);
    put(38, 2835, 4);
    put(42, 2835, 4);
    for (std::size_t i = 0; i < palette.size() && bitsPerPixel == 8; ++i) {
      const int at = 54 + static_cast<int>(i) * 4;
      put(at, palette[i].blue, 1);
      put(at + 1, palette[i].green, 1);
      put(at + 2, palette[i].red, 1);
    }
    for (int y = 0; y < height; ++y) {
      const int row = offset + (height - 1 - y) * stride;
      for (int x = 0; x < width; ++x) {
        const std::uint32_t value = pixels[static_cast<std::size_t>(y * width + x)];
        if (bitsPerPixel == 8) {
          put(row + x, value, 1);
        } else {
          // Stored blue, green, red.
          put(row + 3 * x, (value & 0xFFU), 1);
          put(row + 3 * x + 1, (value >> 8U) & 0xFFU, 1);
          put(row + 3 * x + 2, (value >> 16U) & 0xFFU, 1);
        }
      }
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      return false;
    }
    const bool written = std::fwrite(bytes.data(), bytes.size(), 1, file) == 1;
    return std::fclose(file) == 0 && written;
  }

private:
  int width;
  int height;
  int bitsPerPixel;
  std::vector<std::uint32_t> pixels;
};

constexpr std::uint32_t rgb(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return red << 16U | green << 8U | blue;
}

// Tiles of 16 by 16 pixels with a 1-pixel grid line before each tile and one closing line.
constexpr int tileSize = 16;
constexpr int cellSize = tileSize + 1;
constexpr std::uint32_t gridColour = rgb(48, 48, 48);

int sheetLength(int tiles) { return tiles * cellSize + 1; }

// Eight hues across, four shades down: every tile of the sheet is easy to tell apart.
Canvas drawTileSheet() {
  constexpr int columns = 8;
  constexpr int rows = 4;
  constexpr std::array<std::uint32_t, columns> hues{
      rgb(230, 25, 75),  rgb(245, 130, 48), rgb(255, 225, 25), rgb(60, 180, 75),
      rgb(70, 240, 240), rgb(0, 130, 200),  rgb(145, 30, 180), rgb(240, 50, 230)};
  Canvas sheet(sheetLength(columns), sheetLength(rows), 24);
  sheet.fill(0, 0, sheetLength(columns), sheetLength(rows), gridColour);
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      const std::uint32_t hue = hues[static_cast<std::size_t>(column)];
      // Each row down mixes a quarter more white into the hue.
      auto shade = [row](std::uint32_t channel) {
        return channel + (255 - channel) * static_cast<std::uint32_t>(row) / 4;
      };
      const std::uint32_t colour =
          rgb(shade(hue >> 16U), shade((hue >> 8U) & 0xFFU), shade(hue & 0xFFU));
      sheet.fill(1 + column * cellSize, 1 + row * cellSize, tileSize, tileSize, colour);
    }
  }
  return sheet;
}

// Four stamps on the same grid: a cross, a checkerboard, a frame of white on black (made for
// XOR: it inverts what lies under the frame) and a round hole of black in white (made for AND).
Canvas drawStamps() {
  constexpr int stamps = 4;
  Canvas sheet(sheetLength(stamps), sheetLength(1), 24);
  sheet.fill(0, 0, sheetLength(stamps), sheetLength(1), gridColour);
  const std::uint32_t white = rgb(255, 255, 255);
  for (int y = 0; y < tileSize; ++y) {
    for (int x = 0; x < tileSize; ++x) {
      const bool cross = (x >= 6 && x <= 9) || (y >= 6 && y <= 9);
      sheet.set(1 + x, 1 + y, cross ? white : rgb(200, 30, 30));
      const bool light = ((x / 4) + (y / 4)) % 2 == 0;
      sheet.set(1 + cellSize + x, 1 + y, light ? rgb(250, 220, 60) : rgb(30, 60, 160));
      const bool frame = x < 3 || y < 3 || x > 12 || y > 12;
      sheet.set(1 + 2 * cellSize + x, 1 + y, frame ? white : 0);
      const int dx = 2 * x - 15;
      const int dy = 2 * y - 15;
      sheet.set(1 + 3 * cellSize + x, 1 + y, dx * dx + dy * dy < 100 ? 0 : white);
    }
  }
  return sheet;
}

// An 8-bit image whose palette index bits mean something: the low four bits pick one of sixteen
// colours and bit 4 picks a darker set, so & and | on indices clear and set that bit. The tiles
// sit on the same grid as the 24-bit sheets, dark and light in a checkerboard.
constexpr std::uint32_t darkBit = 0x10;
constexpr std::uint32_t gridIndex = 0x20;

Canvas drawIndexedSheet(std::vector<Colour>& palette) {
  palette.assign(256, Colour{0, 0, 0});
  for (std::uint32_t i = 0; i < 2 * darkBit; ++i) {
    const auto base = static_cast<std::uint8_t>(64 + (i % 16) * 12);
    const bool dark = (i & darkBit) != 0;
    palette[i] = Colour{static_cast<std::uint8_t>(dark ? base / 3 : base),
                        static_cast<std::uint8_t>(dark ? (255 - base) / 3 : 255 - base),
                        static_cast<std::uint8_t>(dark ? 64 : 192)};
  }
  palette[gridIndex] = Colour{48, 48, 48};
  constexpr int columns = 4;
  constexpr int rows = 2;
  Canvas sheet(sheetLength(columns), sheetLength(rows), 8);
  sheet.fill(0, 0, sheetLength(columns), sheetLength(rows), gridIndex);
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      const auto colour = static_cast<std::uint32_t>(column + columns * row);
      const std::uint32_t dark = (column + row) % 2 == 1 ? darkBit : 0;
      sheet.fill(1 + column * cellSize, 1 + row * cellSize, tileSize, tileSize, colour | dark);
    }
  }
  return sheet;
}

// Two mask tiles on the same grid: tile 0 of index 0xEF (every bit but the dark bit), for &,
// and tile 1 of index 0x10 (only the dark bit), for |.
Canvas drawIndexMasks() {
  Canvas masks(sheetLength(2), sheetLength(1), 8);
  masks.fill(0, 0, sheetLength(2), sheetLength(1), gridIndex);
  masks.fill(1, 1, tileSize, tileSize, 0xFF ^ darkBit);
  masks.fill(1 + cellSize, 1, tileSize, tileSize, darkBit);
  return masks;
}

// The indexed sheet's colour table as a swatch, index i at (i % 16, i / 16): the palette that the
// user guide's conversions to 8 bits are tried with.
Canvas drawPaletteSwatch() {
  constexpr int side = 16;
  Canvas swatch(side, side, 8);
  for (int index = 0; index < side * side; ++index) {
    swatch.set(index % side, index / side, static_cast<std::uint32_t>(index));
  }
  return swatch;
}

// A sheet laid out as tile-map editors describe theirs, for the recipes that work on gutters:
// 4 by 2 tiles of 16 pixels with a margin of 1 pixel around the sheet and a spacing of 2 pixels
// between tiles, so that tile c starts at x = 1 + 18c. Each pixel of a tile has a colour of its
// own (red from its column, green from its row, blue from the tile), so that a pixel copied
// into a gutter shows which one it was.
constexpr int gutterMargin = 1;
constexpr int gutterSpacing = 2;

Canvas drawGutterSheet() {
  constexpr int columns = 4;
  constexpr int rows = 2;
  constexpr int pitch = tileSize + gutterSpacing;
  constexpr int width = 2 * gutterMargin + columns * pitch - gutterSpacing;
  constexpr int height = 2 * gutterMargin + rows * pitch - gutterSpacing;
  Canvas sheet(width, height, 24);
  sheet.fill(0, 0, width, height, gridColour);
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      for (int v = 0; v < tileSize; ++v) {
        for (int u = 0; u < tileSize; ++u) {
          const auto tile = static_cast<std::uint32_t>(column + columns * row);
          sheet.set(gutterMargin + column * pitch + u, gutterMargin + row * pitch + v,
                    rgb(40 + 12 * static_cast<std::uint32_t>(u),
                        40 + 12 * static_cast<std::uint32_t>(v), 20 + 30 * tile));
        }
      }
    }
  }
  return sheet;
}

} // namespace

int main(int argc, char* argv[]) {
  const std::string folder = argc > 1 ? std::string(argv[1]) + "/" : std::string();
  std::vector<Colour> palette;
  const bool written = drawTileSheet().write(folder + "sheet.bmp") &&
                       drawStamps().write(folder + "stamps.bmp") &&
                       drawIndexedSheet(palette).write(folder + "indexed.bmp", palette) &&
                       drawIndexMasks().write(folder + "masks.bmp", palette) &&
                       drawGutterSheet().write(folder + "gutters.bmp") &&
                       drawPaletteSwatch().write(folder + "palette.bmp", palette);
  if (!written) {
    std::fputs("Could not write the sample bitmaps.\n", stderr);
    return 1;
  }
  return 0;
}
