#include "bitmap/bitmap_image.h"
#include "bitmap/int32_math.h"

namespace tilegraft {

PixelPoint BitmapImage::tileOrigin(std::int32_t column, std::int32_t row) const {
  const PixelPoint pitch = cellPitch(layout);
  return {wrapAdd(wrapAdd(layout.xOrigin, layout.xBorderBefore), wrapMul(column, pitch.x)),
          wrapAdd(wrapAdd(layout.yOrigin, layout.yBorderBefore), wrapMul(row, pitch.y))};
}

std::int32_t BitmapImage::pixelOffset(std::int32_t x, std::int32_t y) const {
  // Rows are stored bottom-up: the top row y = 0 comes last.
  const std::int32_t storedRow = wrapSub(wrapSub(height, 1), y);
  return wrapAdd(wrapAdd(pixelDataOffset, wrapMul(storedRow, rowStride)),
                 wrapMul(x, bytesPerPixel));
}

void BitmapImage::checkPoint(std::int32_t x, std::int32_t y) const {
  if (x < 0 || x >= width || y < 0 || y >= height) {
    raiseError("Co-ordinates out of range.");
  }
}

void BitmapImage::checkRect(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) const {
  checkPoint(x, y);
  checkPoint(wrapAdd(x, wrapSub(w, 1)), wrapAdd(y, wrapSub(h, 1)));
}

} // namespace tilegraft
