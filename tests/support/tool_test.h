#pragma once

#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tilegraft::testing {

// One run of the tool as a row of a table: the files its folder holds first, the script, the
// text waiting on standard input, and all that the run must show.
struct ToolCase {
  std::string script; // written as script.txt when not empty
  int status = 0;
  std::string out{}; // standard output; after the start line when the run is of script.txt
  std::string err{}; // the whole of standard error
  std::vector<std::pair<std::string, Bytes>> files{};         // written first
  std::string input{};                                        // on standard input
  std::vector<std::pair<std::string, Bytes>> expectedFiles{}; // exactly these bytes afterwards
  std::vector<std::string> absentFiles{};                     // not there afterwards
  std::optional<std::vector<std::string>> arguments{};        // the command line; none: script.txt
};

// The fixture of every end-to-end test: a fresh folder, and the tool run in it.
class ToolTest : public ::testing::Test {
protected:
  // Runs each row in a folder of its own and expects all it says.
  static void expectCases(const std::vector<ToolCase>& rows) {
    for (const ToolCase& row : rows) {
      SCOPED_TRACE(::testing::Message()
                   << ::testing::PrintToString(row.arguments.value_or(std::vector<std::string>{}))
                   << " " << row.script.substr(0, 200) << "(input "
                   << ::testing::PrintToString(row.input.substr(0, 200)) << ")");
      const ScopedTempDir folder;
      for (const auto& [name, bytes] : row.files) {
        writeFileBytes(folder.file(name), bytes);
      }
      RunOptions options;
      options.standardInput = row.input;
      if (!row.arguments) {
        expectRun(runScript(folder.path(), row.script, options), row.status,
                  std::string(scriptStartLine) + row.out, row.err);
      } else {
        if (!row.script.empty()) {
          writeTextFile(folder.file("script.txt"), row.script);
        }
        expectRun(runTool(folder.path(), *row.arguments, options), row.status, row.out, row.err);
      }
      for (const auto& [name, bytes] : row.expectedFiles) {
        EXPECT_EQ(readFileBytes(folder.file(name)), bytes) << name;
      }
      for (const std::string& name : row.absentFiles) {
        EXPECT_FALSE(std::filesystem::exists(folder.file(name))) << name;
      }
    }
  }

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

// What standard error shows for a wrong command line.
inline std::string commandLineError(std::string_view what) {
  return "tilegraft: " + std::string(what) +
         "\nSyntax:   tilegraft  patchScriptFileName\nTry tilegraft --help for the options and "
         "the commands.\n";
}

} // namespace tilegraft::testing
