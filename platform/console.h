#pragma once

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

// Reads one line of standard input straight from its descriptor, a byte at a time, so that not
// one byte past the line end is taken from whatever comes next (another program sharing the
// input). Gives the line's first byte, or nothing when the input has ended or fails.
std::optional<char> readAnswerLine();

// A stream of its own that reads standard input, for a script named "-"; null when it cannot be
// had.
std::FILE* openStandardInput();

// True when the open file is the very file that standard input reads.
bool isStandardInput(std::FILE* file);

} // namespace tilegraft
