#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tilegraft {

// The arguments after the program's name, in UTF-8 on every system.
std::vector<std::string> commandLineArguments(int argc, char* argv[]);

// Makes a closed standard descriptor lead to a stand-in (where output fails, as it did), so no
// file opened later takes its number. Call before anything is opened.
void guardStandardStreams() noexcept;

// Makes a write to a pipe whose reader has gone fail (EPIPE) rather than end the process, so
// that the script runs on and the lost output is reported at its end. Only the default action is
// changed: an ignore or a handler chosen by whoever started the tool stays. A save's handlers
// (file_writer.h) take over only signals left at their default, so this one stays ignored
// through saves too, and a write there fails the same way. Call at start, before any output.
void ignoreBrokenPipes() noexcept;

// Reads one answer line (common/answer_line.h) from standard input's descriptor, byte by byte.
std::optional<char> readAnswerLine();

// A stream of its own that reads standard input, for a script named "-"; null when there is none.
std::FILE* openStandardInput();

// True when the open file is the very file that standard input reads.
bool isStandardInput(std::FILE* file);

// True when the stream is a terminal, where a person reads what is written.
bool isTerminal(std::FILE* stream);

} // namespace tilegraft
