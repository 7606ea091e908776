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
  throw ScriptError("Invalid argument: " + name, "The bitmap is named base or patch.\n");
}

bool PatchScript::confirmOverwrite(const std::string& fileName) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s already exists: overwrite (y/n)? ", shownOn(stderr, fileName).c_str());
  if (options.answerYes) {
    // The answer is written where a typed one would be echoed, so that logs show it.
    std::fputs("y\n", stderr);
    return true;
  }
  return answeredYes(isStandardInput());
}

void PatchScript::loadCommand(const std::string& slotName) {
  BitmapSlot& slot = selectSlot(slotName);
  if (workingLine.empty()) {
    throw ScriptError("Filename not specified.");
  }
  const std::string& fileName = workingLine;
  std::printf("Loading %s bitmap: %s...%s\n", slotName.c_str(), shownOn(stdout, fileName).c_str(),
              checks ? checks->loadNote(fileName).c_str() : "");
  if (checks) {
    checks->beforeLoad(base.image, patch.image);
    checks->load(slotName, slot.image, fileName);
  } else {
    slot.image.load(fileName);
  }
}

void PatchScript::saveCommand(const std::string& /*unused*/) {
  if (workingLine.empty()) {
    throw ScriptError("Filename not specified.");
  }
  const std::string& fileName = workingLine;
  if (checks && checks->isDryRun()) {
    checks->save(base.image, fileName,
                 [this](const std::string& name) { return confirmOverwrite(name); });
    return;
  }
  if (checks) {
    checks->warnAboutName(fileName);
  }
  // The answer holds for what it was about: when the name changes before the save (a file
  // appears at a free name, another file takes the place of the one asked about), nothing is
  // written and the question is asked about what is there now.
  for (bool saved = false; !saved;) {
    const NameState seen = lookAtName(fileName);
    if (seen.taken && !confirmOverwrite(fileName)) {
      if (checks) {
        checks->saveDeclined(fileName);
      }
      return;
    }
    std::printf("Saving output bitmap: %s...\n", shownOn(stdout, fileName).c_str());
    saved = base.image.save(fileName, seen);
    if (!saved) {
      std::printf("Not saved: %s changed at its name meanwhile.\n",
                  shownOn(stdout, fileName).c_str());
    }
  }
  if (checks) {
    checks->saved();
  }
}

} // namespace tilegraft
