#include "bitmap/file_replace.h"
#include "tests/support/scoped_temp_dir.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tilegraft {
namespace {

using testing::Bytes;
using testing::readFileBytes;
using testing::ScopedTempDir;
using testing::writeFileBytes;

// A signal that arrives between the write and the rename removes the temporary file and ends the
// process as the signal would. One the process was started to ignore changes nothing: the save
// completes, and the handlers found before it are in place again afterwards.
TEST(FileReplacementTest, SignalDuringASaveLeavesOnlyTheOldFile) {
  struct Case {
    int signalNumber;
    bool ignored;
  };
  const Bytes old{'o', 'l', 'd'};
  const Bytes fresh{'n', 'e', 'w', '!'};
  for (const Case c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false},
                       Case{SIGHUP, true}, Case{SIGINT, true}}) {
    SCOPED_TRACE(::testing::Message()
                 << "signal " << c.signalNumber << (c.ignored ? " ignored" : ""));
    const ScopedTempDir dir;
    writeFileBytes(dir.file("out.bmp"), old);
    const std::string name = dir.file("out.bmp").string();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::signal(c.signalNumber, c.ignored ? SIG_IGN : SIG_DFL);
      struct sigaction before {};
      sigaction(SIGTERM, nullptr, &before);
      bool saved = false;
      {
        FileReplacement replacement(name);
        saved = replacement.isOpen() && replacement.write(fresh);
        std::raise(c.signalNumber);
        saved = saved && replacement.commit();
      }
      struct sigaction signalAfter {};
      struct sigaction termAfter {};
      sigaction(c.signalNumber, nullptr, &signalAfter);
      sigaction(SIGTERM, nullptr, &termAfter);
      const bool restored =
          signalAfter.sa_handler == SIG_IGN && termAfter.sa_handler == before.sa_handler;
      _exit(saved && restored ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signalNumber) << status;
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"out.bmp"});
    EXPECT_EQ(readFileBytes(dir.file("out.bmp")), c.ignored ? fresh : old);
  }
}

} // namespace
} // namespace tilegraft
