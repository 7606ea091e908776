#include "commands/number_scanner.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

namespace tilegraft {

void PatchScript::tileSizeCommand(const std::string& /*unused*/) {
  std::int32_t tileWidth = 1;
  std::int32_t tileHeight = 1;
  NumberScanner numbers(workingLine);
  numbers.scanLong(tileWidth) && numbers.scanLong(tileHeight);
  if (numbers.assigned() == 0) {
    throw ScriptError(
        "Missing arguments.",
        "tilesize needs the tile's width in pixels, then its height if it differs.\n");
  }
  if (numbers.assigned() == 1) {
    tileHeight = tileWidth;
  }
  if (checks) {
    checks->warnAboutNumbers(numbers);
    checks->tileSizeSet(tileWidth, tileHeight);
  }
  for (BitmapSlot* slot : {&patch, &base}) {
    slot->settings.tileWidth = tileWidth;
    slot->settings.tileHeight = tileHeight;
    slot->tileSizeGiven = true;
  }
  base.image.setTileLayout(base.settings);
  patch.image.setTileLayout(patch.settings);
}

void PatchScript::tileSpecsCommand(const std::string& slotName) {
  BitmapSlot& slot = selectSlot(slotName);
  TileLayout& settings = slot.settings;
  // Fields that the numbers do not reach keep their values; no number at all is no error.
  NumberScanner numbers(workingLine);
  numbers.scanLong(settings.xOrigin) && numbers.scanLong(settings.yOrigin) &&
      numbers.scanLong(settings.xBorderBefore) && numbers.scanLong(settings.yBorderBefore) &&
      numbers.scanLong(settings.xBorderAfter) && numbers.scanLong(settings.yBorderAfter);
  if (checks) {
    checks->warnAboutNumbers(numbers);
  }
  slot.image.setTileLayout(settings);
}

} // namespace tilegraft
