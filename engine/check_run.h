#pragma once

#include "bitmap/bitmap_image.h"
#include "bitmap/plan_picture.h"
#include "commands/number_scanner.h"
#include "engine/script_reader.h"
#include "platform/files.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tilegraft {

// How a run goes beyond doing what the script says.
struct RunSettings {
  bool check = false;     // --check: in memory only; nothing written, nothing asked
  bool strict = false;    // --strict: every warning stops the run, and so does a save not made
  bool answerYes = false; // --yes: every overwrite question answered yes
  std::string planName;   // --plan: a check run draws its plan picture here; empty for none
  // --allow: each as the words after "allow" on a line before the script's first
  std::vector<std::string> allowances;
};

// The warnings that "allow" acknowledges, each by the name that it gives them.
enum class Warning {
  bigNumber,
  extraText,
  quote,
  cutName,
  unsaved,
  unusedLoad,
  topDown,
  zeroTile,
  defaultTile,
  emptyMerge,
  work,
  grid,
  indices,
  palettes,
};
// The warning that "allow" names so, if any.
std::optional<Warning> warningNamed(std::string_view name);
// The names, as an explanation lists them.
std::string warningNames();

// What one "allow" says is meant: a warning, and for the grid the bitmap and the whole tiles
// its grid holds, so that the acknowledgement no longer holds once the grid changes.
struct Allowance {
  Warning warning = Warning::grid;
  bool base = true;
  std::int32_t across = 0;
  std::int32_t down = 0;
};

// Everything a check run or a strict run does besides the script's own work; a plain real run
// has none. Made afresh for each run, it lives as long as the run and owns:
// - the warnings about the line being run, reported under it once it has run, or before its
//   error when it fails (a strict run stops there instead);
// - what the warnings remember across lines: whether a tile size was given, whether the
//   palettes were compared since the last load, the first merge since the last save, and each
//   slot's load line and whether a merge or save used it since;
// - in a check run, the bytes each save would have written, by name, so that a later load of
//   the name reads them as the real run would, and the plan picture with its merge log.
class CheckRun {
public:
  // Reads the line being run from the script; refuses a plan picture that is the script
  // itself. Throws "Plan picture: ..." for that.
  CheckRun(const RunSettings& settings, const ScriptReader& script, const std::string& scriptName);
  CheckRun(const CheckRun&) = delete;
  CheckRun& operator=(const CheckRun&) = delete;

  bool isDryRun() const { return dryRun; }

  // Keeps a warning about the current line.
  void warn(std::string text);
  // The same for a warning that "allow" may have acknowledged: a check run then lists it as
  // acknowledged, and a strict run goes on.
  void warn(Warning kind, std::string text);
  // Acknowledges from the current line on (from the start, for the command line's) a warning,
  // replacing an earlier acknowledgement of the same warning and bitmap.
  void allow(const Allowance& allowance);
  // Warns about a command's numbers: text after them that was not read, a number beyond 32 bits.
  void warnAboutNumbers(const NumberScanner& numbers);
  // After a line ran: reports its warnings under it. In a strict run, a line that warned throws
  // the stop instead, its warnings still to be reported with it.
  void endLine();
  // Writes the current line's warnings and acknowledged warnings, and forgets them: under the
  // line's report, before the error of a line that failed.
  void reportWarnings();
  // At the end of the script: warns about a merge that no save followed (a strict run stops
  // there), then draws the plan picture, if any, replacing a file only when confirmOverwrite,
  // asked about that very file, says yes.
  void endScript(const BitmapImage& base, const BitmapImage& patch,
                 const std::function<bool(const std::string&)>& confirmOverwrite);

  // Before a load replaces a bitmap: the merges so far and the bitmaps they changed become a
  // stage of the plan picture, if any.
  void beforeLoad(const BitmapImage& base, const BitmapImage& patch);
  // The note that a check run's load line gets when the name is one of its own unwritten saves.
  std::string loadNote(const std::string& fileName) const;
  // Loads the slot's image as the line asks: in a check run, the bytes of an earlier save to
  // the name when there is one, else the file. Throws what the image's load throws, or
  // "Plan picture: ..." when the file is the plan's.
  void load(const std::string& slotName, BitmapImage& image, const std::string& fileName);
  // A check run's save: says what the real run would do, fails where it would, keeps the bytes.
  // A strict one without --yes asks about a file it would replace, as the real run does, and
  // stops unless confirmOverwrite says yes: --strict passes only saves that are made.
  void save(const BitmapImage& base, const std::string& fileName,
            const std::function<bool(const std::string&)>& confirmOverwrite);
  // A save was made, or a check run's would have been.
  void saved();
  // Warns about a file name that is likely not what was meant.
  void warnAboutName(const std::string& fileName);
  // A real run's save was not made, the answer not being yes: a strict run stops.
  void saveDeclined(const std::string& fileName) const;

  void tileSizeSet(std::int32_t width, std::int32_t height);
  // Before a merge line runs: warns when its work is many times the base bitmap, and gives the
  // base a list of the blocks it merges when the plan or the colour-index warning needs them.
  void beforeMerge(bool tileMode, BitmapImage& base, std::int32_t width, std::int32_t height,
                   MergeRepeats repeats);
  // After a merge line succeeded: the planning mistakes it can still show, and its blocks.
  void merged(bool tileMode, const BitmapImage& base, const BitmapImage& patch);

private:
  struct SlotUse {
    std::int32_t loadLine = 0;
    bool usedSinceLoad = true;
  };
  // What tells one file from another whatever its name's spelling: the file, or where there is
  // none yet, the folder and the entry in it.
  struct FileKey {
    std::string name;
    NameState file;
    NameState folder;
    std::string entry;
  };
  struct UnwrittenFile {
    FileKey key; // as it was when the file was saved
    std::int32_t line = 0;
    std::vector<std::uint8_t> bytes;
  };
  // A grid as last checked against its bitmap's size.
  struct GridFit {
    TileLayout layout;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const GridFit&) const = default;
  };
  struct LineReport {
    std::int32_t number = 0;
    std::string raw;
  };
  struct Acknowledged {
    Allowance allowance;
    std::string source; // "line N", or "--allow"
  };

  SlotUse& useOf(const std::string& slotName) { return slotName == "base" ? baseUse : patchUse; }
  static FileKey keyOf(const std::string& fileName);
  static bool sameFile(const FileKey& key, const std::string& otherName);
  const UnwrittenFile* unwrittenFile(const std::string& fileName) const;
  // Warns when a grid's whole tiles leave pixels at the right or bottom that no margin explains.
  void warnAboutGrid(const char* role, const BitmapImage& image,
                     std::optional<GridFit>& lastChecked);
  // Warns when the line's merges left 8-bit indices that the base's colour table has no entry
  // for; its cost is that of the blocks merged.
  void warnAboutIndices(const BitmapImage& base);
  // Throws when the file is the plan picture's, which would replace it.
  void refuseIfPlan(const std::string& fileName, std::string_view use) const;
  const Acknowledged* allowanceFor(Warning kind, bool base = true) const;
  // Keeps the text of a warning that an allowance acknowledged, for a check run to list.
  void acknowledge(const Acknowledged& allowance, const std::string& text);
  // Reports the warnings under their line, or throws the stop in a strict run.
  void reportOrStop(const LineReport& line);

  const ScriptReader& reader;
  bool dryRun;
  bool strict;
  bool answerYes;
  std::string planName;
  FileKey planKey;
  std::optional<PlanPicture> plan;
  std::string missingNote; // for a load whose name leads nowhere
  std::vector<MergedBlock> lineBlocks;

  std::vector<std::string> warnings;
  std::vector<std::string> acknowledgedWarnings;
  std::vector<Acknowledged> allowances;
  bool tileSizeGiven = false;
  bool palettesCompared = false;
  std::optional<LineReport> unsavedMerge;
  SlotUse baseUse;
  SlotUse patchUse;
  std::optional<GridFit> baseGrid;
  std::optional<GridFit> patchGrid;
  std::vector<UnwrittenFile> unwrittenFiles;
};

// Writes "Line N: " and the raw line, always ending in a line feed, to standard error; to a
// terminal, as shownOnTerminal shows it.
void reportLine(std::int32_t number, const std::string& raw);
// Text as a terminal shows it without acting on it: each control byte but tab and line feed
// becomes a caret and a letter (^M, ^[, ^? for delete), a C1 control written in UTF-8 the same
// after M- (M-^[), and a carriage return before the line feed that ends the text is left out.
std::string shownOnTerminal(std::string_view text);
// The text as shownOnTerminal shows it when the stream is a terminal, else as it is: for every
// line that may carry a script's or a name's bytes.
std::string shownOn(std::FILE* stream, std::string_view text);

} // namespace tilegraft
