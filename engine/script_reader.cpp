#include "engine/script_reader.h"

#include "common/ascii.h"
#include "common/int32_math.h"
#include "common/script_error.h"
#include "platform/console.h"
#include "platform/files.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tilegraft {

namespace {

constexpr std::string_view commentMarker = "//";
// Some editors start a UTF-8 file with this mark; it is not part of the first line.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

// Blanks and tabs separate words and are trimmed at both ends of a line; carriage returns and
// line feeds only at its end.
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }
constexpr bool isEndTrimmed(char c) { return isBlank(c) || c == '\r' || c == '\n'; }

// What the first bytes of a script that is no text show it to be; empty for text. A NUL among
// several control bytes at the start is a binary file's, where one NUL alone may be a stray.
std::string_view kindOfStart(std::string_view start) {
  if (start.starts_with("\x89PNG")) {
    return "a PNG image";
  }
  if (start.starts_with("\xFF\xD8\xFF")) {
    return "a JPEG image";
  }
  if (start.starts_with("GIF8")) {
    return "a GIF image";
  }
  start = start.substr(0, 64);
  const auto controls = std::count_if(start.begin(), start.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
  });
  if (controls < 4 || start.find('\0') == std::string_view::npos) {
    return "";
  }
  return start.starts_with("BM") ? "a BMP image" : "a binary file";
}

// Why the script could not be opened or read, as far as its name tells afterwards.
std::string scriptTrouble(const std::string& name) {
  if (name == "-") {
    return "";
  }
  const NameFacts facts = troubleReading(name);
  switch (facts.trouble) {
  case NameTrouble::missing:
    return "There is no file " + name + ".\n";
  case NameTrouble::folderMissing:
    return "There is no folder " + facts.folder + ".\n";
  case NameTrouble::isFolder:
    return name + " is a folder: give the script's own file.\n";
  case NameTrouble::noPermission:
    return "You may not read " + name + " (or search its folder): check the permissions.\n";
  case NameTrouble::isPipe:
  case NameTrouble::readOnly:
  case NameTrouble::unknown:
    break;
  }
  return "";
}

} // namespace

void ScriptReader::open(const std::string& name) {
  close();
  const bool dash = name == "-";
  bool isFolder = false;
  file.reset(dash ? openStandardInput() : openScriptFile(name, isFolder));
  if (!file) {
    // A folder is reported as where it opens: its first read fails.
    throw ScriptError(isFolder ? "Error reading file." : "Error opening file.",
                      scriptTrouble(name));
  }
  if (!readBuffer) {
    readBuffer = std::make_unique<char[]>(readBlockSize);
  }
  atScriptStart = true;
  kind = {};
  openedName = name;
  readsStandardInput = dash || tilegraft::isStandardInput(file.get());
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
  ended = false;
}

// Reads one physical line, up to and including its line feed or to the end of the file, into
// rawLine; false when the file has nothing more. A carriage return before the line feed stays in
// rawLine as read (text mode changes nothing here), so an error report shows the line unchanged.
bool ScriptReader::readPhysicalLine() {
  rawLine.clear();
  bool readAny = false;
  // A NUL byte ends what is kept of the line (which is then an error): the rest of the line is
  // read but not kept, so a line of NUL bytes takes no memory however long it is.
  bool textEnded = false;
  nulInLine = false;
  for (;;) {
    if (bufferPosition == bufferEnd) {
      if (ended) {
        return readAny;
      }
      bufferPosition = 0;
      const std::optional<std::size_t> got =
          readScriptBytes(file.get(), readBuffer.get(), readBlockSize);
      if (!got) {
        // No line caused this, so the script is closed first and the report shows no line.
        close();
        throw ScriptError("Error reading file.", scriptTrouble(openedName));
      }
      bufferEnd = *got;
      if (atScriptStart && lineNumber == 0 && !readAny) {
        kind = kindOfStart({readBuffer.get(), bufferEnd});
      }
      if (bufferEnd == 0) {
        ended = true;
        return readAny;
      }
    }
    const char* start = readBuffer.get() + bufferPosition;
    const std::size_t available = bufferEnd - bufferPosition;
    const void* lineFeed = std::memchr(start, '\n', available);
    const std::size_t taken =
        lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) + 1
                 : available;
    if (!textEnded) {
      const void* nul = std::memchr(start, '\0', taken);
      textEnded = nul != nullptr;
      nulInLine = textEnded;
      rawLine.append(start, textEnded
                                ? static_cast<std::size_t>(static_cast<const char*>(nul) - start)
                                : taken);
    }
    readAny = true;
    bufferPosition += taken;
    if (lineFeed) {
      return true;
    }
  }
}

bool ScriptReader::readLine() {
  while (readPhysicalLine()) {
    lineNumber = wrapAdd(lineNumber, 1);
    if (atScriptStart) {
      atScriptStart = false;
      if (rawLine.starts_with(byteOrderMark)) {
        rawLine.erase(0, byteOrderMark.size());
      }
    }
    if (nulInLine) {
      throw ScriptError("NUL byte in the line.",
                        "Byte " + std::to_string(rawLine.size() + 1) +
                            " of the line is a NUL (a zero byte): a script is plain text. No part "
                            "of the line is run, as a file name cut there would be another "
                            "file's.\n");
    }
    std::string_view text = rawLine;
    text = text.substr(0, text.find(commentMarker));
    while (!text.empty() && isEndTrimmed(text.back())) {
      text.remove_suffix(1);
    }
    while (!text.empty() && isBlank(text.front())) {
      text.remove_prefix(1);
    }
    workingLine.assign(text);
    if (!workingLine.empty()) {
      return true;
    }
  }
  return false;
}

std::string ScriptReader::nextToken(WordCase wordCase) {
  std::size_t wordEnd = 0;
  while (wordEnd < workingLine.size() && !isBlank(workingLine[wordEnd])) {
    ++wordEnd;
  }
  std::string word(workingLine, 0, wordEnd);
  std::size_t rest = wordEnd;
  while (rest < workingLine.size() && isBlank(workingLine[rest])) {
    ++rest;
  }
  workingLine.erase(0, rest);
  return wordCase == WordCase::lowered ? asciiLower(std::move(word)) : word;
}

} // namespace tilegraft
