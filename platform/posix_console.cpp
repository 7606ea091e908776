#include "common/answer_line.h"
#include "platform/console.h"
#include "platform/posix_descriptor.h"

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
  if (atDefault(SIGPIPE)) {
    setAction(SIGPIPE, SIG_IGN);
  }
}

std::optional<char> readAnswerLine() {
  return readAnswerLine([](char& byte) {
    return transferAll(1, [&](std::size_t) { return read(STDIN_FILENO, &byte, 1); });
  });
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
