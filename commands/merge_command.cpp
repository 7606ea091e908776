#include "bitmap/byte_operators.h"
#include "commands/number_scanner.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

#include <optional>
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
    throw ScriptError("Invalid argument: " + mode, "The merge mode is pixels or tiles.\n");
  }
  const std::string operatorWord = nextToken(WordCase::lowered);
  const std::optional<MergeOperator> op = operatorNamed(operatorWord);
  if (!op) {
    std::string why = "The operator is one of = (copy), & (AND), | (OR) and ^ (XOR), as a word of "
                      "its own.\n";
    if (operatorWord.size() > 1 && operatorNamed(operatorWord.substr(0, 1))) {
      why += "Write a blank after the operator: " + operatorWord.substr(0, 1) + " " +
             operatorWord.substr(1) + ", not " + operatorWord + ".\n";
    }
    throw ScriptError("Invalid operator: " + operatorWord, std::move(why));
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
  if (checks) {
    checks->warnAboutNumbers(numbers);
    if (width <= 0 || height <= 0 || repeats.across <= 0 || repeats.down <= 0) {
      checks->warn(Warning::emptyMerge,
                   "Merges nothing: a width, height or repeat count of 0 or less.");
    }
    checks->beforeMerge(tileMode, base.image, width, height, repeats);
  }

  if (tileMode) {
    base.image.mergeTiles(*op, x, y, patch.image, sourceX, sourceY, width, height, repeats);
  } else {
    base.image.mergePixels(*op, x, y, patch.image, sourceX, sourceY, width, height, repeats);
  }
  if (checks) {
    checks->merged(tileMode, base.image, patch.image);
  }
}

} // namespace tilegraft
