#include "tests/support/bmp_builder.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);

class LoadSaveEndToEndTest : public ::testing::Test {
protected:
  ToolRun run(std::string_view script, std::string input = "") {
    RunOptions options;
    options.standardInput = std::move(input);
    return runScript(dir.path(), script, options);
  }

  static void expectRun(const ToolRun& result, int status, const std::string& out,
                        const std::string& err) {
    EXPECT_EQ(result.exitStatus, status);
    EXPECT_EQ(result.standardOutput, out);
    EXPECT_EQ(result.standardError, err);
  }

  Bytes fileBytes(std::string_view name) const { return readFileBytes(dir.file(name)); }

  ScopedTempDir dir;
};

TEST_F(LoadSaveEndToEndTest, LoadThenSaveCopiesEveryKindOfFileExactly) {
  std::vector<BmpBuilder> files;
  for (int bits : {8, 24}) {
    for (std::int32_t width = 1; width <= 7; ++width) {
      files.push_back(BmpBuilder(width, 2, bits).fillPattern(static_cast<std::uint32_t>(width)));
    }
    files.push_back(BmpBuilder(3, 3, bits).append(9));
    files.push_back(BmpBuilder(2, 3, bits, 108));
    files.push_back(BmpBuilder(2, 3, bits, 124).append(2));
    files.push_back(BmpBuilder(5, -3, bits));
  }
  files.push_back(BmpBuilder(2, 2, 24).setLe32(bmpPixelOffsetField, 30));

  std::string script;
  std::string out = start;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string in = "in" + std::to_string(i) + ".bmp";
    const std::string copy = "out" + std::to_string(i) + ".bmp";
    files[i].writeTo(dir.file(in));
    script += "load base " + in + "\nsave " + copy + "\n";
    out += "Loading base bitmap: " + in + "...\nSaving output bitmap: " + copy + "...\n";
  }
  expectRun(run(script), 0, out + "Done.\n", "");
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fileBytes("out" + std::to_string(i) + ".bmp"), files[i].bytes());
  }
}

TEST_F(LoadSaveEndToEndTest, FileNameIsTheRestOfTheLineWithBlanksAndCaseKept) {
  const BmpBuilder tiles(4, 2, 8);
  const BmpBuilder cut(3, 3, 24);
  tiles.writeTo(dir.file("My Tiles.bmp"));
  cut.writeTo(dir.file("a"));
  expectRun(run("load patch My Tiles.bmp\n"
                "LOAD  Base   My Tiles.bmp   // note\n"
                "save patch out.bmp\n"
                "load base a//b.bmp\n"
                "save  Copy Of A \n"),
            0,
            start + "Loading patch bitmap: My Tiles.bmp...\n"
                    "Loading base bitmap: My Tiles.bmp...\n"
                    "Saving output bitmap: patch out.bmp...\n"
                    "Loading base bitmap: a...\n"
                    "Saving output bitmap: Copy Of A...\n"
                    "Done.\n",
            "");
  EXPECT_EQ(fileBytes("patch out.bmp"), tiles.bytes());
  EXPECT_EQ(fileBytes("Copy Of A"), cut.bytes());
}

TEST_F(LoadSaveEndToEndTest, CommandErrorsAreReportedWithTheirLine) {
  BmpBuilder(3, 2, 24).writeTo(dir.file("in.bmp"));
  // The standard output expected after the start line, and the whole standard error.
  const auto expectFailure = [&](const std::string& script, const std::string& out,
                                 const std::string& err) {
    SCOPED_TRACE(script);
    expectRun(run(script), 1, start + out, err);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
  };
  expectFailure("load Foo in.bmp\n", "", "Line 1: load Foo in.bmp\n**** Invalid argument: foo\n");
  expectFailure("load BASES\n", "", "Line 1: load BASES\n**** Invalid argument: bases\n");
  expectFailure("load base\n", "", "Line 1: load base\n**** Filename not specified.\n");
  expectFailure("load patch   // in.bmp\n", "",
                "Line 1: load patch   // in.bmp\n**** Filename not specified.\n");
  expectFailure("save // out.bmp\n", "", "Line 1: save // out.bmp\n**** Filename not specified.\n");
  expectFailure("load base missing.bmp\n", "Loading base bitmap: missing.bmp...\n",
                "Line 1: load base missing.bmp\n**** Base bitmap: Error opening file.\n");
  expectFailure("load patch in.bmp\nsave out.bmp\n",
                "Loading patch bitmap: in.bmp...\nSaving output bitmap: out.bmp...\n",
                "Line 2: save out.bmp\n**** Base bitmap: Not loaded.\n");
  expectFailure("load base in.bmp\nsave no-dir/out.bmp\n",
                "Loading base bitmap: in.bmp...\nSaving output bitmap: no-dir/out.bmp...\n",
                "Line 2: save no-dir/out.bmp\n**** Base bitmap: Error creating file.\n");
  // A failed load leaves the slot empty even when it held an image.
  expectFailure("load base in.bmp\nload base missing.bmp\nsave out.bmp\n",
                "Loading base bitmap: in.bmp...\nLoading base bitmap: missing.bmp...\n",
                "Line 2: load base missing.bmp\n**** Base bitmap: Error opening file.\n");
}

TEST_F(LoadSaveEndToEndTest, BadBitmapsAreReportedUnderTheSlotsName) {
  const auto expectRefused = [&](const Bytes& bytes, const std::string& message) {
    SCOPED_TRACE(message);
    writeFileBytes(dir.file("bad.bmp"), bytes);
    expectRun(run("load patch bad.bmp\n"), 1, start + "Loading patch bitmap: bad.bmp...\n",
              "Line 1: load patch bad.bmp\n**** Patch bitmap: " + message + "\n");
  };
  const auto file = [] { return BmpBuilder(4, 2, 24); };
  const std::string invalid = "Invalid bitmap file.";
  expectRefused(file().truncate(53).bytes(), invalid);
  expectRefused(file().truncate(77).bytes(), invalid);
  expectRefused(Bytes(100, 'x'), "Unrecognized bitmap format.");
  expectRefused(file().setLe16(bmpBitCountField, 8).setLe32(bmpCompressionField, 1).bytes(),
                "Compressed bitmaps not supported.");
  expectRefused(file().setLe16(bmpBitCountField, 32).bytes(),
                "Only 24-BPP and 8-BPP bitmaps supported.");

  // Headers whose arithmetic overflows 32 bits, or that place the pixels outside the file.
  expectRefused(file().setLe32(bmpWidthField, 0x2AAAAAAB).bytes(), invalid);
  expectRefused(BmpBuilder(4, 4, 8).setLe32(bmpWidthField, 0x40000000).bytes(), invalid);
  expectRefused(file().setLe32(bmpHeightField, 0x7FFFFFFF).bytes(), invalid);
  expectRefused(file().setLe32(bmpPixelOffsetField, 0x7FFFFFF0).bytes(), invalid);
  expectRefused(file().setLe32(bmpPixelOffsetField, 0xFFFFFFE8).bytes(), invalid);
}

TEST_F(LoadSaveEndToEndTest, ShortReadIsReportedAsAReadError) {
  // Sysfs reports 4096 bytes but delivers only a few.
  const std::string sysfsFile = "/sys/devices/system/cpu/online";
  if (!std::filesystem::exists(sysfsFile)) {
    GTEST_SKIP() << "no " << sysfsFile;
  }
  expectRun(run("load base " + sysfsFile + "\n"), 1,
            start + "Loading base bitmap: " + sysfsFile + "...\n",
            "Line 1: load base " + sysfsFile + "\n**** Base bitmap: Error reading file.\n");
}

TEST_F(LoadSaveEndToEndTest, MemoryShortageIsReportedAsAnError) {
  if (builtWithAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
  }
  // A sparse file of 1.5 GiB with a valid header cannot be held under a 512 MiB limit.
  BmpBuilder(4, 2, 24).writeTo(dir.file("big.bmp"));
  std::filesystem::resize_file(dir.file("big.bmp"), std::uintmax_t{3} << 29);
  RunOptions options;
  options.maxAddressSpace = std::uint64_t{512} << 20;
  expectRun(runScript(dir.path(), "load base big.bmp\n", options), 1,
            start + "Loading base bitmap: big.bmp...\n",
            "Line 1: load base big.bmp\n**** Base bitmap: Not enough memory.\n");
}

TEST_F(LoadSaveEndToEndTest, OverwriteQuestionTakesOnlyYesAnswers) {
  const BmpBuilder image(3, 2, 24);
  image.writeTo(dir.file("in.bmp"));
  const Bytes old{'o', 'l', 'd'};
  struct Case {
    std::string input;
    bool overwrite;
  };
  const std::vector<Case> cases{
      {"y\n", true}, {"Y\n", true},   {"yes\n", true}, {"Yes please\n", true},
      {"y", true},   {"n\n", false},  {"N\n", false},  {"\n", false},
      {"", false},   {" y\n", false}, {"no\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    writeFileBytes(dir.file("out.bmp"), old);
    expectRun(run("load base in.bmp\nsave out.bmp\necho next\n", c.input), 0,
              start + "Loading base bitmap: in.bmp...\n" +
                  (c.overwrite ? "Saving output bitmap: out.bmp...\n" : "") + "next\nDone.\n",
              "out.bmp already exists: overwrite (y/n)? ");
    EXPECT_EQ(fileBytes("out.bmp"), c.overwrite ? image.bytes() : old);
  }
}

TEST_F(LoadSaveEndToEndTest, SavingOverALoadedFileKeepsBothImagesAsLoaded) {
  const BmpBuilder base = BmpBuilder(5, 4, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(5, 4, 24).fillPattern(2);
  // The second merge copies patch pixels: after a save over patch.bmp they must still be the
  // ones loaded, not what is now in the file.
  const MergeLine first{false, 3, 1, 1, 0, 0, 3, 2, 1, 1};
  const MergeLine second{false, 0, 0, 0, 1, 1, 3, 2, 1, 1};
  ModelBitmap once("Base bitmap", base.bytes());
  const ModelBitmap source("Patch bitmap", patch.bytes());
  ASSERT_EQ(modelMerge(once, source, first), "");
  ModelBitmap twice = once;
  ASSERT_EQ(modelMerge(twice, source, second), "");

  struct Case {
    std::string target;
    std::string other;
    const BmpBuilder& otherImage;
  };
  for (const Case& c :
       {Case{"base.bmp", "patch.bmp", patch}, Case{"patch.bmp", "base.bmp", base}}) {
    SCOPED_TRACE(c.target);
    const std::string& target = c.target;
    base.writeTo(dir.file("base.bmp"));
    patch.writeTo(dir.file("patch.bmp"));
    expectRun(run("load base base.bmp\nload patch patch.bmp\n<p ^ 1 1 0 0 3 2\nsave " + target +
                      "\n<p = 0 0 1 1 3 2\nsave twice.bmp\n",
                  "y\n"),
              0,
              start +
                  "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n"
                  "Saving output bitmap: " +
                  target + "...\nSaving output bitmap: twice.bmp...\nDone.\n",
              target + " already exists: overwrite (y/n)? ");
    EXPECT_EQ(fileBytes(target), once.file);
    EXPECT_EQ(fileBytes("twice.bmp"), twice.file);
    EXPECT_EQ(fileBytes(c.other), c.otherImage.bytes());
    std::filesystem::remove(dir.file("twice.bmp"));
  }
}

TEST_F(LoadSaveEndToEndTest, EachAnswerTakesExactlyOneLine) {
  const BmpBuilder image(3, 2, 8);
  image.writeTo(dir.file("in.bmp"));
  const Bytes old{'o', 'l', 'd'};
  struct Case {
    std::string input;
    bool overwriteA;
    bool overwriteB;
  };
  const std::vector<Case> cases{
      {"yes please\nn\n", true, false}, {"nope\ny\n", false, true}, {"\ny\n", false, true},
      {"yy\nYY\n", true, true},         {"y\n", true, false},       {"n", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    writeFileBytes(dir.file("a.bmp"), old);
    writeFileBytes(dir.file("b.bmp"), old);
    const ToolRun result = run("load base in.bmp\nsave a.bmp\nsave b.bmp\n", c.input);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "a.bmp already exists: overwrite (y/n)? "
                                    "b.bmp already exists: overwrite (y/n)? ");
    EXPECT_EQ(fileBytes("a.bmp"), c.overwriteA ? image.bytes() : old);
    EXPECT_EQ(fileBytes("b.bmp"), c.overwriteB ? image.bytes() : old);
  }
}

TEST_F(LoadSaveEndToEndTest, NewFileIsWrittenWithoutQuestion) {
  const BmpBuilder image(2, 2, 24);
  image.writeTo(dir.file("in.bmp"));
  expectRun(run("load base in.bmp\nsave new.bmp\n", "n\n"), 0,
            start + "Loading base bitmap: in.bmp...\nSaving output bitmap: new.bmp...\nDone.\n",
            "");
  EXPECT_EQ(fileBytes("new.bmp"), image.bytes());
}

TEST_F(LoadSaveEndToEndTest, SaveOfUnloadedBaseAsksFirstAndKeepsTheFile) {
  const Bytes old{'o', 'l', 'd'};
  writeFileBytes(dir.file("out.bmp"), old);
  expectRun(run("save out.bmp\n", "y\n"), 1, start + "Saving output bitmap: out.bmp...\n",
            "out.bmp already exists: overwrite (y/n)? "
            "Line 1: save out.bmp\n**** Base bitmap: Not loaded.\n");
  EXPECT_EQ(fileBytes("out.bmp"), old);
}

TEST_F(LoadSaveEndToEndTest, SaveToAFullDeviceFails) {
  BmpBuilder(3, 2, 24).writeTo(dir.file("in.bmp"));
  expectRun(run("load base in.bmp\nsave /dev/full\necho not reached\n", "y\n"), 1,
            start + "Loading base bitmap: in.bmp...\nSaving output bitmap: /dev/full...\n",
            "/dev/full already exists: overwrite (y/n)? "
            "Line 2: save /dev/full\n**** Base bitmap: Error writing file.\n");
}

TEST_F(LoadSaveEndToEndTest, FilesAreClosedAfterEveryLoadAndSave) {
  const BmpBuilder image(3, 2, 24);
  image.writeTo(dir.file("in.bmp"));
  writeFileBytes(dir.file("kept.bmp"), Bytes{'o', 'l', 'd'});
  // Each round opens the bitmap twice, tests kept.bmp, and creates a new file: a handle left
  // open anywhere soon exhausts the few descriptors allowed.
  std::string script;
  std::string input;
  for (int round = 0; round < 30; ++round) {
    script += "load base in.bmp\nload patch in.bmp\nsave kept.bmp\nsave new" +
              std::to_string(round) + ".bmp\n";
    input += "n\n";
  }
  RunOptions options;
  options.standardInput = input;
  options.maxOpenFiles = 8;
  const ToolRun result = runScript(dir.path(), script + "echo end\n", options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.standardOutput.ends_with("end\nDone.\n"));
  EXPECT_EQ(fileBytes("new29.bmp"), image.bytes());
  EXPECT_EQ(fileBytes("kept.bmp"), (Bytes{'o', 'l', 'd'}));
}

TEST_F(LoadSaveEndToEndTest, LongLoadLineIsOneLine) {
  const BmpBuilder image(3, 2, 24);
  image.writeTo(dir.file("in.bmp"));
  std::string name;
  while (name.size() < 2990) {
    name += "./";
  }
  name += "in.bmp";
  expectRun(run("load base " + name + "\nsave out.bmp\nbogus\n"), 1,
            start + "Loading base bitmap: " + name + "...\nSaving output bitmap: out.bmp...\n",
            "Line 3: bogus\n**** Syntax error.\n");
  EXPECT_EQ(fileBytes("out.bmp"), image.bytes());
}

} // namespace
} // namespace tilegraft::testing
