#include "tests/support/bmp_builder.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tilegraft::testing {
namespace {

const std::string start(scriptStartLine);

namespace fs = std::filesystem;

// What a folder holds, entry by entry, as far as a save may change it.
struct Entry {
  std::string kind; // "file", "folder", "pipe", or "link to " and the link's text
  mode_t mode = 0;  // permission bits, none for a link
  uid_t owner = 0;
  gid_t group = 0;
  Bytes bytes;
  bool unreadable = false; // a file that the test itself may not read

  bool operator==(const Entry&) const = default;
  friend void PrintTo(const Entry& entry, std::ostream* out) {
    *out << entry.kind << " " << std::oct << entry.mode << std::dec << " " << entry.owner << ":"
         << entry.group << ", "
         << (entry.unreadable ? "unreadable" : std::to_string(entry.bytes.size()) + " bytes");
  }
};
using Folder = std::map<std::string, Entry>;

Folder folderContents(const fs::path& root) {
  Folder folder;
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
    struct stat status {};
    if (lstat(item.path().c_str(), &status) != 0) {
      throw std::runtime_error("cannot look at " + item.path().string());
    }
    Entry entry;
    entry.owner = status.st_uid;
    entry.group = status.st_gid;
    if (S_ISLNK(status.st_mode)) {
      entry.kind = "link to " + fs::read_symlink(item.path()).string();
    } else {
      entry.mode = status.st_mode & 07777;
      entry.kind = S_ISDIR(status.st_mode) ? "folder" : S_ISFIFO(status.st_mode) ? "pipe" : "file";
    }
    if (entry.kind == "file") {
      try {
        entry.bytes = readFileBytes(item.path());
      } catch (const std::runtime_error&) {
        entry.unreadable = true;
      }
    }
    folder[item.path().lexically_relative(root).string()] = entry;
  }
  return folder;
}

ino_t inodeOf(const fs::path& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

using LoadSaveEndToEndTest = ToolTest;

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
  const Bytes tiles = BmpBuilder(4, 2, 8).bytes();
  const Bytes cut = BmpBuilder(3, 3, 24).bytes();
  // A name far longer than a line's usual length, going round in the folder.
  std::string longName;
  while (longName.size() < 2990) {
    longName += "./";
  }
  longName += "in.bmp";
  expectCases({
      {"load patch My Tiles.bmp\nLOAD  Base   My Tiles.bmp   // note\nsave patch out.bmp\n"
       "load base a//b.bmp\nsave  Copy Of A \n",
       0,
       "Loading patch bitmap: My Tiles.bmp...\nLoading base bitmap: My Tiles.bmp...\n"
       "Saving output bitmap: patch out.bmp...\nLoading base bitmap: a...\n"
       "Saving output bitmap: Copy Of A...\nDone.\n",
       "",
       {{"My Tiles.bmp", tiles}, {"a", cut}},
       "",
       {{"patch out.bmp", tiles}, {"Copy Of A", cut}}},
      {"load base " + longName + "\nsave out.bmp\nbogus\n",
       1,
       "Loading base bitmap: " + longName + "...\nSaving output bitmap: out.bmp...\n",
       "Line 3: bogus\n**** Syntax error.\n",
       {{"in.bmp", cut}},
       "",
       {{"out.bmp", cut}}},
  });
}

// Each question reads exactly one line of standard input; a new name is saved without one, and
// a save of an unloaded base asks first and keeps the file.
TEST_F(LoadSaveEndToEndTest, EachQuestionTakesExactlyOneLine) {
  const Bytes image = BmpBuilder(3, 2, 8).bytes();
  const Bytes old{'o', 'l', 'd'};
  const std::string questions =
      "a.bmp already exists: overwrite (y/n)? b.bmp already exists: overwrite (y/n)? ";
  const auto twoSaves = [&](std::string input, bool a, bool b) {
    return ToolCase{"load base in.bmp\nsave a.bmp\nsave b.bmp\n",
                    0,
                    std::string("Loading base bitmap: in.bmp...\n") +
                        (a ? "Saving output bitmap: a.bmp...\n" : "") +
                        (b ? "Saving output bitmap: b.bmp...\n" : "") + "Done.\n",
                    questions,
                    {{"in.bmp", image}, {"a.bmp", old}, {"b.bmp", old}},
                    std::move(input),
                    {{"a.bmp", a ? image : old}, {"b.bmp", b ? image : old}}};
  };
  expectCases({
      twoSaves("yes please\nn\n", true, false),
      twoSaves("nope\ny\n", false, true),
      twoSaves("\ny\n", false, true),
      twoSaves("yy\nYY\n", true, true),
      twoSaves("y\n", true, false),
      twoSaves("n", false, false),
      // A line of 4096 bytes, its line feed included, is an answer; a longer one is none, and no
      // later question reads on in it.
      twoSaves("y" + std::string(4094, 'x') + "\ny\n", true, true),
      twoSaves("y" + std::string(4095, 'x') + "\ny\n", false, false),
      twoSaves("y" + std::string(5000, 'x') + "\n" + std::string(10, 'y') + "\n", false, false),
      {"load base in.bmp\nsave new.bmp\n",
       0,
       "Loading base bitmap: in.bmp...\nSaving output bitmap: new.bmp...\nDone.\n",
       "",
       {{"in.bmp", image}},
       "n\n",
       {{"new.bmp", image}}},
      {"save out.bmp\n",
       1,
       "Saving output bitmap: out.bmp...\n",
       "out.bmp already exists: overwrite (y/n)? Line 1: save out.bmp\n"
       "**** Base bitmap: Not loaded.\n",
       {{"out.bmp", old}},
       "y\n",
       {{"out.bmp", old}}},
  });
  // Input without any line feed: the questions end all the same (the run's timeout catches a
  // hang).
  writeFileBytes(dir.file("in.bmp"), image);
  writeFileBytes(dir.file("a.bmp"), old);
  writeFileBytes(dir.file("b.bmp"), old);
  writeTextFile(dir.file("script.txt"), "load base in.bmp\nsave a.bmp\nsave b.bmp\n");
  RunOptions endless;
  endless.throughShell = true;
  expectRun(runTool(dir.path(), {R"("$TILEGRAFT" script.txt < /dev/zero)"}, endless), 0,
            start + "Loading base bitmap: in.bmp...\nDone.\n", questions);
  EXPECT_EQ(readFileBytes(dir.file("a.bmp")), old);
  EXPECT_EQ(readFileBytes(dir.file("b.bmp")), old);
}

TEST_F(LoadSaveEndToEndTest, CommandErrorsAreReportedWithTheirLine) {
  const std::vector<std::pair<std::string, Bytes>> in{{"in.bmp", BmpBuilder(3, 2, 24).bytes()}};
  const std::vector<std::string> noOutput{"out.bmp"};
  const std::string loadingIn = "Loading base bitmap: in.bmp...\n";
  expectCases({
      {"load Foo in.bmp\n",
       1,
       "",
       "Line 1: load Foo in.bmp\n**** Invalid argument: foo\n",
       in,
       "",
       {},
       noOutput},
      {"load BASES\n",
       1,
       "",
       "Line 1: load BASES\n**** Invalid argument: bases\n",
       in,
       "",
       {},
       noOutput},
      {"load base\n",
       1,
       "",
       "Line 1: load base\n**** Filename not specified.\n",
       in,
       "",
       {},
       noOutput},
      {"load patch   // in.bmp\n",
       1,
       "",
       "Line 1: load patch   // in.bmp\n**** Filename not specified.\n",
       in,
       "",
       {},
       noOutput},
      {"save // out.bmp\n",
       1,
       "",
       "Line 1: save // out.bmp\n**** Filename not specified.\n",
       in,
       "",
       {},
       noOutput},
      {"load base missing.bmp\n",
       1,
       "Loading base bitmap: missing.bmp...\n",
       "Line 1: load base missing.bmp\n**** Base bitmap: Error opening file.\n",
       in,
       "",
       {},
       noOutput},
      {"load patch in.bmp\nsave out.bmp\n",
       1,
       "Loading patch bitmap: in.bmp...\nSaving output bitmap: out.bmp...\n",
       "Line 2: save out.bmp\n**** Base bitmap: Not loaded.\n",
       in,
       "",
       {},
       noOutput},
      {"load base in.bmp\nsave no-dir/out.bmp\n",
       1,
       loadingIn + "Saving output bitmap: no-dir/out.bmp...\n",
       "Line 2: save no-dir/out.bmp\n**** Base bitmap: Error creating file.\n",
       in,
       "",
       {},
       noOutput},
      // A failed load leaves the slot empty even when it held an image.
      {"load base in.bmp\nload base missing.bmp\nsave out.bmp\n",
       1,
       loadingIn + "Loading base bitmap: missing.bmp...\n",
       "Line 2: load base missing.bmp\n**** Base bitmap: Error opening file.\n",
       in,
       "",
       {},
       noOutput},
  });
}

TEST_F(LoadSaveEndToEndTest, BadBitmapsAreReportedUnderTheSlotsName) {
  const auto refused = [](const Bytes& bytes, const std::string& message) {
    return ToolCase{"load patch bad.bmp\n",
                    1,
                    "Loading patch bitmap: bad.bmp...\n",
                    "Line 1: load patch bad.bmp\n**** Patch bitmap: " + message + "\n",
                    {{"bad.bmp", bytes}}};
  };
  const auto file = [] { return BmpBuilder(4, 2, 24); };
  const std::string invalid = "Invalid bitmap file.";
  expectCases({
      refused(file().truncate(53).bytes(), invalid),
      refused(file().truncate(77).bytes(), invalid),
      refused(Bytes(100, 'x'), "Unrecognized bitmap format."),
      refused(file().setLe16(bmpBitCountField, 8).setLe32(bmpCompressionField, 1).bytes(),
              "Compressed bitmaps not supported."),
      // 32 bits were refused here until 32-bit pixels came with PNG's RGBA.
      refused(file().setLe16(bmpBitCountField, 16).bytes(),
              "Only 24-BPP and 8-BPP bitmaps supported."),
      // A header whose arithmetic overflows 32 bits; BitmapImageTest holds the other such headers.
      refused(file().setLe32(bmpWidthField, 0x2AAAAAAB).bytes(), invalid),
  });
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

  // Limits around start-up and the first allocations, a step apart: every run ends whole, out
  // of memory, or refused by the system's loader (reported here as 3), and none aborts.
  const BmpBuilder small = BmpBuilder(64, 64, 24).fillPattern(1);
  small.writeTo(dir.file("in.bmp"));
  writeTextFile(dir.file("script.txt"), "load base in.bmp\nload patch in.bmp\n<p ^ 0 0 0 0 8 8\n"
                                        "save out.bmp\n");
  for (std::uint64_t limit = std::uint64_t{3} << 20; limit < std::uint64_t{9} << 20;
       limit += 24 << 10) {
    SCOPED_TRACE(limit);
    std::filesystem::remove(dir.file("out.bmp"));
    RunOptions shell;
    shell.throughShell = true;
    const ToolRun result =
        runTool(dir.path(),
                {"(ulimit -v " + std::to_string(limit >> 10) +
                 R"( && exec "$TILEGRAFT" script.txt); s=$?; [ $s -eq 127 ] && exit 3; exit $s)"},
                shell);
    if (result.exitStatus == 1) {
      EXPECT_TRUE(result.standardError.ends_with("Not enough memory.\n")) << result.standardError;
    } else if (result.exitStatus != 3) {
      EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    }
  }
}

TEST_F(LoadSaveEndToEndTest, OverwriteQuestionTakesOnlyYesAnswers) {
  const Bytes image = BmpBuilder(3, 2, 24).bytes();
  const Bytes old{'o', 'l', 'd'};
  std::vector<ToolCase> rows;
  for (const std::string input : {"y\n", "Y\n", "yes\n", "Yes please\n", "y"}) {
    rows.push_back(
        {"load base in.bmp\nsave out.bmp\necho next\n",
         0,
         "Loading base bitmap: in.bmp...\nSaving output bitmap: out.bmp...\nnext\nDone.\n",
         "out.bmp already exists: overwrite (y/n)? ",
         {{"in.bmp", image}, {"out.bmp", old}},
         input,
         {{"out.bmp", image}}});
  }
  for (const std::string input : {"n\n", "N\n", "\n", "", " y\n", "no\n"}) {
    rows.push_back({"load base in.bmp\nsave out.bmp\necho next\n",
                    0,
                    "Loading base bitmap: in.bmp...\nnext\nDone.\n",
                    "out.bmp already exists: overwrite (y/n)? ",
                    {{"in.bmp", image}, {"out.bmp", old}},
                    input,
                    {{"out.bmp", old}}});
  }
  expectCases(rows);
}

TEST_F(LoadSaveEndToEndTest, SavingOverALoadedFileKeepsBothImagesAsLoaded) {
  const BmpBuilder base = BmpBuilder(5, 4, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(5, 4, 24).fillPattern(2);
  // The second merge copies patch pixels: after a save over patch.bmp they must still be the
  // ones loaded, not what is now in the file.
  const MergeLine first{false, xorOp, 1, 1, 0, 0, 3, 2, 1, 1};
  const MergeLine second{false, copyOp, 0, 0, 1, 1, 3, 2, 1, 1};
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

// The answer is read from standard input one byte at a time, so runs that share one input (as
// a shell's read builtin does) each take exactly their own line, whatever the input is.
TEST_F(LoadSaveEndToEndTest, RunsSharingOneInputEachTakeTheirOwnAnswer) {
  const BmpBuilder image(3, 2, 8);
  image.writeTo(dir.file("in.bmp"));
  const Bytes old{'o', 'l', 'd'};
  writeTextFile(dir.file("a.tgs"), "load base in.bmp\nsave a.bmp\n");
  writeTextFile(dir.file("b.tgs"), "load base in.bmp\nsave b.bmp\n");
  for (const bool throughPipe : {true, false}) {
    SCOPED_TRACE(throughPipe ? "a pipe" : "a file");
    writeFileBytes(dir.file("a.bmp"), old);
    writeFileBytes(dir.file("b.bmp"), old);
    RunOptions options;
    options.throughShell = true;
    options.standardInput = "y\ny\n";
    options.inputThroughPipe = throughPipe;
    const ToolRun result =
        runTool(dir.path(), {R"("$TILEGRAFT" a.tgs > /dev/null && "$TILEGRAFT" b.tgs > /dev/null)"},
                options);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(fileBytes("a.bmp"), image.bytes());
    EXPECT_EQ(fileBytes("b.bmp"), image.bytes());
  }
}

// Every route puts the new bytes and length on the disk before they take the name, and the name
// after: so a power cut after "Done." finds the new file whole, and one before it never finds the
// old file replaced by bytes not yet written. The calls that decide it, in order, as strace sees
// them: a rename or link before its file's sync, or a cut before the write's, fails the row.
TEST_F(LoadSaveEndToEndTest, EverySaveSyncsItsBytesBeforeTheyTakeTheName) {
  if (std::system("strace -o /dev/null true 2> /dev/null") != 0) {
    GTEST_SKIP() << "needs strace, allowed to trace";
  }
  if (builtWithAddressSanitizer) {
    GTEST_SKIP() << "the leak checker traces the process at exit, which strace already does";
  }
  BmpBuilder(40, 30, 24).fillPattern(1).writeTo(dir.file("in.bmp"));
  struct Case {
    const char* title;
    const char* prepare;
    const char* arguments;
    const char* calls;
    const char* orCalls = nullptr; // where files cannot be unnamed: the temporary is named at once
  };
  static const Case cases[] = {
      {"a new name", "true", "script.txt", "fsync linkat fsync "},
      {"over an existing file", "cp in.bmp out.bmp", "--yes script.txt",
       "fsync linkat renameat fsync ", "fsync renameat fsync "},
      {"in place, a file with two links", "cp in.bmp out.bmp && ln out.bmp link.bmp",
       "--yes script.txt", "fsync ftruncate fsync "},
      {"through a link that leads nowhere yet", "ln -s made.bmp out.bmp", "--yes script.txt",
       "fsync fsync "},
      {"the plan picture", "true", "--check --plan plan.bmp script.txt", "fsync linkat fsync "},
      // For bulk jobs: only the syncs that keep an old file whole stay.
      {"a new name, without syncs", "true", "--no-sync script.txt", "linkat "},
      {"over an existing file, without syncs", "cp in.bmp out.bmp", "--yes --no-sync script.txt",
       "fsync linkat renameat ", "fsync renameat "},
      {"in place, without syncs", "cp in.bmp out.bmp && ln out.bmp link.bmp",
       "--no-sync --yes script.txt", "fsync ftruncate fsync "},
      {"through a link, without syncs", "ln -s made.bmp out.bmp", "--yes --no-sync script.txt", ""},
      {"the plan picture, without syncs", "true", "--check --no-sync --plan plan.bmp script.txt",
       "linkat "},
  };
  writeTextFile(dir.file("script.txt"),
                "load base in.bmp\nload patch in.bmp\n<p = 1 0 0 0 1 1\nsave out.bmp\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string command =
        std::string("rm -f out.bmp link.bmp made.bmp plan.bmp && ") + c.prepare +
        " && strace -qq -o trace.txt -e trace=fsync,fdatasync,link,linkat,rename,renameat,"
        "renameat2,truncate,ftruncate \"$TILEGRAFT\" " +
        c.arguments + " > /dev/null && sed 's/(.*//' trace.txt | tr '\\n' ' '";
    RunOptions options;
    options.throughShell = true;
    const std::string calls = runTool(dir.path(), {command}, options).standardOutput;
    EXPECT_TRUE(calls == c.calls || (c.orCalls != nullptr && calls == c.orCalls)) << calls;
  }
}

// A lock that another program holds (flock, as any user who may read the file can take) is
// waited for a bounded time, with a line that says so: then a load reads the file without it,
// and an in-place save fails with the old file kept. The run's timeout catches a wait for ever.
TEST_F(LoadSaveEndToEndTest, AnotherProgramsLockIsWaitedForABoundedTime) {
  BmpBuilder(40, 30, 24).fillPattern(1).writeTo(dir.file("in.bmp"));
  BmpBuilder(40, 30, 24).fillPattern(2).writeTo(dir.file("old.bmp"));
  writeTextFile(dir.file("script.txt"), "load base in.bmp\nsave out.bmp\n");
  const std::string waiting = "Waiting up to 5 seconds for another program to release its lock on ";
  const std::string saving =
      start + "Loading base bitmap: in.bmp...\nSaving output bitmap: out.bmp...\n";
  struct Case {
    const char* title;
    const char* command;
    int status;
    std::string out;
    std::string err;
    const char* outputLike; // the file out.bmp holds afterwards
  };
  const Case cases[] = {
      {"a load, under an exclusive lock",
       R"({ flock -x 9 && "$TILEGRAFT" --yes script.txt; } 9< in.bmp)", 0, saving + "Done.\n",
       waiting + "in.bmp...\n", "in.bmp"},
      {"an in-place save, under a shared lock",
       R"(cp old.bmp out.bmp && ln out.bmp link.bmp &&
          { flock -s 9 && "$TILEGRAFT" --yes script.txt; } 9< out.bmp)",
       1, saving,
       "out.bmp already exists: overwrite (y/n)? y\n" + waiting +
           "out.bmp...\nLine 2: save out.bmp\n**** Base bitmap: Error writing file.\n",
       "old.bmp"},
      // The holder lets go a moment after the tool's open asks for its lease.
      {"an in-place save, under another program's read lease",
       R"(cp old.bmp out.bmp && ln out.bmp link.bmp && rm -f held && python3 -c '
import fcntl, os, signal, time
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGIO])
fcntl.fcntl(os.open("out.bmp", os.O_RDONLY), fcntl.F_SETLEASE, fcntl.F_RDLCK)
open("held", "w").close()
signal.sigtimedwait([signal.SIGIO], 10)
time.sleep(0.2)' & while [ ! -e held ]; do sleep 0.01; done; "$TILEGRAFT" --yes script.txt)",
       0, saving + "Done.\n",
       "out.bmp already exists: overwrite (y/n)? y\nWaiting for another program to release its "
       "lease on out.bmp...\n",
       "in.bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    fs::remove(dir.file("out.bmp"));
    fs::remove(dir.file("link.bmp"));
    RunOptions options;
    options.throughShell = true;
    options.timeout = std::chrono::seconds(20);
    expectRun(runTool(dir.path(), {c.command}, options), c.status, c.out, c.err);
    EXPECT_EQ(fileBytes("out.bmp"), fileBytes(c.outputLike));
  }
}

// A signal that comes at any moment of a save (here after each change of a signal's handling,
// where the save sets its handlers up and puts them back) ends the tool with the line that says
// what the name holds, never silently. strace sends SIGINT as the Nth such call returns.
TEST_F(LoadSaveEndToEndTest, ASignalAnywhereInASaveLeavesTheStopLine) {
  if (std::system("strace -o /dev/null true 2> /dev/null") != 0) {
    GTEST_SKIP() << "needs strace, allowed to trace";
  }
  if (builtWithAddressSanitizer) {
    GTEST_SKIP() << "the leak checker traces the process at exit, which strace already does";
  }
  BmpBuilder(40, 30, 24).fillPattern(1).writeTo(dir.file("in.bmp"));
  writeTextFile(dir.file("script.txt"), "load base in.bmp\nsave out.bmp\n");
  RunOptions options;
  options.throughShell = true;
  const ToolRun result = runTool(dir.path(), {R"(n=1; stopped=0
      while [ $n -lt 1000 ]; do
        rm -f out.bmp
        strace -qq -o /dev/null -e trace=rt_sigaction -e inject=rt_sigaction:signal=INT:when=$n \
          "$TILEGRAFT" script.txt > out.txt 2> err.txt
        status=$?
        [ $status = 0 ] && break
        if grep -q Saving out.txt; then
          stopped=$((stopped + 1))
          grep -q '^\*\*\*\* Stopped by a signal' err.txt || echo "no line at call $n, status $status"
        fi
        n=$((n + 1))
      done
      [ $stopped -gt 10 ] && echo ended)"},
                                 options);
  EXPECT_EQ(result.standardOutput, "ended\n");
}

// The answer holds for the file it was about: when another file takes its place while the
// question waits, the save writes nothing and asks about the file that is there now.
TEST_F(LoadSaveEndToEndTest, AFileThatTakesTheNamesPlaceIsAskedAboutAnew) {
  const Bytes image = BmpBuilder(3, 2, 8).bytes();
  const Bytes other{'o', 't', 'h', 'e', 'r'};
  writeFileBytes(dir.file("in.bmp"), image);
  writeFileBytes(dir.file("out.bmp"), Bytes{'o', 'l', 'd'});
  writeFileBytes(dir.file("other"), other);
  writeTextFile(dir.file("script.txt"), "load base in.bmp\nsave out.bmp\n");
  // Each answer is written once the tool has asked, or has ended (waiting on the question, not
  // on time).
  const std::string session =
      "mkfifo answers\n"
      "\"$TILEGRAFT\" script.txt < answers > tool.out 2> tool.err & tool=$!\n"
      "exec 3> answers\n"
      "asked() {\n"
      "  [ \"$(grep -o overwrite tool.err | wc -l)\" -ge \"$1\" ] || ! kill -0 $tool 2> /dev/null\n"
      "}\n"
      "until asked 1; do sleep 0.01; done\n"
      "mv other out.bmp\n"
      "echo y >&3\n"
      "until asked 2; do sleep 0.01; done\n"
      "echo n >&3\n"
      "exec 3>&-\n"
      "wait $tool\n";
  RunOptions shell;
  shell.throughShell = true;
  const ToolRun run = runTool(dir.path(), {session}, shell);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_EQ(readTextFile(dir.file("tool.err")),
            "out.bmp already exists: overwrite (y/n)? out.bmp already exists: overwrite (y/n)? ");
  // The log says the save it began was not made.
  EXPECT_EQ(readTextFile(dir.file("tool.out")),
            start + "Loading base bitmap: in.bmp...\nSaving output bitmap: out.bmp...\n"
                    "Not saved: out.bmp changed at its name meanwhile.\nDone.\n");
  EXPECT_EQ(fileBytes("out.bmp"), other);
}

// Every way a save can go, each checked against the whole folder afterwards: the bytes, mode and
// owner of every file, links still links, and no temporary file left behind.
TEST(SaveReplacesEndToEndTest, OldFileSurvivesEveryFailureAndNewBytesArriveWhole) {
  const BmpBuilder base = BmpBuilder(40, 30, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(40, 30, 24).fillPattern(2);
  // The script's merge makes the saved bytes differ from both loaded files.
  Bytes merged = base.bytes();
  std::copy_n(patch.bytes().begin() + static_cast<std::ptrdiff_t>(patch.pixelIndex(0, 0)), 3,
              merged.begin() + static_cast<std::ptrdiff_t>(base.pixelIndex(1, 0)));
  const Bytes old{'o', 'l', 'd'};
  const auto oldFile = [&](const std::string& name, fs::perms mode = fs::perms::unknown) {
    return [=](const fs::path& root) {
      fs::create_directories((root / name).parent_path());
      writeFileBytes(root / name, old);
      if (mode != fs::perms::unknown) {
        fs::permissions(root / name, mode);
      }
    };
  };
  const std::uint64_t tooSmall = 1000;
  const auto giveAway = [](const fs::path& path) {
    constexpr uid_t nobody = 65534;
    if (lchown(path.c_str(), nobody, nobody) != 0) {
      throw std::runtime_error("cannot give away " + path.string());
    }
  };
  enum class Inode { any, kept, replaced };
  struct Case {
    std::string title;
    std::function<void(const fs::path&)> prepare = [](const fs::path&) {};
    std::string target = "out.bmp";
    bool asked = true;
    std::string answer = "y\n";
    std::string error{};                // after "Base bitmap: "; empty when the save succeeds
    int signal = 0;                     // the signal expected to end the tool
    std::vector<std::string> changed{}; // the files that must hold the saved bytes afterwards
    Inode inode = Inode::any;           // of the first changed file, or of the target
    RunOptions options{};
    bool onlyForRoot = false;
  };
  RunOptions sizeLimit;
  sizeLimit.maxFileSize = tooSmall;
  sizeLimit.ignoreFileSizeSignal = true;
  RunOptions sizeSignal;
  sizeSignal.maxFileSize = tooSmall;
  RunOptions permissionsBind;
  permissionsBind.withoutRootOverride = true;
  const std::vector<Case> cases{
      {.title = "a new name", .asked = false, .changed = {"out.bmp"}},
      {.title = "an existing file keeps its mode",
       .prepare = oldFile("out.bmp",
                          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read),
       .changed = {"out.bmp"},
       .inode = Inode::replaced},
      {.title = "set-user-ID and set-group-ID bits are kept",
       .prepare = oldFile("out.bmp", fs::perms::set_uid | fs::perms::set_gid |
                                         fs::perms::owner_all | fs::perms::group_read),
       .changed = {"out.bmp"},
       .inode = Inode::replaced},
      {.title = "another user's file keeps its owner and group",
       .prepare =
           [&](const fs::path& root) {
             oldFile("out.bmp", fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::group_write)(root);
             giveAway(root / "out.bmp");
           },
       .changed = {"out.bmp"},
       .inode = Inode::replaced,
       .onlyForRoot = true},
      {.title = "over the loaded base file", .target = "in.bmp", .changed = {"in.bmp"}},
      {.title = "over the loaded patch file", .target = "p.bmp", .changed = {"p.bmp"}},
      {.title = "a file-size limit part-way over an existing file",
       .prepare = oldFile("out.bmp"),
       .error = "Error writing file.",
       .inode = Inode::kept,
       .options = sizeLimit},
      {.title = "a file-size limit part-way into a new name",
       .asked = false,
       .error = "Error writing file.",
       .options = sizeLimit},
      {.title = "the file-size signal part-way over an existing file does not end the tool",
       .prepare = oldFile("out.bmp"),
       .error = "Error writing file.",
       .inode = Inode::kept,
       .options = sizeSignal},
      {.title = "a file-size limit is found before a hard-linked file is overwritten",
       .prepare =
           [&](const fs::path& root) {
             oldFile("a.bmp")(root);
             fs::create_hard_link(root / "a.bmp", root / "b.bmp");
           },
       .target = "a.bmp",
       .error = "Error writing file.",
       .inode = Inode::kept,
       .options = sizeSignal},
      {.title = "a named pipe without a reader is refused at once",
       .prepare = [](const fs::path& root) { mkfifo((root / "pipe.bmp").c_str(), 0600); },
       .target = "pipe.bmp",
       .error = "Error creating file."},
      {.title = "a chain of symbolic links stays links to the new bytes",
       .prepare =
           [&](const fs::path& root) {
             oldFile("target.bmp")(root);
             fs::create_directory(root / "links");
             fs::create_symlink("../target.bmp", root / "links/to-target.bmp");
             fs::create_symlink("links/to-target.bmp", root / "chain.bmp");
           },
       .target = "chain.bmp",
       .changed = {"target.bmp"},
       .inode = Inode::replaced},
      {.title = "a symbolic link that leads nowhere yet is asked about, and made",
       .prepare = [](const fs::path& root) { fs::create_symlink("made.bmp", root / "new.bmp"); },
       .target = "new.bmp",
       .changed = {"made.bmp"}},
      {.title = "two hard links both see the new bytes",
       .prepare =
           [&](const fs::path& root) {
             oldFile("a.bmp")(root);
             fs::create_hard_link(root / "a.bmp", root / "b.bmp");
           },
       .target = "a.bmp",
       .changed = {"a.bmp", "b.bmp"},
       .inode = Inode::kept},
      {.title = "a read-only folder with a writable file is written in place",
       .prepare =
           [&](const fs::path& root) {
             oldFile("ro/out.bmp")(root);
             fs::permissions(root / "ro", fs::perms::owner_write, fs::perm_options::remove);
           },
       .target = "ro/out.bmp",
       .changed = {"ro/out.bmp"},
       .inode = Inode::kept,
       .options = permissionsBind},
      {.title = "a read-only folder takes no new file",
       .prepare =
           [](const fs::path& root) {
             fs::create_directory(root / "ro");
             fs::permissions(root / "ro", fs::perms::owner_write, fs::perm_options::remove);
           },
       .target = "ro/new.bmp",
       .asked = false,
       .error = "Error creating file.",
       .options = permissionsBind},
      {.title = "a read-only file in a writable folder is not replaced",
       .prepare = oldFile("out.bmp", fs::perms::owner_read),
       .error = "Error creating file.",
       .inode = Inode::kept,
       .options = permissionsBind},
      {.title = "another user's writable file in a sticky folder is written in place",
       .prepare =
           [&](const fs::path& root) {
             oldFile("shared/out.bmp", fs::perms::all)(root);
             fs::permissions(root / "shared", fs::perms::all | fs::perms::sticky_bit);
             giveAway(root / "shared");
             giveAway(root / "shared/out.bmp");
           },
       .target = "shared/out.bmp",
       .changed = {"shared/out.bmp"},
       .inode = Inode::kept,
       .options = permissionsBind,
       .onlyForRoot = true},
      {.title = "an unreadable file is asked about",
       .prepare = oldFile("out.bmp", fs::perms::owner_write),
       .answer = "n\n",
       .options = permissionsBind},
      {.title = "a full device", .target = "/dev/full", .error = "Error writing file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    if (c.onlyForRoot && geteuid() != 0) {
      continue; // only root can make another user's files
    }
    ScopedTempDir dir;
    base.writeTo(dir.file("in.bmp"));
    patch.writeTo(dir.file("p.bmp"));
    c.prepare(dir.path());
    const std::string lastLine = "save " + c.target;
    writeTextFile(dir.file("script.txt"),
                  "load base in.bmp\nload patch p.bmp\n<p = 1 0 0 0 1 1\n" + lastLine + "\n");
    const Folder before = folderContents(dir.path());
    const fs::path watched = dir.file(c.changed.empty() ? c.target : c.changed.front());
    const ino_t inodeBefore = inodeOf(watched);

    RunOptions options = c.options;
    options.standardInput = c.answer;
    const ToolRun result = runTool(dir.path(), {"script.txt"}, options);

    const bool saving = !c.asked || c.answer.starts_with('y');
    std::string err = c.asked ? c.target + " already exists: overwrite (y/n)? " : "";
    if (!c.error.empty()) {
      err += "Line 4: " + lastLine + "\n**** Base bitmap: " + c.error + "\n";
    }
    if (c.signal != 0) {
      // Standard output, buffered in the tool, goes with it.
      EXPECT_EQ(result.exitStatus, 128 + c.signal);
    } else {
      EXPECT_EQ(result.exitStatus, c.error.empty() ? 0 : 1);
      EXPECT_EQ(result.standardOutput,
                start + "Loading base bitmap: in.bmp...\nLoading patch bitmap: p.bmp...\n" +
                    (saving ? "Saving output bitmap: " + c.target + "...\n" : "") +
                    (c.error.empty() ? "Done.\n" : ""));
    }
    EXPECT_EQ(result.standardError, err);

    // A replaced file keeps its mode, owner and group; a new one gets those of the test's own
    // new files.
    Folder expected = before;
    for (const std::string& name : c.changed) {
      Entry entry = before.contains(name) ? before.at(name) : before.at("in.bmp");
      entry.bytes = merged;
      expected[name] = entry;
    }
    EXPECT_EQ(folderContents(dir.path()), expected);
    if (c.inode != Inode::any) {
      EXPECT_EQ(inodeOf(watched) == inodeBefore, c.inode == Inode::kept);
    }
    // Folders made read-only must be emptied again.
    for (const auto& [name, entry] : before) {
      if (entry.kind == "folder") {
        fs::permissions(dir.file(name), fs::perms::owner_all, fs::perm_options::add);
      }
    }
  }
}

} // namespace
} // namespace tilegraft::testing
