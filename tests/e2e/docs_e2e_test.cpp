// The checks of the documents: every example script is tested, the scripts and the check output
// that README.md, the user guide and the manual page show are the examples as they stand, and
// their links lead somewhere. The pictures,
// the manual page's lint and the install are checked by the docs_*.cmake scripts beside this
// file.
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/shown_in_docs.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifndef TILEGRAFT_SOURCE_DIR
#error "TILEGRAFT_SOURCE_DIR must name the project's source directory"
#endif

namespace tilegraft::testing {

std::filesystem::path sourceFolder() { return TILEGRAFT_SOURCE_DIR; }

namespace {

const std::filesystem::path sourceDir = sourceFolder();
const std::filesystem::path examplesDir = sourceDir / "examples";

// A new example must come with a test above.
TEST(DocumentsTest, EveryExampleScriptIsTested) {
  const std::set<std::string> tested{
      "demo.tgs", "graft.tgs",   "repeat-row.tgs", "repeat-grid.tgs", "mask.tgs", "toggle.tgs",
      "typo.tgs", "extrude.tgs", "swap-rows.tgs",  "relay.tgs",       "bank.tgs"};
  std::set<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(examplesDir)) {
    if (entry.path().extension() == ".tgs") {
      found.insert(entry.path().filename().string());
    }
  }
  EXPECT_EQ(found, tested);
}

// The commands of a script without its comment and blank lines.
std::vector<std::string> commandLines(const std::string& script) {
  std::vector<std::string> lines;
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line.compare(first, 2, "//") != 0) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Text of the manual page's example blocks, with the escapes they use turned back into text.
std::string fromRoff(std::string line) {
  const std::vector<std::pair<std::string, std::string>> escapes{
      {"\\&", ""}, {"\\-", "-"}, {"\\(aq", "'"}, {"\\e", "\\"}};
  for (const auto& [escape, text] : escapes) {
    for (std::size_t at = line.find(escape); at != std::string::npos;
         at = line.find(escape, at + text.size())) {
      line.replace(at, escape.size(), text);
    }
  }
  return line;
}

// Each script block of a document must be preceded by a line that names an example, and hold
// that example's commands. Blocks open with `open` and close with `close`; a block whose first
// line begins with "$ " is a shell session and is skipped. Returns the examples shown.
std::set<std::string> checkShownScripts(const std::filesystem::path& document,
                                        const std::string& open, const std::string& close,
                                        bool roff) {
  std::set<std::string> shown;
  std::istringstream in(readTextFile(document));
  std::string previous;
  for (std::string line; std::getline(in, line);) {
    if (line != open) {
      // A request without text (.RS, .PP) does not separate a block from its name.
      const bool bareRequest = roff && line.size() == 3 && line[0] == '.';
      if (!line.empty() && !bareRequest) {
        previous = line;
      }
      continue;
    }
    std::string block;
    for (std::string inner; std::getline(in, inner) && inner != close;) {
      block += (roff ? fromRoff(inner) : inner) + "\n";
    }
    if (block.rfind("$ ", 0) == 0) {
      continue;
    }
    const std::size_t at = previous.find("examples/");
    const std::size_t end = previous.find(".tgs", at);
    if (at == std::string::npos || end == std::string::npos) {
      ADD_FAILURE() << document << ": a script block without its example's name before it:\n"
                    << block;
      continue;
    }
    const std::string name = previous.substr(at + 9, end + 4 - at - 9);
    EXPECT_EQ(commandLines(block), commandLines(readTextFile(examplesDir / name)))
        << document << " shows " << name;
    shown.insert(name);
    previous.clear();
  }
  return shown;
}

TEST(DocumentsTest, ReadmeAndGuideShowTheExampleScriptsAsTheyAre) {
  EXPECT_EQ(checkShownScripts(sourceDir / "README.md", "```tgs", "```", false),
            (std::set<std::string>{"demo.tgs"}));
  EXPECT_EQ(checkShownScripts(sourceDir / "docs" / "guide.md", "```tgs", "```", false),
            (std::set<std::string>{"mask.tgs", "extrude.tgs", "swap-rows.tgs"}));
}

TEST(DocumentsTest, ManualPageShowsTheExampleScriptsAsTheyAre) {
  const std::set<std::string> shown =
      checkShownScripts(sourceDir / "docs" / "tilegraft.1", ".EX", ".EE", true);
  EXPECT_EQ(shown, (std::set<std::string>{"graft.tgs", "mask.tgs", "toggle.tgs"}));
}

// CI runs the test command that README's "Tests" section gives users, word for word, and the
// first screen's test command is that one.
TEST(DocumentsTest, CiRunsTheReadmesTestCommand) {
  std::istringstream readme(readTextFile(sourceDir / "README.md"));
  std::vector<std::string> commands; // each shown command that runs ctest, the first screen's first
  std::string command;
  bool inTests = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("## ", 0) == 0) {
      inTests = line == "## Tests";
    } else if (line.rfind("    cmake ", 0) == 0 && line.find("ctest") != std::string::npos) {
      commands.push_back(line.substr(4));
      command = inTests && command.empty() ? line.substr(4) : command;
    }
  }
  ASSERT_FALSE(command.empty()) << "README.md's Tests section shows no command";
  for (const std::string& shown : commands) {
    EXPECT_EQ(shown, command);
  }
  std::istringstream ci(readTextFile(sourceDir / ".ci" / "run"));
  bool found = false;
  for (std::string line; std::getline(ci, line);) {
    found = found || line == command;
  }
  EXPECT_TRUE(found) << ".ci/run does not run " << command;
}

// A heading's anchor as the documents' links write it: lower case, blanks as hyphens, and
// nothing else but letters, digits, hyphens and underscores.
std::string anchorOf(const std::string& heading) {
  std::string anchor;
  for (const char c : heading.substr(heading.find(' ') + 1)) {
    if (c >= 'A' && c <= 'Z') {
      anchor += static_cast<char>(c - 'A' + 'a');
    } else if (c == ' ') {
      anchor += '-';
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      anchor += c;
    }
  }
  return anchor;
}

// Every relative link of README.md and the user guide leads to a file of the project, and every
// #anchor to a heading of the document it names, so that moving text between them breaks none.
TEST(DocumentsTest, LinksOfReadmeAndGuideLeadSomewhere) {
  const std::vector<std::filesystem::path> documents{sourceDir / "README.md",
                                                     sourceDir / "docs" / "guide.md"};
  std::map<std::filesystem::path, std::set<std::string>> anchors;
  for (const auto& document : documents) {
    std::istringstream in(readTextFile(document));
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
      inBlock = line.rfind("```", 0) == 0 ? !inBlock : inBlock;
      if (!inBlock && line.rfind("#", 0) == 0) {
        anchors[document.lexically_normal()].insert(anchorOf(line));
      }
    }
  }
  for (const auto& document : documents) {
    const std::string text = readTextFile(document);
    for (std::size_t at = text.find("]("); at != std::string::npos; at = text.find("](", at + 2)) {
      const std::string link = text.substr(at + 2, text.find(')', at) - at - 2);
      if (link.rfind("http", 0) == 0) {
        continue;
      }
      const std::size_t hash = link.find('#');
      const std::filesystem::path target =
          hash == 0 ? document : (document.parent_path() / link.substr(0, hash)).lexically_normal();
      EXPECT_TRUE(std::filesystem::exists(target)) << document << " links to " << link;
      if (hash != std::string::npos) {
        EXPECT_EQ(anchors[target.lexically_normal()].count(link.substr(hash + 1)), 1U)
            << document << " links to " << link;
      }
    }
  }
}

} // namespace

std::string shownCheckOutput(const std::filesystem::path& document, const std::string& close,
                             bool roff) {
  std::istringstream in(readTextFile(document));
  for (std::string line; std::getline(in, line);) {
    if ((roff ? fromRoff(line) : line) == "$ tilegraft --check typo.tgs") {
      std::string shown;
      for (std::string inner; std::getline(in, inner) && inner != close;) {
        shown += (roff ? fromRoff(inner) : inner) + "\n";
      }
      return shown;
    }
  }
  return "";
}

} // namespace tilegraft::testing
