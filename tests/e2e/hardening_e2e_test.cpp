#include "tests/support/bmp_builder.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);

constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;

class HardeningEndToEndTest : public ToolTest {
protected:
  // An address-space limit in builds that can run under one; none in sanitizer builds.
  static RunOptions addressSpaceLimit(std::uint64_t bytes) {
    RunOptions options;
    if (!builtWithAddressSanitizer) {
      options.maxAddressSpace = bytes;
    }
    return options;
  }
};

// --- Huge counts: a line ends in time bounded by the bitmap, with the long loop's result. ---

// A merge line: its first words, then the four counts.
std::string withCounts(const char* words, std::int32_t columns, std::int32_t rows,
                       std::int32_t across, std::int32_t down) {
  return std::string(words) + " " + std::to_string(columns) + " " + std::to_string(rows) + " " +
         std::to_string(across) + " " + std::to_string(down);
}

MergeLine tileMerge(MergeOperator op, std::int32_t columns, std::int32_t rows,
                    std::int32_t down = 1) {
  return {true, op, 0, 0, 0, 0, columns, rows, 1, down};
}

MergeLine pixelMerge(MergeOperator op, std::int32_t x, std::int32_t y, std::int32_t sourceX,
                     std::int32_t sourceY) {
  return {false, op, x, y, sourceX, sourceY, 0, 0, 1, 1};
}

TEST_F(HardeningEndToEndTest, HugeCountsOfCopiesOnOnePlaceGiveTheLongLoopsBytes) {
  const BmpBuilder base = BmpBuilder(6, 5, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(6, 5, 24).fillPattern(2);
  base.writeTo(dir.file("base.bmp"));
  patch.writeTo(dir.file("patch.bmp"));

  // Runs the merge line after the layout lines and compares the saved bitmap with the slow model
  // of the same merge with small counts: the long loop of copies that land on one place ends as
  // after one copy for =, & and |, and for ^ as after one or two. Returns the model's bytes.
  const auto expectMerge = [&](const char* layoutLines, const TileLayout& layout,
                               const std::string& mergeLine, const MergeLine& equivalent) {
    SCOPED_TRACE(mergeLine);
    std::filesystem::remove(dir.file("out.bmp"));
    const std::string script = std::string("load base base.bmp\nload patch patch.bmp\n") +
                               layoutLines + mergeLine + "\nsave out.bmp\n";
    expectRun(run(script), 0,
              start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n"
                      "Saving output bitmap: out.bmp...\nDone.\n",
              "");
    ModelBitmap expected("Base bitmap", base.bytes(), layout);
    const ModelBitmap source("Patch bitmap", patch.bytes(), layout);
    EXPECT_EQ(modelMerge(expected, source, equivalent), "");
    EXPECT_EQ(readFileBytes(dir.file("out.bmp")), expected.file);
    return expected.file;
  };
  const std::int32_t odd = 2147483647;
  const std::int32_t even = 2147483646;
  const std::int32_t least = -2147483647 - 1;

  // Blocks 0 pixels wide and high: every copy lands on one place and merges nothing.
  expectMerge("", {}, withCounts("<p ^ 1 1 1 1", 0, 0, odd, odd), pixelMerge(xorOp, 1, 1, 1, 1));
  expectMerge("", {}, withCounts("<p = 1 1 1 1", 0, 0, odd, odd), pixelMerge(copyOp, 1, 1, 1, 1));
  expectMerge("", {}, withCounts("<p & 2 3 4 1", 0, 0, odd, odd), pixelMerge(andOp, 2, 3, 4, 1));

  // Cells of pitch 0 with borders, so nothing is coalesced: every tile of a run, and every
  // repeat, is the 2 by 2 block at (1, 1) in both bitmaps, whatever its column and row.
  const char* pitchZero = "tilesize 2\ntilespecs base 2 2 -1 -1 -1 -1\n"
                          "tilespecs patch 2 2 -1 -1 -1 -1\n";
  const TileLayout cellAtOne{2, -1, 2, -1, 2, -1, 2, -1};
  // One ^ changes the base, so the rows that leave it as it was can fail.
  EXPECT_NE(expectMerge(pitchZero, cellAtOne, withCounts("<t ^ 0 0 0 0", odd, odd, odd, odd),
                        tileMerge(xorOp, 1, 1)),
            base.bytes());
  expectMerge(pitchZero, cellAtOne, withCounts("<t ^ 0 0 0 0", odd, even, odd, odd),
              tileMerge(xorOp, 1, 2));
  expectMerge(pitchZero, cellAtOne, withCounts("<t ^ 0 0 0 0", odd, odd, odd, even),
              tileMerge(xorOp, 1, 1, 2));
  expectMerge(pitchZero, cellAtOne, withCounts("<t ^ 5 -7 -3 9", odd, odd, odd, odd),
              tileMerge(xorOp, 1, 1));
  expectMerge(pitchZero, cellAtOne, withCounts("<t = 0 0 0 0", odd, odd, odd, odd),
              tileMerge(copyOp, 1, 1));
  expectMerge(pitchZero, cellAtOne, withCounts("<t & 0 0 0 0", odd, odd, odd, odd),
              tileMerge(andOp, 1, 1));
  expectMerge(pitchZero, cellAtOne, withCounts("<t | 0 0 0 0", odd, odd, odd, odd),
              tileMerge(orOp, 1, 1));
  expectMerge(pitchZero, cellAtOne, withCounts("<t = 5 5 3 3", odd, even, odd, odd),
              {true, copyOp, 5, 5, 3, 3, 1, 1, 1, 1});
  // The repeat counts are read as "%d": beyond its range they become its largest value, an odd
  // number, rather than their low 32 bits (0 for the first).
  expectMerge(pitchZero, cellAtOne, "<t ^ 0 0 0 0 1 1 4294967296 99999999999",
              tileMerge(xorOp, 1, 1));

  // Borders before each tile, so nothing is coalesced: a count of 0 or less merges nothing,
  // however many repeats ask for it.
  const char* bordered = "tilesize 2\ntilespecs base 0 0 1 1 0 0\ntilespecs patch 0 0 1 1 0 0\n";
  const TileLayout borderBefore{0, 1, 2, 0, 0, 1, 2, 0};
  expectMerge(bordered, borderBefore, withCounts("<t = 0 0 0 0", -1, 1, odd, odd),
              tileMerge(copyOp, -1, 1));
  expectMerge(bordered, borderBefore, withCounts("<t ^ 0 0 0 0", 1, least, odd, odd),
              tileMerge(xorOp, 1, least));

  // Tiles of 0 by 0 without borders: one empty block at (1, 1).
  expectMerge("tilesize 0\ntilespecs base 1 1\ntilespecs patch 1 1\n", {1, 0, 0, 0, 1, 0, 0, 0},
              withCounts("<t = 0 0 0 0", odd, odd, odd, odd), tileMerge(copyOp, 1, 1));
}

TEST_F(HardeningEndToEndTest, HugeCountsOfMovingCopiesStopAtTheFirstThatLeavesABitmap) {
  BmpBuilder(8, 7, 24).writeTo(dir.file("base.bmp"));
  BmpBuilder(8, 7, 24).fillPattern(3).writeTo(dir.file("patch.bmp"));
  struct Case {
    const char* lines;
    std::string failing;
    std::string message;
  };
  // Tiles of pitch 0 whose borders put them at (-1, -1).
  const char* offTheGrid = "tilesize 2\ntilespecs base 0 0 -1 -1 -1 -1\n"
                           "tilespecs patch 0 0 -1 -1 -1 -1\n";
  // The destination stays on one block while the source walks off the patch bitmap.
  const char* sourceWalks = "tilesize 2\ntilespecs base 2 2 -1 -1 -1 -1\n"
                            "tilespecs patch 0 0 1 1 -1 -1\n";
  // Bordered down, no borders across; but a run of 2147483647 tiles 2 wide does not fit 32 bits,
  // so it is merged tile by tile and fails at the first tile outside the base.
  const char* joinedAcross =
      "tilesize 2\ntilespecs base 0 0 0 1 0 0\ntilespecs patch 0 0 0 1 0 0\n";
  const char* counts = " 2147483647 2147483647 2147483647 2147483647";
  const std::string base = "Base bitmap: Co-ordinates out of range.";
  const std::string patch = "Patch bitmap: Co-ordinates out of range.";
  const std::vector<Case> cases{
      {"", "<p = 0 0 0 0 1 1 2147483647 2147483647", base},
      {"", "<p ^ 5 4 5 4 -1 -1 2147483647 2147483647", base},
      // An empty block that moves down.
      {"", "<p = 5 5 5 5 0 1 2147483647 2147483647", base},
      {offTheGrid, std::string("<t ^ 0 0 0 0") + counts, base},
      {sourceWalks, std::string("<t = 0 0 0 0") + counts, patch},
      {joinedAcross, std::string("<t | 0 0 0 0") + counts, base},
      // A layout on the base only, whose grid starts left of it.
      {"tilesize 2\ntilespecs base 0 1 -1 -1 -1 -1\n", std::string("<t = 0 0 0 0") + counts, base},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    // The save after the failing line must not run.
    const std::string script = std::string("load base base.bmp\nload patch patch.bmp\n") + c.lines +
                               c.failing + "\nsave out.bmp\n";
    // Two loads and the layout lines come first.
    const std::string lines = c.lines;
    const auto lineNumber = static_cast<int>(std::count(lines.begin(), lines.end(), '\n')) + 3;
    expectRun(run(script), 1,
              start + "Loading base bitmap: base.bmp...\nLoading patch bitmap: patch.bmp...\n",
              failureReport(lineNumber, c.failing, c.message));
  }
}

// --- Resources: every file is closed once on every path. ---

TEST_F(HardeningEndToEndTest, HundredsOfOpensFitInEightFileDescriptors) {
  const BmpBuilder good(3, 2, 8);
  good.writeTo(dir.file("good.bmp"));
  const Bytes old{'o', 'l', 'd'};
  writeFileBytes(dir.file("kept.bmp"), old);
  writeFileBytes(dir.file("bad.bmp"), Bytes(80, 'x'));

  // Each round loads twice, tests that kept.bmp exists before its save, and saves to a new name
  // through a temporary file: a descriptor left open by any of them would use up the four free
  // ones (after the standard streams and the script) within a few rounds. Standard input is
  // empty, so each overwrite question is a no.
  constexpr int rounds = 100;
  const auto created = [](int round) { return "new" + std::to_string(round) + ".bmp"; };
  std::string script;
  std::string out = start;
  std::string err;
  for (int i = 0; i < rounds; ++i) {
    script += "load base good.bmp\nload patch good.bmp\nsave kept.bmp\nsave " + created(i) + "\n";
    out += "Loading base bitmap: good.bmp...\nLoading patch bitmap: good.bmp...\n"
           "Saving output bitmap: " +
           created(i) + "...\n";
    err += "kept.bmp already exists: overwrite (y/n)? ";
  }
  script += "load patch bad.bmp\n";
  out += "Loading patch bitmap: bad.bmp...\n";
  err += "Line " + std::to_string(4 * rounds + 1) +
         ": load patch bad.bmp\n**** Patch bitmap: Unrecognized bitmap format.\n";

  RunOptions options;
  options.maxOpenFiles = 8;
  expectRun(run(script, options), 1, out, err);
  EXPECT_EQ(readFileBytes(dir.file("kept.bmp")), old);
  for (int i = 0; i < rounds; ++i) {
    EXPECT_EQ(readFileBytes(dir.file(created(i))), good.bytes()) << created(i);
  }
}

// With the standard streams and the script open, a limit of four descriptors leaves none for a
// load: the real run's message is the one of any file that cannot be opened, and a check run
// says why under it.
TEST_F(HardeningEndToEndTest, LoadWithoutAFreeDescriptorIsExplainedInCheckRuns) {
  BmpBuilder(2, 2, 24).writeTo(dir.file("in.bmp"));
  writeTextFile(dir.file("script.txt"), "load base in.bmp\n");
  RunOptions options;
  options.maxOpenFiles = 4;
  for (const bool checked : {false, true}) {
    SCOPED_TRACE(checked ? "check" : "real");
    std::vector<std::string> arguments{"script.txt"};
    if (checked) {
      arguments.insert(arguments.begin(), "--check");
    }
    expectRun(runTool(dir.path(), arguments, options), 1,
              start + "Loading base bitmap: in.bmp...\n",
              failureReport(1, "load base in.bmp", "Base bitmap: Error opening file.") +
                  (checked ? "     Too many files are open: the limit of open files (ulimit -n), "
                             "or the system's, was reached.\n"
                           : ""));
  }
}

// --- Hostile files. ---

TEST_F(HardeningEndToEndTest, FileOverTwoGibibytesIsRefusedBeforeAnyAllocation) {
  // Sparse: a valid header and a hole. Reading it whole would need 2 GiB; under the limit the
  // attempt would fail with "Not enough memory." instead.
  BmpBuilder(4, 2, 24).writeTo(dir.file("huge.bmp"));
  std::filesystem::resize_file(dir.file("huge.bmp"), (std::uintmax_t{1} << 31) + 54);
  expectRun(run("load patch huge.bmp\n", addressSpaceLimit(256 * mebibyte)), 1,
            start + "Loading patch bitmap: huge.bmp...\n",
            "Line 1: load patch huge.bmp\n**** Patch bitmap: Invalid bitmap file.\n");
}

TEST_F(HardeningEndToEndTest, ValidBitmapTooLargeForTheAddressSpaceIsNotEnoughMemory) {
  if (builtWithAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
  }
  // 4096 by 5461 pixels at 24 bits: 64 MiB, sparse on disk.
  const std::int32_t width = 4096;
  const std::int32_t height = 5461;
  BmpBuilder(1, 1, 24)
      .setLe32(bmpWidthField, static_cast<std::uint32_t>(width))
      .setLe32(bmpHeightField, static_cast<std::uint32_t>(height))
      .writeTo(dir.file("big.bmp"));
  std::filesystem::resize_file(dir.file("big.bmp"),
                               54 + static_cast<std::uintmax_t>(BmpBuilder::stride(width, 24)) *
                                        static_cast<std::uintmax_t>(height));

  // Without a limit it is a bitmap like any other.
  expectRun(run("load base big.bmp\n"), 0, start + "Loading base bitmap: big.bmp...\nDone.\n", "");
  expectRun(run("load base big.bmp\n", addressSpaceLimit(32 * mebibyte)), 1,
            start + "Loading base bitmap: big.bmp...\n",
            "Line 1: load base big.bmp\n**** Base bitmap: Not enough memory.\n");
}

TEST_F(HardeningEndToEndTest, DevicesStreamsAndDirectoriesAsBitmaps) {
  const BmpBuilder image = BmpBuilder(3, 2, 24).fillPattern(5);
  const std::string imageText(image.bytes().begin(), image.bytes().end());
  // A FIFO that already holds a whole bitmap, open for writing here. What it holds cannot be
  // measured, so it cannot be read as a file; one without a writer is refused as soon.
  const std::string fifo = dir.file("fifo.bmp").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, imageText.data(), imageText.size()),
            static_cast<ssize_t>(imageText.size()));
  ASSERT_EQ(mkfifo(dir.file("no-writer.bmp").c_str(), 0600), 0);

  struct Case {
    std::string name;
    std::string standardInput;
    std::string message; // empty: it loads and saves unchanged
  };
  const std::string invalid = "Invalid bitmap file.";
  const std::vector<Case> cases{
      {"/dev/null", "", invalid},
      {"/dev/zero", "", invalid},
      {"fifo.bmp", "", "Error reading file."},
      {"no-writer.bmp", "", "Error reading file."},
      // Standard input that comes from a file can be measured, so it loads like the file.
      {"/dev/stdin", imageText, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.standardInput = c.standardInput;
    const std::string loadLine = "load base " + c.name;
    const std::string loading = start + "Loading base bitmap: " + c.name + "...\n";
    if (c.message.empty()) {
      expectRun(run(loadLine + "\nsave out.bmp\n", options), 0,
                loading + "Saving output bitmap: out.bmp...\nDone.\n", "");
      EXPECT_EQ(readFileBytes(dir.file("out.bmp")), image.bytes());
    } else {
      expectRun(run(loadLine + "\n", options), 1, loading,
                "Line 1: " + loadLine + "\n**** Base bitmap: " + c.message + "\n");
    }
  }
  close(writer);

  std::filesystem::create_directory(dir.file("folder"));
  // What a directory measures depends on the file system; any of the load's own refusals will
  // do, as long as it is one of them.
  const ToolRun folder = run("load patch folder\n");
  EXPECT_EQ(folder.exitStatus, 1);
  EXPECT_EQ(folder.standardOutput, start + "Loading patch bitmap: folder...\n");
  const std::string prefix = "Line 1: load patch folder\n**** Patch bitmap: ";
  EXPECT_TRUE(folder.standardError == prefix + "Invalid bitmap file.\n" ||
              folder.standardError == prefix + "Error reading file.\n" ||
              folder.standardError == prefix + "Error opening file.\n")
      << folder.standardError;
}

TEST_F(HardeningEndToEndTest, DirectoryAsSaveTarget) {
  BmpBuilder(2, 2, 24).writeTo(dir.file("in.bmp"));
  std::filesystem::create_directory(dir.file("folder"));
  const std::string script = "load base in.bmp\nsave folder\necho after\n";
  // It exists, so the question comes first; a no keeps it and the script goes on.
  expectRun(run(script), 0, start + "Loading base bitmap: in.bmp...\nafter\nDone.\n",
            "folder already exists: overwrite (y/n)? ");
  RunOptions yes;
  yes.standardInput = "y\n";
  expectRun(run(script, yes), 1,
            start + "Loading base bitmap: in.bmp...\nSaving output bitmap: folder...\n",
            "folder already exists: overwrite (y/n)? Line 2: save folder\n"
            "**** Base bitmap: Error creating file.\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
}

// --- Hostile scripts. ---

TEST_F(HardeningEndToEndTest, NulBytesCarriageReturnsAndHugeLines) {
  using namespace std::string_literals;
  std::string text(10 * mebibyte, 'x');
  for (std::size_t i = 7; i < text.size(); i += 97) {
    text[i] = ' ';
  }
  text.back() = 'y';
  expectCases({
      // A NUL byte is an error of the line it is in: nothing is opened, loaded or saved under
      // a name cut there.
      {"echo one\n\0load base missing.bmp\n"s, 1, "one\n",
       "Line 2: \n**** NUL byte in the line.\n"},
      {"echo one\nsave keep\0.bmp\n"s,
       1,
       "one\n",
       "Line 2: save keep\n**** NUL byte in the line.\n",
       {{"keep", {'o', 'l', 'd'}}},
       "y\n",
       {{"keep", {'o', 'l', 'd'}}}},
      {"Echo  three // \0\n"s, 1, "", "Line 1: Echo  three // \n**** NUL byte in the line.\n"},
      // Carriage returns alone do not end lines: each script is one line, only its last
      // carriage return trimmed.
      {"echo one\recho two\r", 0, "one\recho two\nDone.\n"},
      {"echo one\r\rbogus\r", 0, "one\r\rbogus\nDone.\n"},
      {"bogus\recho two\r", 1, "", "Line 1: bogus\recho two\r\n**** Syntax error.\n"},
      // A 10 MiB line is echoed whole.
      {"echo " + text + "\nbogus\n", 1, text + "\n", "Line 2: bogus\n**** Syntax error.\n"},
  });
}

TEST_F(HardeningEndToEndTest, LineOfNulBytesIsNotHeldInMemory) {
  // Nothing after a NUL byte is kept of the line, so 64 MiB of them need no room.
  std::string script = "echo before\necho ";
  script.append(64 * mebibyte, '\0');
  script += "\necho after\n";
  expectRun(run(script, addressSpaceLimit(32 * mebibyte)), 1, start + "before\n",
            "Line 2: echo \n**** NUL byte in the line.\n");
}

TEST_F(HardeningEndToEndTest, MillionLinesAreReadOneAtATime) {
  // 80 MB of comment lines under a 32 MiB address-space limit: only a reader that holds one line
  // at a time gets to the end. The last line shows how many were counted.
  constexpr int lineCount = 1000000;
  const std::string comment = "// " + std::string(76, 'c') + "\n";
  std::string script;
  script.reserve(comment.size() * lineCount + 16);
  for (int i = 0; i < lineCount; ++i) {
    script += i % 2 == 0 ? comment : "\t \n";
  }
  script += "bogus\n";
  expectRun(run(script, addressSpaceLimit(32 * mebibyte)), 1, start,
            "Line 1000001: bogus\n**** Syntax error.\n");
}

} // namespace
} // namespace tilegraft::testing
