#include "engine/patch_script.h"

#include "common/script_error.h"
#include "platform/file_writer.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace tilegraft {

using Row = PatchScript::CommandRow;

const std::array<Row, PatchScript::commandCount> PatchScript::commandTable = {
    Row{"load", "", &PatchScript::loadCommand},
    Row{"save", "base", &PatchScript::saveCommand},
    Row{"tilesize", "both", &PatchScript::tileSizeCommand},
    Row{"tilespecs", "", &PatchScript::tileSpecsCommand},
    Row{"merge", "", &PatchScript::mergeCommand},
    Row{"<p", "pixels", &PatchScript::mergeCommand},
    Row{"<t", "tiles", &PatchScript::mergeCommand},
    Row{"echo", "~", &PatchScript::echoCommand},
};

PatchScript::PatchScript(RunMode mode, bool answerYes)
    : base("Base bitmap"), patch("Patch bitmap"), runMode(mode), answersYes(answerYes) {}

int PatchScript::run(const std::string& scriptName) {
  std::printf("Reading patch script: %s...\n", scriptName.c_str());
  int result = 0;
  tileSizeGiven = false;
  palettesCompared = false;
  unsavedMerge.reset();
  base.usedSinceLoad = patch.usedSinceLoad = true;
  if (runMode == RunMode::check && !planName.empty()) {
    plan.emplace();
  }
  try {
    open(scriptName);
    while (readLine()) {
      warnings.clear();
      runLine();
      reportWarnings();
    }
    reportUnsavedMerge();
    if (plan) {
      // A failure of the picture's own has no line of the script to show.
      close();
      writePlan();
    }
    std::puts("Done.");
  } catch (const ScriptError& error) {
    // What was printed before the error comes before it in a stream that holds both.
    std::fflush(stdout);
    if (isOpen()) {
      reportLine();
    }
    std::fprintf(stderr, "**** %s\n", error.message().c_str());
    if (runMode == RunMode::check) {
      reportExplanation(error.explanation());
    }
    result = 1;
  } catch (const std::bad_alloc&) {
    // Memory that runs out outside a bitmap's own allocation (a huge script line, say) ends the
    // run like a script error, without its line: the line may be what did not fit.
    std::fflush(stdout);
    std::fputs("**** Not enough memory.\n", stderr);
    result = 1;
  }
  plan.reset();
  patch.image.unload();
  base.image.unload();
  close();
  return result;
}

void PatchScript::runLine() {
  const std::string keyword = nextToken(WordCase::lowered);
  for (const CommandRow& row : commandTable) {
    if (keyword == row.keyword) {
      const std::string argument =
          row.fixedArgument.empty() ? nextToken(WordCase::lowered) : std::string(row.fixedArgument);
      if (argument.empty()) {
        throw ScriptError("Missing arguments.");
      }
      (this->*row.handler)(argument);
      return;
    }
  }
  throw ScriptError("Syntax error.");
}

void PatchScript::writePlan() const {
  std::printf("Writing plan picture: %s...\n", planName.c_str());
  const std::vector<std::uint8_t> picture = plan->draw(base.image, patch.image);
  if (picture.empty()) {
    throw ScriptError("Plan picture: too large for a BMP file.");
  }
  switch (replaceFile(planName, picture)) {
  case ReplaceResult::replaced:
    return;
  case ReplaceResult::notCreated:
  case ReplaceResult::nameTaken:
    throw ScriptError("Plan picture: Error creating file.");
  case ReplaceResult::notWritten:
    throw ScriptError("Plan picture: Error writing file.");
  }
}

void PatchScript::reportLine(std::int32_t number, const std::string& raw) {
  // A last line without a line feed, or one cut at a NUL byte, still ends its report line.
  const char* lineEnd = raw.ends_with('\n') ? "" : "\n";
  std::fprintf(stderr, "Line %ld: %s%s", static_cast<long>(number), raw.c_str(), lineEnd);
}

void PatchScript::reportUnsavedMerge() const {
  if (!unsavedMerge) {
    return;
  }
  reportWarnings(unsavedMerge->lineNumber, unsavedMerge->rawLine,
                 {"No save comes after this merge: what it and later merges do is lost."});
}

void PatchScript::reportExplanation(std::string_view explanation) {
  while (!explanation.empty()) {
    const std::size_t end = explanation.find('\n');
    std::fprintf(stderr, "     %.*s\n", static_cast<int>(std::min(end, explanation.size())),
                 explanation.data());
    explanation.remove_prefix(std::min(end + 1, explanation.size()));
  }
}

void PatchScript::warn(std::string text) {
  if (runMode == RunMode::check) {
    warnings.push_back(std::move(text));
  }
}

void PatchScript::warnIfTextLeft(std::string_view unread) {
  if (runMode == RunMode::check && !unread.empty()) {
    warn("Text after the numbers ignored: " + std::string(unread));
  }
}

void PatchScript::reportWarnings() {
  if (!warnings.empty()) {
    reportWarnings(lineNumber, rawLine, warnings);
  }
}

void PatchScript::reportWarnings(std::int32_t number, const std::string& raw,
                                 const std::vector<std::string>& texts) {
  std::fflush(stdout);
  reportLine(number, raw);
  for (const std::string& warning : texts) {
    std::fprintf(stderr, "---- Warning: %s\n", warning.c_str());
  }
}

void PatchScript::echoCommand(const std::string& /*unused*/) {
  std::printf("%s\n", workingLine.c_str());
}

} // namespace tilegraft
