#pragma once

#include <string>
#include <string_view>

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

// True when text ends in suffix (lower case), in either case: a file name's extension.
inline bool endsInIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         asciiLower(std::string(text.substr(text.size() - suffix.size()))) == suffix;
}

} // namespace tilegraft
