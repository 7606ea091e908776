#pragma once

#include <string>

namespace tilegraft {

// Case folding of the script language: only A to Z change, whatever the locale and byte value.
constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string asciiLower(std::string text) {
  for (char& c : text) {
    c = asciiLower(c);
  }
  return text;
}

} // namespace tilegraft
