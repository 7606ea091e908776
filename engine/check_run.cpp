#include "engine/check_run.h"

#include "common/script_error.h"
#include "platform/file_writer.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace tilegraft {

namespace {

constexpr std::string_view strictStop = "Stopped on a warning (--strict).";

// Two names are one file when both lead to the same file, or, where a name leads nowhere yet,
// when they are written alike.
bool sameFile(const std::string& name, const std::optional<FileIdentity>& identity,
              const std::string& otherName) {
  if (name == otherName) {
    return true;
  }
  const std::optional<FileIdentity> other = identity ? fileIdentity(otherName) : std::nullopt;
  return other && *other == *identity;
}

} // namespace

void reportLine(std::int32_t number, const std::string& raw) {
  // A last line without a line feed, or one cut at a NUL byte, still ends its report line.
  const char* lineEnd = raw.ends_with('\n') ? "" : "\n";
  std::fprintf(stderr, "Line %ld: %s%s", static_cast<long>(number), raw.c_str(), lineEnd);
}

CheckRun::CheckRun(const RunSettings& settings, const ScriptReader& script,
                   const std::string& scriptName)
    : reader(script), dryRun(settings.check), strict(settings.strict),
      planName(settings.check ? settings.planName : std::string()) {
  if (planName.empty()) {
    return;
  }
  planIdentity = fileIdentity(planName);
  // Standard input is no file that a picture could replace.
  if (scriptName != "-" && sameFile(planName, planIdentity, scriptName)) {
    throw ScriptError("Plan picture: " + planName +
                      " is the script: drawing the plan would replace it. Give --plan the name "
                      "of a new file.");
  }
  plan.emplace();
}

void CheckRun::warn(std::string text) { warnings.push_back(std::move(text)); }

void CheckRun::warnIfTextLeft(std::string_view unread) {
  if (!unread.empty()) {
    warn("Text after the numbers ignored: " + std::string(unread));
  }
}

void CheckRun::reportOrStop(const LineReport& line) {
  if (warnings.empty()) {
    return;
  }
  if (strict) {
    throw ScriptError(std::string(strictStop));
  }
  std::fflush(stdout);
  reportLine(line.number, line.raw);
  reportWarnings();
}

void CheckRun::endLine() { reportOrStop({reader.currentLineNumber(), reader.currentRawLine()}); }

void CheckRun::reportWarnings() {
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "---- Warning: %s\n", warning.c_str());
  }
  warnings.clear();
}

void CheckRun::endScript(const BitmapImage& base, const BitmapImage& patch,
                         const std::function<bool(const std::string&)>& mayReplace) {
  if (unsavedMerge) {
    warn("No save comes after this merge: what it and later merges do is lost.");
    if (strict) {
      // The script is closed by now, so the run's report of the stop cannot show the line.
      std::fflush(stdout);
      reportLine(unsavedMerge->number, unsavedMerge->raw);
    }
    reportOrStop(*unsavedMerge);
  }
  if (!plan) {
    return;
  }
  if (!mayReplace(planName)) {
    saveDeclined(planName);
    return;
  }
  std::printf("Writing plan picture: %s...\n", planName.c_str());
  const std::vector<std::uint8_t> picture = plan->draw(base, patch);
  if (picture.empty()) {
    throw ScriptError("Plan picture: too large for a BMP file.");
  }
  switch (replaceFile(planName, picture)) {
  case ReplaceResult::replaced:
    return;
  case ReplaceResult::notCreated:
    throw ScriptError("Plan picture: Error creating file.");
  case ReplaceResult::notWritten:
    throw ScriptError("Plan picture: Error writing file.");
  }
}

const CheckRun::UnwrittenFile* CheckRun::unwrittenFile(const std::string& fileName) const {
  // The latest save to the name is what a load would read.
  const auto found =
      std::find_if(unwrittenFiles.rbegin(), unwrittenFiles.rend(), [&](const UnwrittenFile& file) {
        return sameFile(file.name, file.identity, fileName);
      });
  return found == unwrittenFiles.rend() ? nullptr : &*found;
}

void CheckRun::refuseIfPlan(const std::string& fileName, std::string_view use) const {
  if (plan && sameFile(planName, planIdentity, fileName)) {
    throw ScriptError("Plan picture: " + planName + " is a file this script " + std::string(use) +
                      ": drawing the plan would replace it. Give --plan the name of a new file.");
  }
}

std::string CheckRun::loadNote(const std::string& fileName) const {
  const UnwrittenFile* unwritten = unwrittenFile(fileName);
  return unwritten == nullptr ? std::string()
                              : " (as line " + std::to_string(unwritten->line) + " would save it)";
}

void CheckRun::load(const std::string& slotName, BitmapImage& image, const std::string& fileName) {
  refuseIfPlan(fileName, "loads");
  SlotUse& use = useOf(slotName);
  if (image.isLoaded() && !use.usedSinceLoad) {
    warn("The " + slotName + " bitmap loaded on line " + std::to_string(use.loadLine) +
         " is replaced before any merge or save used it.");
  }
  if (const UnwrittenFile* unwritten = unwrittenFile(fileName)) {
    image.loadCopy(unwritten->bytes);
  } else {
    image.load(fileName);
  }
  use = {reader.currentLineNumber(), false};
  palettesCompared = false;
  if (image.pixelHeight() < 0) {
    warn("Stored top-down (a negative height): it loads and saves, but every merge into or "
         "from it fails as out of range.");
  }
}

void CheckRun::save(const BitmapImage& base, const std::string& fileName) {
  refuseIfPlan(fileName, "saves");
  // Nothing is written and nothing asked: the save is checked as if the answer were yes, and
  // fails where the real run's would.
  const bool taken = nameIsTaken(fileName) || unwrittenFile(fileName) != nullptr;
  std::printf("Would save output bitmap: %s (%s)\n", fileName.c_str(),
              taken ? "it exists: a real run asks to overwrite it; checked as if answered yes"
                    : "a new file");
  base.checkSave(fileName);
  const std::span<const std::uint8_t> bytes = base.fileBytes();
  unwrittenFiles.push_back(
      {fileName, fileIdentity(fileName), reader.currentLineNumber(), {bytes.begin(), bytes.end()}});
  saved();
}

void CheckRun::saved() {
  baseUse.usedSinceLoad = true;
  unsavedMerge.reset();
}

void CheckRun::saveDeclined(const std::string& fileName) const {
  if (strict) {
    throw ScriptError("Kept " + fileName +
                      " as it was: the overwrite question was not answered yes (--strict).");
  }
}

void CheckRun::tileSizeSet(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) {
    warn("Tile width or height of 0 or less.");
  }
  tileSizeGiven = true;
}

void CheckRun::merged(bool tileMode, const BitmapImage& base, const BitmapImage& patch) {
  if (tileMode && !tileSizeGiven) {
    warn("Tile merge with the default tile size of 1 by 1 pixel: no tilesize line came first.");
  }
  const std::span<const std::uint8_t> basePalette = base.paletteBytes();
  const std::span<const std::uint8_t> patchPalette = patch.paletteBytes();
  if (!palettesCompared && !basePalette.empty() &&
      !std::equal(basePalette.begin(), basePalette.end(), patchPalette.begin(),
                  patchPalette.end())) {
    warn("The 8-bit base and patch have different palettes: the merge combines palette "
         "indices, so colours change.");
  }
  palettesCompared = true;
  baseUse.usedSinceLoad = patchUse.usedSinceLoad = true;
  if (!unsavedMerge) {
    unsavedMerge = LineReport{reader.currentLineNumber(), reader.currentRawLine()};
  }
  if (plan) {
    const std::string_view colour = plan->addLine(lineBlocks);
    lineBlocks.clear();
    std::printf("Plan: line %ld in %.*s\n", static_cast<long>(reader.currentLineNumber()),
                static_cast<int>(colour.size()), colour.data());
  }
}

} // namespace tilegraft
