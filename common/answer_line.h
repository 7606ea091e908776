#pragma once

#include <cstddef>
#include <optional>

namespace tilegraft {

// The longest answer line, its line feed included.
inline constexpr std::size_t answerLineLimit = 4096;

// Reads one answer line by readByte (a read of one byte, true when it got one), so that not one
// byte past the line end is taken from whatever comes next (another program sharing the input).
// Gives the line's first byte, or nothing when the input has ended or fails.
// A line longer than answerLineLimit is no answer: reading stops there, and this call and every
// later one give nothing without reading, as at the end of the input. Reading on to its line
// feed could last for ever (< /dev/zero); reading the next question's answer from its middle
// would take a stray byte for an answer.
template <typename ReadByte> std::optional<char> readAnswerLine(ReadByte readByte) {
  static bool inputAbandoned = false;
  std::optional<char> first;
  for (std::size_t taken = 0; !inputAbandoned && taken < answerLineLimit; ++taken) {
    char byte = 0;
    if (!readByte(byte)) {
      return first;
    }
    first = first.value_or(byte);
    if (byte == '\n') {
      return first;
    }
  }
  inputAbandoned = true;
  return std::nullopt;
}

} // namespace tilegraft
