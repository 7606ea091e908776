#include "engine/check_run.h"

#include "common/script_error.h"
#include "platform/console.h"
#include "platform/file_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>

namespace tilegraft {

namespace {

constexpr std::string_view strictStop = "Stopped on a warning (--strict).";

// Each acknowledgeable warning's name, in the order of the enumeration.
constexpr std::string_view warningNameList[] = {
    "big-number", "extra-text",   "quote",       "cut-name", "unsaved", "unused-load", "top-down",
    "zero-tile",  "default-tile", "empty-merge", "work",     "grid",    "indices",     "palettes",
};

// A count too large for any integer type still prints, rounded down.
std::string wholeNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", std::floor(value));
  return text;
}

} // namespace

std::optional<Warning> warningNamed(std::string_view name) {
  const auto* found = std::find(std::begin(warningNameList), std::end(warningNameList), name);
  if (found == std::end(warningNameList)) {
    return std::nullopt;
  }
  return static_cast<Warning>(found - std::begin(warningNameList));
}

std::string warningNames() {
  std::string names;
  for (const std::string_view name : warningNameList) {
    names += (names.empty()                                             ? ""
              : name == warningNameList[std::size(warningNameList) - 1] ? " and "
                                                                        : ", ");
    names += name;
  }
  return names;
}

CheckRun::FileKey CheckRun::keyOf(const std::string& fileName) {
  // A link that leads nowhere names the file it would make.
  const std::string leads = whereNameLeads(fileName);
  const std::size_t slash = leads.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? leads.substr(0, 1)
                                                        : leads.substr(0, slash);
  return {fileName, lookAtName(leads), lookAtName(folder),
          slash == std::string::npos ? leads : leads.substr(slash + 1)};
}

// Two names are one file when they are written alike, when both lead to the same file, or,
// where neither leads to a file yet, when both name the same entry of the same folder. A system
// without file numbers gives zeros, which tell nothing.
bool CheckRun::sameFile(const FileKey& key, const std::string& otherName) {
  if (key.name == otherName) {
    return true;
  }
  const FileKey other = keyOf(otherName);
  if (key.file.taken || other.file.taken) {
    return key.file.taken && key.file.inode != 0 && key.file == other.file;
  }
  return key.folder.taken && key.folder.inode != 0 && key.folder == other.folder &&
         key.entry == other.entry;
}

std::string shownOnTerminal(std::string_view text) {
  if (text.ends_with("\r\n")) {
    return shownOnTerminal(text.substr(0, text.size() - 2)) + "\n";
  }
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0U;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      shown += "M-^";
      shown += static_cast<char>(next - 0x80 + 0x40);
      ++at;
    } else if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F) {
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40U);
    } else {
      shown += text[at];
    }
  }
  return shown;
}

std::string shownOn(std::FILE* stream, std::string_view text) {
  return isTerminal(stream) ? shownOnTerminal(text) : std::string(text);
}

void reportLine(std::int32_t number, const std::string& raw) {
  // A last line without a line feed, or one cut at a NUL byte, still ends its report line.
  const char* lineEnd = raw.ends_with('\n') ? "" : "\n";
  std::fprintf(stderr, "Line %ld: %s%s", static_cast<long>(number), shownOn(stderr, raw).c_str(),
               lineEnd);
}

CheckRun::CheckRun(const RunSettings& settings, const ScriptReader& script,
                   const std::string& scriptName)
    : reader(script), dryRun(settings.check), strict(settings.strict),
      answerYes(settings.answerYes), planName(settings.check ? settings.planName : std::string()) {
  // A script in another folder is the likely reason a name it gives leads nowhere.
  if (scriptName.find_first_of("/\\") != std::string::npos) {
    missingNote = "Names in a script are relative to the current folder, not to the script's "
                  "folder.\n";
  }
  if (planName.empty()) {
    return;
  }
  planKey = keyOf(planName);
  // A script on standard input may still be a file, redirected.
  const bool planIsScript = scriptName == "-" ? planKey.file.taken && planKey.file.inode != 0 &&
                                                    planKey.file == lookAtStandardInput()
                                              : sameFile(planKey, scriptName);
  if (planIsScript) {
    throw ScriptError("Plan picture: " + planName +
                      " is the script: drawing the plan would replace it. Give --plan the name "
                      "of a new file.");
  }
  plan.emplace();
}

void CheckRun::warn(std::string text) { warnings.push_back(std::move(text)); }

void CheckRun::warn(Warning kind, std::string text) {
  if (const Acknowledged* allowance = allowanceFor(kind)) {
    acknowledge(*allowance, text);
  } else {
    warn(std::move(text));
  }
}

const CheckRun::Acknowledged* CheckRun::allowanceFor(Warning kind, bool base) const {
  const auto found = std::find_if(allowances.begin(), allowances.end(), [&](const Acknowledged& a) {
    return a.allowance.warning == kind && (kind != Warning::grid || a.allowance.base == base);
  });
  return found == allowances.end() ? nullptr : &*found;
}

void CheckRun::acknowledge(const Acknowledged& allowance, const std::string& text) {
  if (dryRun) {
    acknowledgedWarnings.push_back("(" + allowance.source + "): " + text);
  }
}

void CheckRun::allow(const Allowance& allowance) {
  const std::int32_t line = reader.currentLineNumber();
  Acknowledged entry{allowance,
                     line == 0 ? std::string("--allow") : "line " + std::to_string(line)};
  const auto same = std::find_if(allowances.begin(), allowances.end(), [&](const Acknowledged& a) {
    return a.allowance.warning == allowance.warning && a.allowance.base == allowance.base;
  });
  if (same == allowances.end()) {
    allowances.push_back(std::move(entry));
  } else {
    *same = std::move(entry);
  }
  // The grid is checked again against what the new acknowledgement says it holds.
  if (allowance.warning == Warning::grid) {
    (allowance.base ? baseGrid : patchGrid).reset();
  }
}

void CheckRun::warnAboutNumbers(const NumberScanner& numbers) {
  if (const std::string_view beyond = numbers.firstNumberBeyond32Bits(); !beyond.empty()) {
    warn(Warning::bigNumber, std::string(beyond) + " is read as " +
                                 std::to_string(numbers.firstNumberBeyond32BitsStored()) +
                                 ": numbers have 32 bits.");
  }
  if (const std::string_view unread = numbers.unreadText(); !unread.empty()) {
    warn(Warning::extraText, "Text after the numbers ignored: " + std::string(unread));
  }
}

void CheckRun::warnAboutName(const std::string& fileName) {
  if (fileName.starts_with('"') || fileName.starts_with('\'')) {
    warn(Warning::quote,
         "The file name begins with a quote: quotes are part of a name here, and the whole rest "
         "of the line is the name, blanks included.");
  }
  const std::string& raw = reader.currentRawLine();
  const std::size_t comment = raw.find("//");
  if (comment != std::string::npos && comment > 0 && raw[comment - 1] != ' ' &&
      raw[comment - 1] != '\t') {
    warn(Warning::cutName,
         "The file name is cut where // begins: // starts a comment even inside a name, so the "
         "name read is " +
             fileName + ".");
  }
}

void CheckRun::reportOrStop(const LineReport& line) {
  if (warnings.empty() && acknowledgedWarnings.empty()) {
    return;
  }
  if (strict && !warnings.empty()) {
    throw ScriptError(std::string(strictStop));
  }
  std::fflush(stdout);
  reportLine(line.number, line.raw);
  reportWarnings();
}

void CheckRun::endLine() { reportOrStop({reader.currentLineNumber(), reader.currentRawLine()}); }

void CheckRun::reportWarnings() {
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "---- Warning: %s\n", shownOn(stderr, warning).c_str());
  }
  for (const std::string& acknowledged : acknowledgedWarnings) {
    std::fprintf(stderr, "---- Acknowledged %s\n", shownOn(stderr, acknowledged).c_str());
  }
  warnings.clear();
  acknowledgedWarnings.clear();
}

void CheckRun::endScript(const BitmapImage& base, const BitmapImage& patch,
                         const std::function<bool(const std::string&)>& confirmOverwrite) {
  if (unsavedMerge) {
    warn(Warning::unsaved, "No save comes after this merge: what it and later merges do is lost.");
    if (strict && !warnings.empty()) {
      // The script is closed by now, so the run's report of the stop cannot show the line.
      std::fflush(stdout);
      reportLine(unsavedMerge->number, unsavedMerge->raw);
    }
    reportOrStop(*unsavedMerge);
  }
  if (!plan) {
    return;
  }
  const std::vector<std::uint8_t> picture = plan->draw(base, patch, planName);
  // As a save does: the answer holds for the file it was about, and a name that changes is
  // asked about again.
  for (;;) {
    const NameState seen = lookAtName(planName);
    if (seen.taken && !confirmOverwrite(planName)) {
      saveDeclined(planName);
      return;
    }
    std::printf("Writing plan picture: %s...\n", shownOn(stdout, planName).c_str());
    if (picture.empty()) {
      throw ScriptError("Plan picture: too large for a BMP file.");
    }
    switch (replaceFile(planName, picture, seen)) {
    case ReplaceResult::replaced:
      return;
    case ReplaceResult::nameTaken:
      std::printf("Not written: %s changed at its name meanwhile.\n",
                  shownOn(stdout, planName).c_str());
      continue;
    case ReplaceResult::notCreated:
      throw ScriptError("Plan picture: Error creating file.");
    case ReplaceResult::notWritten:
    case ReplaceResult::locked:
      throw ScriptError("Plan picture: Error writing file.");
    }
  }
}

const CheckRun::UnwrittenFile* CheckRun::unwrittenFile(const std::string& fileName) const {
  // The latest save to the name is what a load would read.
  const auto found =
      std::find_if(unwrittenFiles.rbegin(), unwrittenFiles.rend(),
                   [&](const UnwrittenFile& file) { return sameFile(file.key, fileName); });
  return found == unwrittenFiles.rend() ? nullptr : &*found;
}

void CheckRun::refuseIfPlan(const std::string& fileName, std::string_view use) const {
  if (plan && sameFile(planKey, fileName)) {
    throw ScriptError("Plan picture: " + planName + " is a file this script " + std::string(use) +
                      ": drawing the plan would replace it. Give --plan the name of a new file.");
  }
}

std::string CheckRun::loadNote(const std::string& fileName) const {
  const UnwrittenFile* unwritten = unwrittenFile(fileName);
  return unwritten == nullptr ? std::string()
                              : " (as line " + std::to_string(unwritten->line) + " would save it)";
}

void CheckRun::beforeLoad(const BitmapImage& base, const BitmapImage& patch) {
  if (plan) {
    plan->endStage(base, patch);
  }
}

void CheckRun::load(const std::string& slotName, BitmapImage& image, const std::string& fileName) {
  refuseIfPlan(fileName, "loads");
  warnAboutName(fileName);
  replacing(slotName, image);
  if (const UnwrittenFile* unwritten = unwrittenFile(fileName)) {
    image.loadCopy(unwritten->bytes);
  } else {
    image.load(fileName, missingNote);
  }
  useOf(slotName) = {reader.currentLineNumber(), false};
  palettesCompared = false;
  if (image.pixelHeight() < 0) {
    warn(Warning::topDown,
         "Stored top-down (a negative height): it loads and saves, but every merge into or "
         "from it fails as out of range.");
  }
}

void CheckRun::replacing(const std::string& slotName, const BitmapImage& image) {
  SlotUse& use = useOf(slotName);
  if (image.isLoaded() && !use.usedSinceLoad) {
    warn(Warning::unusedLoad, "The " + slotName + " bitmap loaded on line " +
                                  std::to_string(use.loadLine) +
                                  " is replaced before any merge or save used it.");
  }
  if (slotName == "base" && unsavedMerge) {
    warn(Warning::unsaved, "The base bitmap is replaced before a save: what the merge on line " +
                               std::to_string(unsavedMerge->number) +
                               " and those after it did is lost.");
    unsavedMerge.reset();
  }
}

void CheckRun::made(const std::string& slotName, BitmapImage& image) {
  useOf(slotName) = {reader.currentLineNumber(), false};
  palettesCompared = false;
  if (slotName == "base" && image.isLoaded()) {
    // A bitmap made but not saved is lost like a merge's work.
    unsavedMerge = LineReport{reader.currentLineNumber(), reader.currentRawLine()};
  }
}

void CheckRun::beforeTileOperation(const std::string& slotName, BitmapImage& image, bool extruding,
                                   std::int32_t reach) {
  lineBlocks.clear();
  image.recordMergesInto(plan ? &lineBlocks : nullptr);
  if (extruding && reach == 0) {
    warn(Warning::emptyMerge, "Extrudes nothing: an extrusion of 0 pixels.");
  }
  if (extruding && !tileSizeGiven) {
    warn(Warning::defaultTile,
         "Extrusion with the default tile size of 1 by 1 pixel: no tilesize line came first.");
  }
  const bool wholeTilesMatter = extruding || tileSizeGiven;
  const PixelPoint tiles = image.wholeTileCounts();
  if (wholeTilesMatter && image.isLoaded() && image.pixelHeight() >= 0 &&
      (tiles.x == 0 || tiles.y == 0)) {
    warn(Warning::emptyMerge, "No whole tile of the " + slotName + "'s grid lies inside its " +
                                  std::to_string(image.pixelWidth()) + " by " +
                                  std::to_string(image.pixelHeight()) +
                                  " pixels: the line changes nothing.");
  }
}

void CheckRun::tileOperationDone(const std::string& slotName, BitmapImage& image) {
  image.recordMergesInto(nullptr);
  useOf(slotName).usedSinceLoad = true;
  if (tileSizeGiven) {
    warnAboutGrid(slotName == "base" ? "base" : "patch", image,
                  slotName == "base" ? baseGrid : patchGrid);
  }
  if (slotName == "base" && !unsavedMerge) {
    unsavedMerge = LineReport{reader.currentLineNumber(), reader.currentRawLine()};
  }
  if (plan) {
    const std::string_view colour =
        plan->addLine(lineBlocks, slotName == "base" ? PlanSide::base : PlanSide::patch);
    std::printf("Plan: line %ld in %.*s\n", static_cast<long>(reader.currentLineNumber()),
                static_cast<int>(colour.size()), colour.data());
  }
  lineBlocks.clear();
}

void CheckRun::save(const BitmapImage& base, const std::string& fileName,
                    const std::function<bool(const std::string&)>& confirmOverwrite) {
  refuseIfPlan(fileName, "saves");
  warnAboutName(fileName);
  // Nothing is written, and nothing asked but where the answer decides a strict run: the save
  // is checked as if the answer were yes, and fails where the real run's would.
  const bool taken = nameIsTaken(fileName) || unwrittenFile(fileName) != nullptr;
  if (taken && strict && !answerYes && !confirmOverwrite(fileName)) {
    saveDeclined(fileName);
  }
  std::printf("Would save output bitmap: %s (%s)\n", shownOn(stdout, fileName).c_str(),
              taken ? "it exists: a real run asks to overwrite it; checked as if answered yes"
                    : "a new file");
  base.checkSave(fileName);
  const std::span<const std::uint8_t> bytes = base.fileBytes();
  unwrittenFiles.push_back(
      {keyOf(fileName), reader.currentLineNumber(), {bytes.begin(), bytes.end()}});
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
    warn(Warning::zeroTile, "Tile width or height of 0 or less.");
  }
  tileSizeGiven = true;
}

void CheckRun::beforeMerge(bool tileMode, BitmapImage& base, std::int32_t width,
                           std::int32_t height, MergeRepeats repeats) {
  lineBlocks.clear();
  const bool indicesMayLackColours =
      base.bytesPerPixelCount() == 1 && base.paletteBytes().size() / 4 < 256;
  base.recordMergesInto(plan || indicesMayLackColours ? &lineBlocks : nullptr);
  if (!base.isLoaded() || width <= 0 || height <= 0 || repeats.across <= 0 || repeats.down <= 0) {
    return;
  }
  const TileLayout& grid = base.tileLayout();
  const double blocks = static_cast<double>(repeats.across) * repeats.down *
                        (tileMode ? static_cast<double>(width) * height : 1);
  const double blockBytes = tileMode ? static_cast<double>(grid.tileWidth) * grid.tileHeight
                                     : static_cast<double>(width) * height;
  const double bytes = blocks * blockBytes * base.bytesPerPixelCount();
  const double pixelBytes =
      static_cast<double>(base.strideBytes()) * std::abs(static_cast<double>(base.pixelHeight()));
  // Work many times the bitmap is what overlapping cells and huge repeats cost; a merge that
  // covers the bitmap a few times over is normal. A bitmap without pixels merges nothing.
  constexpr double manyTimes = 16;
  constexpr double worthTelling = 64.0 * 1024 * 1024;
  if (pixelBytes > 0 && bytes > worthTelling && bytes > manyTimes * pixelBytes) {
    warn(Warning::work,
         "This line merges " + wholeNumber(blocks) + " blocks, " +
             wholeNumber(bytes / (1024 * 1024)) + " MiB in all, about " +
             wholeNumber(bytes / pixelBytes) +
             " times the base's pixels: tiles larger than the distance between them, or large "
             "repeats, make the work grow fast.");
  }
}

void CheckRun::warnAboutGrid(const char* role, const BitmapImage& image,
                             std::optional<GridFit>& lastChecked) {
  const GridFit fit{image.tileLayout(), image.pixelWidth(), image.pixelHeight()};
  if (lastChecked == fit) {
    return;
  }
  lastChecked = fit;
  const TileLayout& grid = fit.layout;
  // A grid whose tiles do not move on (a pitch of 0 or less) lays every tile on one place: no
  // sheet of tiles to fit.
  const PixelPoint cell = cellPitch(grid);
  if (grid.tileWidth <= 0 || grid.tileHeight <= 0 || cell.x <= 0 || cell.y <= 0) {
    return;
  }
  const WholeTiles across =
      wholeTiles(grid.xOrigin, grid.xBorderBefore, grid.tileWidth, grid.xBorderAfter, fit.width);
  const WholeTiles down =
      wholeTiles(grid.yOrigin, grid.yBorderBefore, grid.tileHeight, grid.yBorderAfter, fit.height);
  // A sheet is its margins and a whole number of cells: how far its edge lies from a cell's
  // edge, counted from the origin, is expected when borders and margins can explain it, at most
  // twice the borders between tiles plus the origin's offset. A tile size that takes in the
  // gutter leaves a remainder that grows by the gutter with every tile.
  const auto fits = [](const WholeTiles& tiles, std::int32_t origin, std::int32_t before,
                       std::int32_t tile, std::int32_t after, std::int32_t extent) {
    if (tiles.count == 0) {
      return false;
    }
    const std::int64_t pitch = std::int64_t{before} + tile + after;
    const std::int64_t borders = std::max<std::int64_t>(pitch - tile, 0);
    const std::int64_t left = ((std::int64_t{extent} - origin) % pitch + pitch) % pitch;
    return std::min(left, pitch - left) <= 2 * (borders + std::abs(std::int64_t{origin}));
  };
  const auto describe = [](const WholeTiles& tiles, const char* direction) {
    return tiles.count == 0
               ? std::string("no whole tile fits ") + direction
               : std::to_string(tiles.count) +
                     (tiles.count == 1 ? " whole tile " : " whole tiles ") + direction +
                     (tiles.count == 1 ? " leaves " : " leave ") +
                     std::to_string(tiles.pixelsAfter) +
                     (tiles.pixelsAfter == 1 ? " pixel after the last" : " pixels after the last");
  };
  const bool acrossFits =
      fits(across, grid.xOrigin, grid.xBorderBefore, grid.tileWidth, grid.xBorderAfter, fit.width);
  const bool downFits =
      fits(down, grid.yOrigin, grid.yBorderBefore, grid.tileHeight, grid.yBorderAfter, fit.height);
  // An acknowledgement states the whole tiles the grid holds: once they change, it is void.
  const Acknowledged* allowance = allowanceFor(Warning::grid, role == std::string_view("base"));
  const bool asAllowed = allowance != nullptr && allowance->allowance.across == across.count &&
                         allowance->allowance.down == down.count;
  if (allowance != nullptr && !asAllowed) {
    warn(std::string("The ") + role + "'s grid holds " + std::to_string(across.count) + " by " +
         std::to_string(down.count) + " whole tiles, not " +
         std::to_string(allowance->allowance.across) + " by " +
         std::to_string(allowance->allowance.down) + " as " + allowance->source + " says.");
  }
  if (acrossFits && downFits) {
    return;
  }
  std::string what = !acrossFits ? describe(across, "across") : "";
  if (!downFits) {
    what += (what.empty() ? "" : "; ") + describe(down, "down");
  }
  std::string text = std::string("The ") + role + "'s grid does not fit its " +
                     std::to_string(fit.width) + " by " + std::to_string(fit.height) +
                     " pixels: " + what +
                     ". A tile size that includes the gutter, or a margin or gutter missing "
                     "from tilespecs, shifts every tile.";
  if (asAllowed) {
    acknowledge(*allowance, text);
  } else {
    warn(std::move(text));
  }
}

void CheckRun::warnAboutIndices(const BitmapImage& base) {
  const std::size_t entries = base.paletteBytes().size() / 4;
  if (base.bytesPerPixelCount() != 1 || entries >= 256 || lineBlocks.empty()) {
    return;
  }
  // Each pixel counted once, however many blocks cover it.
  const auto width = static_cast<std::size_t>(base.pixelWidth());
  std::vector<bool> seen(width * static_cast<std::size_t>(base.pixelHeight()));
  std::size_t outside = 0;
  for (const MergedBlock& block : lineBlocks) {
    for (std::int32_t row = 0; row < block.height; ++row) {
      const std::int32_t y = block.destination.y + row;
      const std::uint8_t* pixels =
          base.fileBytes().data() + base.pixelOffset(block.destination.x, y);
      for (std::int32_t column = 0; column < block.width; ++column) {
        const std::size_t at = static_cast<std::size_t>(y) * width +
                               static_cast<std::size_t>(block.destination.x + column);
        if (pixels[column] >= entries && !seen[at]) {
          seen[at] = true;
          ++outside;
        }
      }
    }
  }
  if (outside > 0) {
    // The list keeps its first blocks only: beyond them, more pixels may lack a colour.
    const bool allSeen = lineBlocks.size() < BitmapImage::mergeLogLimit;
    warn(Warning::indices, std::string(allSeen ? "" : "At least ") + std::to_string(outside) +
                               " merged pixels hold a colour index beyond the base's colour "
                               "table of " +
                               std::to_string(entries) + (entries == 1 ? " colour" : " colours") +
                               ": they show no colour of the table.");
  }
}

void CheckRun::merged(bool tileMode, const BitmapImage& base, const BitmapImage& patch) {
  if (tileMode && !tileSizeGiven) {
    warn(Warning::defaultTile,
         "Tile merge with the default tile size of 1 by 1 pixel: no tilesize line came first.");
  }
  if (tileMode) {
    warnAboutGrid("base", base, baseGrid);
    warnAboutGrid("patch", patch, patchGrid);
  }
  warnAboutIndices(base);
  const std::span<const std::uint8_t> basePalette = base.paletteBytes();
  const std::span<const std::uint8_t> patchPalette = patch.paletteBytes();
  if (!palettesCompared && !basePalette.empty() &&
      !std::equal(basePalette.begin(), basePalette.end(), patchPalette.begin(),
                  patchPalette.end())) {
    warn(Warning::palettes,
         "The 8-bit base and patch have different palettes: the merge combines palette "
         "indices, so colours change.");
  }
  palettesCompared = true;
  baseUse.usedSinceLoad = patchUse.usedSinceLoad = true;
  if (!unsavedMerge) {
    unsavedMerge = LineReport{reader.currentLineNumber(), reader.currentRawLine()};
  }
  if (plan) {
    const std::string_view colour = plan->addLine(lineBlocks);
    std::printf("Plan: line %ld in %.*s\n", static_cast<long>(reader.currentLineNumber()),
                static_cast<int>(colour.size()), colour.data());
  }
  lineBlocks.clear();
}

} // namespace tilegraft
