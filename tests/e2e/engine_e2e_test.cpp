#include "engine/script_reader.h"
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
constexpr std::size_t readBlock = ScriptReader::readBlockSize;

// Text of the given length whose tails from the end of the first and of the second read block
// on would be commands of their own if the line were read in pieces.
std::string lineWithCommandTails(const std::string& prefix, std::size_t length) {
  std::string line = prefix + std::string(readBlock - 1 - prefix.size(), 'c') + "save x.bmp";
  line += std::string(2 * readBlock - 2 - line.size(), 'c') + "save y.bmp";
  return line + std::string(length - line.size(), 'c');
}

TEST_F(PatchScriptEndToEndTest, ScriptWithoutCommandsEndsWithDone) {
  expectCases({{"", 0, "Done.\n"},
               {"\n\n", 0, "Done.\n"},
               {"// only a comment\n  \t\n\r\n", 0, "Done.\n"},
               {"   // no line feed", 0, "Done.\n"}});
}

// One argument names the script, as given; any other count prints the syntax line.
TEST_F(PatchScriptEndToEndTest, TheOneArgumentIsTheScriptsName) {
  const auto row = [](std::vector<std::string> arguments, int status, std::string out,
                      std::string err) {
    return ToolCase{"echo ran\n",
                    status,
                    std::move(out),
                    std::move(err),
                    {{"My Script.TXT", {'e', 'c', 'h', 'o', ' ', 'r', 'a', 'n', '\n'}}},
                    "",
                    {},
                    {},
                    std::move(arguments)};
  };
  expectCases({
      row({}, 255, "", commandLineError("no script given")),
      row({"script.txt", "script.txt"}, 255, "", commandLineError("only one script: script.txt")),
      row({"script.txt", "extra", "more"}, 255, "", commandLineError("only one script: extra")),
      row({"My Script.TXT"}, 0, "Reading patch script: My Script.TXT...\nran\nDone.\n", ""),
      // A script that cannot be opened has no line in its report.
      row({"missing.txt"}, 1, "Reading patch script: missing.txt...\n",
          "**** Error opening file.\n"),
  });
}

TEST_F(PatchScriptEndToEndTest, ScriptThatCannotBeReadFailsWithoutDone) {
  std::filesystem::create_directory(dir.file("folder"));
  expectRun(runTool(dir.path(), {"folder"}), 1, "Reading patch script: folder...\n",
            "**** Error reading file.\n");
}

TEST_F(PatchScriptEndToEndTest, FirstFailureIsReportedWithLineNumberAndRawLine) {
  const std::string syntax = "**** Syntax error.\n";
  const std::string missing = "**** Missing arguments.\n";
  expectCases({
      {"bogus\n", 1, "", "Line 1: bogus\n" + syntax},
      {"mer pixels\n", 1, "", "Line 1: mer pixels\n" + syntax},
      {"merges pixels\n", 1, "", "Line 1: merges pixels\n" + syntax},
      {"\n// note\n  \t\n  Bogus   // note\n", 1, "", "Line 4:   Bogus   // note\n" + syntax},
      {"echo before\nbogus\necho after\n", 1, "before\n", "Line 2: bogus\n" + syntax},
      {"echo x\n\n\nmer", 1, "x\n", "Line 4: mer\n" + syntax},
      // A byte order mark at the very start is no part of line 1; anywhere else it is text.
      {"\xEF\xBB\xBF"
       "bogus\n",
       1, "", "Line 1: bogus\n" + syntax},
      {"\xEF\xBB\xBF"
       "echo hi\nbogus",
       1, "hi\n", "Line 2: bogus\n" + syntax},
      {"\n\xEF\xBB\xBF"
       "echo hi\n",
       1, "",
       "Line 2: \xEF\xBB\xBF"
       "echo hi\n" +
           syntax},
      {"load\n", 1, "", "Line 1: load\n" + missing},
      {"// c\nLOAD   // base in.bmp\n", 1, "", "Line 2: LOAD   // base in.bmp\n" + missing},
      {"load", 1, "", "Line 1: load\n" + missing},
      {"save\n", 1, "", "Line 1: save\n**** Filename not specified.\n"},
  });
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

TEST_F(PatchScriptEndToEndTest, KeywordsEchoesAndLongLines) {
  const Bytes in = BmpBuilder(3, 2, 24).bytes();
  const std::string loading = "Loading base bitmap: in.bmp...\n";
  const std::string bogus = "Line 3: bogus\n**** Syntax error.\n";
  const std::string comment = lineWithCommandTails("// ", 3 * readBlock);
  const std::string echo = lineWithCommandTails("echo ", 3 * readBlock);
  const std::string longLine = "bogus " + std::string(3000, 'w');
  std::vector<ToolCase> rows{
      // Keywords and argument words ignore case.
      {"ECHO Hi There\nLoAd BASE in.bmp\nSave out.bmp\nEcHo Done\n",
       0,
       "Hi There\n" + loading + "Saving output bitmap: out.bmp...\nDone\nDone.\n",
       "",
       {{"in.bmp", in}},
       "",
       {{"out.bmp", in}}},
      // Echo writes the rest of the line as written.
      {"echo   Hello   World  // note\necho\necho//x\n\techo\tTabbed\ttext\t\r\n"
       "echo a//b\necho MiXeD  Case, and \"quotes\"\n",
       0, "Hello   World\n\n\nTabbed\ttext\na\nMiXeD  Case, and \"quotes\"\nDone.\n"},
      // Long comment and echo lines run nothing of their tails.
      {"load base in.bmp\n" + comment + "\nbogus\n",
       1,
       loading,
       bogus,
       {{"in.bmp", in}},
       "",
       {},
       {"x.bmp", "y.bmp"}},
      {"load base in.bmp\n" + echo + "\nbogus\n",
       1,
       loading + echo.substr(5) + "\n",
       bogus,
       {{"in.bmp", in}},
       "",
       {},
       {"x.bmp", "y.bmp"}},
      // The report shows a whole long line.
      {"\n" + longLine + "\n", 1, "", "Line 2: " + longLine + "\n**** Syntax error.\n"},
  };
  // Lines ending just before, at and just after the end of a read block (the line feed last)
  // are one line each.
  for (const std::size_t length :
       {readBlock - 2, readBlock - 1, readBlock, 2 * readBlock - 1, 2 * readBlock}) {
    const std::string text = "echo " + std::string(length - 6, 't') + "e";
    rows.push_back(
        {text + "\nbogus\n", 1, text.substr(5) + "\n", "Line 2: bogus\n**** Syntax error.\n"});
  }
  expectCases(rows);
}

} // namespace
} // namespace tilegraft::testing
