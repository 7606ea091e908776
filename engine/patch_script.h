#pragma once

#include "bitmap/bitmap_image.h"
#include "bitmap/plan_picture.h"
#include "bitmap/tile_layout.h"
#include "engine/script_reader.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tilegraft {

// One bitmap role: its image and the tile layout settings that the tile commands edit and then
// hand to the image.
struct BitmapSlot {
  explicit BitmapSlot(std::string name) : image(std::move(name)) {}

  BitmapImage image;
  TileLayout settings;
  // For check runs: the line of the last load, and whether a merge or save used it since.
  std::int32_t loadLine = 0;
  bool usedSinceLoad = true;
};

// A real run does what the script says. A check run does the same in memory, but its saves
// write and ask nothing, and it warns about lines that are likely mistakes.
enum class RunMode { execute, check };

// The interpreter: the script reader, the base and patch slots, and the command table. It lives
// for the whole program run; run() may be called more than once and leaves both images unloaded
// and the script closed.
class PatchScript : public ScriptReader {
public:
  // answerYes: every overwrite question is answered yes without reading standard input.
  explicit PatchScript(RunMode mode = RunMode::execute, bool answerYes = false);

  // Runs the script to its end (prints "Done.", returns 0) or to its first error (reports it on
  // standard error with its line, returns 1).
  int run(const std::string& scriptName);
  // In a check run, a picture of the plan is written to this file at the end of the script.
  void drawPlanInto(std::string pictureName) { planName = std::move(pictureName); }

  BitmapSlot base;
  BitmapSlot patch;

  using Handler = void (PatchScript::*)(const std::string& argument);

  struct CommandRow {
    std::string_view keyword;
    // When non-empty, what the handler receives; no argument word is then read from the line.
    std::string_view fixedArgument;
    Handler handler;
  };

private:
  static constexpr std::size_t commandCount = 8;
  static const std::array<CommandRow, commandCount> commandTable;

  void runLine();
  // Writes "Line N: " and the raw line, always ending in a line feed, to standard error.
  void reportLine() const { reportLine(lineNumber, rawLine); }
  static void reportLine(std::int32_t number, const std::string& raw);
  // Writes each line of an explanation indented, under the message it explains.
  static void reportExplanation(std::string_view explanation);
  // In a check run, keeps a warning about the current line, to be reported once it has run.
  void warn(std::string text);
  // Warns when a command's numbers were followed by text that was not read.
  void warnIfTextLeft(std::string_view unread);
  void reportWarnings();
  // Writes "Line N: " and the raw line, then each warning, to standard error.
  static void reportWarnings(std::int32_t number, const std::string& raw,
                             const std::vector<std::string>& texts);
  // Throws "Invalid argument: " + name unless the name is "base" or "patch".
  BitmapSlot& selectSlot(const std::string& name);

  void loadCommand(const std::string& slotName);
  void saveCommand(const std::string& unused);
  void tileSizeCommand(const std::string& unused);
  void tileSpecsCommand(const std::string& slotName);
  void mergeCommand(const std::string& mode);
  void echoCommand(const std::string& unused);

  // Check runs' end-of-script warning: the first merge since the last save.
  struct UnsavedMerge {
    std::int32_t lineNumber = 0;
    std::string rawLine;
  };
  void warnAboutMerge(bool tileMode);
  void writePlan() const;
  void reportUnsavedMerge() const;

  RunMode runMode;
  bool answersYes;
  std::vector<std::string> warnings;
  // What check runs' planning warnings remember, reset by each run.
  bool tileSizeGiven = false;
  bool palettesCompared = false;
  std::optional<UnsavedMerge> unsavedMerge;
  // Empty for no plan picture.
  std::string planName;
  std::optional<PlanPicture> plan;
};

} // namespace tilegraft
