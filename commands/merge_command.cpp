#include "bitmap/byte_operators.h"
#include "commands/number_scanner.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

namespace tilegraft {

namespace {

// The operator that a one-character word of a merge line names, if any.
std::optional<MergeOperator> operatorNamed(std::string_view word) {
  const std::size_t at = word.size() == 1 ? operatorCharacters.find(word[0]) : word.npos;
  if (at == word.npos) {
    return std::nullopt;
  }
  return static_cast<MergeOperator>(at);
}

} // namespace

void PatchScript::mergeCommand(const std::string& mode) {
  const bool tileMode = mode == "tiles";
  if (!tileMode && mode != "pixels") {
    throw ScriptError("Invalid argument: " + mode);
  }
  const std::string operatorWord = nextToken(WordCase::lowered);
  const std::optional<MergeOperator> op = operatorNamed(operatorWord);
  if (!op) {
    throw ScriptError("Invalid operator: " + operatorWord);
  }

  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t sourceX = 0;
  std::int32_t sourceY = 0;
  std::int32_t width = 1;
  std::int32_t height = 1;
  MergeRepeats repeats;
  NumberScanner numbers(workingLine);
  numbers.scanLong(x) && numbers.scanLong(y) && numbers.scanLong(sourceX) &&
      numbers.scanLong(sourceY) && numbers.scanLong(width) && numbers.scanLong(height) &&
      numbers.scanInt(repeats.across) && numbers.scanInt(repeats.down);

  // Missing values are completed from the last one given: the source defaults to the
  // destination, the block to one tile.
  warnIfTextLeft(numbers.unreadText());
  const int given = numbers.assigned();
  if (given < 3) {
    sourceX = x;
  }
  if (given < 4) {
    sourceY = y;
  }
  if (given < 5) {
    width = tileMode ? 1 : base.settings.tileWidth;
  }
  if (given < 6) {
    height = tileMode ? 1 : base.settings.tileHeight;
  }

  if (width <= 0 || height <= 0 || repeats.across <= 0 || repeats.down <= 0) {
    warn("Merges nothing: a width, height or repeat count of 0 or less.");
  }
  // The plan is told of every block, also of those before a copy that fails.
  struct Observing {
    BitmapImage& image;
    ~Observing() { image.observeMerges(nullptr); }
  } observing{base.image};
  const std::string_view colour = plan ? plan->beginLine() : std::string_view();
  if (plan) {
    base.image.observeMerges(&*plan);
  }
  if (tileMode) {
    base.image.mergeTiles(*op, x, y, patch.image, sourceX, sourceY, width, height, repeats);
  } else {
    base.image.mergePixels(*op, x, y, patch.image, sourceX, sourceY, width, height, repeats);
  }
  if (plan) {
    std::printf("Plan: line %ld in %.*s\n", static_cast<long>(lineNumber),
                static_cast<int>(colour.size()), colour.data());
  }
  if (runMode == RunMode::check) {
    warnAboutMerge(tileMode);
  }
}

// Planning mistakes that a merge which succeeded can still show.
void PatchScript::warnAboutMerge(bool tileMode) {
  if (tileMode && !tileSizeGiven) {
    warn("Tile merge with the default tile size of 1 by 1 pixel: no tilesize line came first.");
  }
  const std::span<const std::uint8_t> basePalette = base.image.paletteBytes();
  const std::span<const std::uint8_t> patchPalette = patch.image.paletteBytes();
  if (!palettesCompared && !basePalette.empty() &&
      !std::equal(basePalette.begin(), basePalette.end(), patchPalette.begin(),
                  patchPalette.end())) {
    warn("The 8-bit base and patch have different palettes: the merge combines palette "
         "indices, so colours change.");
  }
  palettesCompared = true;
  base.usedSinceLoad = patch.usedSinceLoad = true;
  if (!unsavedMerge) {
    unsavedMerge = UnsavedMerge{lineNumber, rawLine};
  }
}

} // namespace tilegraft
