#include "engine/script_reader.h"

#include "bitmap/int32_math.h"
#include "engine/ascii.h"
#include "engine/script_error.h"

#include <cstring>

namespace tilegraft {

namespace {

// Physical lines are of any length; the script is read in blocks of this size and only the
// current line is kept.
constexpr std::size_t readBufferSize = 64 * 1024;
constexpr std::string_view commentMarker = "//";
constexpr std::string_view endTrimmed = " \t\r\n";
constexpr std::string_view blanks = " \t";

} // namespace

void ScriptReader::open(const std::string& name) {
  close();
  file.reset(std::fopen(name.c_str(), "rt"));
  if (!file) {
    throw ScriptError("Error opening file.");
  }
  if (!readBuffer) {
    readBuffer = std::make_unique<char[]>(readBufferSize);
  }
}

void ScriptReader::close() noexcept {
  if (file) {
    file.reset();
    lineNumber = 0;
    rawLine.clear();
    workingLine.clear();
  }
  bufferPosition = 0;
  bufferEnd = 0;
}

// Reads one physical line, up to and including its line feed or to the end of the file, into
// rawLine; false when the file has nothing more. A carriage return before the line feed stays in
// rawLine as read (text mode changes nothing here), so an error report shows the line unchanged.
bool ScriptReader::readPhysicalLine() {
  rawLine.clear();
  for (;;) {
    if (bufferPosition == bufferEnd) {
      bufferPosition = 0;
      bufferEnd = std::fread(readBuffer.get(), 1, readBufferSize, file.get());
      if (bufferEnd == 0) {
        if (std::ferror(file.get()) != 0) {
          // No line caused this, so the script is closed first and the report shows no line.
          close();
          throw ScriptError("Error reading file.");
        }
        return !rawLine.empty();
      }
    }
    const char* start = readBuffer.get() + bufferPosition;
    const std::size_t available = bufferEnd - bufferPosition;
    const void* lineFeed = std::memchr(start, '\n', available);
    const std::size_t taken =
        lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) + 1
                 : available;
    rawLine.append(start, taken);
    bufferPosition += taken;
    if (lineFeed) {
      return true;
    }
  }
}

bool ScriptReader::readLine() {
  while (readPhysicalLine()) {
    lineNumber = wrapAdd(lineNumber, 1);
    // A NUL byte ends the line's text.
    if (const std::size_t nul = rawLine.find('\0'); nul != std::string::npos) {
      rawLine.resize(nul);
    }
    workingLine = rawLine;
    if (const std::size_t comment = workingLine.find(commentMarker); comment != std::string::npos) {
      workingLine.resize(comment);
    }
    const std::size_t last = workingLine.find_last_not_of(endTrimmed);
    workingLine.resize(last == std::string::npos ? 0 : last + 1);
    workingLine.erase(0, workingLine.find_first_not_of(blanks));
    if (!workingLine.empty()) {
      return true;
    }
  }
  return false;
}

std::string ScriptReader::nextToken(bool lower) {
  const std::size_t separator = workingLine.find_first_of(blanks);
  std::string word = workingLine.substr(0, separator);
  if (separator == std::string::npos) {
    workingLine.clear();
  } else {
    workingLine.erase(0, workingLine.find_first_not_of(blanks, separator));
  }
  return lower ? asciiLower(std::move(word)) : word;
}

} // namespace tilegraft
