#include "tests/support/bmp_builder.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/tool_test.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <csignal>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif

namespace tilegraft::testing {
namespace {

#ifdef __linux__
namespace fs = std::filesystem;

// overOldFileNoSync: the same save with --no-sync, which still syncs the file before the rename.
enum class Route { overOldFile, newName, inPlace, overOldFileNoSync };
enum class Size { copied, mapped };
using PowerCutRow = std::tuple<std::string, Route, Size>;
// For the rows' names and for gtest's report of a row.
void PrintTo(Route route, std::ostream* os) {
  const char* names[] = {"OverOldFile", "NewName", "InPlace", "OverOldFileNoSync"};
  *os << names[static_cast<int>(route)];
}
void PrintTo(Size size, std::ostream* os) { *os << (size == Size::mapped ? "Mapped" : "Copied"); }

bool quietly(const std::string& command) {
  return std::system((command + " > /dev/null 2>&1").c_str()) == 0;
}

// The process's mounts become its own (for the rest of its life: harmless to other tests), so
// that a test killed half-way leaves no mount and no loop device behind: both go with it.
bool mountsOfOurOwn() {
  static const bool own =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return own;
}

// A file system in an image file, loop-mounted at a folder while the object lives.
class LoopMount {
public:
  LoopMount(const fs::path& image, const fs::path& at, const std::string& system)
      : folder(at), mounted(quietly("mount -o loop" + options(system) + " " + image.string() + " " +
                                    at.string())) {}
  ~LoopMount() { unmount(); }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;

  explicit operator bool() const { return mounted; }
  // The loop device goes with the mount (mount -o loop sets it to clear itself).
  void unmount() {
    if (mounted && umount(folder.c_str()) != 0) {
      umount2(folder.c_str(), MNT_DETACH);
    }
    mounted = false;
  }

private:
  // ext4 without its own guess at replace-by-rename, so that only the tool's syncs count. Btrfs
  // commits every second rather than every 30, so that a test can wait for a commit.
  static std::string options(const std::string& system) {
    return system == "ext4" ? ",noauto_da_alloc" : system == "btrfs" ? ",commit=1" : "";
  }
  fs::path folder;
  bool mounted;
};

// What the name holds after the cut, in words for a failure.
std::string described(bool present, const Bytes& now, const Bytes& old, const Bytes& fresh,
                      const Bytes& base) {
  if (!present) {
    return "no file";
  }
  if (now == old) {
    return "the old file";
  }
  if (now == fresh) {
    return "the new file";
  }
  if (now == base) {
    return "the base as loaded, without the merges";
  }
  const Bytes& longer = old.size() >= now.size() ? old : fresh;
  if (!now.empty() && now.size() <= longer.size() &&
      std::equal(now.begin(), now.end(), longer.begin())) {
    return std::to_string(now.size()) + " bytes, the start of the " +
           (&longer == &old ? "old" : "new") + " file";
  }
  return std::to_string(now.size()) + " bytes, neither file";
}

class OutsideFaultsPowerCutTest : public ::testing::TestWithParam<PowerCutRow> {};

// A power cut right after "Done.": the disk as it stands then (an image file copied while its
// file system is still mounted: what the file system has not written back is not in it) is
// mounted again, and the saved name holds its old file or the new bitmap, byte for byte. The
// journal is committed first, as a machine does now and then shortly before a crash, so that a
// name published before its bytes shows: by an fsync of an unrelated file, and on Btrfs by its
// periodic commit. Each route of a save: over a file with one link (a new file renamed over it),
// to a free name, and over a file with two links (written in place); each for a small base,
// copied into memory, and a large one, mapped, whose few merged pages make saves beside it share
// its blocks where the file system can. Root only: loop mounts.
TEST_P(OutsideFaultsPowerCutTest, TheNameHoldsTheOldFileOrTheNewOneWhole) {
  const auto& [system, route, size] = GetParam();
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, for loop-mounted file systems";
  }
  if (!quietly("command -v mkfs." + system)) {
    GTEST_SKIP() << "needs mkfs." << system;
  }
  if (!mountsOfOurOwn()) {
    GTEST_SKIP() << "cannot have mounts of its own here";
  }
  const ScopedTempDir dir;
  const fs::path image = dir.file("disk.img");
  const fs::path disk = dir.file("disk");
  fs::create_directory(disk);
  ASSERT_TRUE(quietly("truncate -s 320M " + image.string() + " && mkfs." + system + " -q " +
                      (system == "ext4" ? "-F " : "") + image.string()));
  LoopMount original(image, disk, system);
  if (!original) {
    GTEST_SKIP() << "a loop device cannot be mounted here";
  }

  // Over 4 MiB a base is mapped; three 64 by 64 blocks touch few of its pages.
  const std::int32_t width = size == Size::mapped ? 2048 : 256;
  const std::int32_t height = size == Size::mapped ? 1100 : 256;
  const BmpBuilder base = BmpBuilder(width, height, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(64, 64, 24).fillPattern(2);
  // Longer than the new file, so that a cut to the new length shows.
  const Bytes old = BmpBuilder(width, height + 40, 24).fillPattern(3).bytes();
  std::string script = "load base base.bmp\nload patch patch.bmp\n";
  ModelBitmap model("base", base.bytes());
  const ModelBitmap patchModel("patch", patch.bytes());
  for (std::int32_t k = 0; k < 3; ++k) {
    const std::int32_t x = k * (width - 64) / 2;
    const std::int32_t y = k * (height - 64) / 2;
    script += "merge pixels ^ " + std::to_string(x) + " " + std::to_string(y) + " 0 0 64 64\n";
    ASSERT_EQ(
        modelMerge(model, patchModel, {.op = xorOp, .x = x, .y = y, .width = 64, .height = 64}),
        "");
  }
  script += "save out.bmp\n";
  const Bytes& fresh = model.file;

  base.writeTo(disk / "base.bmp");
  patch.writeTo(disk / "patch.bmp");
  if (route != Route::newName) {
    writeFileBytes(disk / "out.bmp", old);
  }
  if (route == Route::inPlace) {
    fs::create_hard_link(disk / "out.bmp", disk / "link.bmp");
  }
  writeTextFile(disk / "script.txt", script);
  // Everything so far is on the disk: only the save is in question.
  sync();

  const ToolRun run = route == Route::overOldFileNoSync
                          ? runTool(disk, {"--yes", "--no-sync", "script.txt"})
                          : runTool(disk, {"--yes", "script.txt"});
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;
  ASSERT_TRUE(run.standardOutput.ends_with("Done.\n")) << run.standardOutput;
  ASSERT_EQ(readFileBytes(disk / "out.bmp"), fresh);

  writeTextFile(disk / "unrelated.txt", "a journal commit\n");
  const int unrelated = open((disk / "unrelated.txt").c_str(), O_WRONLY);
  ASSERT_TRUE(unrelated >= 0 && fsync(unrelated) == 0);
  close(unrelated);
  // On Btrfs an fsync writes a log of that file alone; the names change with the next commit.
  if (system == "btrfs") {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }
  const fs::path cut = dir.file("cut.img");
  ASSERT_TRUE(quietly("cp --sparse=always " + image.string() + " " + cut.string()));
  original.unmount();
  // Btrfs remembers the device it last saw with this file system's identity.
  if (system == "btrfs") {
    quietly("btrfs device scan --forget");
  }
  LoopMount after(cut, disk, system);
  ASSERT_TRUE(after) << "the disk as it stood at the cut does not mount";
  const bool present = fs::exists(disk / "out.bmp");
  const Bytes now = present ? readFileBytes(disk / "out.bmp") : Bytes{};
  const bool whole =
      present ? now == fresh || (route != Route::newName && now == old) : route == Route::newName;
  EXPECT_TRUE(whole) << "out.bmp holds " << described(present, now, old, fresh, base.bytes());
}

std::string rowName(const ::testing::TestParamInfo<PowerCutRow>& info) {
  const auto& [system, route, size] = info.param;
  return system + ::testing::PrintToString(route) + ::testing::PrintToString(size);
}

INSTANTIATE_TEST_SUITE_P(FileSystemsRoutesAndSizes, OutsideFaultsPowerCutTest,
                         ::testing::Combine(::testing::Values("ext4", "xfs", "btrfs"),
                                            ::testing::Values(Route::overOldFile, Route::newName,
                                                              Route::inPlace),
                                            ::testing::Values(Size::copied, Size::mapped)),
                         rowName);
// XFS documents that it does not guess at replace-by-rename: only the tool's sync can count.
INSTANTIATE_TEST_SUITE_P(WithoutSyncs, OutsideFaultsPowerCutTest,
                         ::testing::Combine(::testing::Values("xfs"),
                                            ::testing::Values(Route::overOldFileNoSync),
                                            ::testing::Values(Size::copied, Size::mapped)),
                         rowName);

// Another program that holds a lock on a file with flock until the object goes: as another user
// (nobody) where the test runs as root, so that the tool can neither signal it nor take the
// lock from it; as the test's own user elsewhere. It opens the file only to read, as any user
// who may read the file can.
class LockHolder {
public:
  LockHolder(const fs::path& file, int operation) {
    int ready[2];
    if (pipe(ready) != 0) {
      return;
    }
    holder = fork();
    if (holder == 0) {
      // Only async-signal-safe calls between fork and the end.
      constexpr uid_t nobody = 65534;
      const int descriptor = open(file.c_str(), O_RDONLY);
      const bool held = descriptor >= 0 && flock(descriptor, operation) == 0 &&
                        (geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(nobody) == 0 &&
                                            setuid(nobody) == 0));
      const char word = held ? 'y' : 'n';
      static_cast<void>(write(ready[1], &word, 1));
      for (;;) {
        pause();
      }
    }
    close(ready[1]);
    char word = 'n';
    holding = holder > 0 && read(ready[0], &word, 1) == 1 && word == 'y';
    close(ready[0]);
  }
  ~LockHolder() {
    if (holder > 0) {
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
    }
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  explicit operator bool() const { return holding; }

private:
  pid_t holder = -1;
  bool holding = false;
};

// A lock that another user holds on a file, which any user who may read the file can take, is
// waited for five seconds at most, with a line that says so: a load then reads the file without
// it (checked as any file read while others may write it), and an in-place save fails with the
// old file kept. The timeout only catches a run that waits for ever.
TEST(OutsideFaultsEndToEndTest, ALockAnotherUserHoldsIsWaitedForABoundedTimeWithAWord) {
  const BmpBuilder base = BmpBuilder(40, 30, 24).fillPattern(1);
  const BmpBuilder patch = BmpBuilder(40, 30, 24).fillPattern(2);
  Bytes merged = base.bytes();
  for (std::size_t k = 0; k < 3; ++k) {
    merged[base.pixelIndex(1, 0) + k] ^= patch.bytes()[patch.pixelIndex(0, 0) + k];
  }
  const Bytes old{'o', 'l', 'd'};
  const auto waiting = [](const std::string& name) {
    return "Waiting up to 5 seconds for another program to release its lock on " + name + "...\n";
  };
  const std::string question = "out.bmp already exists: overwrite (y/n)? y\n";
  const std::string saving = std::string(scriptStartLine) +
                             "Loading base bitmap: in.bmp...\nLoading patch bitmap: p.bmp...\n"
                             "Saving output bitmap: out.bmp...\n";
  struct Case {
    const char* title;
    const char* locked;
    int operation;
    bool saves; // false: the save fails, with the old file kept
    std::string err;
  };
  const Case cases[] = {
      {"a load of a base locked to write", "in.bmp", LOCK_EX, true, waiting("in.bmp") + question},
      {"an in-place save over a file locked to read", "out.bmp", LOCK_SH, false,
       question + waiting("out.bmp") +
           failureReport(4, "save out.bmp", "Base bitmap: Error writing file.")},
  };
  RunOptions options;
  options.timeout = std::chrono::seconds(30);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const ScopedTempDir dir;
    base.writeTo(dir.file("in.bmp"));
    patch.writeTo(dir.file("p.bmp"));
    writeFileBytes(dir.file("out.bmp"), old);
    fs::create_hard_link(dir.file("out.bmp"), dir.file("link.bmp"));
    writeTextFile(dir.file("script.txt"),
                  "load base in.bmp\nload patch p.bmp\nmerge pixels ^ 1 0 0 0 1 1\nsave out.bmp\n");
    const LockHolder holder(dir.file(c.locked), c.operation);
    ASSERT_TRUE(holder) << "no other program could lock " << c.locked;
    const ToolRun run = runTool(dir.path(), {"--yes", "script.txt"}, options);
    if (run.timedOut) {
      continue; // a run that waited for ever, reported as a failure by the runner
    }
    expectRun(run, c.saves ? 0 : 1, saving + (c.saves ? "Done.\n" : ""), c.err);
    EXPECT_EQ(readFileBytes(dir.file("out.bmp")), c.saves ? merged : old);
    EXPECT_EQ(readFileBytes(dir.file("link.bmp")), c.saves ? merged : old);
  }
}
#endif // loop mounts, mount namespaces and flock are Linux's here

} // namespace
} // namespace tilegraft::testing
