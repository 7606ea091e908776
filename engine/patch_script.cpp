#include "engine/patch_script.h"

#include "common/script_error.h"
#include "platform/console.h"

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
    Row{"allow", "", &PatchScript::allowCommand},
};

PatchScript::PatchScript(RunSettings runSettings)
    : base("Base bitmap"), patch("Patch bitmap"), options(std::move(runSettings)) {}

int PatchScript::run(const std::string& scriptName) {
  std::printf("Reading patch script: %s...\n", shownOn(stdout, scriptName).c_str());
  int result = 0;
  try {
    if (options.check || options.strict) {
      checks.emplace(options, *this, scriptName);
    }
    for (const std::string& allowance : options.allowances) {
      // Read as the line "allow ..." would be, and named by the option where it fails.
      try {
        workingLine = allowance;
        const std::string name = nextToken(WordCase::lowered);
        if (name.empty()) {
          throw ScriptError("Missing arguments.",
                            "allow needs the name of a warning: " + warningNames() + ".\n");
        }
        allowCommand(name);
      } catch (const ScriptError& error) {
        throw ScriptError("--allow " + allowance + ": " + error.message(), error.explanation());
      }
    }
    open(scriptName);
    while (readLine()) {
      runLine();
      if (checks) {
        checks->endLine();
      }
    }
    if (checks) {
      // What fails from here on has no line of the script to show.
      close();
      checks->endScript(base.image, patch.image,
                        [this](const std::string& name) { return confirmOverwrite(name); });
    }
    std::puts("Done.");
  } catch (const ScriptError& error) {
    reportError(error);
    result = 1;
  } catch (const std::bad_alloc&) {
    // Memory that runs out outside a bitmap's own allocation (a huge script line, say) ends the
    // run like a script error, without its line: the line may be what did not fit.
    std::fflush(stdout);
    std::fputs("**** Not enough memory.\n", stderr);
    result = 1;
  }
  base.image.recordMergesInto(nullptr);
  checks.reset();
  patch.image.unload();
  base.image.unload();
  close();
  return result;
}

void PatchScript::reportError(const ScriptError& error) {
  // What was printed before the error comes before it in a stream that holds both.
  std::fflush(stdout);
  if (isOpen()) {
    reportLine(lineNumber, rawLine);
  }
  // A line that warned and then failed shows its warnings before its error.
  if (checks) {
    checks->reportWarnings();
  }
  std::fprintf(stderr, "**** %s\n", shownOn(stderr, error.message()).c_str());
  std::string why;
  // At a terminal a person reads the report: the explanation is shown there too, where a pipe
  // or a log gets the plain run's report alone, as it always has.
  if ((checks && checks->isDryRun()) || isTerminal(stderr)) {
    // A script that is no text fails on its first line, whatever that line's error says.
    if (isOpen() && !scriptKind().empty()) {
      why = "The script is " + std::string(scriptKind()) + ", not a text file of commands.\n";
    }
    why += error.explanation();
  }
  why = shownOn(stderr, why);
  std::string_view explanation = why;
  while (!explanation.empty()) {
    const std::size_t end = std::min(explanation.find('\n'), explanation.size());
    std::fprintf(stderr, "     %.*s\n", static_cast<int>(end), explanation.data());
    explanation.remove_prefix(std::min(end + 1, explanation.size()));
  }
}

void PatchScript::runLine() {
  const std::string keyword = nextToken(WordCase::lowered);
  for (const CommandRow& row : commandTable) {
    if (keyword == row.keyword) {
      const std::string argument =
          row.fixedArgument.empty() ? nextToken(WordCase::lowered) : std::string(row.fixedArgument);
      if (argument.empty()) {
        throw ScriptError("Missing arguments.",
                          row.keyword == "load" ? "load needs the bitmap, base or patch, "
                                                  "then the file's name.\n"
                          : row.keyword == "allow"
                              ? "allow needs the name of a warning: " + warningNames() + ".\n"
                          : row.keyword == "tilespecs" ? "tilespecs needs the bitmap, base or "
                                                         "patch, then its numbers.\n"
                                                       : "merge needs the mode, pixels or tiles, "
                                                         "then the operator and the numbers.\n");
      }
      (this->*row.handler)(argument);
      return;
    }
  }
  std::string why = "The commands are ";
  for (const CommandRow& row : commandTable) {
    why += &row == &commandTable.front() ? "" : &row == &commandTable.back() ? " and " : ", ";
    why += row.keyword;
  }
  why += ".\n";
  if (keyword == "<") {
    why += "The short forms are one word: <p for merge pixels, <t for merge tiles.\n";
  }
  throw ScriptError("Syntax error.", std::move(why));
}

void PatchScript::echoCommand(const std::string& /*unused*/) {
  std::printf("%s\n", shownOn(stdout, workingLine).c_str());
}

} // namespace tilegraft
