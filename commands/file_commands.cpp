#include "common/ascii.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

#include <cstdio>
#include <sys/stat.h>

namespace tilegraft {

namespace {

// Reads the answer to the overwrite question: exactly one line of standard input, or nothing
// when the input has ended. True only when the line begins with y or Y. A script read from
// standard input is never read as an answer: that would take a line from the script.
bool answeredYes(bool scriptIsInput) {
  if (scriptIsInput) {
    return false;
  }
  const int answer = std::getchar();
  if (answer != '\n' && answer != EOF) {
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
  }
  return answer != EOF && asciiLower(static_cast<char>(answer)) == 'y';
}

// Anything at the name is asked about, whether or not it can be read: a file, a folder, a
// device, and a symbolic link even when it leads nowhere yet, as the save would then create the
// file it names. Where a link leads somewhere, something is there too, so lstat sees all.
bool somethingAt(const std::string& fileName) {
  struct stat existing {};
  return lstat(fileName.c_str(), &existing) == 0;
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
  slot.image.load(workingLine);
}

void PatchScript::saveCommand(const std::string& /*unused*/) {
  if (workingLine.empty()) {
    throw ScriptError("Filename not specified.");
  }
  const std::string& fileName = workingLine;
  if (runMode == RunMode::check) {
    // Nothing is written and nothing asked; a base bitmap that is not loaded still fails.
    std::printf("Would save output bitmap: %s (%s)\n", fileName.c_str(),
                somethingAt(fileName) ? "it exists: a real run asks to overwrite it"
                                      : "a new file");
    base.image.requireLoaded();
    return;
  }
  if (somethingAt(fileName)) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s already exists: overwrite (y/n)? ", fileName.c_str());
    if (!answeredYes(isStandardInput())) {
      return;
    }
  }
  std::printf("Saving output bitmap: %s...\n", fileName.c_str());
  base.image.save(fileName);
}

} // namespace tilegraft
