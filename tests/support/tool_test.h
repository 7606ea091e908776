#pragma once

#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

namespace tilegraft::testing {

// The fixture of every end-to-end test: a fresh folder, and the tool run in it.
class ToolTest : public ::testing::Test {
protected:
  // Writes the script as script.txt and runs the tool on it.
  ToolRun run(std::string_view script, const RunOptions& options = {}) const {
    return runScript(dir.path(), script, options);
  }
  // The same, with this text waiting on standard input.
  ToolRun run(std::string_view script, std::string input) const {
    RunOptions options;
    options.standardInput = std::move(input);
    return runScript(dir.path(), script, options);
  }
  // Runs the tool with exactly these arguments.
  ToolRun runWith(const std::vector<std::string>& arguments, const RunOptions& options = {}) const {
    return runTool(dir.path(), arguments, options);
  }
  Bytes fileBytes(std::string_view name) const { return readFileBytes(dir.file(name)); }

  ScopedTempDir dir;
};

// What standard error shows when line number lineNumber, as written, fails with the message.
inline std::string failureReport(int lineNumber, std::string_view line, std::string_view message) {
  return "Line " + std::to_string(lineNumber) + ": " + std::string(line) + "\n**** " +
         std::string(message) + "\n";
}

} // namespace tilegraft::testing
