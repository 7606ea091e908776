#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tilegraft::testing {

struct RunOptions {
  // Everything the tool can read on standard input; empty means the input is at its end at once.
  std::string standardInput;
  // Resource limits set in the child before it starts the tool (soft and hard).
  std::optional<std::uint64_t> maxOpenFiles;    // RLIMIT_NOFILE
  std::optional<std::uint64_t> maxAddressSpace; // RLIMIT_AS, in bytes
  std::optional<std::uint64_t> maxFileSize;     // RLIMIT_FSIZE, in bytes
  // With a file-size limit: SIGXFSZ ignored, so that a write past the limit fails (EFBIG) rather
  // than ending the tool.
  bool ignoreFileSizeSignal = false;
  // For a test run by root: the tool runs without the capabilities that let root pass over
  // permission bits (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER), so that the bits of
  // root's own files and folders bind it as they bind their owner. No effect for other users.
  bool withoutRootOverride = false;
  // Only catches a hang: the child is then killed and the test fails.
  std::chrono::seconds timeout{60};
  // Standard error goes where standard output goes, as with 2>&1: the tool's output then shows
  // in standardOutput in the order it was written (neither stream is a terminal).
  bool errorIntoOutput = false;
  // Standard input is a pipe that the test fills as the tool reads it, as with cat FILE | tool,
  // rather than a file.
  bool inputThroughPipe = false;
  // Standard error, and with outputOnTerminal standard output too, is a terminal (a pseudo
  // terminal that adds no carriage returns): standardError then holds all that it showed.
  bool errorOnTerminal = false;
  bool outputOnTerminal = false;
  // The one argument is a command for /bin/sh, in which $TILEGRAFT names the tool: for runs that
  // share their input, and for redirections.
  bool throughShell = false;
};

struct ToolRun {
  // As a shell sees it: 255 for a return of -1; 128 + signal number when a signal ended it.
  int exitStatus = -1;
  std::string standardOutput;
  std::string standardError;
  bool timedOut = false;
};

// Runs the built tilegraft with exactly these arguments (none, one or several), in the given
// working directory, and collects what it wrote. A hang or a failure to start is reported as a
// test failure.
ToolRun runTool(const std::filesystem::path& workingDirectory,
                const std::vector<std::string>& arguments, const RunOptions& options = {});

// Writes the script text to "script.txt" in the directory and runs the tool on it there.
ToolRun runScript(const std::filesystem::path& workingDirectory, std::string_view scriptText,
                  const RunOptions& options = {});

// Expects exactly this exit status, standard output and standard error.
inline void expectRun(const ToolRun& result, int status, const std::string& out,
                      const std::string& err) {
  EXPECT_EQ(result.exitStatus, status);
  EXPECT_EQ(result.standardOutput, out);
  EXPECT_EQ(result.standardError, err);
}

// AddressSanitizer reserves terabytes of address space for its shadow memory, so a tool built
// with it cannot run under an address-space limit at all: tests of such limits skip there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool builtWithAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool builtWithAddressSanitizer = true;
#else
inline constexpr bool builtWithAddressSanitizer = false;
#endif
#else
inline constexpr bool builtWithAddressSanitizer = false;
#endif

// The progress line that every run on "script.txt" starts with.
inline constexpr std::string_view scriptStartLine = "Reading patch script: script.txt...\n";

} // namespace tilegraft::testing
