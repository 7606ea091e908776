#include "tests/support/bmp_builder.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);

using PatchScriptEndToEndTest = ToolTest;

// The tool reads its script in blocks of this many bytes.
constexpr std::size_t readBlock = 64 * 1024;

// Text of the given length whose tails from the end of the first and of the second read block
// on would be commands of their own if the line were read in pieces.
std::string lineWithCommandTails(const std::string& prefix, std::size_t length) {
  std::string line = prefix + std::string(readBlock - 1 - prefix.size(), 'c') + "save x.bmp";
  line += std::string(2 * readBlock - 2 - line.size(), 'c') + "save y.bmp";
  return line + std::string(length - line.size(), 'c');
}

TEST_F(PatchScriptEndToEndTest, WrongArgumentCountPrintsTheSyntaxLine) {
  writeTextFile(dir.file("script.txt"), "echo ran\n");
  const std::vector<std::vector<std::string>> argumentLists{
      {}, {"script.txt", "script.txt"}, {"script.txt", "extra", "more"}};
  for (const auto& arguments : argumentLists) {
    SCOPED_TRACE(arguments.size());
    expectRun(runTool(dir.path(), arguments), 255, "",
              "Syntax:   tilegraft  patchScriptFileName\n");
  }
}

TEST_F(PatchScriptEndToEndTest, ScriptWithoutCommandsEndsWithDone) {
  for (const char* script : {"", "\n\n", "// only a comment\n  \t\n\r\n", "   // no line feed"}) {
    SCOPED_TRACE(::testing::PrintToString(script));
    expectRun(run(script), 0, start + "Done.\n", "");
  }
}

TEST_F(PatchScriptEndToEndTest, ScriptNameIsUsedAsGiven) {
  writeTextFile(dir.file("My Script.TXT"), "echo ran\n");
  expectRun(runTool(dir.path(), {"My Script.TXT"}), 0,
            "Reading patch script: My Script.TXT...\nran\nDone.\n", "");
}

TEST_F(PatchScriptEndToEndTest, ScriptThatCannotBeOpenedHasNoLineInItsReport) {
  expectRun(runTool(dir.path(), {"missing.txt"}), 1, "Reading patch script: missing.txt...\n",
            "**** Error opening file.\n");
}

TEST_F(PatchScriptEndToEndTest, ScriptThatCannotBeReadFailsWithoutDone) {
  std::filesystem::create_directory(dir.file("folder"));
  expectRun(runTool(dir.path(), {"folder"}), 1, "Reading patch script: folder...\n",
            "**** Error reading file.\n");
}

TEST_F(PatchScriptEndToEndTest, FirstFailureIsReportedWithLineNumberAndRawLine) {
  // The standard output expected after the start line, and the whole standard error.
  const auto expectFailure = [&](const std::string& script, const std::string& out,
                                 const std::string& err) {
    SCOPED_TRACE(script);
    expectRun(run(script), 1, start + out, err);
  };
  expectFailure("bogus\n", "", "Line 1: bogus\n**** Syntax error.\n");
  expectFailure("mer pixels\n", "", "Line 1: mer pixels\n**** Syntax error.\n");
  expectFailure("merges pixels\n", "", "Line 1: merges pixels\n**** Syntax error.\n");
  expectFailure("\n// note\n  \t\n  Bogus   // note\n", "",
                "Line 4:   Bogus   // note\n**** Syntax error.\n");
  expectFailure("echo before\nbogus\necho after\n", "before\n",
                "Line 2: bogus\n**** Syntax error.\n");
  expectFailure("echo x\n\n\nmer", "x\n", "Line 4: mer\n**** Syntax error.\n");
  // A byte order mark at the very start is no part of line 1; anywhere else it is text.
  expectFailure("\xEF\xBB\xBF"
                "bogus\n",
                "", "Line 1: bogus\n**** Syntax error.\n");
  expectFailure("\xEF\xBB\xBF"
                "echo hi\nbogus",
                "hi\n", "Line 2: bogus\n**** Syntax error.\n");
  expectFailure("\n\xEF\xBB\xBF"
                "echo hi\n",
                "",
                "Line 2: \xEF\xBB\xBF"
                "echo hi\n**** Syntax error.\n");

  expectFailure("load\n", "", "Line 1: load\n**** Missing arguments.\n");
  expectFailure("// c\nLOAD   // base in.bmp\n", "",
                "Line 2: LOAD   // base in.bmp\n**** Missing arguments.\n");
  expectFailure("load", "", "Line 1: load\n**** Missing arguments.\n");

  expectFailure("save\n", "", "Line 1: save\n**** Filename not specified.\n");
}

TEST_F(PatchScriptEndToEndTest, CombinedStreamShowsEverythingInTheOrderItHappened) {
  BmpBuilder(3, 2, 24).writeTo(dir.file("in.bmp"));
  RunOptions options;
  options.errorIntoOutput = true;
  options.standardInput = "n\n";
  const ToolRun result =
      runScript(dir.path(), "echo one\nload base in.bmp\nsave in.bmp\necho two\nbogus\n", options);
  expectRun(result, 1,
            start + "one\nLoading base bitmap: in.bmp...\nin.bmp already exists: overwrite (y/n)? "
                    "two\nLine 5: bogus\n**** Syntax error.\n",
            "");
}

TEST_F(PatchScriptEndToEndTest, KeywordsAndArgumentWordsIgnoreCase) {
  BmpBuilder(3, 2, 24).writeTo(dir.file("in.bmp"));
  expectRun(run("ECHO Hi There\nLoAd BASE in.bmp\nSave out.bmp\nEcHo Done\n"), 0,
            start + "Hi There\nLoading base bitmap: in.bmp...\nSaving output bitmap: out.bmp...\n"
                    "Done\nDone.\n",
            "");
  EXPECT_EQ(readFileBytes(dir.file("out.bmp")), readFileBytes(dir.file("in.bmp")));
}

TEST_F(PatchScriptEndToEndTest, EchoWritesTheRestOfTheLineAsWritten) {
  expectRun(run("echo   Hello   World  // note\n"
                "echo\n"
                "echo//x\n"
                "\techo\tTabbed\ttext\t\r\n"
                "echo a//b\n"
                "echo MiXeD  Case, and \"quotes\"\n"),
            0, start + "Hello   World\n\n\nTabbed\ttext\na\nMiXeD  Case, and \"quotes\"\nDone.\n",
            "");
}

TEST_F(PatchScriptEndToEndTest, LinesOfBufferSizeLengthsAreOneLineEach) {
  // Lines ending just before, at and just after the end of a read block (the line feed last).
  for (const std::size_t length : {readBlock - 2, readBlock - 1, readBlock, 2 * readBlock - 1,
                                   2 * readBlock}) {
    SCOPED_TRACE(length);
    std::string text = "echo " + std::string(length - 6, 't') + "e";
    expectRun(run(text + "\nbogus\n"), 1, start + text.substr(5) + "\n",
              "Line 2: bogus\n**** Syntax error.\n");
  }
}

TEST_F(PatchScriptEndToEndTest, LongCommentAndEchoLinesRunNothingOfTheirTails) {
  BmpBuilder(3, 2, 24).writeTo(dir.file("in.bmp"));
  const std::string loading = "Loading base bitmap: in.bmp...\n";

  const std::string comment = lineWithCommandTails("// ", 3 * readBlock);
  expectRun(run("load base in.bmp\n" + comment + "\nbogus\n"), 1, start + loading,
            "Line 3: bogus\n**** Syntax error.\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.bmp")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("y.bmp")));

  const std::string echo = lineWithCommandTails("echo ", 3 * readBlock);
  expectRun(run("load base in.bmp\n" + echo + "\nbogus\n"), 1,
            start + loading + echo.substr(5) + "\n", "Line 3: bogus\n**** Syntax error.\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.bmp")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("y.bmp")));
}

TEST_F(PatchScriptEndToEndTest, ReportShowsAWholeLongLine) {
  const std::string line = "bogus " + std::string(3000, 'w');
  expectRun(run("\n" + line + "\n"), 1, start, "Line 2: " + line + "\n**** Syntax error.\n");
}

} // namespace
} // namespace tilegraft::testing
