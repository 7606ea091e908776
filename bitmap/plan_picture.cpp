#include "bitmap/plan_picture.h"

#include "bitmap/png_codec.h"
#include "common/ascii.h"
#include "common/little_endian.h"
#include "common/script_error.h"

#include <algorithm>
#include <array>
#include <limits>

namespace tilegraft {

namespace {

struct Colour {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
};

struct NamedColour {
  std::string_view name;
  Colour colour;
};

// Cyan and magenta are the grid's; the lines take the rest in turn.
constexpr std::array<NamedColour, 8> lineColours{{{"red", {255, 0, 0}},
                                                  {"green", {0, 200, 0}},
                                                  {"blue", {40, 90, 255}},
                                                  {"yellow", {255, 230, 0}},
                                                  {"orange", {255, 140, 0}},
                                                  {"violet", {170, 80, 255}},
                                                  {"white", {255, 255, 255}},
                                                  {"pink", {255, 105, 180}}}};
constexpr Colour ground{32, 32, 32};
constexpr Colour borderTint{255, 0, 255};
constexpr Colour edgeTint{0, 255, 255};
constexpr std::int64_t sideGap = 8;
// Enough for every tile of a large sheet; the blocks after these are not drawn.
constexpr std::size_t maxBlocks = BitmapImage::mergeLogLimit;
constexpr std::size_t headersLength = 54;

Colour mix(Colour a, Colour b) {
  return {static_cast<std::uint8_t>((a.red + b.red) / 2),
          static_cast<std::uint8_t>((a.green + b.green) / 2),
          static_cast<std::uint8_t>((a.blue + b.blue) / 2)};
}

// What a column (or a row) of a bitmap is in its grid, along one axis.
enum class GridPlace { beforeOrigin, border, tileEdge, tile };

GridPlace placeOf(std::int64_t at, std::int32_t origin, std::int32_t before, std::int32_t tile,
                  std::int32_t after) {
  if (at < origin) {
    return GridPlace::beforeOrigin;
  }
  const std::int64_t pitch = std::int64_t{before} + tile + after;
  // A default grid of 1-pixel tiles, or one with sizes of 0 or less, shows nothing.
  if (tile <= 0 || before < 0 || after < 0 || pitch < 2) {
    return GridPlace::tile;
  }
  const std::int64_t inCell = (at - origin) % pitch;
  if (inCell < before || inCell >= before + tile) {
    return GridPlace::border;
  }
  const bool bordered = before > 0 || after > 0;
  return !bordered && inCell == 0 ? GridPlace::tileEdge : GridPlace::tile;
}

// The picture's pixels, top row first in its co-ordinates; stored bottom-up as BMP rows are.
class Canvas {
public:
  Canvas(std::uint8_t* firstPixel, std::int64_t canvasWidth, std::int64_t canvasHeight,
         std::int64_t rowStride)
      : pixels(firstPixel), width(canvasWidth), height(canvasHeight), stride(rowStride) {}

  // Where the stage being drawn begins, in rows from the top.
  std::int64_t top = 0;

  void put(std::int64_t x, std::int64_t y, Colour colour) {
    std::uint8_t* at = pixels + (height - 1 - top - y) * stride + x * 3;
    at[0] = colour.blue;
    at[1] = colour.green;
    at[2] = colour.red;
  }
  // Fills the whole picture; before any stage is drawn, where top is 0.
  void fill(Colour colour) {
    for (std::int64_t y = 0; y < height; ++y) {
      for (std::int64_t x = 0; x < width; ++x) {
        put(x, y, colour);
      }
    }
  }

private:
  std::uint8_t* pixels;
  std::int64_t width;
  std::int64_t height;
  std::int64_t stride;
};

// The side of the picture that a bitmap takes: zero by zero when it has nothing to show.
std::int64_t sideWidth(const BitmapImage& image) {
  return image.isLoaded() && image.pixelWidth() > 0 && image.pixelHeight() > 0 ? image.pixelWidth()
                                                                               : 0;
}
std::int64_t sideHeight(const BitmapImage& image) {
  return sideWidth(image) > 0 ? image.pixelHeight() : 0;
}

Colour pixelColour(const BitmapImage& image, std::span<const std::uint8_t> palette, std::int32_t x,
                   std::int32_t y) {
  const std::uint8_t* at = image.fileBytes().data() + image.pixelOffset(x, y);
  if (image.bytesPerPixelCount() == 3) {
    return {at[2], at[1], at[0]};
  }
  const std::size_t entry = std::size_t{at[0]} * 4;
  if (entry + 2 >= palette.size()) {
    return {0, 0, 0};
  }
  return {palette[entry + 2], palette[entry + 1], palette[entry]};
}

void drawSide(Canvas& canvas, const BitmapImage& image, std::int64_t left) {
  const std::int64_t width = sideWidth(image);
  const std::int64_t height = sideHeight(image);
  const TileLayout& grid = image.tileLayout();
  std::vector<GridPlace> columns(static_cast<std::size_t>(width));
  for (std::int64_t x = 0; x < width; ++x) {
    columns[static_cast<std::size_t>(x)] =
        placeOf(x, grid.xOrigin, grid.xBorderBefore, grid.tileWidth, grid.xBorderAfter);
  }
  const std::span<const std::uint8_t> palette = image.paletteBytes();
  for (std::int64_t y = 0; y < height; ++y) {
    const GridPlace row =
        placeOf(y, grid.yOrigin, grid.yBorderBefore, grid.tileHeight, grid.yBorderAfter);
    for (std::int64_t x = 0; x < width; ++x) {
      const GridPlace column = columns[static_cast<std::size_t>(x)];
      Colour colour =
          pixelColour(image, palette, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
      if (row == GridPlace::beforeOrigin || column == GridPlace::beforeOrigin) {
        colour = mix(colour, {0, 0, 0});
      } else if (row == GridPlace::border || column == GridPlace::border) {
        colour = mix(colour, borderTint);
      } else if (row == GridPlace::tileEdge || column == GridPlace::tileEdge) {
        colour = mix(colour, edgeTint);
      }
      canvas.put(left + x, y, colour);
    }
  }
}

// The outline of a block, cut to the side it is drawn on.
void outline(Canvas& canvas, std::int64_t left, std::int64_t sideW, std::int64_t sideH,
             PixelPoint corner, std::int64_t width, std::int64_t height, Colour colour) {
  const auto plot = [&](std::int64_t x, std::int64_t y) {
    const bool onSide = x >= 0 && x < sideW && y >= 0 && y < sideH;
    if (onSide) {
      canvas.put(left + x, y, colour);
    }
  };
  const std::int64_t right = std::int64_t{corner.x} + width - 1;
  const std::int64_t bottom = std::int64_t{corner.y} + height - 1;
  for (std::int64_t x = std::max<std::int64_t>(corner.x, 0); x <= std::min(right, sideW - 1); ++x) {
    plot(x, corner.y);
    plot(x, bottom);
  }
  for (std::int64_t y = std::max<std::int64_t>(corner.y, 0); y <= std::min(bottom, sideH - 1);
       ++y) {
    plot(corner.x, y);
    plot(right, y);
  }
}

// Where the patch's side begins in a stage's row.
std::int64_t patchLeftOf(const BitmapImage& base, const BitmapImage& patch) {
  const std::int64_t baseWidth = sideWidth(base);
  return baseWidth + (baseWidth > 0 && sideWidth(patch) > 0 ? sideGap : 0);
}

std::int64_t rowWidth(const BitmapImage& base, const BitmapImage& patch) {
  return std::max<std::int64_t>(patchLeftOf(base, patch) + sideWidth(patch), 1);
}

std::int64_t rowHeight(const BitmapImage& base, const BitmapImage& patch) {
  return std::max<std::int64_t>({sideHeight(base), sideHeight(patch), 1});
}

template <typename Blocks>
void drawStage(Canvas& canvas, const BitmapImage& base, const BitmapImage& patch,
               const Blocks& blocks) {
  const std::int64_t patchLeft = patchLeftOf(base, patch);
  drawSide(canvas, base, 0);
  drawSide(canvas, patch, patchLeft);
  for (const auto& block : blocks) {
    const Colour colour = lineColours[block.colour].colour;
    const MergedBlock& merged = block.merged;
    if (block.side != PlanSide::patch) {
      outline(canvas, 0, sideWidth(base), sideHeight(base), merged.destination, merged.width,
              merged.height, colour);
    }
    // A merge reads its source from the patch; a tile operation on the patch changes it in place.
    if (block.side != PlanSide::base) {
      outline(canvas, patchLeft, sideWidth(patch), sideHeight(patch),
              block.side == PlanSide::both ? merged.source : merged.destination, merged.width,
              merged.height, colour);
    }
  }
}

} // namespace

std::string_view PlanPicture::addLine(std::span<const MergedBlock> lineBlocks, PlanSide side) {
  const std::size_t colour = lines++ % lineColours.size();
  for (const MergedBlock& block :
       lineBlocks.first(std::min(lineBlocks.size(), maxBlocks - std::min(maxBlocks, blockCount)))) {
    blocks.push_back({block, colour, side});
    ++blockCount;
  }
  return lineColours[colour].name;
}

void PlanPicture::endStage(const BitmapImage& base, const BitmapImage& patch) {
  if (blocks.empty()) {
    return;
  }
  auto stage = std::make_unique<Stage>();
  for (const auto& [from, to] :
       {std::pair{&base, &stage->base}, std::pair{&patch, &stage->patch}}) {
    if (from->isLoaded()) {
      to->loadCopy(from->fileBytes());
      to->setTileLayout(from->tileLayout());
    }
  }
  stage->blocks = std::move(blocks);
  blocks.clear();
  stages.push_back(std::move(stage));
}

std::vector<std::uint8_t> PlanPicture::draw(const BitmapImage& base, const BitmapImage& patch,
                                            std::string_view fileName) const {
  std::int64_t width = rowWidth(base, patch);
  std::int64_t height = rowHeight(base, patch);
  for (const auto& stage : stages) {
    width = std::max(width, rowWidth(stage->base, stage->patch));
    height += rowHeight(stage->base, stage->patch) + sideGap;
  }
  const std::int64_t stride = (width * 3 + 3) / 4 * 4;
  const std::int64_t length = static_cast<std::int64_t>(headersLength) + stride * height;
  if (length > std::numeric_limits<std::int32_t>::max()) {
    return {};
  }
  std::vector<std::uint8_t> file(static_cast<std::size_t>(length));
  std::uint8_t* header = file.data();
  header[0] = 'B';
  header[1] = 'M';
  writeLe32(header + 2, static_cast<std::uint32_t>(length));
  writeLe32(header + 10, headersLength);
  writeLe32(header + 14, 40);
  writeLe32(header + 18, static_cast<std::uint32_t>(width));
  writeLe32(header + 22, static_cast<std::uint32_t>(height));
  header[26] = 1; // one plane
  header[28] = 24;
  writeLe32(header + 34, static_cast<std::uint32_t>(stride * height));
  writeLe32(header + 38, 2835); // 72 pixels per inch
  writeLe32(header + 42, 2835);

  Canvas canvas(header + headersLength, width, height, stride);
  canvas.fill(ground);
  for (const auto& stage : stages) {
    drawStage(canvas, stage->base, stage->patch, stage->blocks);
    canvas.top += rowHeight(stage->base, stage->patch) + sideGap;
  }
  drawStage(canvas, base, patch, blocks);
  if (!pngSupported() || !endsInIgnoringCase(fileName, ".png")) {
    return file;
  }
  PngPixels pixels;
  pixels.topRow = header + headersLength + stride * (height - 1);
  pixels.rowStep = -stride;
  pixels.width = width;
  pixels.height = height;
  pixels.bytesPerPixel = 3;
  std::vector<std::uint8_t> encoded;
  if (const auto problem = encodePng(pixels, nullptr, encoded)) {
    throw ScriptError("Plan picture: " + problem->message);
  }
  return encoded;
}

} // namespace tilegraft
