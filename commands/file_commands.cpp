#include "common/ascii.h"
#include "common/script_error.h"
#include "engine/patch_script.h"
#include "platform/console.h"
#include "platform/files.h"

#include <cstdio>
#include <optional>

namespace tilegraft {

namespace {

// Reads the answer to the overwrite question: exactly one line of standard input, or nothing
// when the input has ended. True only when the line begins with y or Y. A script read from
// standard input is never read as an answer: that would take a line from the script.
bool answeredYes(bool scriptIsInput) {
  if (scriptIsInput) {
    return false;
  }
  const std::optional<char> answer = readAnswerLine();
  return answer && asciiLower(*answer) == 'y';
}

} // namespace

BitmapSlot& PatchScript::selectSlot(const std::string& name) {
  if (name == "base") {
    return base;
  }
  if (name == "patch") {
    return patch;
  }
  throw ScriptError("Invalid argument: " + name);
}

void PatchScript::loadCommand(const std::string& slotName) {
  BitmapSlot& slot = selectSlot(slotName);
  if (workingLine.empty()) {
    throw ScriptError("Filename not specified.");
  }
  std::printf("Loading %s bitmap: %s...\n", slotName.c_str(), workingLine.c_str());
  if (runMode == RunMode::check && slot.image.isLoaded() && !slot.usedSinceLoad) {
    warn("The " + slotName + " bitmap loaded on line " + std::to_string(slot.loadLine) +
         " is replaced before any merge or save used it.");
  }
  slot.image.load(workingLine);
  slot.loadLine = lineNumber;
  slot.usedSinceLoad = false;
  palettesCompared = false;
  if (runMode == RunMode::check && slot.image.pixelHeight() < 0) {
    warn("Stored top-down (a negative height): it loads and saves, but every merge into or "
         "from it fails as out of range.");
  }
}

void PatchScript::saveCommand(const std::string& /*unused*/) {
  if (workingLine.empty()) {
    throw ScriptError("Filename not specified.");
  }
  const std::string& fileName = workingLine;
  if (runMode == RunMode::check) {
    // Nothing is written and nothing asked: the save is checked as if the answer were yes, and
    // fails where the real run's would.
    std::printf("Would save output bitmap: %s (%s)\n", fileName.c_str(),
                nameIsTaken(fileName)
                    ? "it exists: a real run asks to overwrite it; checked as if answered yes"
                    : "a new file");
    base.image.checkSave(fileName);
    base.usedSinceLoad = true;
    unsavedMerge.reset();
    return;
  }
  // The answer holds for what it was about: when the name changes before the save (a file
  // appears at a free name, another file takes the place of the one asked about), nothing is
  // written and the question is asked about what is there now.
  for (bool saved = false; !saved;) {
    const NameState seen = lookAtName(fileName);
    if (seen.taken) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s already exists: overwrite (y/n)? ", fileName.c_str());
      if (answersYes) {
        // The answer is written where a typed one would be echoed, so that logs show it.
        std::fputs("y\n", stderr);
      } else if (!answeredYes(isStandardInput())) {
        return;
      }
    }
    std::printf("Saving output bitmap: %s...\n", fileName.c_str());
    saved = base.image.save(fileName, seen);
  }
}

} // namespace tilegraft
