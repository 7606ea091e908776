#include "platform/file_writer.h"
#include "platform/posix_features.h"
#include "platform/test_seams.h"
#include "tests/support/in_child.h"
#include "tests/support/scoped_temp_dir.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#if TILEGRAFT_LINUX_CALLS
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#endif

namespace tilegraft {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::inChild;
using testing::readFileBytes;
using testing::ScopedTempDir;
using testing::writeFileBytes;

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The seam's side of a pipe pair: the child says it is half-way, then waits for the word to go on.
int toParent[2];
int toChild[2];
void reportAndWait() {
  char byte = 'h';
  static_cast<void>(write(toParent[1], &byte, 1));
  static_cast<void>(read(toChild[0], &byte, 1));
}

// A signal sent by another process once a save has begun removes the temporary file and ends the
// process by that signal; the old file stays byte for byte. One the process was started to ignore,
// or that a host program handles (as libFuzzer does its timer), changes nothing: the save
// completes. Both kinds of temporary file are tried, and a file with two links, written in place:
// there the signals wait until the file is whole, then end the process. SIGKILL, which no handler
// sees, shows why an unnamed file is used where the system has it: a named one can outlive it.
TEST(FileWriterTest, SignalSentMidSaveLeavesOnlyTheOldFile) {
  enum Disposition { byDefault, ignored, handled };
  enum Target { unnamedFile, namedFile, twoLinks };
  struct Case {
    int signalNumber;
    Disposition disposition = byDefault;
  };
  const Bytes old{'o', 'l', 'd'};
  const Bytes fresh(4096, 0x5A);
  const std::vector<Case> cases{
      {SIGINT},           {SIGTERM},         {SIGHUP},  {SIGQUIT},         {SIGUSR1},
      {SIGUSR2},          {SIGALRM},         {SIGPIPE}, {SIGXFSZ},         {SIGVTALRM},
      {SIGPROF},          {SIGHUP, ignored}, {SIGKILL}, {SIGINT, ignored}, {SIGALRM, handled},
      {SIGUSR1, handled}, {SIGRTMIN + 2},    {SIGRTMAX}};
  for (const Target target : {unnamedFile, namedFile, twoLinks}) {
    for (const Case& c : cases) {
      if (c.signalNumber == SIGKILL && target == twoLinks) {
        continue; // a kill that no handler sees can stop a write in place part-way
      }
      const bool survives = c.disposition != byDefault;
      const bool namedTemporary = target == namedFile || !TILEGRAFT_LINUX_CALLS;
      SCOPED_TRACE(::testing::Message() << "signal " << c.signalNumber << ", disposition "
                                        << c.disposition << ", target " << target);
      const ScopedTempDir dir;
      writeFileBytes(dir.file("out.bmp"), old);
      std::vector<std::string> names{"out.bmp"};
      if (target == twoLinks) {
        fs::create_hard_link(dir.file("out.bmp"), dir.file("link.bmp"));
        names.insert(names.begin(), "link.bmp");
      }
      const std::string name = dir.file("out.bmp").string();
      ASSERT_EQ(pipe(toParent), 0);
      ASSERT_EQ(pipe(toChild), 0);
      int errors[2] = {-1, -1};
      ASSERT_EQ(pipe(errors), 0);
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        void (*const hostHandler)(int) = [](int) {};
        std::signal(c.signalNumber, c.disposition == ignored   ? SIG_IGN
                                    : c.disposition == handled ? hostHandler
                                                               : SIG_DFL);
        afterHalfWrittenForTesting = reportAndWait;
        unnamedFilesForTesting = target == unnamedFile;
        _exit(replaceFile(name, fresh) == ReplaceResult::replaced ? 0 : 1);
      }
      char byte = 0;
      ASSERT_EQ(read(toParent[0], &byte, 1), 1);
      kill(child, c.signalNumber);
      // A child that the signal ends stops at once; one that holds it back goes on.
      static_cast<void>(write(toChild[1], &byte, 1));
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      close(errors[1]);
      std::string said;
      for (char got = 0; read(errors[0], &got, 1) == 1;) {
        said += got;
      }
      for (const int end : {toParent[0], toParent[1], toChild[0], toChild[1], errors[0]}) {
        close(end);
      }
      // The one line the handler writes says what the name holds: an in-place write holds the
      // signal back until the file is whole.
      const bool told = !survives && c.signalNumber != SIGKILL;
      EXPECT_EQ(said, !told                ? ""
                      : target == twoLinks ? "**** Stopped by a signal at the end of a save: the "
                                             "file was written whole.\n"
                                           : "**** Stopped by a signal while saving: the file was "
                                             "not written; its name holds what it held before.\n");
      if (survives) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      } else {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signalNumber) << status;
      }
      std::vector<std::string> left = namesIn(dir.path());
      if (c.signalNumber == SIGKILL && namedTemporary && left.size() == 2 &&
          left.front().starts_with(".tilegraft-")) {
        left.erase(left.begin()); // what the documents say a kill -9 can leave
      }
      EXPECT_EQ(left, names);
      EXPECT_EQ(readFileBytes(dir.file("out.bmp")), survives || target == twoLinks ? fresh : old);
    }
  }
}

// Targets that a rename cannot replace are written in place, under an exclusive lock held for
// the whole write; a named pipe takes the bytes only from a reader that is there.
TEST(FileWriterTest, InPlaceWritesAreLockedAndPipesNeedAReader) {
  const Bytes old{'o', 'l', 'd'};
  const Bytes fresh(8192, 0xC3);
  {
    SCOPED_TRACE("a hard-linked file is locked while it is written");
    const ScopedTempDir dir;
    writeFileBytes(dir.file("a.bmp"), old);
    fs::create_hard_link(dir.file("a.bmp"), dir.file("b.bmp"));
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const std::string name = dir.file("a.bmp").string();
    const pid_t child = fork();
    if (child == 0) {
      afterHalfWrittenForTesting = reportAndWait;
      _exit(replaceFile(name, fresh) == ReplaceResult::replaced ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(read(toParent[0], &byte, 1), 1);
    const int probe = open(dir.file("b.bmp").c_str(), O_RDONLY);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "a second save could interleave";
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(probe);
    // A load meanwhile waits for the save to end, rather than keep half of each, and says so.
    int said[2];
    ASSERT_EQ(pipe(said), 0);
    const pid_t loader = fork();
    if (loader == 0) {
      dup2(said[1], STDERR_FILENO);
      FileImage image;
      const bool whole =
          image.load(dir.file("b.bmp").string(), 1, 1 << 20) == FileReadResult::read &&
          std::equal(fresh.begin(), fresh.end(), image.bytes(), image.bytes() + image.size());
      _exit(whole ? 0 : 1);
    }
    // The save stays half-way until the load says it waits for the lock (or has ended).
    close(said[1]);
    std::string line(200, '\0');
    line.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(said[0], line.data(), 200))));
    close(said[0]);
    EXPECT_TRUE(line.starts_with("Waiting up to 5 seconds for another program to release its "
                                 "lock on "))
        << line;
    static_cast<void>(write(toChild[1], &byte, 1));
    int loaderStatus = 0;
    waitpid(loader, &loaderStatus, 0);
    EXPECT_TRUE(WIFEXITED(loaderStatus) && WEXITSTATUS(loaderStatus) == 0) << loaderStatus;
    int status = 0;
    waitpid(child, &status, 0);
    for (const int end : {toParent[0], toParent[1], toChild[0], toChild[1]}) {
      close(end);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFileBytes(dir.file("b.bmp")), fresh);
  }
  {
    SCOPED_TRACE("named pipes");
    const ScopedTempDir dir;
    const fs::path fifo = dir.file("pipe.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(replaceFile(fifo.string(), fresh), ReplaceResult::notCreated);
    const fs::path received = dir.file("received");
    const pid_t reader = fork();
    if (reader == 0) {
      const int in = open(fifo.c_str(), O_RDONLY);
      Bytes got;
      std::uint8_t buffer[4096];
      for (ssize_t n = 0; (n = read(in, buffer, sizeof buffer)) > 0;) {
        got.insert(got.end(), buffer, buffer + n);
      }
      writeFileBytes(received, got);
      _exit(0);
    }
    // The reader must be there first; until then the save is refused, so it is tried again.
    ReplaceResult result = ReplaceResult::notCreated;
    for (int attempt = 0; attempt < 5000 && result == ReplaceResult::notCreated; ++attempt) {
      result = replaceFile(fifo.string(), fresh);
      if (result == ReplaceResult::notCreated) {
        usleep(1000);
      }
    }
    EXPECT_EQ(result, ReplaceResult::replaced);
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_EQ(readFileBytes(received), fresh);
  }
}

// A save is bound to what was seen at the name: a free name is only created, never replaced, and
// only the file that was seen is replaced. Whatever takes the name first, before the save or
// while it writes (a file, another file renamed over it, a symbolic link to elsewhere), is left
// as it is, and no temporary file stays.
TEST(FileWriterTest, ASaveReplacesOnlyWhatWasSeenAtTheName) {
  static fs::path folder;
  using Change = void (*)();
  const Change plantFile = [] { writeFileBytes(folder / "out.bmp", Bytes{'p'}); };
  const Change swapFile = [] {
    writeFileBytes(folder / "other", Bytes{'p'});
    fs::rename(folder / "other", folder / "out.bmp");
  };
  const Change plantLink = [] { fs::create_symlink("elsewhere/x.bmp", folder / "out.bmp"); };
  struct Case {
    const char* title;
    bool oldThere;
    Change change;
    bool midSave;
  };
  const std::vector<Case> cases{
      {"a free name that stays free", false, nullptr, false},
      {"a file appears at a free name before the save", false, plantFile, false},
      {"a file appears at a free name while the save writes", false, plantFile, true},
      {"a link to elsewhere appears at a free name before the save", false, plantLink, false},
      {"a link to elsewhere appears at a free name while the save writes", false, plantLink, true},
      {"the file that was seen", true, nullptr, false},
      {"another file takes the place of the one seen before the save", true, swapFile, false},
      {"another file takes the place of the one seen while the save writes", true, swapFile, true},
  };
  const Bytes fresh(4096, 0x6B);
  for (const bool unnamed : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.title << (unnamed ? ", unnamed" : ", named"));
      const ScopedTempDir dir;
      folder = dir.path();
      fs::create_directory(dir.file("elsewhere"));
      if (c.oldThere) {
        writeFileBytes(dir.file("out.bmp"), Bytes{'o', 'l', 'd'});
      }
      const std::string name = dir.file("out.bmp").string();
      const NameState seen = lookAtName(name);
      EXPECT_EQ(seen.taken, c.oldThere);
      if (c.change != nullptr && !c.midSave) {
        c.change();
      }
      afterHalfWrittenForTesting = c.midSave ? c.change : nullptr;
      unnamedFilesForTesting = unnamed;
      const ReplaceResult result = replaceFile(name, fresh, seen);
      afterHalfWrittenForTesting = nullptr;
      unnamedFilesForTesting = true;
      EXPECT_EQ(result, c.change == nullptr ? ReplaceResult::replaced : ReplaceResult::nameTaken);
      EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"elsewhere", "out.bmp"}));
      EXPECT_TRUE(namesIn(dir.file("elsewhere")).empty());
      if (c.change != plantLink) {
        EXPECT_EQ(readFileBytes(dir.file("out.bmp")), c.change == nullptr ? fresh : Bytes{'p'});
      }
    }
  }
}

// Temporary files are named relative to their folder: a path at the system's limit is replaced
// like any other (not written in place), and so is a file whose folder is renamed mid-save.
TEST(FileWriterTest, LongPathsAndRenamedFoldersAreReplacedLikeAnyOther) {
  const Bytes old{'o', 'l', 'd'};
  const Bytes fresh(1000, 0x77);
  const ScopedTempDir dir;
  const int status = inChild([&] {
    // Twenty folders of 200 characters and a short name: 4,080 characters, 15 short of the
    // limit, too short for the target's name with anything added.
    if (chdir(dir.path().c_str()) != 0) {
      return 3;
    }
    std::string path;
    for (int depth = 0; depth < 20; ++depth) {
      path += std::string(200, static_cast<char>('a' + depth)) + "/";
      if (mkdir(path.c_str(), 0700) != 0) {
        return 3;
      }
    }
    path += std::string(59, 'x');
    writeFileBytes(path, old);
    struct stat before {};
    struct stat after {};
    stat(path.c_str(), &before);
    const bool replaced = replaceFile(path, fresh) == ReplaceResult::replaced;
    stat(path.c_str(), &after);
    return replaced && readFileBytes(path) == fresh && after.st_ino != before.st_ino ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  fs::create_directory(dir.file("sub"));
  writeFileBytes(dir.file("sub/out.bmp"), old);
  static fs::path folder;
  folder = dir.path();
  afterHalfWrittenForTesting = [] { fs::rename(folder / "sub", folder / "moved"); };
  EXPECT_EQ(replaceFile(dir.file("sub/out.bmp").string(), fresh), ReplaceResult::replaced);
  afterHalfWrittenForTesting = nullptr;
  EXPECT_EQ(namesIn(dir.file("moved")), std::vector<std::string>{"out.bmp"});
  EXPECT_EQ(readFileBytes(dir.file("moved/out.bmp")), fresh);
}

#if TILEGRAFT_LINUX_CALLS
// Faults that only root can stage, each in a mount namespace of its own: a small RAM disk that
// fills up, a file that is a mount point, and a folder with the append-only attribute. Whatever
// happens, the old file is whole or the new one is, and no other name is left behind.
TEST(FileWriterTest, FullDisksMountPointsAndAppendOnlyFoldersKeepTheOldFile) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, for mounts and file attributes";
  }
  const Bytes old(20 * 1024, 0x11);
  const Bytes fresh(40 * 1024, 0x22);
  enum class Stage {
    fullDisk,
    fullDiskHardLinked,
    mountedFile,
    appendOnlyNew,
    appendOnlyNewNamed,
    appendOnlyOld
  };
  struct Case {
    const char* title;
    Stage stage;
    ReplaceResult expected;
    std::vector<std::string> names;
    bool keepsOld; // false: the target holds the new bytes
  };
  const std::vector<Case> cases{
      {"a full disk", Stage::fullDisk, ReplaceResult::notWritten, {"fill", "out.bmp"}, true},
      {"a full disk, hard-linked file",
       Stage::fullDiskHardLinked,
       ReplaceResult::notWritten,
       {"fill", "link.bmp", "out.bmp"},
       true},
      {"a file that is a mount point",
       Stage::mountedFile,
       ReplaceResult::replaced,
       {"out.bmp", "source.bmp"},
       false},
      {"a new name in an append-only folder",
       Stage::appendOnlyNew,
       ReplaceResult::replaced,
       {"out.bmp"},
       false},
      {"a new name in an append-only folder, without unnamed files",
       Stage::appendOnlyNewNamed,
       ReplaceResult::replaced,
       {"out.bmp"},
       false},
      {"an old file in an append-only folder",
       Stage::appendOnlyOld,
       ReplaceResult::replaced,
       {"out.bmp"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const ScopedTempDir dir;
    const fs::path folder = dir.file("disk");
    fs::create_directory(folder);
    const fs::path target = folder / "out.bmp";
    // 0: as expected, 1: wrong result, 2: wrong contents, 3: the stage could not be set.
    const int status = inChild([&] {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return 3;
      }
      const bool fullDisk = c.stage == Stage::fullDisk || c.stage == Stage::fullDiskHardLinked;
      if (fullDisk && mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        return 3;
      }
      const bool newName = c.stage == Stage::appendOnlyNew || c.stage == Stage::appendOnlyNewNamed;
      unnamedFilesForTesting = c.stage != Stage::appendOnlyNewNamed;
      if (!newName) {
        writeFileBytes(target, old);
      }
      if (fullDisk) {
        // What is left after the old file is less than the new one needs.
        writeFileBytes(folder / "fill", Bytes(28 * 1024, 0));
      }
      if (c.stage == Stage::fullDiskHardLinked) {
        fs::create_hard_link(target, folder / "link.bmp");
      }
      if (c.stage == Stage::mountedFile) {
        writeFileBytes(folder / "source.bmp", old);
        if (mount((folder / "source.bmp").c_str(), target.c_str(), nullptr, MS_BIND, nullptr) !=
            0) {
          return 3;
        }
      }
      const bool appendOnly = newName || c.stage == Stage::appendOnlyOld;
      const std::string attribute = "chattr +a " + folder.string() + " 2>/dev/null";
      if (appendOnly && std::system(attribute.c_str()) != 0) {
        return 3;
      }
      const ReplaceResult result = replaceFile(target.string(), fresh);
      const fs::path holder = c.stage == Stage::mountedFile ? folder / "source.bmp" : target;
      const Bytes now = fs::exists(holder) ? readFileBytes(holder) : Bytes{};
      const bool names = namesIn(folder) == c.names;
      if (appendOnly) {
        static_cast<void>(std::system(("chattr -a " + folder.string()).c_str()));
      }
      if (result != c.expected) {
        return 1;
      }
      return names && now == (c.keepsOld ? old : fresh) ? 0 : 2;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 3) {
      std::cout << "[  SKIPPED ] " << c.title << ": cannot be staged here\n";
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// On a copy-on-write file system an overwrite takes new blocks, so a write in place must know
// the space is there before its first byte: a hard-linked file on a small Btrfs filled up to a
// spare megabyte is kept whole (2 MB could not be written over it), and with 4 MB spare it is
// written. Root only: a loop mount in a mount namespace of its own.
TEST(FileWriterTest, AnInPlaceSaveOnANearlyFullBtrfsKeepsTheOldFileOrWritesItWhole) {
  if (geteuid() != 0 || std::system("command -v mkfs.btrfs > /dev/null") != 0) {
    GTEST_SKIP() << "needs root and mkfs.btrfs (btrfs-progs), for a small Btrfs on a loop device";
  }
  Bytes old(2'000'000);
  for (std::size_t i = 0; i < old.size(); ++i) {
    old[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  }
  const Bytes fresh(old.size(), 0x55);
  for (const std::size_t spare : {std::size_t{1'000'000}, std::size_t{4'000'000}}) {
    SCOPED_TRACE(spare);
    const bool fits = spare > fresh.size();
    const ScopedTempDir dir;
    const fs::path disk = dir.file("disk");
    fs::create_directory(disk);
    // 0: as expected, 1: wrong result, 2: wrong contents, 3: the disk could not be made.
    const int status = inChild([&] {
      const std::string image = dir.file("btrfs.img").string();
      const std::string make = "truncate -s 40M " + image + " && mkfs.btrfs -q -M " + image +
                               " > /dev/null 2>&1 && mount -o loop " + image + " " + disk.string();
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          std::system(make.c_str()) != 0) {
        return 3;
      }
      writeFileBytes(disk / "out.bmp", old);
      fs::create_hard_link(disk / "out.bmp", disk / "link.bmp");
      writeFileBytes(disk / "spare", Bytes(spare, 0));
      const int fill = open((disk / "fill").c_str(), O_WRONLY | O_CREAT, 0600);
      const std::vector<char> zeros(1 << 16, 0);
      while (write(fill, zeros.data(), zeros.size()) > 0) {
      }
      close(fill);
      fs::remove(disk / "spare");
      sync();
      const ReplaceResult result = replaceFile((disk / "out.bmp").string(), fresh);
      if (result != (fits ? ReplaceResult::replaced : ReplaceResult::notWritten)) {
        return 1;
      }
      return readFileBytes(disk / "link.bmp") == (fits ? fresh : old) ? 0 : 2;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 3) {
      GTEST_SKIP() << "a Btrfs on a loop device cannot be mounted here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// Bytes of the file in extents that it shares with another file, and in all its extents.
std::pair<std::uint64_t, std::uint64_t> sharedAndAllBytes(const fs::path& file) {
  constexpr unsigned maxExtents = 256;
  std::vector<std::uint8_t> buffer(sizeof(struct fiemap) +
                                   maxExtents * sizeof(struct fiemap_extent));
  auto* map = reinterpret_cast<struct fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = maxExtents;
  const int descriptor = open(file.c_str(), O_RDONLY);
  const bool mapped = ioctl(descriptor, FS_IOC_FIEMAP, map) == 0;
  close(descriptor);
  std::pair<std::uint64_t, std::uint64_t> bytes{0, 0};
  for (unsigned i = 0; mapped && i < map->fm_mapped_extents; ++i) {
    const struct fiemap_extent& extent = map->fm_extents[i];
    bytes.first += (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0 ? extent.fe_length : 0;
    bytes.second += extent.fe_length;
  }
  return bytes;
}

// Where the file system can, a new file saved from a mapped image shares the blocks of the
// image's file and gets only the 4 KiB blocks merges wrote of its own: a few rows far apart, two
// across a chunk boundary, leave a 16 MiB file all but a few blocks shared. It holds the image's
// bytes, under a new name and over an old file, and keeps them when the loaded file is then
// rewritten in place (read back from the disk, not the cache). A kernel copy refused, or a folder
// on another file system, writes the bytes whole. Root only: loop mounts in a mount namespace of
// their own.
TEST(FileWriterTest, SavesOfAMappedImageShareItsFilesBlocksWhereTheFileSystemCan) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, for XFS and Btrfs on loop devices";
  }
  struct Case {
    const char* system; // mkfs's name; its image's size
    const char* size;
    bool sharingAllowed;
    bool savedBeside; // into the same file system as the loaded file
  };
  static const Case cases[] = {
      Case{"xfs", "300M", true, true},    Case{"xfs", "300M", false, true},
      Case{"xfs", "300M", true, false},   Case{"btrfs", "200M", true, true},
      Case{"btrfs", "200M", false, true},
  };
  Bytes original((16 << 20) + 123);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.system) + (c.sharingAllowed ? ", sharing" : ", refused") +
                 (c.savedBeside ? ", beside" : ", elsewhere"));
    if (std::system(("command -v mkfs." + std::string(c.system) + " > /dev/null").c_str()) != 0) {
      std::cout << "[  SKIPPED ] needs mkfs." << c.system << "\n";
      continue;
    }
    const ScopedTempDir dir;
    const fs::path disk = dir.file("disk");
    fs::create_directory(disk);
    // 0: as expected, 1: not replaced, 2: wrong bytes, 3: no disk, 4: wrong sharing, 5: changed
    // with the loaded file, 6: not mapped.
    const int status = inChild([&] {
      const std::string image = dir.file("fs.img").string();
      const std::string make = "truncate -s " + std::string(c.size) + " " + image + " && mkfs." +
                               c.system + " -q " + image + " > /dev/null 2>&1 && mount -o loop " +
                               image + " " + disk.string();
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          std::system(make.c_str()) != 0) {
        return 3;
      }
      const fs::path input = disk / "in.bmp";
      const fs::path output = (c.savedBeside ? disk : dir.path()) / "out.bmp";
      writeFileBytes(input, original);
      FileImage loaded;
      if (loaded.load(input.string(), 54, std::size_t{1} << 31) != FileReadResult::read ||
          !loaded.isMapped()) {
        return 6;
      }
      Bytes expected = original;
      const std::size_t first = (std::size_t{2} << 20) - 8;
      const std::size_t stride = (std::size_t{1} << 20) + 3;
      if (!loaded.makeWritable(first, 16, 3, stride)) {
        return 2;
      }
      for (std::size_t row = 0; row < 3; ++row) {
        for (std::size_t i = first + row * stride; i < first + row * stride + 16; ++i) {
          loaded.writableBytes()[i] ^= 0x5A;
          expected[i] ^= 0x5A;
        }
      }
      blockSharingForTesting = c.sharingAllowed;
      const bool replaced = replaceFile(output.string(), loaded) == ReplaceResult::replaced &&
                            readFileBytes(output) == expected &&
                            replaceFile(output.string(), loaded) == ReplaceResult::replaced;
      blockSharingForTesting = true;
      if (!replaced) {
        return 1;
      }
      const auto [shared, all] = sharedAndAllBytes(output);
      const bool shares = c.sharingAllowed && c.savedBeside;
      if (all < original.size() ||
          (shares ? all - shared > (std::size_t{64} << 10) : shared != 0)) {
        return 4;
      }
      const int rewrite = open(input.c_str(), O_WRONLY);
      const Bytes other(original.size(), 0xEE);
      const bool rewritten = pwrite(rewrite, other.data(), other.size(), 0) > 0 &&
                             fsync(rewrite) == 0 && close(rewrite) == 0;
      const int reread = open(output.c_str(), O_RDONLY);
      static_cast<void>(posix_fadvise(reread, 0, 0, POSIX_FADV_DONTNEED));
      close(reread);
      return rewritten && readFileBytes(output) == expected ? 0 : 5;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 3) {
      std::cout << "[  SKIPPED ] " << c.system << " on a loop device cannot be mounted here\n";
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// A symbolic link that another user plants in a sticky, world-writable folder (as in /tmp) is
// followed only where the system lets it be: with fs.protected_symlinks on, root's save through
// it fails, and nothing is made where the link leads. Root only: it turns the setting on for a
// while.
TEST(FileWriterTest, ALinkAnotherUserPlantsInAStickyFolderIsFollowedOnlyAsTheSystemAllows) {
  const char* setting = "/proc/sys/fs/protected_symlinks";
  if (geteuid() != 0 || access(setting, W_OK) != 0) {
    GTEST_SKIP() << "needs root, to plant another user's link and turn on " << setting;
  }
  const std::string saved = testing::readTextFile(setting);
  testing::writeTextFile(setting, "1\n");
  const ScopedTempDir dir;
  fs::create_directory(dir.file("shared"));
  fs::create_directory(dir.file("private"));
  fs::permissions(dir.file("shared"), fs::perms::all | fs::perms::sticky_bit);
  fs::create_symlink("../private/x.bmp", dir.file("shared/out.bmp"));
  constexpr uid_t nobody = 65534;
  ASSERT_EQ(lchown(dir.file("shared/out.bmp").c_str(), nobody, nobody), 0);
  const ReplaceResult result = replaceFile(dir.file("shared/out.bmp").string(), Bytes(100, 1));
  testing::writeTextFile(setting, saved);
  EXPECT_EQ(result, ReplaceResult::notCreated);
  EXPECT_TRUE(namesIn(dir.file("private")).empty());
  EXPECT_EQ(namesIn(dir.file("shared")), std::vector<std::string>{"out.bmp"});
}

// The access list and extended attributes of a file, as a save by rename must keep them.
std::vector<std::pair<std::string, std::string>> attributesOf(const fs::path& file) {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string names(65536, '\0');
  const ssize_t length = listxattr(file.c_str(), names.data(), names.size());
  for (std::size_t at = 0; length > 0 && at < static_cast<std::size_t>(length);) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    std::string value(65536, '\0');
    const ssize_t size = getxattr(file.c_str(), name.c_str(), value.data(), value.size());
    value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (!name.starts_with("security.")) {
      attributes.emplace_back(name, value);
    }
  }
  std::sort(attributes.begin(), attributes.end());
  return attributes;
}

// A save by rename gives the new file the old one's access list (so a group that could only
// read cannot now write, and a named user who could write still can) and its extended
// attributes; a folder's default list, which a new file there takes, is not added to a file
// that had none. A new name gets what open(2) gives any new file there: the folder's default
// list, where it has one, in place of the umask (077 here, which would narrow it).
TEST(FileWriterTest, ASaveKeepsTheAccessListAndANewFileGetsTheFoldersDefault) {
  if (std::system("command -v setfacl > /dev/null") != 0) {
    GTEST_SKIP() << "needs setfacl (the acl package)";
  }
  struct Case {
    const char* title;
    const char* fileList;   // setfacl -m on the old file, if any
    const char* folderList; // setfacl -d -m on the folder, once the old file is there
    bool userAttribute;
    bool newName = false; // saved beside the old file, to compare with one that open(2) makes
  };
  const std::vector<Case> cases{
      {"an access list", "u:nobody:rw,g::r", nullptr, false},
      {"an extended attribute", nullptr, nullptr, true},
      {"both", "u:nobody:rw,g::r", nullptr, true},
      {"a folder's default list", nullptr, "u:nobody:rwx", false},
      {"a new name in a folder with a default list", nullptr, "u::rw,g::rw,o::r", false, true},
      {"a new name in a folder without one", nullptr, nullptr, false, true},
  };
  const Bytes fresh(3000, 0x42);
  for (const bool unnamed : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.title << (unnamed ? ", unnamed" : ", named"));
      const ScopedTempDir dir;
      const fs::path file = dir.file("out.bmp");
      writeFileBytes(file, Bytes{'o', 'l', 'd'});
      ASSERT_EQ(chmod(file.c_str(), 0640), 0);
      if (c.fileList != nullptr) {
        ASSERT_EQ(
            std::system(("setfacl -m " + std::string(c.fileList) + " " + file.string()).c_str()),
            0);
      }
      if (c.userAttribute && setxattr(file.c_str(), "user.origin", "scanner", 7, 0) != 0) {
        GTEST_SKIP() << "no user extended attributes here";
      }
      if (c.folderList != nullptr) {
        ASSERT_EQ(
            std::system(
                ("setfacl -d -m " + std::string(c.folderList) + " " + dir.path().string()).c_str()),
            0);
      }
      const mode_t mask = umask(077);
      const fs::path saved = c.newName ? dir.file("new.bmp") : file;
      if (c.newName) {
        // What open(2) gives a new file here, the new name's measure.
        fs::remove(file);
        close(open(file.c_str(), O_WRONLY | O_CREAT, 0666));
      }
      const auto before = attributesOf(file);
      struct stat old {};
      ASSERT_EQ(stat(file.c_str(), &old), 0);
      unnamedFilesForTesting = unnamed;
      EXPECT_EQ(replaceFile(saved.string(), fresh), ReplaceResult::replaced);
      unnamedFilesForTesting = true;
      umask(mask);
      struct stat now {};
      ASSERT_EQ(stat(saved.c_str(), &now), 0);
      EXPECT_EQ(now.st_mode, old.st_mode);
      EXPECT_EQ(attributesOf(saved), before);
      EXPECT_EQ(readFileBytes(saved), fresh);
      EXPECT_EQ(namesIn(dir.path()).size(), c.newName ? 2U : 1U);
    }
  }
}

#endif // mount namespaces and file attributes are Linux's

} // namespace
} // namespace tilegraft
