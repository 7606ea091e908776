#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tilegraft {

std::vector<std::string> commandLineArguments(int argc, char* argv[]) {
  return {argv + std::min(argc, 1), argv + argc};
}

void guardStandardStreams() noexcept {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
      // Opened for reading only: input reads nothing, and output fails as it did.
      const int standIn = open("/dev/null", O_RDONLY);
      if (standIn >= 0 && standIn != descriptor) {
        dup2(standIn, descriptor);
        close(standIn);
      }
    }
  }
}

void ignoreBrokenPipes() noexcept {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
      current.sa_handler != SIG_DFL) {
    return;
  }
  struct sigaction ignored {};
  ignored.sa_handler = SIG_IGN;
  sigemptyset(&ignored.sa_mask);
  sigaction(SIGPIPE, &ignored, nullptr);
}

std::optional<char> readAnswerLine() {
  static bool inputAbandoned = false;
  if (inputAbandoned) {
    return std::nullopt;
  }
  std::optional<char> first;
  for (std::size_t taken = 0; taken < answerLineLimit;) {
    char byte = 0;
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return first;
    }
    ++taken;
    if (!first) {
      first = byte;
    }
    if (byte == '\n') {
      return first;
    }
  }
  inputAbandoned = true;
  return std::nullopt;
}

std::FILE* openStandardInput() {
  const int copy = dup(STDIN_FILENO);
  if (copy < 0) {
    return nullptr;
  }
  std::FILE* stream = fdopen(copy, "r");
  if (stream == nullptr) {
    close(copy);
  }
  return stream;
}

bool isStandardInput(std::FILE* file) {
  struct stat opened {};
  struct stat input {};
  return fstat(fileno(file), &opened) == 0 && fstat(STDIN_FILENO, &input) == 0 &&
         opened.st_dev == input.st_dev && opened.st_ino == input.st_ino;
}

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

} // namespace tilegraft
