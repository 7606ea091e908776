#include "common/script_error.h"
#include "engine/script_reader.h"
#include "tests/support/failure.h"
#include "tests/support/scoped_temp_dir.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace tilegraft {
namespace {

using testing::messageOf;
using testing::ScopedTempDir;
using testing::writeTextFile;
constexpr auto lowered = ScriptReader::WordCase::lowered;
constexpr auto asWritten = ScriptReader::WordCase::asWritten;
constexpr std::size_t block = ScriptReader::readBlockSize;

struct Line {
  std::int32_t number;
  std::string working;
  // Checked only when given.
  std::optional<std::string> raw;
};

class ScriptReaderTest : public ::testing::Test {
protected:
  void openScript(std::string_view text) {
    writeTextFile(dir.file("script.txt"), text);
    reader.open(dir.file("script.txt").string());
  }

  // Reads the script to its end and checks every line that readLine hands out.
  void expectLines(std::string_view text, const std::vector<Line>& expected) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    openScript(text);
    for (const Line& line : expected) {
      ASSERT_TRUE(reader.readLine()) << "expected line " << line.number;
      EXPECT_EQ(reader.currentLineNumber(), line.number);
      EXPECT_EQ(reader.currentWorkingLine(), line.working);
      if (line.raw) {
        EXPECT_EQ(reader.currentRawLine(), *line.raw);
      }
    }
    EXPECT_FALSE(reader.readLine());
  }

  ScopedTempDir dir;
  ScriptReader reader;
};

// Text with blanks at scattered places (never first or last), so that a line read in pieces and
// trimmed piece by piece would lose some of them.
std::string longText(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += (i % 7 == 3) ? ' ' : static_cast<char>('a' + i % 26);
  }
  text.back() = 'z';
  return text;
}

TEST_F(ScriptReaderTest, CleansLinesAndCountsSkippedOnes) {
  using namespace std::string_literals;
  expectLines("load base a//b.bmp\n", {{1, "load base a", "load base a//b.bmp\n"}});
  expectLines("echo a  b // c\n", {{1, "echo a  b", {}}});
  expectLines("x//y//z", {{1, "x", "x//y//z"}});
  expectLines("/ /x/\n", {{1, "/ /x/", {}}});
  expectLines("\n  \t \n// note\n   // indented\n\r\nword\n", {{6, "word", "word\n"}});
  expectLines("one\r\ntwo \t\r\n", {{1, "one", {}}, {2, "two", {}}});
  expectLines("\rword\n", {{1, "\rword", {}}});
  expectLines(" \t word\t \n", {{1, "word", " \t word\t \n"}});
  expectLines("a\tb  c\n", {{1, "a\tb  c", {}}});
  expectLines("\vx\f\n", {{1, "\vx\f", {}}});
  expectLines("first\nlast", {{1, "first", {}}, {2, "last", "last"}});
  expectLines("last\r", {{1, "last", {}}});
  expectLines("", {});
  expectLines("\n\n// only comments\n", {});
}

TEST_F(ScriptReaderTest, LongPhysicalLineIsOneLine) {
  // Short ones, and lines whose text, or text and line feed, end at, just before or just after
  // the edge of a read block, or of the second one.
  for (std::size_t length :
       std::initializer_list<std::size_t>{1, 1023, 5000, block - 2, block - 1, block, block + 1,
                                          2 * block - 1, 2 * block, 2 * block + 1}) {
    const std::string text = longText(length);
    expectLines(text + "\nnext\n", {{1, text, text + "\n"}, {2, "next", "next\n"}});
    expectLines("\n" + text, {{2, text, text}});
  }
}

TEST_F(ScriptReaderTest, LongCommentHidesItsWholeTail) {
  std::string comment = "//" + std::string(block - 3, 'c') + "save x.bmp";
  comment +=
      std::string(2 * block - 2 - comment.size(), 'c') + "save y.bmp" + std::string(900, 'c');
  expectLines(comment + "\nnext\n", {{2, "next", {}}});
  expectLines("echo " + comment + "\nnext\n", {{1, "echo", {}}, {2, "next", {}}});
  // A comment marker whose two slashes fall in two read blocks.
  const std::string text = longText(block - 1);
  expectLines(text + "//save z.bmp\nnext\n", {{1, text, {}}, {2, "next", {}}});
}

TEST_F(ScriptReaderTest, ManyLinesOfMixedLengthsKeepTheirNumbers) {
  std::string text;
  std::vector<Line> expected;
  for (std::int32_t number = 1; number <= 400; ++number) {
    const std::string line =
        std::to_string(number) + longText(static_cast<std::size_t>(number * 97 % 2200 + 1));
    text += line + "\n";
    expected.push_back({number, line, {}});
  }
  expectLines(text, expected);
}

TEST_F(ScriptReaderTest, NextTokenSplitsAtBlanksAndTabsOnly) {
  openScript("merge\tpixels = 1 2\na \t  b\t\tc\nsave\n\rx y\n");

  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.nextToken(lowered), "merge");
  EXPECT_EQ(reader.nextToken(lowered), "pixels");
  EXPECT_EQ(reader.nextToken(lowered), "=");
  EXPECT_EQ(reader.currentWorkingLine(), "1 2");

  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.nextToken(asWritten), "a");
  EXPECT_EQ(reader.currentWorkingLine(), "b\t\tc");

  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.nextToken(lowered), "save");
  EXPECT_EQ(reader.currentWorkingLine(), "");
  EXPECT_EQ(reader.nextToken(lowered), "");
  EXPECT_EQ(reader.currentWorkingLine(), "");

  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.nextToken(lowered), "\rx");
  EXPECT_EQ(reader.currentWorkingLine(), "y");
}

TEST_F(ScriptReaderTest, LowerCaseChangesOnlyAToZ) {
  // The bytes just outside A..Z, and bytes above 0x7F (Latin-1 capitals, UTF-8 of "Ä").
  openScript("LoAD @[`{AZaz \xC0\xC9\xD6\xDE\xFF \xC3\x84"
             "Bc LoAD\n");
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.nextToken(lowered), "load");
  EXPECT_EQ(reader.nextToken(lowered), "@[`{azaz");
  EXPECT_EQ(reader.nextToken(lowered), "\xC0\xC9\xD6\xDE\xFF");
  EXPECT_EQ(reader.nextToken(lowered), "\xC3\x84"
                                       "bc");
  EXPECT_EQ(reader.nextToken(asWritten), "LoAD");
}

// A NUL byte makes its line an error, even in a comment or a line of nothing else, so that no
// name cut there is used; the raw line ends before it. A first line that is no text tells what
// the script is.
TEST_F(ScriptReaderTest, NulByteIsAnErrorOfItsLine) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::int32_t lineNumber;
    std::string raw;
    std::string_view kind;
  };
  const Case cases[] = {
      {"save keep\0.bmp\nnext\n"s, 1, "save keep", ""},
      {"echo x\n\0save x\nnext"s, 2, "", ""},
      {"echo x // note\0\n"s, 1, "echo x // note", ""},
      {"\xEF\xBB\xBF"
       "ab\0"s,
       1, "ab", ""},
      {"x\0\1\2\3"s, 1, "x", "a binary file"},
      {"BM\x36\x10\0\0\0\0"s, 1, "BM\x36\x10", "a BMP image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    openScript(c.text);
    const std::string message = messageOf([&] {
      while (reader.readLine()) {
      }
    });
    EXPECT_EQ(message, "NUL byte in the line.");
    EXPECT_EQ(reader.currentLineNumber(), c.lineNumber);
    EXPECT_EQ(reader.currentRawLine(), c.raw);
    EXPECT_EQ(reader.scriptKind(), c.kind);
  }
  openScript("\x89PNG\r\n\x1A\n");
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.scriptKind(), "a PNG image");
  openScript("echo x\n");
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.scriptKind(), "");
}

TEST_F(ScriptReaderTest, OpenFailureThrowsAndLeavesItClosed) {
  EXPECT_EQ(messageOf([&] { reader.open(dir.file("missing.txt").string()); }),
            "Error opening file.");
  EXPECT_FALSE(reader.isOpen());
}

TEST_F(ScriptReaderTest, CloseAndReopenRestartLineNumbers) {
  openScript("// one\ntwo\nthree\n");
  ASSERT_TRUE(reader.readLine());
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.currentLineNumber(), 3);

  reader.close();
  EXPECT_FALSE(reader.isOpen());
  EXPECT_EQ(reader.currentLineNumber(), 0);
  EXPECT_EQ(reader.currentRawLine(), "");
  EXPECT_EQ(reader.currentWorkingLine(), "");
  reader.close();

  reader.open(dir.file("script.txt").string());
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.currentLineNumber(), 2);
  EXPECT_EQ(reader.currentWorkingLine(), "two");

  // Opening again without a close starts over as well.
  reader.open(dir.file("script.txt").string());
  ASSERT_TRUE(reader.readLine());
  EXPECT_EQ(reader.currentLineNumber(), 2);
}

TEST_F(ScriptReaderTest, ReadErrorThrowsAndCloses) {
  // A directory opens on POSIX systems and then cannot be read; Windows refuses it at the open,
  // with the same message.
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_EQ(messageOf([&] {
              reader.open(dir.file("folder").string());
              reader.readLine();
            }),
            "Error reading file.");
  EXPECT_FALSE(reader.isOpen());
}

} // namespace
} // namespace tilegraft
