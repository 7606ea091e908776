#include "commands/number_scanner.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

#include <cstdio>
#include <vector>

namespace tilegraft {

namespace {

// The numbers left on the line, each read as a merge's are.
std::vector<std::int32_t> remainingNumbers(NumberScanner& numbers) {
  std::vector<std::int32_t> values;
  for (std::int32_t value = 0; numbers.scanLong(value);) {
    values.push_back(value);
  }
  return values;
}

} // namespace

void PatchScript::newCommand(const std::string& slotName) {
  BitmapSlot& slot = selectSlot(slotName);
  const BitmapSlot& other = &slot == &base ? patch : base;
  std::int32_t width = 0;
  std::int32_t height = 0;
  NumberScanner numbers(workingLine);
  numbers.scanLong(width) && numbers.scanLong(height);
  if (numbers.assigned() < 2) {
    throw ScriptError("Missing arguments.",
                      "new needs the bitmap, base or patch, then its width and height in pixels, "
                      "then the bytes of every pixel where they are not 0.\n");
  }
  const std::vector<std::int32_t> values = remainingNumbers(numbers);
  std::printf("Making %s bitmap: %ld by %ld pixels...\n", slotName.c_str(),
              static_cast<long>(width), static_cast<long>(height));
  if (checks) {
    checks->warnAboutNumbers(numbers);
    // A bitmap made anew, like one loaded, begins a new stage of the plan.
    checks->beforeLoad(base.image, patch.image);
    checks->replacing(slotName, slot.image);
  }
  slot.image.makeCanvas(other.image, width, height, values);
  if (checks) {
    checks->made(slotName, slot.image);
  }
}

void PatchScript::keyCommand(const std::string& slotName) {
  if (slotName != "patch") {
    selectSlot(slotName);
    throw ScriptError("Invalid argument: " + slotName,
                      "The key colour belongs to the patch, whose pixels merges copy.\n");
  }
  NumberScanner numbers(workingLine);
  const std::vector<std::int32_t> values = remainingNumbers(numbers);
  if (checks) {
    checks->warnAboutNumbers(numbers);
  }
  patch.image.setKeyColour(values);
}

void PatchScript::tileOperation(const std::string& slotName, TileOperation operation) {
  BitmapSlot& slot = selectSlot(slotName);
  std::int32_t reach = 0;
  NumberScanner numbers(workingLine);
  if (operation == TileOperation::extrude) {
    if (!numbers.scanLong(reach)) {
      throw ScriptError("Missing arguments.", "extrude needs the bitmap, base or patch, then how "
                                              "many pixels to extrude each tile by.\n");
    }
    if (reach < 0) {
      throw ScriptError("Invalid argument: " + std::to_string(reach),
                        "An extrusion is a number of pixels, 0 or more.\n");
    }
  }
  // Without a tile size, a mirror or flip takes the whole bitmap as its one tile.
  const bool wholeBitmap = !slot.tileSizeGiven;
  if (checks) {
    checks->warnAboutNumbers(numbers);
    checks->beforeTileOperation(slotName, slot.image, operation == TileOperation::extrude, reach);
  }
  switch (operation) {
  case TileOperation::extrude:
    slot.image.extrudeTiles(reach);
    break;
  case TileOperation::mirror:
    slot.image.mirrorTiles(wholeBitmap);
    break;
  case TileOperation::flip:
    slot.image.flipTiles(wholeBitmap);
    break;
  }
  if (checks) {
    checks->tileOperationDone(slotName, slot.image);
  }
}

void PatchScript::extrudeCommand(const std::string& slotName) {
  tileOperation(slotName, TileOperation::extrude);
}

void PatchScript::mirrorCommand(const std::string& slotName) {
  tileOperation(slotName, TileOperation::mirror);
}

void PatchScript::flipCommand(const std::string& slotName) {
  tileOperation(slotName, TileOperation::flip);
}

} // namespace tilegraft
