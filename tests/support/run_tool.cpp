#include "tests/support/run_tool.h"

#include "tests/support/scoped_temp_dir.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#ifndef TILEGRAFT_BINARY
#error "TILEGRAFT_BINARY must name the built tool"
#endif

namespace tilegraft::testing {

namespace {

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

// An unnamed file that the child's standard stream is redirected to. Files rather than pipes, so
// that neither side can block on the other however much is written.
Stream anonymousFile() {
  Stream stream(std::tmpfile());
  if (!stream) {
    throw std::runtime_error("cannot make a temporary file");
  }
  // Only the child's copies on 0, 1 and 2 must survive exec.
  fcntl(fileno(stream.get()), F_SETFD, FD_CLOEXEC);
  return stream;
}

std::string readWhole(std::FILE* stream) {
  std::rewind(stream);
  std::string text;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
    text.append(chunk, got);
  }
  return text;
}

bool setLimit(int resource, std::uint64_t value) {
  const rlimit limit{value, value};
  return setrlimit(resource, &limit) == 0;
}

// Root keeps its capabilities across exec unless they leave the bounding set; the inheritable
// set (and with it the ambient one) is emptied too, or exec would hand them back.
// Capabilities are Linux's: elsewhere root cannot run without its override, and such a run
// fails to start.
bool dropRootOverride() {
#ifndef __linux__
  return false;
#else
  for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
      return false;
    }
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, sets) != 0) {
    return false;
  }
  for (__user_cap_data_struct& set : sets) {
    set.inheritable = 0;
  }
  return syscall(SYS_capset, &header, sets) == 0;
#endif
}

// Runs in the child between fork and exec, so only async-signal-safe calls.
[[noreturn]] void startChild(const char* directory, char* const* argv, int in, int out, int err,
                             const RunOptions& options) {
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(directory) != 0) {
    _exit(126);
  }
  // Descriptors inherited from the test runner would count against an RLIMIT_NOFILE.
#ifdef __linux__
  close_range(3, ~0U, 0);
#else
  for (int descriptor = 3; descriptor < 1024; ++descriptor) {
    close(descriptor);
  }
#endif
  // A tool ended by a signal such as SIGXFSZ leaves no core file among the files a test checks.
  if (!setLimit(RLIMIT_CORE, 0) ||
      (options.maxOpenFiles && !setLimit(RLIMIT_NOFILE, *options.maxOpenFiles)) ||
      (options.maxAddressSpace && !setLimit(RLIMIT_AS, *options.maxAddressSpace)) ||
      (options.maxFileSize && !setLimit(RLIMIT_FSIZE, *options.maxFileSize)) ||
      (options.withoutRootOverride && geteuid() == 0 && !dropRootOverride())) {
    _exit(126);
  }
  // Ignored stays ignored across exec: the tool starts with SIGPIPE as a shell would give it,
  // whatever the test runner chose for its pipes.
  signal(SIGPIPE, SIG_DFL);
  if (options.ignoreFileSizeSignal) {
    signal(SIGXFSZ, SIG_IGN);
  }
  execv(options.throughShell ? "/bin/sh" : TILEGRAFT_BINARY, argv);
  _exit(127);
}

} // namespace

ToolRun runTool(const std::filesystem::path& workingDirectory,
                const std::vector<std::string>& arguments, const RunOptions& options) {
  ToolRun result;
  Stream in = anonymousFile();
  Stream out = anonymousFile();
  Stream err = anonymousFile();
  std::fwrite(options.standardInput.data(), 1, options.standardInput.size(), in.get());
  std::rewind(in.get());

  // Everything the child needs is prepared before the fork.
  std::string programName = options.throughShell ? "sh" : "tilegraft";
  std::vector<std::string> argumentCopies = arguments;
  if (options.throughShell) {
    argumentCopies.insert(argumentCopies.begin(), "-c");
    setenv("TILEGRAFT", TILEGRAFT_BINARY, 1);
  }
  std::vector<char*> argv{programName.data()};
  for (std::string& argument : argumentCopies) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  const std::string directory = workingDirectory.string();

  int inputPipe[2] = {-1, -1};
  if (options.inputThroughPipe &&
      (pipe(inputPipe) != 0 || fcntl(inputPipe[0], F_SETFD, FD_CLOEXEC) != 0 ||
       fcntl(inputPipe[1], F_SETFD, FD_CLOEXEC) != 0)) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  // A terminal's text is read as it comes, so that the tool never waits on a full terminal.
  int terminal = -1;
  int terminalEnd = -1;
  const bool onTerminal = options.errorOnTerminal || options.outputOnTerminal;
  if (onTerminal) {
    termios mode{};
    if (openpty(&terminal, &terminalEnd, nullptr, nullptr, nullptr) != 0 ||
        tcgetattr(terminalEnd, &mode) != 0) {
      ADD_FAILURE() << "openpty failed";
      return result;
    }
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(terminalEnd, TCSANOW, &mode);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
  }
  const pid_t child = fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (child == 0) {
    startChild(directory.c_str(), argv.data(),
               options.inputThroughPipe ? inputPipe[0] : fileno(in.get()),
               options.outputOnTerminal ? terminalEnd : fileno(out.get()),
               options.errorOnTerminal   ? terminalEnd
               : options.errorIntoOutput ? fileno(out.get())
                                         : fileno(err.get()),
               options);
  }
  std::string terminalText;
  std::thread terminalReader;
  if (onTerminal) {
    close(terminalEnd);
    // The read fails (EIO) once the tool, the terminal's last writer, has ended.
    terminalReader = std::thread([&terminalText, terminal] {
      char chunk[4096];
      ssize_t got = 0;
      while ((got = read(terminal, chunk, sizeof chunk)) > 0) {
        terminalText.append(chunk, static_cast<std::size_t>(got));
      }
      close(terminal);
    });
  }
  std::thread feeder;
  if (options.inputThroughPipe) {
    close(inputPipe[0]);
    // A tool that stops reading early ends the writes with EPIPE, not with a signal.
    signal(SIGPIPE, SIG_IGN);
    feeder = std::thread([&options, fd = inputPipe[1]] {
      std::string_view rest = options.standardInput;
      while (!rest.empty()) {
        const ssize_t written = write(fd, rest.data(), rest.size());
        if (written <= 0) {
          break;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
      }
      close(fd);
    });
  }

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      break;
    }
    if (done < 0) {
      ADD_FAILURE() << "waitpid failed";
      return result;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.timedOut = true;
      ADD_FAILURE() << "tilegraft did not end within " << options.timeout.count()
                    << " s and was killed";
      break;
    }
    const timespec pause{0, 2'000'000};
    nanosleep(&pause, nullptr);
  }

  if (feeder.joinable()) {
    feeder.join();
  }
  if (terminalReader.joinable()) {
    terminalReader.join();
  }
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitStatus = 128 + WTERMSIG(status);
  }
  if (!result.timedOut && (result.exitStatus == 126 || result.exitStatus == 127)) {
    ADD_FAILURE() << "could not start " << TILEGRAFT_BINARY;
  }
  result.standardOutput = readWhole(out.get());
  result.standardError = onTerminal ? terminalText : readWhole(err.get());
  return result;
}

ToolRun runScript(const std::filesystem::path& workingDirectory, std::string_view scriptText,
                  const RunOptions& options) {
  writeTextFile(workingDirectory / "script.txt", scriptText);
  return runTool(workingDirectory, {"script.txt"}, options);
}

} // namespace tilegraft::testing
