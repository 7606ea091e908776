#include "bitmap/png_codec.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);

class CommandLineEndToEndTest : public ToolTest {
protected:
  // Every file of the folder by name, with its bytes.
  std::map<std::string, Bytes> folderContents() const {
    std::map<std::string, Bytes> contents;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      contents[entry.path().filename().string()] = readFileBytes(entry.path());
    }
    return contents;
  }

  ToolRun check(std::string_view script, std::string input = "") {
    writeTextFile(dir.file("script.txt"), script);
    RunOptions options;
    options.standardInput = std::move(input);
    return runTool(dir.path(), {"--check", "script.txt"}, options);
  }
};

TEST_F(CommandLineEndToEndTest, HelpAndVersionGoToStandardOutput) {
  for (const char* option : {"--help", "-h"}) {
    SCOPED_TRACE(option);
    const ToolRun result = runTool(dir.path(), {option});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_TRUE(
        result.standardOutput.starts_with("Usage: tilegraft [--check] [--strict] [--allow TEXT]... "
                                          "[--yes] [--no-sync] [--] SCRIPT\n"));
    for (const char* word :
         {"load base", "save FILE", "tilesize", "tilespecs", "merge pixels", "merge tiles", "<p",
          "<t", "echo", "= copy", "--check", "--strict", "--yes", "-y,", "--version",
          "man tilegraft", "allow grid", "--allow", "--no-sync"}) {
      EXPECT_NE(result.standardOutput.find(word), std::string::npos) << word;
    }
  }
  expectRun(runTool(dir.path(), {"--version"}), 0, "tilegraft " TILEGRAFT_VERSION "\n", "");
}

// Standard output that cannot be written fails the run at its end, in one line on standard
// error; the script goes on, so the saves after the failed write are made too.
TEST_F(CommandLineEndToEndTest, OutputThatCannotBeWrittenFailsTheRun) {
  BmpBuilder(2, 2, 24).writeTo(dir.file("in.bmp"));
  // More than a buffer of output, so that a write fails before the save.
  writeTextFile(dir.file("script.txt"),
                "load base in.bmp\necho " + std::string(10000, 'x') + "\nsave out.bmp\n");
  // A pipe whose only reader has gone before the tool starts.
  const std::string noReader = "mkfifo pipe && exec 3<>pipe 4>pipe 3<&- && ";
  struct Case {
    std::string command;
    bool saves;
  };
  const std::vector<Case> cases{{R"("$TILEGRAFT" script.txt > /dev/full)", true},
                                {R"("$TILEGRAFT" script.txt >&-)", true},
                                {noReader + R"("$TILEGRAFT" script.txt >&4)", true},
                                {R"("$TILEGRAFT" --help > /dev/full)", false},
                                {R"("$TILEGRAFT" --version >&-)", false},
                                {noReader + R"("$TILEGRAFT" --help >&4)", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::filesystem::remove(dir.file("out.bmp"));
    std::filesystem::remove(dir.file("pipe"));
    RunOptions options;
    options.throughShell = true;
    expectRun(runTool(dir.path(), {c.command}, options), 1, "",
              "**** Error writing standard output.\n");
    EXPECT_EQ(std::filesystem::exists(dir.file("out.bmp")), c.saves);
  }
}

// A tiny plan, pixel by pixel: the black base (6 by 4) and patch (4 by 4) with 2-pixel tiles
// and no borders, so each tile's top row and left column are tinted cyan; the one merged tile
// outlined red on both; dark ground between them.
TEST_F(CommandLineEndToEndTest, PlanPictureShowsBothBitmapsTheirGridsAndEachMergesBlocks) {
  for (const auto& [name, sideWidth] : {std::pair{"base.bmp", 6}, std::pair{"patch.bmp", 4}}) {
    Bytes black = BmpBuilder(sideWidth, 4, 24).bytes();
    std::fill(black.begin() + 54, black.end(), 0);
    writeFileBytes(dir.file(name), black);
  }
  writeTextFile(dir.file("script.txt"),
                "load base base.bmp\nload patch patch.bmp\ntilesize 2\n<t = 1 0 0 0\n"
                "save out.bmp\n");
  expectRun(runTool(dir.path(), {"--check", "--plan", "plan.bmp", "script.txt"}), 0,
            start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n"
                    "Plan: line 4 in red\nWould save output bitmap: out.bmp (a new file)\n"
                    "Writing plan picture: plan.bmp...\nDone.\n",
            "");
  const std::int32_t width = 6 + 8 + 4;
  const std::int32_t height = 4;
  BmpBuilder expected(width, height, 24);
  const auto put = [&](std::int32_t x, std::int32_t y, std::uint8_t r, std::uint8_t g,
                       std::uint8_t b) {
    const std::size_t at = expected.pixelIndex(x, y);
    expected.setByte(at, b).setByte(at + 1, g).setByte(at + 2, r);
  };
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      const bool onBase = x < 6;
      const bool onPatch = x >= 14;
      const std::int32_t sideX = onPatch ? x - 14 : x;
      const bool merged = y < 2 && (onBase ? sideX >= 2 && sideX < 4 : sideX < 2);
      if (!onBase && !onPatch) {
        put(x, y, 32, 32, 32);
      } else if (merged) {
        put(x, y, 255, 0, 0);
      } else if (sideX % 2 == 0 || y % 2 == 0) {
        put(x, y, 0, 127, 127);
      } else {
        put(x, y, 0, 0, 0);
      }
    }
  }
  const Bytes picture = readFileBytes(dir.file("plan.bmp"));
  Bytes want = expected.bytes();
  // Row padding is zero in a picture the tool writes.
  for (std::int32_t y = 0; y < height; ++y) {
    const std::size_t rowEnd = expected.pixelIndex(width - 1, y) + 3;
    std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(rowEnd), 2, 0);
  }
  ASSERT_EQ(picture.size(), want.size());
  // The pixels, and the header fields that a viewer reads.
  EXPECT_TRUE(std::equal(picture.begin() + 54, picture.end(), want.begin() + 54));
  for (const std::size_t field : {bmpWidthField, bmpHeightField, bmpBitCountField,
                                  bmpCompressionField, bmpPixelOffsetField}) {
    EXPECT_EQ(picture[field], want[field]) << field;
  }

  // Named .png (any case), the same pixels as an RGB PNG file, where the build reads PNG.
  if (pngSupported()) {
    ASSERT_EQ(runTool(dir.path(), {"--check", "--plan", "plan.PNG", "script.txt"}).exitStatus, 0);
    const Bytes png = readFileBytes(dir.file("plan.PNG"));
    PngLayout layout;
    ASSERT_FALSE(readPngLayout(png, layout));
    EXPECT_EQ(layout.colourType, 2);
    Bytes pixels(static_cast<std::size_t>(width * height * 3));
    ASSERT_FALSE(decodePngPixels(png, layout, pixels.data(), width * 3));
    for (std::int32_t y = 0; y < height; ++y) {
      const auto row = picture.begin() + static_cast<std::ptrdiff_t>(expected.pixelIndex(0, y));
      EXPECT_TRUE(std::equal(row, row + width * 3, pixels.begin() + y * width * 3)) << y;
    }
  }

  // A base loaded again after merges starts a second stage, drawn under the first with its own
  // merges only: the first stage's red tile is not drawn on the new base.
  writeTextFile(dir.file("script.txt"),
                "load base base.bmp\nload patch patch.bmp\ntilesize 2\n<t = 1 0 0 0\n"
                "save out.bmp\nload base patch.bmp\n<p = 0 3 1 1 1 1\nsave out.bmp\n");
  std::filesystem::remove(dir.file("plan.bmp"));
  ASSERT_EQ(runTool(dir.path(), {"--check", "--plan", "plan.bmp", "script.txt"}).exitStatus, 0);
  const Bytes stages = readFileBytes(dir.file("plan.bmp"));
  const BmpBuilder layout(18, 4 + 8 + 4, 24);
  ASSERT_EQ(stages.size(), layout.bytes().size());
  const auto colourAt = [&](std::int32_t x, std::int32_t y) {
    const std::size_t at = layout.pixelIndex(x, y);
    return std::vector<int>{stages[at + 2], stages[at + 1], stages[at]};
  };
  const std::vector<int> red{255, 0, 0};
  const std::vector<int> green{0, 200, 0};
  const std::vector<int> cyan{0, 127, 127};
  const std::vector<int> ground{32, 32, 32};
  EXPECT_EQ(colourAt(2, 0), red);      // the first stage's base
  EXPECT_EQ(colourAt(14, 0), red);     // and patch
  EXPECT_EQ(colourAt(0, 6), ground);   // between the stages
  EXPECT_EQ(colourAt(2, 12), cyan);    // the second base: no red tile
  EXPECT_EQ(colourAt(0, 15), green);   // but its own merge
  EXPECT_EQ(colourAt(13, 13), green);  // from the patch's pixel 1, 1
  EXPECT_EQ(colourAt(16, 12), ground); // past the narrower row

  // A tile operation outlines its tiles on its own bitmap only: every 2 by 2 tile of the patch.
  writeTextFile(dir.file("flip.txt"), "load base base.bmp\nload patch patch.bmp\ntilesize 2\n"
                                      "flip patch\n");
  expectRun(runTool(dir.path(), {"--check", "--plan", "flip.bmp", "flip.txt"}), 0,
            "Reading patch script: flip.txt...\nLoading base bitmap: base.bmp...\n"
            "Loading patch bitmap: patch.bmp...\nPlan: line 4 in red\n"
            "Writing plan picture: flip.bmp...\nDone.\n",
            "");
  const Bytes flipped = readFileBytes(dir.file("flip.bmp"));
  ASSERT_EQ(flipped.size(), want.size());
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      const std::size_t at = expected.pixelIndex(x, y);
      const Bytes shown(flipped.begin() + static_cast<std::ptrdiff_t>(at),
                        flipped.begin() + static_cast<std::ptrdiff_t>(at) + 3);
      const Bytes redBytes{0, 0, 255};
      EXPECT_EQ(shown == redBytes, x >= 14) << x << ", " << y;
    }
  }
}

TEST_F(CommandLineEndToEndTest, WrongCommandLinesAndOptions) {
  const std::string notOpened = "**** Error opening file.\n";
  const auto row = [](std::vector<std::string> arguments, int status, std::string out,
                      std::string err) {
    return ToolCase{"", status, std::move(out),      std::move(err), {}, "",
                    {}, {},     std::move(arguments)};
  };
  const auto wrong = [&](std::vector<std::string> arguments, std::string_view what) {
    return row(std::move(arguments), 255, "", commandLineError(what));
  };
  expectCases({
      wrong({"--help", "script.txt"}, "--help stands alone"),
      wrong({"--check", "a", "b"}, "only one script: b"),
      wrong({"--version", "-h"}, "--version stands alone"),
      wrong({"-h", "-h"}, "-h stands alone"),
      wrong({"--check"}, "no script given"),
      wrong({"--yes", "--check", "--strict"}, "no script given"),
      wrong({"-v"}, "unknown option: -v"),
      wrong({"--HELP"}, "unknown option: --HELP (did you mean --help?)"),
      wrong({"--chek", "s.tgs"}, "unknown option: --chek (did you mean --check?)"),
      wrong({"--stirct", "s.tgs"}, "unknown option: --stirct (did you mean --strict?)"),
      wrong({"-yes", "s.tgs"}, "unknown option: -yes (did you mean --yes?)"),
      wrong({"--allows", "s.tgs"}, "unknown option: --allows (did you mean --allow?)"),
      wrong({"--checkout", "s.tgs"}, "unknown option: --checkout"),
      wrong({"-x"}, "unknown option: -x"),
      // A plan is a check run's picture, and needs its name.
      wrong({"--plan", "p.bmp", "script.txt"}, "--plan needs --check"),
      wrong({"--strict", "--plan", "p.bmp", "script.txt"}, "--plan needs --check"),
      wrong({"--check", "script.txt", "--plan"}, "--plan needs the name of the picture to write"),
      wrong({"--plan", "--check", "script.txt"}, "--plan needs the name of the picture to write"),
      wrong({"--check", "--plan", "", "script.txt"},
            "--plan needs the name of the picture to write"),
      wrong({"--check", "--plan", "a.bmp", "--plan", "b.bmp", "s.tgs"}, "only one --plan"),
      wrong({"script.txt", "--allow"}, "--allow needs the name of a warning"),
      row({"--strict", "--allow", "gird", "--allow", "work", "x.txt"}, 1,
          "Reading patch script: x.txt...\n", "**** --allow gird: Invalid argument: gird\n"),
      row({"--allow", "grid base 1", "x.txt"}, 1, "Reading patch script: x.txt...\n",
          "**** --allow grid base 1: Missing arguments.\n"),
      // After "--" every word is a script's name.
      row({"--", "-x"}, 1, "Reading patch script: -x...\n", notOpened),
      row({"--check", "--", "--check"}, 1, "Reading patch script: --check...\n",
          notOpened + "     There is no file --check.\n"),
      row({"-y", "missing.tgs"}, 1, "Reading patch script: missing.tgs...\n", notOpened),
  });
}

// --yes answers every question yes, writing the answer after it, and reads nothing; "-" reads
// the script from standard input.
TEST_F(CommandLineEndToEndTest, YesAnswersEveryQuestionAndADashIsStandardInput) {
  const Bytes in = BmpBuilder(4, 3, 24).bytes();
  const Bytes old{'o', 'l', 'd'};
  const std::string script = "load base in.bmp\nsave a.bmp\nsave b.bmp\n";
  const std::string question = " already exists: overwrite (y/n)? ";
  const auto row = [&](std::vector<std::string> arguments, std::string input, std::string name) {
    return ToolCase{script,
                    0,
                    "Reading patch script: " + name +
                        "...\nLoading base bitmap: in.bmp...\nSaving output bitmap: a.bmp...\n"
                        "Saving output bitmap: b.bmp...\nDone.\n",
                    "a.bmp" + question + "y\nb.bmp" + question + "y\n",
                    {{"in.bmp", in}, {"a.bmp", old}, {"b.bmp", old}},
                    std::move(input),
                    {{"a.bmp", in}, {"b.bmp", in}},
                    {},
                    std::move(arguments)};
  };
  expectCases({row({"--yes", "script.txt"}, "n\nn\n", "script.txt"), row({"-y", "-"}, script, "-"),
               row({"script.txt", "-y"}, "", "script.txt")});
}

TEST_F(CommandLineEndToEndTest, CheckWritesAndAsksNothing) {
  BmpBuilder(4, 3, 24).fillPattern(1).writeTo(dir.file("in.bmp"));
  BmpBuilder(4, 3, 24).fillPattern(2).writeTo(dir.file("patch.bmp"));
  const std::string script = "load base in.bmp\nload patch patch.bmp\n<p ^ 0 0 0 0 2 2\n"
                             "save in.bmp\nsave new.bmp\necho end\n";
  writeTextFile(dir.file("script.txt"), script);
  const auto before = folderContents();
  // An answer is waiting, but nothing reads it.
  expectRun(check(script, "y\ny\n"), 0,
            start + "Loading base bitmap: in.bmp...\nLoading patch bitmap: patch.bmp...\n"
                    "Would save output bitmap: in.bmp (it exists: a real run asks to overwrite it; "
                    "checked as if answered yes)\n"
                    "Would save output bitmap: new.bmp (a new file)\nend\nDone.\n",
            "");
  EXPECT_EQ(folderContents(), before);
}

// Run for real (answering yes) and with --check, a script ends with the same status and the
// same last line, saves that cannot be made included; the check writes nothing.
TEST_F(CommandLineEndToEndTest, CheckFailsWhereARealRunFails) {
  BmpBuilder(4, 3, 24).writeTo(dir.file("in.bmp"));
  BmpBuilder(4, 3, 8).writeTo(dir.file("indexed.bmp"));
  std::filesystem::create_directory(dir.file("folder"));
  std::filesystem::create_directory(dir.file("ro"));
  std::filesystem::permissions(dir.file("ro"), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  const std::string creating = "**** Base bitmap: Error creating file.";
  struct Case {
    std::string script;
    std::string lastLine;
    // Strict rows compare --check --strict with --strict, this text on standard input; a script
    // on standard input is run as "-".
    bool strict = false;
    std::string input = "";
    bool scriptOnInput = false;
    bool asRoot = false; // a root's rights let it write any folder, even one that takes no files
  };
  const std::string kept =
      "**** Kept in.bmp as it was: the overwrite question was not answered yes (--strict).";
  const std::string replacing = "load base in.bmp\nsave in.bmp\n";
  std::filesystem::create_symlink("nowhere.bmp", dir.file("dangling.bmp"));
  const std::vector<Case> cases{
      // Every way a save can be declined: no answer, a no, an empty or an unread answer, a
      // question a script on standard input cannot answer, a second save to one name, a link.
      {replacing, kept, true},
      {replacing, kept, true, "n\n"},
      {replacing, kept, true, "\n"},
      {replacing, kept, true, "maybe\n"},
      {replacing, kept, true, std::string(5000, 'y') + "\n"},
      {replacing, kept, true, replacing, true},
      {"load base in.bmp\nsave out.bmp\nsave out.bmp\n",
       "**** Kept out.bmp as it was: the overwrite question was not answered yes (--strict).", true,
       "n\n"},
      {"load base in.bmp\nsave dangling.bmp\n",
       "**** Kept dangling.bmp as it was: the overwrite question was not answered yes "
       "(--strict).",
       true, "no\n"},
      {replacing, "Done.", true, "y\n"},
      {replacing + "save out.bmp\nsave out.bmp\n", "Done.", true, "Yes\ny\n"},
      {"echo a\nbogus\n", "**** Syntax error."},
      {"load base missing.bmp\n", "**** Base bitmap: Error opening file."},
      {"load base in.bmp\nload patch in.bmp\n<p = 3 0 0 0 2 1\n",
       "**** Base bitmap: Co-ordinates out of range."},
      {"load base in.bmp\nload patch indexed.bmp\n<t = 0 0\n",
       "**** Base bitmap: Bitmaps are incompatible."},
      {"tilesize 2\nload base in.bmp\nload patch in.bmp\n<t = 1 1 0 0 2 1\n",
       "**** Base bitmap: Co-ordinates out of range."},
      {"<p = 1,2\n", "**** Base bitmap: Not loaded."},
      {"save out.bmp\n", "**** Base bitmap: Not loaded."},
      {"load base in.bmp\nsave no-such-folder/out.bmp\n", creating},
      {"load base in.bmp\nsave folder\n", creating},
      {"load base in.bmp\nsave ro/out.bmp\n", creating},
      {"load base in.bmp\nsave in.bmp/out.bmp\n", creating},
      {"load base in.bmp\nsave /proc/out.bmp\n", creating, false, "", false, true},
      {"load base in.bmp\nsave out.bmp\n", "Done."},
  };
  // The last line that is not a check run's indented explanation.
  const auto lastLineOf = [](const ToolRun& run) {
    std::string text = run.exitStatus == 0 ? run.standardOutput : run.standardError;
    std::size_t end = text.size() - 1;
    for (;;) {
      const std::size_t from = text.rfind('\n', end - 1) + 1;
      if (!text.substr(from).starts_with("     ")) {
        return text.substr(from, end - from);
      }
      end = from - 1;
    }
  };
  RunOptions options;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script + "(input " + c.input.substr(0, 20) + ")");
    options.withoutRootOverride = !c.asRoot;
    writeTextFile(dir.file("script.txt"), c.script);
    options.standardInput = c.input;
    const std::string script = c.scriptOnInput ? "-" : "script.txt";
    const ToolRun checked =
        runTool(dir.path(),
                c.strict ? std::vector<std::string>{"--check", "--strict", script}
                         : std::vector<std::string>{"--check", script},
                options);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
    const ToolRun real = runTool(dir.path(), {c.strict ? "--strict" : "--yes", script}, options);
    std::filesystem::remove(dir.file("out.bmp"));
    EXPECT_EQ(checked.exitStatus, real.exitStatus);
    EXPECT_EQ(real.exitStatus, c.lastLine == "Done." ? 0 : 1);
    EXPECT_EQ(lastLineOf(real), c.lastLine);
    EXPECT_EQ(lastLineOf(checked), c.lastLine);
  }
  std::filesystem::permissions(dir.file("ro"), std::filesystem::perms::owner_all);
}

// --check --strict and --strict end alike, in status and last line, on scripts drawn at random
// from lines that load, save over files or not, merge, warn and acknowledge, with or without
// answers waiting. The seed is fixed, so a failure repeats.
TEST_F(CommandLineEndToEndTest, StrictCheckAgreesWithStrictRunOnRandomScripts) {
  const std::vector<std::string> lines{"load base in.bmp",
                                       "load base grey.bmp",
                                       "load patch in.bmp",
                                       "load patch grey.bmp",
                                       "load patch out.bmp",
                                       "load base missing.bmp",
                                       "save out.bmp",
                                       "save in.bmp",
                                       "save folder",
                                       "tilesize 2",
                                       "tilesize 3 2",
                                       "tilesize 0",
                                       "tilespecs base 1 0 1",
                                       "tilespecs patch 0 1",
                                       "<p = 0 0",
                                       "<p ^ 1 1 0 0 2 2",
                                       "<t | 0 0 1 0",
                                       "<t = 1 0 0 0 1 1",
                                       "<p & 0 0 0 0 9 9",
                                       "allow grid base 1 1",
                                       "allow grid patch 2 1",
                                       "allow unsaved",
                                       "allow palettes",
                                       "allow default-tile",
                                       "echo x",
                                       "<p = 0 0 0 0 1 1 1 x",
                                       "save out.bmp // again"};
  const std::vector<std::string> inputs{"", "n\n", "y\n", "y\ny\ny\ny\n"};
  const Bytes in = BmpBuilder(5, 3, 24).fillPattern(1).bytes();
  const Bytes grey = BmpBuilder(5, 3, 8).fillPattern(2).bytes();
  const auto lastLineOf = [](const ToolRun& run) {
    std::string_view text = run.exitStatus == 0 ? run.standardOutput : run.standardError;
    text.remove_suffix(text.ends_with('\n') ? 1 : 0);
    while (text.substr(text.rfind('\n') + 1).starts_with("     ")) {
      text = text.substr(0, text.rfind('\n'));
    }
    return std::string(text.substr(text.rfind('\n') + 1));
  };
  struct Round {
    std::string script;
    RunOptions options;
    ToolRun checked;
    ToolRun real;
  };
  std::vector<Round> rounds(400);
  std::mt19937 random(33);
  for (Round& round : rounds) {
    for (std::size_t count = 1 + random() % 8; count > 0; --count) {
      round.script += lines[random() % lines.size()] + "\n";
    }
    round.options.standardInput = inputs[random() % inputs.size()];
  }
  // Real saves wait for the disk: four folders run side by side.
  constexpr std::size_t workers = 4;
  std::vector<std::thread> threads;
  for (std::size_t worker = 0; worker < workers; ++worker) {
    threads.emplace_back([&, worker] {
      const ScopedTempDir folder;
      std::filesystem::create_directory(folder.file("folder"));
      for (std::size_t at = worker; at < rounds.size(); at += workers) {
        Round& round = rounds[at];
        writeTextFile(folder.file("script.txt"), round.script);
        std::filesystem::remove(folder.file("out.bmp"));
        writeFileBytes(folder.file("in.bmp"), in);
        writeFileBytes(folder.file("grey.bmp"), grey);
        round.checked =
            runTool(folder.path(), {"--check", "--strict", "script.txt"}, round.options);
        round.real = runTool(folder.path(), {"--strict", "script.txt"}, round.options);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.script + "(input " + round.options.standardInput + ")");
    EXPECT_EQ(round.checked.exitStatus, round.real.exitStatus);
    EXPECT_EQ(lastLineOf(round.checked), lastLineOf(round.real));
  }
}

TEST_F(CommandLineEndToEndTest, CheckWarnsAboutLinesThatAreLikelyMistakes) {
  const std::vector<std::pair<std::string, Bytes>> in{{"in.bmp", BmpBuilder(8, 8, 24).bytes()}};
  const std::string loads = "tilesize 1\nload base in.bmp\nload patch in.bmp\n";
  const std::string loading = "Loading base bitmap: in.bmp...\nLoading patch bitmap: in.bmp...\n";
  const std::string ignored = "---- Warning: Text after the numbers ignored: ";
  const std::string nothing =
      "---- Warning: Merges nothing: a width, height or repeat count of 0 or less.\n";
  const std::string tileSize = "---- Warning: Tile width or height of 0 or less.\n";
  struct Case {
    const char* line;
    // What follows the report of line 3; empty when the line is clean.
    std::string warnings;
  };
  const Case cases[] = {
      {"<t = 2, 1, 0, 0", ignored + ", 1, 0, 0\n"},
      {"<p = 1O", ignored + "O\n"},
      {"merge pixels = x", ignored + "x\n"},
      {"<p = 1 1 1 1 1 1 1 1 9", ignored + "9\n"},
      {"tilesize 2 2 extra", ignored + "extra\n"},
      {"tilespecs base 1 1 0x10", ignored + "x10\n"},
      {"tilesize 0", tileSize},
      {"tilesize 2 -1", tileSize},
      {"<p = 1 1 1 1 0 1", nothing},
      {"<t | 4 4 4 4 1 -2", nothing},
      {"<p & 0 0 0 0 1 1 0", nothing},
      {"<p ^ 0 0 0 0 1 1 1 -1", nothing},
      {"<p ^ 1 1 1 1 0 1 1 1 more", ignored + "more\n" + nothing},
      {"extrude base 0", "---- Warning: Extrudes nothing: an extrusion of 0 pixels.\n"},
      {"key patch 1 2 3 x", ignored + "x\n"},
      // Clean lines: a comment is no part of the line, blanks are not text.
      {"<t = 2 1 0 0 // 2, 1", ""},
      {"<p | 1 1 \t ", ""},
      {"tilesize 4 // square", ""},
      {"tilespecs patch", ""},
      {"<p =", ""},
      {"flip patch", ""},
  };
  std::vector<ToolCase> rows;
  for (const Case& c : cases) {
    const std::string script = loads + c.line + "\nsave out.bmp\n";
    const std::string report =
        c.warnings.empty() ? "" : "Line 4: " + std::string(c.line) + "\n" + c.warnings;
    rows.push_back({script,
                    0,
                    start + loading + "Would save output bitmap: out.bmp (a new file)\nDone.\n",
                    report,
                    in,
                    "",
                    {},
                    {"out.bmp"},
                    std::vector<std::string>{"--check", "script.txt"}});
    // A real run never warns; a strict one, real or checked, stops after the line that warns.
    const std::string saving = loading + "Saving output bitmap: out.bmp...\nDone.\n";
    rows.push_back({script, 0, saving, "", in});
    const int strictStatus = c.warnings.empty() ? 0 : 1;
    const std::string stop = c.warnings.empty() ? "" : "**** Stopped on a warning (--strict).\n";
    rows.push_back({script,
                    strictStatus,
                    start + (c.warnings.empty() ? saving : loading),
                    report + stop,
                    in,
                    "",
                    {},
                    {},
                    std::vector<std::string>{"--strict", "script.txt"}});
    rows.push_back(
        {script,
         strictStatus,
         start + loading +
             (c.warnings.empty() ? "Would save output bitmap: out.bmp (a new file)\nDone.\n" : ""),
         report + stop,
         in,
         "",
         {},
         {"out.bmp"},
         std::vector<std::string>{"--check", "--strict", "script.txt"}});
  }
  expectCases(rows);
}

// Planning mistakes that a check run warns about, and the lines that explain its failures; a
// real run of the same script shows neither.
TEST_F(CommandLineEndToEndTest, CheckWarnsAboutPlansAndExplainsFailures) {
  BmpBuilder(4, 3, 24).writeTo(dir.file("in.bmp"));
  BmpBuilder(4, 3, 8).writeTo(dir.file("grey.bmp"));
  // The same pixels with one colour of the palette changed.
  Bytes recoloured = BmpBuilder(4, 3, 8).bytes();
  recoloured[54 + 4] ^= 0xFF;
  writeFileBytes(dir.file("recoloured.bmp"), recoloured);
  BmpBuilder(4, 3, 24)
      .setLe32(bmpHeightField, static_cast<std::uint32_t>(-3))
      .writeTo(dir.file("top-down.bmp"));
  BmpBuilder(4, 3, 24)
      .setLe16(bmpBitCountField, 32)
      .setLe32(bmpCompressionField, 3)
      .writeTo(dir.file("masks.bmp"));
  BmpBuilder(4, 3, 24).setLe16(bmpBitCountField, 16).writeTo(dir.file("16-bit.bmp"));
  BmpBuilder(4, 3, 8)
      .setLe32(bmpHeightField, static_cast<std::uint32_t>(-60))
      .setLe32(bmpPixelOffsetField, 200)
      .truncate(100)
      .writeTo(dir.file("short-top-down.bmp"));
  const std::string warning = "---- Warning: ";
  const std::string convert =
      "     Convert it to an uncompressed 24-bit BMP, or an 8-bit one with a palette: the user "
      "guide's section Preparing bitmaps gives the commands.\n";
  const std::string notSaved =
      warning + "No save comes after this merge: what it and later merges do is lost.\n";
  struct Case {
    std::string script;
    std::string err; // of the check run
  };
  const std::vector<Case> cases{
      {"load base in.bmp\nload patch in.bmp\n<t = 0 0\nsave out.bmp\n",
       "Line 3: <t = 0 0\n" + warning +
           "Tile merge with the default tile size of 1 by 1 pixel: no tilesize line came "
           "first.\n"},
      {"load base in.bmp\nload patch in.bmp\n<p = 0 0\n<p ^ 1 1\n",
       "Line 3: <p = 0 0\n" + notSaved},
      {"load base in.bmp\nload patch in.bmp\nsave first.bmp\n<p = 0 0\nsave out.bmp\n", ""},
      {"load base grey.bmp\nload patch recoloured.bmp\n<p = 0 0\n<p = 1 1\nsave out.bmp\n",
       "Line 3: <p = 0 0\n" + warning +
           "The 8-bit base and patch have different palettes: the merge combines palette "
           "indices, so colours change.\n"},
      {"load base grey.bmp\nload patch grey.bmp\n<p = 0 0\nsave out.bmp\n", ""},
      {"load base top-down.bmp\nsave out.bmp\n",
       "Line 1: load base top-down.bmp\n" + warning +
           "Stored top-down (a negative height): it loads and saves, but every merge into or "
           "from it fails as out of range.\n"},
      {"load base in.bmp\nload base grey.bmp\nsave out.bmp\n",
       "Line 2: load base grey.bmp\n" + warning +
           "The base bitmap loaded on line 1 is replaced before any merge or save used it.\n"},
      {"load base in.bmp\nload patch in.bmp\n<p = 3 1 0 0 2 1\n",
       "Line 3: <p = 3 1 0 0 2 1\n**** Base bitmap: Co-ordinates out of range.\n"
       "     The block of 2 by 1 pixels at x 3, y 1 does not fit in the bitmap's 4 by 3 pixels "
       "(x and y count from 0 at the top left).\n"},
      {"load base in.bmp\nload patch top-down.bmp\n<p = 0 0\n",
       "Line 2: load patch top-down.bmp\n" + warning +
           "Stored top-down (a negative height): it loads and saves, but every merge into or "
           "from it fails as out of range.\nLine 3: <p = 0 0\n**** Patch bitmap: Co-ordinates "
           "out of range.\n     The block of 1 by 1 pixels at x 0, y 0 does not fit in the "
           "bitmap's 4 by -3 pixels (x and y count from 0 at the top left).\n     A negative "
           "height means the rows are stored top first; merges need them stored bottom first, "
           "as most BMP files are.\n"},
      {"load base in.bmp\nload patch grey.bmp\n<p = 0 0\n",
       "Line 3: <p = 0 0\n**** Base bitmap: Bitmaps are incompatible.\n"
       "     The base has 24 bits per pixel, the patch 8.\n"},
      {"tilesize 2\nload base in.bmp\nload patch in.bmp\ntilesize 1\ntilespecs patch\n"
       "tilesize 2 3\n<t = 0 0\nsave out.bmp\n",
       ""},
      {"load base masks.bmp\n",
       "Line 1: load base masks.bmp\n**** Base bitmap: Compressed bitmaps not supported.\n"
       "     Its header gives compression 3 (colour masks of a 16- or 32-bit file, BI_BITFIELDS); "
       "only uncompressed (0) 8-, 24- and 32-bit files are read.\n" +
           convert},
      // A line that warns and then fails shows its warnings before its error.
      {"load base in.bmp\n<p = 0 0 0 0 1 1 1 1 extra\n",
       "Line 2: <p = 0 0 0 0 1 1 1 1 extra\n" + warning +
           "Text after the numbers ignored: extra\n**** Patch bitmap: Not loaded.\n"},
      // A top-down 8-bit patch whose pixels would start past its end: its colour table is read
      // no further than the file.
      {"load base grey.bmp\nload patch short-top-down.bmp\n<p = 0 0 0 0 1 1 0\nsave out.bmp\n",
       "Line 2: load patch short-top-down.bmp\n" + warning +
           "Stored top-down (a negative height): it loads and saves, but every merge into or "
           "from it fails as out of range.\nLine 3: <p = 0 0 0 0 1 1 0\n" +
           warning + "Merges nothing: a width, height or repeat count of 0 or less.\n" + warning +
           "The 8-bit base and patch have different palettes: the merge combines palette "
           "indices, so colours change.\n"},
      {"load base 16-bit.bmp\n",
       "Line 1: load base 16-bit.bmp\n**** Base bitmap: Only 24-BPP and 8-BPP bitmaps "
       "supported.\n     Its header gives 16 bits per pixel; only 8 (a palette), 24 and 32 "
       "are read.\n" +
           convert},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const ToolRun checked = check(c.script);
    EXPECT_EQ(checked.standardError, c.err);
    const ToolRun real = runScript(dir.path(), c.script);
    std::filesystem::remove(dir.file("out.bmp"));
    std::filesystem::remove(dir.file("first.bmp"));
    EXPECT_EQ(real.exitStatus, checked.exitStatus);
    std::string quiet;
    for (std::size_t at = 0; at < c.err.size();) {
      const std::size_t end = c.err.find('\n', at) + 1;
      const std::string line = c.err.substr(at, end - at);
      quiet += line.starts_with("---- ") || line.starts_with("     ") ? "" : line;
      at = end;
    }
    // Without the warnings, the line reports of warnings go too.
    EXPECT_EQ(real.standardError,
              checked.exitStatus == 0 ? "" : quiet.substr(quiet.rfind("Line ")));
  }
}

// Failures a check run explains, each in the user's terms with what to do; a real run of the
// same script shows the same report without the explanation.
TEST_F(CommandLineEndToEndTest, CheckExplainsWhyAndWhatToDo) {
  const Bytes in = BmpBuilder(4, 3, 24).bytes();
  const auto header = [](std::size_t field, std::uint32_t value, int bits = 24) {
    return BmpBuilder(4, 3, bits).setLe32(field, value).bytes();
  };
  Bytes png = in;
  const std::string pngMagic = "\x89PNG\r\n\x1a\n";
  std::copy(pngMagic.begin(), pngMagic.end(), png.begin());
  Bytes text(60, 'a');
  Bytes os2 = header(14, 12);
  os2[30] = 0x11; // where a 12-byte header's colours begin, the compression field is read
  const std::string convert = "     Convert it to an uncompressed 24-bit BMP, or an 8-bit one "
                              "with a palette: the user guide's section Preparing bitmaps gives "
                              "the commands.\n";
  const std::string loadLine = "Line 1: load base x.bmp\n";
  struct Case {
    std::string script;
    std::vector<std::pair<std::string, Bytes>> files{};
    std::string report;      // the line and the message, as a real run shows them
    std::string explanation; // the indented lines under them
  };
  const auto loadOf = [&](Bytes bytes, std::string message, std::string explanation) {
    return Case{.script = "load base x.bmp\n",
                .files = {{"x.bmp", std::move(bytes)}},
                .report = loadLine + "**** Base bitmap: " + message + "\n",
                .explanation = std::move(explanation)};
  };
  const std::string loads = "load base in.bmp\nload patch in.bmp\n";
  const std::string warningList =
      "big-number, extra-text, quote, cut-name, unsaved, unused-load, top-down, zero-tile, "
      "default-tile, empty-merge, work, grid, indices and palettes";
  const std::string gridUse = "     allow grid needs the bitmap, base or patch, then the whole "
                              "tiles its grid holds across and down.\n";
  const std::vector<Case> cases{
      {.script = "load base x.bmp\n",
       .report = loadLine + "**** Base bitmap: Error opening file.\n",
       .explanation = "     There is no file x.bmp.\n"},
      {.script = "load base no/x.bmp\n",
       .report = "Line 1: load base no/x.bmp\n**** Base bitmap: Error opening "
                 "file.\n",
       .explanation = "     There is no folder no.\n"},
      loadOf(Bytes(20, 'B'), "Invalid bitmap file.",
             "     It is 20 bytes long; a BMP file's headers alone take 54.\n"),
      // A BMP behind a PNG's first bytes was refused as no BMP until PNG files were read.
      pngSupported() ? loadOf(png, "Invalid bitmap file.",
                              "     It is a damaged PNG file: invalid IHDR chunk size.\n")
                     : loadOf(png, "PNG files not supported in this build.",
                              "     This tilegraft was built without libspng; build it again "
                              "with libspng-dev installed, or convert the file to BMP.\n"),
      loadOf(text, "Unrecognized bitmap format.",
             "     It is a text file, not a BMP file.\n" + convert),
      loadOf(os2, "Compressed bitmaps not supported.",
             "     It is an OS/2 bitmap (a 12-byte header), whose fields stand elsewhere.\n" +
                 convert),
      loadOf(header(bmpCompressionField, 1, 8), "Compressed bitmaps not supported.",
             "     Its header gives compression 1 (run-length encoded 8-bit, RLE8); only "
             "uncompressed (0) 8-, 24- and 32-bit files are read.\n" +
                 convert),
      loadOf(header(bmpCompressionField, 2, 8), "Compressed bitmaps not supported.",
             "     Its header gives compression 2 (run-length encoded 4-bit, RLE4); only "
             "uncompressed (0) 8-, 24- and 32-bit files are read.\n" +
                 convert),
      loadOf(BmpBuilder(4, 3, 24).setLe16(bmpBitCountField, 4).bytes(),
             "Only 24-BPP and 8-BPP bitmaps supported.",
             "     Its header gives 4 bits per pixel; only 8 (a palette), 24 and 32 are read.\n" +
                 convert),
      loadOf(BmpBuilder(4, 3, 24).setLe16(bmpBitCountField, 1).bytes(),
             "Only 24-BPP and 8-BPP bitmaps supported.",
             "     Its header gives 1 bit per pixel; only 8 (a palette), 24 and 32 are read.\n" +
                 convert),
      loadOf(BmpBuilder(4, 3, 24).truncate(60).bytes(), "Invalid bitmap file.",
             "     Its header puts the pixels at bytes 54 to 90, but the file has 60.\n"),
      {.script = "load base in.bmp\nsave no/out.bmp\n",
       .files = {{"in.bmp", in}},
       .report = "Line 2: save no/out.bmp\n**** Base bitmap: Error creating file.\n",
       .explanation = "     There is no folder no to save into: create it first.\n"},
      {.script = "load base in.bmp\nsave in.bmp/\n",
       .files = {{"in.bmp", in}},
       .report = "Line 2: save in.bmp/\n**** Base bitmap: Error creating file.\n",
       .explanation = "     There is no folder in.bmp to save into: create it first.\n"},
      {.script = "lod base in.bmp\n",
       .report = "Line 1: lod base in.bmp\n**** Syntax error.\n",
       .explanation = "     The commands are load, save, tilesize, tilespecs, merge, <p, <t, echo, "
                      "allow, new, key, extrude, mirror and flip.\n"},
      {.script = "< t = 0 0\n",
       .report = "Line 1: < t = 0 0\n**** Syntax error.\n",
       .explanation =
           "     The commands are load, save, tilesize, tilespecs, merge, <p, <t, echo, "
           "allow, new, key, extrude, mirror and flip.\n"
           "     The short forms are one word: <p for merge pixels, <t for merge tiles.\n"},
      // The acknowledgement of a warning is read by every run.
      {.script = "allow\n",
       .report = "Line 1: allow\n**** Missing arguments.\n",
       .explanation = "     allow needs the name of a warning: " + warningList + ".\n"},
      {.script = "allow gird base 1 1\n",
       .report = "Line 1: allow gird base 1 1\n**** Invalid argument: gird\n",
       .explanation = "     The warnings that allow takes are " + warningList + ".\n"},
      {.script = "allow grid base 12\n",
       .report = "Line 1: allow grid base 12\n**** Missing arguments.\n",
       .explanation = gridUse},
      {.script = "allow grid 12 9\n",
       .report = "Line 1: allow grid 12 9\n**** Invalid argument: 12\n",
       .explanation = gridUse},
      {.script = "allow grid patch 12 9 tiles\n",
       .report = "Line 1: allow grid patch 12 9 tiles\n**** Invalid argument: tiles\n",
       .explanation = "     Nothing follows allow grid and its bitmap and numbers.\n"},
      {.script = "allow Palettes // meant\nallow quote 2\n",
       .report = "Line 2: allow quote 2\n**** Invalid argument: 2\n",
       .explanation = "     Nothing follows allow quote.\n"},
      {.script = "load bsae in.bmp\n",
       .report = "Line 1: load bsae in.bmp\n**** Invalid argument: bsae\n",
       .explanation = "     The bitmap is named base or patch.\n"},
      {.script = "merge tile = 0 0\n",
       .report = "Line 1: merge tile = 0 0\n**** Invalid argument: tile\n",
       .explanation = "     The merge mode is pixels or tiles.\n"},
      {.script = "<t =1 0\n",
       .report = "Line 1: <t =1 0\n**** Invalid operator: =1\n",
       .explanation =
           "     The operator is one of = (copy), & (AND), | (OR) and ^ (XOR), as a word of its "
           "own.\n     Write a blank after the operator: = 1, not =1.\n"},
      {.script = "load\n",
       .report = "Line 1: load\n**** Missing arguments.\n",
       .explanation = "     load needs the bitmap, base or patch, then the file's name.\n"},
      {.script = "tilesize big\n",
       .report = "Line 1: tilesize big\n**** Missing arguments.\n",
       .explanation =
           "     tilesize needs the tile's width in pixels, then its height if it differs.\n"},
      {.script = "tilesize 2\n" + loads + "<t = 1 1 0 0 1 1\n",
       .files = {{"in.bmp", in}},
       .report = "Line 4: <t = 1 1 0 0 1 1\n**** Base bitmap: Co-ordinates out of range.\n",
       .explanation =
           "     The block of 2 by 2 pixels at x 2, y 2 does not fit in the bitmap's 4 by 3 pixels "
           "(x and y count from 0 at the top left).\n     In tiles: tile row 1 is outside the "
           "grid's whole tiles here, columns 0 to 1 and rows 0 to 0.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    for (const char* mode : {"--check", "--yes"}) {
      const ScopedTempDir folder;
      for (const auto& [name, bytes] : c.files) {
        writeFileBytes(folder.file(name), bytes);
      }
      writeTextFile(folder.file("script.txt"), c.script);
      const ToolRun result = runTool(folder.path(), {mode, "script.txt"});
      EXPECT_EQ(result.exitStatus, 1);
      EXPECT_EQ(result.standardError,
                c.report + (std::string(mode) == "--check" ? c.explanation : ""));
    }
  }
}

// Warnings about what is likely not what the script means, and scripts as meant, which get none.
TEST_F(CommandLineEndToEndTest, CheckWarnsOnlyWhereAMistakeIsLikely) {
  // A sheet of 32-pixel tiles with a 2-pixel margin and 2-pixel gutters: tile c at x = 2 + 34c.
  const Bytes sheet = BmpBuilder(410, 376, 24).bytes();
  const auto indexed = [](std::uint8_t index) {
    BmpBuilder bitmap(4, 3, 8);
    bitmap.setLe32(46, 16); // 16 colours used
    for (std::int32_t y = 0; y < 3; ++y) {
      for (std::int32_t x = 0; x < 4; ++x) {
        bitmap.setByte(bitmap.pixelIndex(x, y), index);
      }
    }
    return bitmap.bytes();
  };
  const Bytes in = BmpBuilder(4, 3, 24).bytes();
  const std::string warning = "---- Warning: ";
  const std::string grid = "tilesize 32\ntilespecs base 0 0 2 2\ntilespecs patch 0 0 2 2\n"
                           "load base sheet.bmp\nload patch sheet.bmp\n<t = 1 1 0 0\n";
  const std::string shifts = ". A tile size that includes the gutter, or a margin or gutter "
                             "missing from tilespecs, shifts every tile.\n";
  const std::string loads = "load base in.bmp\nload patch in.bmp\n";
  const std::string loading =
      start + "Loading base bitmap: in.bmp...\nLoading patch bitmap: in.bmp...\n";
  const std::string sheetLoading =
      start + "Loading base bitmap: sheet.bmp...\nLoading patch bitmap: sheet.bmp...\n";
  const std::string saved = "Would save output bitmap: out.bmp (a new file)\nDone.\n";
  const std::string beyondTable = "4 merged pixels hold a colour index beyond the base's colour "
                                  "table of 16 colours: they show no colour of the table.\n";
  const std::string quoted = "The file name begins with a quote: quotes are part of a name here, "
                             "and the whole rest of the line is the name, blanks included.\n";
  const auto check = std::optional(std::vector<std::string>{"--check", "script.txt"});
  const Bytes padding = BmpBuilder(32 * 13 + 50, 32 * 8 + 40, 24).bytes();
  const std::string paddedGrid = "allow grid base 14 9\ntilesize 32\nload base padded.bmp\n"
                                 "load patch padded.bmp\n<t = 1 1 0 0\n";
  const std::string paddedLoading =
      start + "Loading base bitmap: padded.bmp...\nLoading patch bitmap: padded.bmp...\n";
  const auto padded = [&](const std::string& role) {
    return "The " + role +
           "'s grid does not fit its 466 by 296 pixels: 14 whole tiles across leave 18 pixels "
           "after the last; 9 whole tiles down leave 8 pixels after the last" +
           shifts;
  };
  const auto allowing = [](std::string mode, std::string second = "") {
    std::vector<std::string> words{std::move(mode)};
    if (!second.empty()) {
      words.push_back(std::move(second));
    }
    words.insert(words.end(), {"--allow", "grid patch 14 9", "script.txt"});
    return std::optional(words);
  };
  expectCases({
      {.script = grid + "save out.bmp\n",
       .out = sheetLoading + saved,
       .files = {{"sheet.bmp", sheet}},
       .arguments = check},
      {.script = "tilesize 34\n" + grid.substr(12) + "save out.bmp\n",
       .out = sheetLoading + saved,
       .err = "Line 6: <t = 1 1 0 0\n" + warning +
              "The base's grid does not fit its 410 by 376 pixels: 11 whole tiles across leave "
              "14 pixels after the last; 10 whole tiles down leave 16 pixels after the last" +
              shifts + warning +
              "The patch's grid does not fit its 410 by 376 pixels: 11 whole tiles across leave "
              "14 pixels after the last; 10 whole tiles down leave 16 pixels after the last" +
              shifts,
       .files = {{"sheet.bmp", sheet}},
       .arguments = check},
      // A map-block sheet of 32-pixel tiles with 50 and 40 pixels of padding at its edges: the
      // acknowledgement states the whole tiles each grid holds, and holds while they stay.
      {.script = paddedGrid + "save out.bmp\n",
       .out = paddedLoading + saved,
       .err = "Line 5: <t = 1 1 0 0\n---- Acknowledged (line 1): " + padded("base") +
              "---- Acknowledged (--allow): " + padded("patch"),
       .files = {{"padded.bmp", padding}},
       .arguments = allowing("--check")},
      {.script = paddedGrid + "save out.bmp\n",
       .out = paddedLoading + "Saving output bitmap: out.bmp...\nDone.\n",
       .files = {{"padded.bmp", padding}},
       .arguments = allowing("--strict")},
      {.script = paddedGrid + "save out.bmp\n",
       .out = paddedLoading + "Would save output bitmap: out.bmp (a new file)\nDone.\n",
       .err = "Line 5: <t = 1 1 0 0\n---- Acknowledged (line 1): " + padded("base") +
              "---- Acknowledged (--allow): " + padded("patch"),
       .files = {{"padded.bmp", padding}},
       .arguments = allowing("--check", "--strict")},
      {.script = "allow grid base 14 9\ntilesize 30\n" + paddedGrid.substr(33) + "save out.bmp\n",
       .status = 1,
       .out = paddedLoading,
       .err = "Line 5: <t = 1 1 0 0\n" + warning +
              "The base's grid holds 15 by 9 whole tiles, not 14 by 9 as line 1 says.\n" + warning +
              "The base's grid does not fit its 466 by 296 pixels: 15 whole tiles across leave 16 "
              "pixels after the last; 9 whole tiles down leave 26 pixels after the last" +
              shifts + warning +
              "The patch's grid holds 15 by 9 whole tiles, not 14 by 9 as --allow says.\n" +
              warning +
              "The patch's grid does not fit its 466 by 296 pixels: 15 whole tiles across leave "
              "16 pixels after the last; 9 whole tiles down leave 26 pixels after the last" +
              shifts + "**** Stopped on a warning (--strict).\n",
       .files = {{"padded.bmp", padding}},
       .absentFiles = {"out.bmp"},
       .arguments = allowing("--strict")},
      // Other warnings are acknowledged by name, from their line on.
      {.script = "allow indices\nload base base.bmp\nload patch patch.bmp\n<p | 0 0 0 0 2 2\n"
                 "allow unsaved\n",
       .out =
           start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\nDone.\n",
       .err = "Line 4: <p | 0 0 0 0 2 2\n---- Acknowledged (line 1): 4 merged pixels hold a colour "
              "index beyond the base's colour table of 16 colours: they show no colour of the "
              "table.\nLine 4: <p | 0 0 0 0 2 2\n---- Acknowledged (line 5): No save comes after "
              "this merge: what it and later merges do is lost.\n",
       .files = {{"base.bmp", indexed(0)}, {"patch.bmp", indexed(0x40)}},
       .arguments = check},
      {.script = "load base base.bmp\nload patch patch.bmp\n<p | 0 0 0 0 2 2\nallow indices\n"
                 "save out.bmp\n",
       .status = 1,
       .out = start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n",
       .err = "Line 3: <p | 0 0 0 0 2 2\n" + warning + beyondTable +
              "**** Stopped on a warning (--strict).\n",
       .files = {{"base.bmp", indexed(0)}, {"patch.bmp", indexed(0x40)}},
       .arguments = std::optional(std::vector<std::string>{"--strict", "script.txt"})},
      {.script = "load base base.bmp\nload patch patch.bmp\n<p | 0 0 0 0 2 2\nsave out.bmp\n",
       .out =
           start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n" + saved,
       .err = "Line 3: <p | 0 0 0 0 2 2\n" + warning + beyondTable,
       .files = {{"base.bmp", indexed(0)}, {"patch.bmp", indexed(0x40)}},
       .arguments = check},
      {.script = "load base base.bmp\nload patch patch.bmp\n<p | 0 0 0 0 2 2\nsave out.bmp\n",
       .out =
           start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n" + saved,
       .files = {{"base.bmp", indexed(0)}, {"patch.bmp", indexed(0x0F)}},
       .arguments = check},
      // Merges that a new load of the base throws away before any save.
      {.script = loads + "<p = 0 0\nload base in.bmp\nsave out.bmp\n",
       .out = loading + "Loading base bitmap: in.bmp...\n" + saved,
       .err = "Line 4: load base in.bmp\n" + warning +
              "The base bitmap is replaced before a save: what the merge on line 3 and those "
              "after it did is lost.\n",
       .files = {{"in.bmp", in}},
       .arguments = check},
      // A save that warns and then fails shows its warning in a strict real run too.
      {.script = "load base in.bmp\nsave \"no/out.bmp\n",
       .status = 1,
       .out = start + "Loading base bitmap: in.bmp...\nSaving output bitmap: \"no/out.bmp...\n",
       .err = "Line 2: save \"no/out.bmp\n" + warning + quoted +
              "**** Base bitmap: Error creating file.\n",
       .files = {{"in.bmp", in}},
       .arguments = std::optional(std::vector<std::string>{"--strict", "script.txt"})},
      // A strict real run stops where the check warns.
      {.script = "load base base.bmp\nload patch patch.bmp\n<p | 0 0 0 0 2 2\nsave out.bmp\n",
       .status = 1,
       .out = start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n",
       .err = "Line 3: <p | 0 0 0 0 2 2\n" + warning + beyondTable +
              "**** Stopped on a warning (--strict).\n",
       .files = {{"base.bmp", indexed(0)}, {"patch.bmp", indexed(0x40)}},
       .absentFiles = {"out.bmp"},
       .arguments = std::optional(std::vector<std::string>{"--strict", "script.txt"})},
      // A bitmap without pixels gives no measure of work.
      {.script = "load base empty.bmp\nload patch empty.bmp\n<p = 0 0 0 0 100000 100000 100 100\n",
       .status = 1,
       .out = start + "Loading base bitmap: empty.bmp...\nLoading patch bitmap: empty.bmp...\n",
       .err = "Line 3: <p = 0 0 0 0 100000 100000 100 100\n**** Base bitmap: Co-ordinates out of "
              "range.\n     The block of 100000 by 100000 pixels at x 0, y 0 does not fit in the "
              "bitmap's 0 by 3 pixels (x and y count from 0 at the top left).\n",
       .files = {{"empty.bmp", BmpBuilder(0, 3, 24).bytes()}},
       .arguments = check},
      {.script = loads + "<p = 4294967298 0\nsave out.bmp\n",
       .out = loading + saved,
       .err = "Line 3: <p = 4294967298 0\n" + warning +
              "4294967298 is read as 2: numbers have 32 bits.\n",
       .files = {{"in.bmp", in}},
       .arguments = check},
      {.script = "load base \"in.bmp\"\n",
       .status = 1,
       .out = start + "Loading base bitmap: \"in.bmp\"...\n",
       .err = "Line 1: load base \"in.bmp\"\n" + warning + quoted +
              "**** Base bitmap: Error opening file.\n     There is no file \"in.bmp\".\n",
       .files = {{"in.bmp", in}},
       .arguments = check},
      {.script = "load base in.bmp//old\nsave out.bmp // new\n",
       .out = start + "Loading base bitmap: in.bmp...\n" + saved,
       .err = "Line 1: load base in.bmp//old\n" + warning +
              "The file name is cut where // begins: // starts a comment even inside a name, so "
              "the name read is in.bmp.\n",
       .files = {{"in.bmp", in}},
       .arguments = check},
      {.script = loads + "<p = 0 0 0 0 1 1 100000 100000\n",
       .status = 1,
       .out = loading,
       .err = "Line 3: <p = 0 0 0 0 1 1 100000 100000\n" + warning +
              "This line merges 10000000000 blocks, 28610 MiB in all, about 833333333 times the "
              "base's pixels: tiles larger than the distance between them, or large repeats, "
              "make the work grow fast.\n**** Base bitmap: Co-ordinates out of range.\n     The "
              "block of 1 by 1 pixels at x 4, y 0 does not fit in the bitmap's 4 by 3 pixels (x "
              "and y count from 0 at the top left).\n",
       .files = {{"in.bmp", in}},
       .arguments = check},
  });
}

// A check run reads back what its own saves would have written, and tells a second save to a
// name that it would ask; a plan picture never replaces the script or a file the script uses,
// and replaces another file only when the question is answered yes. Strict runs stop where a
// plain run would carry on.
TEST_F(CommandLineEndToEndTest, CheckRunsReadTheirOwnSavesAndPlansNeverHarmAFile) {
  const Bytes in = BmpBuilder(4, 3, 24).fillPattern(1).bytes();
  const Bytes stale = BmpBuilder(4, 3, 8).bytes(); // a patch the base could not take
  const Bytes old{'o', 'l', 'd'};
  const std::string twoPasses = "load base in.bmp\nsave mid.bmp\nload patch mid.bmp\n"
                                "<p ^ 0 0 0 0 2 2\nsave out.bmp\nsave out.bmp\n";
  const std::string loads = "Loading base bitmap: in.bmp...\n";
  const std::string question = " already exists: overwrite (y/n)? ";
  const std::string exists =
      " (it exists: a real run asks to overwrite it; checked as if answered yes)\n";
  const auto args = [](std::vector<std::string> words) { return std::optional(words); };
  const std::string refused = ": drawing the plan would replace it. Give --plan the name of a "
                              "new file.\n";
  const std::string script = "load base in.bmp\nsave out.bmp\n";
  expectCases({
      // Two passes: the check reads line 2's bitmap, not the stale file a last run left.
      {.script = twoPasses,
       .out = start + loads + "Would save output bitmap: mid.bmp" + exists +
              "Loading patch bitmap: mid.bmp... (as line 2 would save it)\n"
              "Would save output bitmap: out.bmp (a new file)\nWould save output bitmap: "
              "out.bmp" +
              exists + "Done.\n",
       .files = {{"in.bmp", in}, {"mid.bmp", stale}},
       .expectedFiles = {{"mid.bmp", stale}},
       .absentFiles = {"out.bmp"},
       .arguments = args({"--check", "script.txt"})},
      {.script = twoPasses,
       .out = start + loads +
              "Would save output bitmap: mid.bmp (a new file)\n"
              "Loading patch bitmap: mid.bmp... (as line 2 would save it)\n"
              "Would save output bitmap: out.bmp (a new file)\n"
              "Would save output bitmap: out.bmp" +
              exists + "Done.\n",
       .files = {{"in.bmp", in}},
       .absentFiles = {"mid.bmp", "out.bmp"},
       .arguments = args({"--check", "script.txt"})},
      // The real run asks at the second save to one name; under --strict a no stops it.
      {.script = twoPasses,
       .status = 1,
       .out = start + loads +
              "Saving output bitmap: mid.bmp...\nLoading patch bitmap: mid.bmp...\n"
              "Saving output bitmap: out.bmp...\n",
       .err = "out.bmp" + question +
              "Line 6: save out.bmp\n**** Kept out.bmp as it was: the overwrite question was "
              "not answered yes (--strict).\n",
       .files = {{"in.bmp", in}},
       .input = "n\n",
       .arguments = args({"--strict", "script.txt"})},
      {.script = "load base in.bmp\nload patch in.bmp\n<p = 0 0\n",
       .status = 1,
       .out = start + loads + "Loading patch bitmap: in.bmp...\n",
       .err = "Line 3: <p = 0 0\n---- Warning: No save comes after this merge: what it and "
              "later merges do is lost.\n**** Stopped on a warning (--strict).\n",
       .files = {{"in.bmp", in}},
       .arguments = args({"--strict", "script.txt"})},
      // The plan picture is never the script or a file the script loads or saves, by any name.
      {.script = script,
       .status = 1,
       .out = start,
       .err = "**** Plan picture: script.txt is the script" + refused,
       .files = {{"in.bmp", in}},
       .absentFiles = {"out.bmp"},
       .arguments = args({"--check", "--plan", "script.txt", "script.txt"})},
      {.script = script,
       .status = 1,
       .out = start + loads,
       .err = "Line 1: load base in.bmp\n**** Plan picture: ./in.bmp is a file this script "
              "loads" +
              refused,
       .files = {{"in.bmp", in}},
       .expectedFiles = {{"in.bmp", in}},
       .arguments = args({"--check", "--plan", "./in.bmp", "script.txt"})},
      {.script = script,
       .status = 1,
       .out = start + loads,
       .err =
           "Line 2: save out.bmp\n**** Plan picture: out.bmp is a file this script saves" + refused,
       .files = {{"in.bmp", in}},
       .absentFiles = {"out.bmp"},
       .arguments = args({"--check", "--plan", "out.bmp", "script.txt"})},
      {.script = script,
       .status = 1,
       .out = start + loads,
       .err = "Line 2: save out.bmp\n**** Plan picture: ./out.bmp is a file this script saves" +
              refused,
       .files = {{"in.bmp", in}},
       .absentFiles = {"out.bmp"},
       .arguments = args({"--check", "--plan", "./out.bmp", "script.txt"})},
      // Another spelling of a name that leads to no file yet is the same name.
      {.script = "load base in.bmp\nsave new.bmp\nload patch ./new.bmp\nsave ./new.bmp\n",
       .out = start + loads +
              "Would save output bitmap: new.bmp (a new file)\n"
              "Loading patch bitmap: ./new.bmp... (as line 2 would save it)\n"
              "Would save output bitmap: ./new.bmp" +
              exists + "Done.\n",
       .files = {{"in.bmp", in}},
       .absentFiles = {"new.bmp"},
       .arguments = args({"--check", "script.txt"})},
      // Another file at the plan's name is replaced only after a yes.
      {.script = script,
       .out = start + loads + "Would save output bitmap: out.bmp (a new file)\nDone.\n",
       .err = "plan.bmp" + question,
       .files = {{"in.bmp", in}, {"plan.bmp", old}},
       .input = "n\n",
       .expectedFiles = {{"plan.bmp", old}},
       .arguments = args({"--check", "--plan", "plan.bmp", "script.txt"})},
      {.script = script,
       .status = 1,
       .out = start + loads + "Would save output bitmap: out.bmp (a new file)\n",
       .err = "plan.bmp" + question +
              "**** Kept plan.bmp as it was: the overwrite question was not answered yes "
              "(--strict).\n",
       .files = {{"in.bmp", in}, {"plan.bmp", old}},
       .expectedFiles = {{"plan.bmp", old}},
       .arguments = args({"--check", "--strict", "--plan", "plan.bmp", "script.txt"})},
  });
  writeFileBytes(dir.file("in.bmp"), in);
  writeFileBytes(dir.file("plan.bmp"), old);
  writeTextFile(dir.file("script.txt"), script);
  expectRun(runTool(dir.path(), {"--check", "--yes", "--plan", "plan.bmp", "script.txt"}), 0,
            start + loads +
                "Would save output bitmap: out.bmp (a new file)\nWriting plan picture: "
                "plan.bmp...\nDone.\n",
            "plan.bmp" + question + "y\n");
  EXPECT_EQ(fileBytes("plan.bmp").at(0), 'B');

  // A script read from standard input is still the file it was redirected from.
  RunOptions shell;
  shell.throughShell = true;
  expectRun(runTool(dir.path(), {R"("$TILEGRAFT" --check --yes --plan script.txt - < script.txt)"},
                    shell),
            1, "Reading patch script: -...\n",
            "**** Plan picture: script.txt is the script" + refused);
  EXPECT_EQ(readTextFile(dir.file("script.txt")), script);

  // A link that leads nowhere names the file it would make: a save through it is read back under
  // the file's own name, and a plan that is such a link is refused where its file is saved.
  std::filesystem::create_symlink("made.bmp", dir.file("link.bmp"));
  writeTextFile(dir.file("links.txt"), "load base in.bmp\nsave link.bmp\nload patch made.bmp\n");
  expectRun(runTool(dir.path(), {"--check", "links.txt"}), 0,
            "Reading patch script: links.txt...\n" + loads +
                "Would save output bitmap: link.bmp (it exists: a real run asks to overwrite it; "
                "checked as if answered yes)\nLoading patch bitmap: made.bmp... (as line 2 would "
                "save it)\nDone.\n",
            "");
  std::filesystem::remove(dir.file("link.bmp"));
  std::filesystem::create_symlink("out.bmp", dir.file("link.bmp"));
  expectRun(runTool(dir.path(), {"--check", "--plan", "link.bmp", "script.txt"}), 1, start + loads,
            "Line 2: save out.bmp\n**** Plan picture: link.bmp is a file this script saves" +
                refused);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
}

// A person at a terminal sees why a run failed, the script's own failures included, and no
// control byte of a line acts on the terminal; a pipe or a log gets what it always got.
TEST_F(CommandLineEndToEndTest, APlainRunExplainsItsFailureAtATerminal) {
  using namespace std::string_literals;
  const Bytes bitmap = BmpBuilder(4, 3, 24).bytes();
  writeFileBytes(dir.file("in.bmp"), bitmap);
  writeFileBytes(dir.file("picture.bmp"), bitmap);
  const std::string png = "\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s;
  writeTextFile(dir.file("picture.png"), png);
  writeTextFile(dir.file("locked.txt"), "echo x\n");
  std::filesystem::permissions(dir.file("locked.txt"), std::filesystem::perms::none);
  std::filesystem::create_directory(dir.file("folder"));
  const std::string commands = "     The commands are load, save, tilesize, tilespecs, merge, <p, "
                               "<t, echo, allow, new, key, "
                               "extrude, mirror and flip.\n";
  struct Case {
    std::string script; // "" for none: the last argument names the script
    std::vector<std::string> arguments;
    std::string out;      // standard output, into a file either way
    std::string terminal; // standard error at a terminal
    std::string pipe;     // standard error into a file
  };
  const auto reading = [](const std::string& name) {
    return "Reading patch script: " + name + "...\n";
  };
  const std::vector<Case> cases{
      {"load base x.bmp\n",
       {"script.txt"},
       start + "Loading base bitmap: x.bmp...\n",
       "Line 1: load base x.bmp\n**** Base bitmap: Error opening file.\n     There is no file "
       "x.bmp.\n",
       "Line 1: load base x.bmp\n**** Base bitmap: Error opening file.\n"},
      {"load base in.bmp\nload patch in.bmp\n<p = 3 1 0 0 2 1\n",
       {"--strict", "script.txt"},
       start + "Loading base bitmap: in.bmp...\nLoading patch bitmap: in.bmp...\n",
       "Line 3: <p = 3 1 0 0 2 1\n**** Base bitmap: Co-ordinates out of range.\n     The block "
       "of 2 by 1 pixels at x 3, y 1 does not fit in the bitmap's 4 by 3 pixels (x and y count "
       "from 0 at the top left).\n",
       "Line 3: <p = 3 1 0 0 2 1\n**** Base bitmap: Co-ordinates out of range.\n"},
      {"",
       {"nothing.txt"},
       reading("nothing.txt"),
       "**** Error opening file.\n     There is no file nothing.txt.\n",
       "**** Error opening file.\n"},
      {"",
       {"no/script.txt"},
       reading("no/script.txt"),
       "**** Error opening file.\n     There is no folder no.\n",
       "**** Error opening file.\n"},
      {"",
       {"folder"},
       reading("folder"),
       "**** Error reading file.\n     folder is a folder: give the script's own file.\n",
       "**** Error reading file.\n"},
      {"",
       {"locked.txt"},
       reading("locked.txt"),
       "**** Error opening file.\n     You may not read locked.txt (or search its folder): check "
       "the permissions.\n",
       "**** Error opening file.\n"},
      {"",
       {"picture.png"},
       reading("picture.png"),
       "Line 1: \x89PNG\n**** Syntax error.\n     The script is a PNG image, not a text file of "
       "commands.\n" +
           commands,
       "Line 1: \x89PNG\r\n**** Syntax error.\n"},
      {"",
       {"picture.bmp"},
       reading("picture.bmp"),
       "Line 1: BMZ\n**** NUL byte in the line.\n     The script is a BMP image, not a text file "
       "of commands.\n     Byte 4 of the line is a NUL (a zero byte): a script is plain text. No "
       "part of the line is run, as a file name cut there would be another file's.\n",
       "Line 1: BMZ\n**** NUL byte in the line.\n"},
      // Control bytes show as a caret and a letter, a C1 control after M-; a carriage return
      // that ends a line is left out.
      {"echo a\x1B[2J\x7F\nload\x1B]0;t\x07 base\tx\xC2\x9B\xC3\xA9\r\n",
       {"script.txt"},
       start + "a\x1B[2J\x7F\n",
       "Line 2: load^[]0;t^G base\txM-^[\xC3\xA9\n**** Syntax error.\n" + commands,
       "Line 2: load\x1B]0;t\x07 base\tx\xC2\x9B\xC3\xA9\r\n**** Syntax error.\n"},
  };
  RunOptions terminal;
  terminal.errorOnTerminal = true;
  terminal.withoutRootOverride = true;
  RunOptions pipe;
  pipe.withoutRootOverride = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script + ::testing::PrintToString(c.arguments));
    if (!c.script.empty()) {
      writeTextFile(dir.file("script.txt"), c.script);
    }
    expectRun(runTool(dir.path(), c.arguments, terminal), 1, c.out, c.terminal);
    expectRun(runTool(dir.path(), c.arguments, pipe), 1, c.out, c.pipe);
  }
  // Echoed text and names reach a terminal shown the same way, in every line that shows them.
  terminal.outputOnTerminal = true;
  writeTextFile(dir.file("script.txt"), "echo a\x1B[2J\x7F b\r\nload base in\x1B.bmp\n");
  expectRun(runTool(dir.path(), {"script.txt"}, terminal), 1, "",
            start + "a^[[2J^? b\nLoading base bitmap: in^[.bmp...\nLine 2: load base in^[.bmp\n"
                    "**** Base bitmap: Error opening file.\n     There is no file in^[.bmp.\n");
  std::filesystem::permissions(dir.file("locked.txt"), std::filesystem::perms::owner_all);
}

// Every progress line reaches a log as it is printed: a run interrupted while it waits for more
// of its script leaves them all.
TEST_F(CommandLineEndToEndTest, AnInterruptedRunLeavesEveryLineItPrinted) {
  BmpBuilder(4, 3, 24).writeTo(dir.file("in.bmp"));
  RunOptions options;
  options.throughShell = true;
  options.timeout = std::chrono::seconds(20);
  // The script stalls after its save; the shell waits until the log shows the line after it.
  // (A background job of a shell starts with SIGINT ignored; env gives it back.)
  const ToolRun result = runTool(dir.path(), {R"(mkfifo script.fifo &&
          { env --default-signal=INT "$TILEGRAFT" script.fifo > log.txt & } &&
          exec 3> script.fifo && printf 'load base in.bmp\nsave out.bmp\necho saved\n' >&3 &&
          until grep -q saved log.txt; do :; done &&
          kill -INT $! ; wait $! ; echo "status $?" ; cat log.txt)"},
                                 options);
  EXPECT_EQ(result.standardOutput,
            "status 130\nReading patch script: script.fifo...\nLoading base bitmap: in.bmp...\n"
            "Saving output bitmap: out.bmp...\nsaved\n");
  EXPECT_EQ(fileBytes("out.bmp"), fileBytes("in.bmp"));
}

TEST_F(CommandLineEndToEndTest, ScriptFromStandardInputIsNeverTakenForAnAnswer) {
  BmpBuilder(4, 3, 24).writeTo(dir.file("in.bmp"));
  const Bytes original = readFileBytes(dir.file("in.bmp"));
  // Far more than one block of the reader, so that a pipe still holds script lines when the
  // question comes; an answer read from it would take some of them away.
  std::string script = "load base in.bmp\nsave in.bmp\n";
  std::string echoed;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = "a line of the script that must stay whole " + std::to_string(i);
    script += "echo " + text + "\n";
    echoed += text + "\n";
  }
  for (const bool throughPipe : {false, true}) {
    SCOPED_TRACE(throughPipe ? "pipe" : "file");
    RunOptions options;
    options.standardInput = script;
    options.inputThroughPipe = throughPipe;
    expectRun(runTool(dir.path(), {"/dev/stdin"}, options), 0,
              "Reading patch script: /dev/stdin...\nLoading base bitmap: in.bmp...\n" + echoed +
                  "Done.\n",
              "in.bmp already exists: overwrite (y/n)? ");
    EXPECT_EQ(readFileBytes(dir.file("in.bmp")), original);
  }
}

} // namespace
} // namespace tilegraft::testing
