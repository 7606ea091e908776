#include "engine/patch_script.h"
#include "platform/console.h"
#include "platform/file_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view usageText =
    R"(Usage: tilegraft [--check] [--strict] [--allow TEXT]... [--yes] [--no-sync] [--] SCRIPT
       tilegraft --check --plan PICTURE.bmp [--strict] [--allow TEXT]... [--yes] [--no-sync]
                 [--] SCRIPT
       tilegraft --help | -h | --version

Runs the patch script SCRIPT: loads uncompressed BMP files (8, 24 or 32 bits a pixel) and PNG
files (palette, grey, RGB or RGBA, 8 bits a channel), combines blocks of pixels or whole tiles
of the patch bitmap into the base bitmap, and saves the base bitmap.

Commands, one per line; "//" starts a comment:
  load base FILE, load patch FILE      read a bitmap
  save FILE                            write the base bitmap, asking before replacing a file:
                                       PNG or BMP as FILE ends in .png or .bmp, else as loaded
  tilesize W [H]                       tile size of both bitmaps, in pixels
  tilespecs base|patch [X Y [BX BY [AX AY]]]
                                       grid origin, borders before and after each tile
  merge pixels OP [DX DY [SX SY [W H [ACROSS DOWN]]]]
  merge tiles OP [...]                 combine a block of the patch into the base
  <p OP ..., <t OP ...                 short for merge pixels, merge tiles
  echo TEXT                            print the text
  allow WARNING                        a warning is meant: check lists it, strict goes on
  allow grid base|patch ACROSS DOWN    the grid holds exactly these whole tiles, as meant
  new base|patch W H [V ...]           a W by H bitmap with the other one's headers and
                                       palette, every pixel's bytes V (0 where not given)
  key patch [V ...]                    the patch's key colour for ~ (none: clear it)
  extrude base|patch N                 copy every whole tile's edge N pixels outward
  mirror base|patch, flip base|patch   every whole tile left to right, or top to bottom
                                       (without a tilesize line: the whole bitmap)

Operators, byte by byte: = copy, & AND, | OR, ^ XOR; ~ copies every pixel but the key colour.

SCRIPT is a file name, or - for standard input.

Options:
  --check          run the script without writing or asking anything; check each save against
                   the file system as if answered yes, explain failures and warn about lines
                   that are likely mistakes
  --plan PICTURE   with --check: also write PICTURE, a 24-bit BMP (an RGB PNG where its name
                   ends in .png) of the base and the patch as the run leaves them, their tile
                   grids, and each merge line's blocks outlined in one of eight colours, taken
                   in turn (named on standard output); an existing PICTURE is replaced only
                   after the overwrite question, and never when it is the script or a file the
                   script loads or saves
  --strict         stop with status 1 at the first warning that --check gives (after its line,
                   or at the end for a merge never saved) and at a save not made because the
                   answer was not yes; for scripts, make and CI, with --yes or without
  --allow TEXT     as a line "allow TEXT" before the script's first (the warnings' names are
                   in the manual)
  -y, --yes        answer yes to every overwrite question without reading standard input
  --no-sync        for bulk jobs: leave the syncs of new names and their folders to the
                   system; a file that replaces an old one is still synced first, and a file
                   written in place is synced as always. After a power cut, a file saved under
                   a new name may be missing or empty, and a replaced file may be the old one,
                   whole; an old file is never left broken
  --               end of the options: the next word is the script, even if it starts with -
  -h, --help       print this help
  --version        print the version

More: man tilegraft (in the source tree: man -l docs/tilegraft.1).
)";

constexpr std::string_view knownOptions[] = {"--check", "--strict",  "--allow", "--yes",
                                             "--plan",  "--no-sync", "--help",  "--version"};

// The options a mistyped word differs from by at most two letters added, left out or changed,
// A to Z matched in either case; none for a word of two letters or fewer, which could be
// anything.
std::string nearestOption(std::string_view word) {
  if (word.size() <= 2) {
    return "";
  }
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::string_view nearest;
  std::size_t nearestDistance = 3;
  for (const std::string_view option : knownOptions) {
    // Edit distance, one row at a time.
    std::vector<std::size_t> row(option.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) {
      row[j] = j;
    }
    for (std::size_t i = 1; i <= word.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= option.size(); ++j) {
        const std::size_t above = row[j];
        row[j] = std::min(
            {row[j] + 1, row[j - 1] + 1, diagonal + (lower(word[i - 1]) == option[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    if (row.back() < nearestDistance) {
      nearestDistance = row.back();
      nearest = option;
    }
  }
  return nearest.empty() ? "" : " (did you mean " + std::string(nearest) + "?)";
}

// A wrong command line: what was wrong, the syntax, and where to read more.
int wrongCommandLine(const std::string& what) {
  std::fprintf(stderr, "tilegraft: %s\n", what.c_str());
  std::fputs("Syntax:   tilegraft  patchScriptFileName\n", stderr);
  std::fputs("Try tilegraft --help for the options and the commands.\n", stderr);
  return -1;
}

int runCommandLine(const std::vector<std::string>& arguments) {
  const std::size_t count = arguments.size();
  const std::string_view first = count > 0 ? std::string_view(arguments[0]) : "";
  if (count == 1 && (first == "--help" || first == "-h")) {
    std::fputs(usageText.data(), stdout);
    return 0;
  }
  if (count == 1 && first == "--version") {
    std::puts("tilegraft " TILEGRAFT_VERSION);
    return 0;
  }
  tilegraft::RunSettings settings;
  bool optionsEnded = false;
  bool planGiven = false;
  const std::string* scriptName = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& argument = arguments[i];
    // "-" alone is standard input, a script like any other.
    const bool isOption = !optionsEnded && argument.size() > 1 && argument.front() == '-';
    if (!isOption) {
      if (scriptName != nullptr) {
        return wrongCommandLine("only one script: " + argument);
      }
      scriptName = &argument;
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--check") {
      settings.check = true;
    } else if (argument == "--strict") {
      settings.strict = true;
    } else if (argument == "--yes" || argument == "-y") {
      settings.answerYes = true;
    } else if (argument == "--no-sync") {
      tilegraft::bulkSaves = true;
    } else if (argument == "--allow") {
      if (i + 1 == count) {
        return wrongCommandLine("--allow needs the name of a warning");
      }
      settings.allowances.push_back(arguments[++i]);
    } else if (argument == "--plan") {
      // The next word is the picture's name, unless it is an option: a picture named like one
      // is given as ./--name.
      if (i + 1 == count || arguments[i + 1].empty() ||
          (arguments[i + 1].size() > 1 && arguments[i + 1].front() == '-')) {
        return wrongCommandLine("--plan needs the name of the picture to write");
      }
      if (planGiven) {
        return wrongCommandLine("only one --plan");
      }
      settings.planName = arguments[++i];
      planGiven = true;
    } else if (argument == "--help" || argument == "-h" || argument == "--version") {
      return wrongCommandLine(argument + " stands alone");
    } else {
      return wrongCommandLine("unknown option: " + argument + nearestOption(argument));
    }
  }
  if (scriptName == nullptr) {
    return wrongCommandLine("no script given");
  }
  // A plan is a check run's picture.
  if (planGiven && !settings.check) {
    return wrongCommandLine("--plan needs --check");
  }
  tilegraft::PatchScript script(std::move(settings));
  return script.run(*scriptName);
}

// The tool throws only its script errors and std::bad_alloc, and catches both. The runtime ends
// a throw in std::terminate only when it cannot get the memory for the exception itself, so the
// run ends as any other run out of memory does, without an abort.
[[noreturn]] void outOfMemoryAtThrow() {
  std::fflush(stdout);
  std::fputs("**** Not enough memory.\n", stderr);
  std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
  std::set_terminate(outOfMemoryAtThrow);
  tilegraft::guardStandardStreams();
  tilegraft::ignoreBrokenPipes();
  // Each progress line reaches a redirected log as it is written, so a run that is interrupted
  // leaves every line it printed before.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const int status = runCommandLine(tilegraft::commandLineArguments(argc, argv));
  // Output that never arrived (a full disk, a closed descriptor, a pipe whose reader has gone) is
  // not a success, though the saves made stay made.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("**** Error writing standard output.\n", stderr);
    return status == 0 ? 1 : status;
  }
  return status;
}
