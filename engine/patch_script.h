#pragma once

#include "bitmap/bitmap_image.h"
#include "bitmap/tile_layout.h"
#include "common/script_error.h"
#include "engine/check_run.h"
#include "engine/script_reader.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tilegraft {

// One bitmap role: its image and the tile layout settings that the tile commands edit and then
// hand to the image.
struct BitmapSlot {
  explicit BitmapSlot(std::string name) : image(std::move(name)) {}

  BitmapImage image;
  TileLayout settings;
};

// The interpreter: the script reader, the base and patch slots, and the command table. It lives
// for the whole program run; run() may be called more than once and leaves both images unloaded
// and the script closed. What check and strict runs add lives in CheckRun.
class PatchScript : public ScriptReader {
public:
  explicit PatchScript(RunSettings runSettings = {});

  // Runs the script to its end (prints "Done.", returns 0) or to its first error (reports it on
  // standard error with its line, returns 1).
  int run(const std::string& scriptName);

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
  static constexpr std::size_t commandCount = 9;
  static const std::array<CommandRow, commandCount> commandTable;

  void runLine();
  // Reports the error of the run: the line, its warnings, the message and, in a check run, the
  // explanation.
  void reportError(const ScriptError& error);
  // Throws "Invalid argument: " + name unless the name is "base" or "patch".
  BitmapSlot& selectSlot(const std::string& name);
  // Asks the overwrite question about the file at the name: true when answered yes.
  bool confirmOverwrite(const std::string& fileName);

  void loadCommand(const std::string& slotName);
  void saveCommand(const std::string& unused);
  void tileSizeCommand(const std::string& unused);
  void tileSpecsCommand(const std::string& slotName);
  void mergeCommand(const std::string& mode);
  void echoCommand(const std::string& unused);
  void allowCommand(const std::string& name);

  RunSettings options;
  // Present during a check or strict run.
  std::optional<CheckRun> checks;
};

} // namespace tilegraft
