#include "platform/file_writer.h"
#include "platform/posix_features.h"
#include "platform/test_seams.h"
#include "tests/support/in_child.h"
#include "tests/support/lease_break_time.h"
#include "tests/support/lease_loss.h"
#include "tests/support/scoped_temp_dir.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tilegraft {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::inChild;
using testing::readFileBytes;
using testing::ScopedTempDir;
using testing::writeFileBytes;

// A mapped image keeps its load-time bytes, and saves them, whatever another program does to the
// file after the load; the copied image (mappings off) gives the same bytes. Bytes written into
// the image before and after the change, across a chunk boundary, are kept too.
TEST(LeaseTest, FileImagesKeepTheirLoadTimeBytesWhateverHappensToTheFile) {
  struct Change {
    const char* what;
    void (*apply)(const std::string& file);
    bool keepsLease = false; // the loaded file itself is left alone
  };
  static const Change changes[] = {
      {"cut to nothing",
       [](const std::string& file) { static_cast<void>(truncate(file.c_str(), 0)); }},
      {"rewritten in place",
       [](const std::string& file) {
         const int descriptor = open(file.c_str(), O_WRONLY);
         const std::vector<std::uint8_t> other(3 << 20, 0xEE);
         static_cast<void>(pwrite(descriptor, other.data(), other.size(), 4096));
         close(descriptor);
       }},
      {"its times changed, as by touch",
       [](const std::string& file) {
         static_cast<void>(utimensat(AT_FDCWD, file.c_str(), nullptr, 0));
       },
       true},
      {"replaced by a rename",
       [](const std::string& file) {
         writeFileBytes(file + ".new", Bytes(100, 0xEE));
         static_cast<void>(rename((file + ".new").c_str(), file.c_str()));
       },
       true},
      {"written through another mapping",
       [](const std::string& file) {
         const int descriptor = open(file.c_str(), O_RDWR);
         struct stat status {};
         fstat(descriptor, &status);
         const auto size = static_cast<std::size_t>(status.st_size);
         void* shared = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
         std::fill_n(static_cast<std::uint8_t*>(shared), size, 0xEE);
         msync(shared, size, MS_SYNC);
         munmap(shared, size);
         close(descriptor);
       }},
  };
  const ScopedTempDir folder;
  const std::string input = folder.file("in.bmp").string();
  const std::string output = folder.file("out.bmp").string();
  // Four chunks, the last one never written.
  Bytes original((7 << 20) + 123);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
  }
  // Writes bytes into the image and into what it should hold: a few, across a chunk boundary,
  // or a whole chunk's worth (the chunks they lie in are copied in first, keeping what was
  // written before).
  const auto writeInto = [](FileImage& image, Bytes& expected, std::size_t offset,
                            std::size_t count = 16) {
    ASSERT_TRUE(image.makeWritable(offset, count));
    for (std::size_t i = offset; i < offset + count; ++i) {
      image.writableBytes()[i] ^= 0x5A;
      expected[i] ^= 0x5A;
    }
  };
  for (const bool mapped : {true, false}) {
    for (const Change& change : changes) {
      SCOPED_TRACE(std::string(change.what) + (mapped ? ", mapped" : ", copied"));
      writeFileBytes(input, original);
      fileMappingsForTesting = mapped;
      FileImage image;
      ASSERT_EQ(image.load(input, 54, std::size_t{1} << 31), FileReadResult::read);
      fileMappingsForTesting = true;
      EXPECT_EQ(image.isMapped(), mapped && fileMappingsExist);
      Bytes expected = original;
      writeInto(image, expected, (std::size_t{2} << 20) - 8);
      writeInto(image, expected, (std::size_t{2} << 20) - 4, std::size_t{1} << 20);
      EXPECT_EQ(inChild([&] {
                  change.apply(input);
                  return 0;
                }),
                0);
      writeInto(image, expected, (std::size_t{4} << 20) - 8);
      EXPECT_EQ(image.isMapped(), mapped && fileMappingsExist && change.keepsLease);
      EXPECT_TRUE(image.isIntact());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.bytes()));
      ASSERT_EQ(replaceFile(output, image), ReplaceResult::replaced);
      EXPECT_EQ(readFileBytes(output), expected);
    }
  }
  // Saved while still mapped, untouched and then with a few bytes written: the parts go from
  // file to file, the pages written from memory.
  writeFileBytes(input, original);
  FileImage image;
  ASSERT_EQ(image.load(input, 54, std::size_t{1} << 31), FileReadResult::read);
  ASSERT_EQ(replaceFile(output, image), ReplaceResult::replaced);
  EXPECT_EQ(image.isMapped(), fileMappingsExist);
  EXPECT_EQ(readFileBytes(output), original);
  Bytes written = original;
  writeInto(image, written, (std::size_t{3} << 20) + 4090);
  blockSharingForTesting = false;
  ASSERT_EQ(replaceFile(output, image), ReplaceResult::replaced);
  blockSharingForTesting = true;
  EXPECT_EQ(image.isMapped(), fileMappingsExist);
  EXPECT_EQ(readFileBytes(output), written);
  // Saved in place over its own file (two links keep a rename from replacing it): the writer's
  // open takes this process's own lease back.
  ASSERT_EQ(link(input.c_str(), (input + ".link").c_str()), 0);
  ASSERT_EQ(image.load(input, 54, std::size_t{1} << 31), FileReadResult::read);
  EXPECT_EQ(image.isMapped(), fileMappingsExist);
  Bytes expected = original;
  writeInto(image, expected, 100);
  ASSERT_EQ(replaceFile(input, image), ReplaceResult::replaced);
  EXPECT_EQ(readFileBytes(input + ".link"), expected);
  // A program that has the file open to write when it is loaded gets it copied.
  const int writer = open(input.c_str(), O_WRONLY);
  ASSERT_EQ(image.load(input, 54, std::size_t{1} << 31), FileReadResult::read);
  EXPECT_FALSE(image.isMapped());
  close(writer);
  // So does one whose lease signals would be held back: the break would go unheard.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  ASSERT_EQ(image.load(input, 54, std::size_t{1} << 31), FileReadResult::read);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_FALSE(image.isMapped());
}

// The file the hook below cuts short.
std::string fileToCut;

// A lease whose break goes unheard (its signal held back, as in a stopped process) is taken back
// by force after the lease-break time; the file then cut short must leave an image that refuses
// to be saved, never a SIGBUS, even where a few bytes written had made their chunk the process's
// own: cut before the process hears of it, or while its handler copies a chunk, once it has
// found the file as loaded. So must a file
// rewritten at its length with its modification time put back (as cp -p or rsync --inplace do):
// only its change time tells. Root only: it shortens the system's lease-break time for a while.
TEST(LeaseTest, ALeaseTakenBackByForceLeavesAnImageThatIsNotSaved) {
  if (!fileMappingsExist || !testing::LeaseBreakTime::mayChange()) {
    GTEST_SKIP() << "needs Linux and root, to shorten the lease-break time";
  }
  std::optional<testing::LeaseBreakTime> breakTime(std::in_place);
  breakTime->set("1");
  const ScopedTempDir folder;
  fileToCut = folder.file("in.bmp").string();
  enum class Force { cutBefore, cutDuringCopy, rewrittenTimeKept };
  for (const Force force : {Force::cutBefore, Force::cutDuringCopy, Force::rewrittenTimeKept}) {
    const bool duringCopy = force == Force::cutDuringCopy;
    SCOPED_TRACE(duringCopy                  ? "cut during the copy"
                 : force == Force::cutBefore ? "cut before it"
                                             : "rewritten, its time put back");
    writeFileBytes(fileToCut, Bytes(5 << 20, 0x42));
    FileImage image;
    ASSERT_EQ(image.load(fileToCut, 54, std::size_t{1} << 31), FileReadResult::read);
    ASSERT_TRUE(image.makeWritable(4096, 16));
    image.writableBytes()[4096] ^= 0x5A;
    ASSERT_TRUE(image.isMapped());
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const int status = inChild([&] {
      if (force == Force::rewrittenTimeKept) {
        struct stat loaded {};
        const Bytes other(5 << 20, 0x24);
        const bool statted = stat(fileToCut.c_str(), &loaded) == 0;
        const int descriptor = open(fileToCut.c_str(), O_WRONLY);
        const bool written = descriptor >= 0 && pwrite(descriptor, other.data(), other.size(), 0) ==
                                                    static_cast<ssize_t>(other.size());
        close(descriptor);
        const struct timespec times[2] = {loaded.st_atim, loaded.st_mtim};
        return statted && written && utimensat(AT_FDCWD, fileToCut.c_str(), times, 0) == 0 ? 0 : 1;
      }
      return duringCopy ? (open(fileToCut.c_str(), O_WRONLY) >= 0 ? 0 : 1)
                        : (truncate(fileToCut.c_str(), 0) == 0 ? 0 : 1);
    });
    if (duringCopy) {
      afterChunkReadForTesting = [] { static_cast<void>(truncate(fileToCut.c_str(), 0)); };
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    afterChunkReadForTesting = nullptr;
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(image.isIntact());
    EXPECT_EQ(replaceFile(folder.file("out.bmp").string(), image), ReplaceResult::notWritten);
    EXPECT_FALSE(fs::exists(folder.file("out.bmp")));
  }
  breakTime.reset();
}

// A mapped image takes from the data limit only what merges make the process's own: under a
// limit with room for its file once and a quarter, a copy of half of it still fits, and a chunk
// merged whole besides. Each limit is set in a child, a little above what it has in use.
TEST(LeaseTest, AMappedImageTakesFromTheDataLimitOnlyWhatMergesWrite) {
  if (!fileMappingsExist) {
    GTEST_SKIP() << "no file mappings here";
  }
  const ScopedTempDir folder;
  const std::string input = folder.file("in.bmp").string();
  constexpr std::size_t size = std::size_t{64} << 20;
  writeFileBytes(input, Bytes(size, 0x42));
  const Bytes half(size / 2, 0x17);
  // 0: as expected; 1: the limit not set; 2: not mapped; 3: the copy or the chunk refused.
  const int status = inChild([&] {
    struct rlimit limit {};
    getrlimit(RLIMIT_DATA, &limit);
    limit.rlim_cur = testing::memoryInUse("VmData:") + size + size / 4;
    if (setrlimit(RLIMIT_DATA, &limit) != 0) {
      return 1;
    }
    FileImage image;
    if (image.load(input, 54, size) != FileReadResult::read || !image.isMapped()) {
      return 2;
    }
    FileImage copy;
    return copy.holdCopy(half) && image.makeWritable(0, std::size_t{2} << 20) ? 0 : 3;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

#if TILEGRAFT_LINUX_CALLS
// Every way a lease is asked back lets it go first, the image keeping its bytes: a stop from the
// terminal (here raised by the process itself), before the process stops, so that a writer never
// waits for a stopped tool; and a break that arrives as plain SIGIO, as it does when no real-time
// signal can be queued (here the pending-signal limit is 0), which would otherwise end the tool.
// While an image is mapped, each of those signals has a handler that blocks all the others, so
// that no two of them ever run one mapping's release at once.
TEST(LeaseTest, EveryRequestForTheLeaseLetsItGoFirst) {
  const ScopedTempDir folder;
  const std::string input = folder.file("in.bmp").string();
  Bytes original(5 << 20);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 13 + (i >> 12));
  }
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "a stop from the terminal" : "a break as plain SIGIO");
    writeFileBytes(input, original);
    const pid_t child = fork();
    if (child == 0) {
      // A group of its own, with its parent outside it, so that a stop request is not discarded.
      setpgid(0, 0);
      FileImage image;
      if (image.load(input, 54, std::size_t{1} << 31) != FileReadResult::read ||
          !image.isMapped()) {
        _exit(2);
      }
      const int handled[] = {SIGRTMIN + 1, SIGIO, SIGTSTP, SIGTTIN, SIGTTOU};
      for (const int signalNumber : handled) {
        struct sigaction action {};
        sigaction(signalNumber, nullptr, &action);
        for (const int other : handled) {
          if (action.sa_handler == SIG_DFL || sigismember(&action.sa_mask, other) != 1) {
            _exit(4);
          }
        }
      }
      if (stop) {
        raise(SIGTSTP);
      } else {
        struct rlimit pending {};
        getrlimit(RLIMIT_SIGPENDING, &pending);
        pending.rlim_cur = 0;
        setrlimit(RLIMIT_SIGPENDING, &pending);
        const pid_t writer = fork();
        if (writer == 0) {
          const int file = open(input.c_str(), O_WRONLY);
          _exit(file >= 0 && ftruncate(file, 0) == 0 ? 0 : 1);
        }
        waitpid(writer, nullptr, 0);
      }
      const bool kept = !image.isMapped() && image.isIntact() &&
                        std::equal(original.begin(), original.end(), image.bytes());
      _exit(kept ? 0 : 3);
    }
    int status = 0;
    if (stop) {
      waitpid(child, &status, WUNTRACED);
      EXPECT_TRUE(WIFSTOPPED(status)) << status;
      // No lease is left: an open that will not wait succeeds, and the file is cut at once.
      const int writer = open(input.c_str(), O_WRONLY | O_NONBLOCK);
      EXPECT_GE(writer, 0);
      EXPECT_EQ(ftruncate(writer, 0), 0);
      close(writer);
      kill(child, SIGCONT);
    }
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// A save of a mapped image into a pipe whose reader is slow holds no writer of the file up: the
// lease signal is held only while a piece is read from the file, not while the pipe takes it. The
// writer gets in while the save waits on the pipe, and the save still sends the load-time bytes.
TEST(LeaseTest, ASlowReaderOfASaveHoldsNoWriterUp) {
  const ScopedTempDir folder;
  const std::string input = folder.file("in.bmp").string();
  Bytes original(5 << 20);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 11 + (i >> 13));
  }
  writeFileBytes(input, original);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    FileImage image;
    if (image.load(input, 54, std::size_t{1} << 31) != FileReadResult::read || !image.isMapped()) {
      _exit(2);
    }
    _exit(image.writeTo(out[1], 0, image.size(), false) ? 0 : 1);
  }
  close(out[1]);
  // Once the pipe is full, the save waits on its reader.
  const int capacity = fcntl(out[0], F_GETPIPE_SZ);
  int queued = 0;
  for (int attempt = 0; attempt < 10000 && queued < capacity; ++attempt) {
    ioctl(out[0], FIONREAD, &queued);
    usleep(1000);
  }
  // The writer's open waits for the lease to go; then it rewrites the whole file.
  const int writer = open(input.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  const Bytes other(original.size(), 0xEE);
  EXPECT_EQ(pwrite(writer, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
  close(writer);
  Bytes received;
  std::uint8_t buffer[1 << 16];
  for (ssize_t n = 0; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    received.insert(received.end(), buffer, buffer + n);
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(received == original);
}

#endif // leases are Linux's

} // namespace
} // namespace tilegraft
