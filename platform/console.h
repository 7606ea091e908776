#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tilegraft {

// The arguments after the program's name, in UTF-8 on every system.
std::vector<std::string> commandLineArguments(int argc, char* argv[]);

// Makes a closed standard descriptor (0, 1 or 2) lead to a harmless stand-in, so that no file the
// tool opens later takes its number and receives the console's text. Output to a stand-in fails,
// so the loss is still seen. Call before anything is opened.
void guardStandardStreams() noexcept;

// Makes a write to a pipe whose reader has gone fail (EPIPE) rather than end the process, so
// that the script runs on and the lost output is reported at its end. Only the default action is
// changed: an ignore or a handler chosen by whoever started the tool stays. A save's handlers
// (file_writer.h) take over only signals left at their default, so this one stays ignored
// through saves too, and a write there fails the same way. Call at start, before any output.
void ignoreBrokenPipes() noexcept;

// The longest answer line, its line feed included.
inline constexpr std::size_t answerLineLimit = 4096;

// Reads one line of standard input straight from its descriptor, a byte at a time, so that not
// one byte past the line end is taken from whatever comes next (another program sharing the
// input). Gives the line's first byte, or nothing when the input has ended or fails.
// A line longer than answerLineLimit is no answer: reading stops there, and this call and every
// later one give nothing without reading, as at the end of the input. Reading on to its line
// feed could last for ever (< /dev/zero); reading the next question's answer from its middle
// would take a stray byte for an answer.
std::optional<char> readAnswerLine();

// A stream of its own that reads standard input, for a script named "-"; null when it cannot be
// had.
std::FILE* openStandardInput();

// True when the open file is the very file that standard input reads.
bool isStandardInput(std::FILE* file);

// True when the stream is a terminal, where a person reads what is written; a pipe or a file
// gets the bytes as they are.
bool isTerminal(std::FILE* stream);

} // namespace tilegraft
