#pragma once

#include <filesystem>
#include <string>

namespace tilegraft::testing {

// The project's source folder, where README.md, docs/ and examples/ are.
std::filesystem::path sourceFolder();

// The output that a document shows for "$ tilegraft --check typo.tgs": the lines after it in
// its block (closed by `close`), roff escapes undone when roff is set. Empty when the document
// shows no such block.
std::string shownCheckOutput(const std::filesystem::path& document, const std::string& close,
                             bool roff);

} // namespace tilegraft::testing
