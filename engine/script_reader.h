#pragma once

#include "common/file_handle.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tilegraft {

// The patch script file and its current line.
//
// Closed until open(); open until close(), the next open() or destruction. While open it hands
// out one cleaned, non-empty line at a time and splits it into words; the line number counts
// every physical line read since the open, blank and comment lines included.
class ScriptReader {
public:
  // Physical lines are of any length; the script is read in blocks of this size and only the
  // current line is kept.
  static constexpr std::size_t readBlockSize = 64 * 1024;
  // What nextToken gives: the word as written, or with A to Z made a to z (keywords).
  enum class WordCase { asWritten, lowered };

  ScriptReader() = default;
  ScriptReader(const ScriptReader&) = delete;
  ScriptReader& operator=(const ScriptReader&) = delete;

  // Closes any open script, then opens the named one. Throws "Error opening file.".
  void open(const std::string& name);
  // Closes the script, if open, and forgets its line. Never throws.
  void close() noexcept;
  bool isOpen() const { return file != nullptr; }
  // True when the open script is the file or pipe that standard input reads, as /dev/stdin is.
  bool isStandardInput() const { return readsStandardInput; }

  // Reads physical lines until one is left non-empty once its comment and its surrounding blanks
  // are removed; false at the end of the script. A read error closes the script and throws
  // "Error reading file."; a line that holds a NUL byte, whatever else it holds, throws "NUL
  // byte in the line." as that line's error, so that no name cut there is ever used.
  bool readLine();
  // What the script's first line shows it to be when it is no text ("a PNG image", "a binary
  // file"); empty for text, and before the first line.
  std::string_view scriptKind() const { return kind; }
  // Takes the next word off the front of the working line; empty when none is left.
  std::string nextToken(WordCase wordCase);

  std::int32_t currentLineNumber() const { return lineNumber; }
  const std::string& currentRawLine() const { return rawLine; }
  const std::string& currentWorkingLine() const { return workingLine; }

protected:
  FileHandle file;
  std::int32_t lineNumber = 0;
  // The last physical line as read, with its line feed when it had one; a NUL byte ends it there
  // (the line is then an error).
  std::string rawLine;
  // What is left of the current line for the command and its handler.
  std::string workingLine;

private:
  bool readPhysicalLine();

  std::unique_ptr<char[]> readBuffer;
  std::size_t bufferPosition = 0;
  std::size_t bufferEnd = 0;
  // The script ended: a terminal gives more after an end of input, but the script is over.
  bool ended = false;
  // True until the first physical line since the open has been read.
  bool atScriptStart = false;
  bool readsStandardInput = false;
  // The last physical line held a NUL byte, where rawLine ends.
  bool nulInLine = false;
  std::string_view kind;
  std::string openedName;
};

} // namespace tilegraft
