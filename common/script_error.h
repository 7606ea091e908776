#pragma once

#include <string>
#include <utility>

namespace tilegraft {

// The one failure report of the tool: a complete message, thrown by value wherever a failure is
// found and caught only by PatchScript::run. The explanation, empty or lines ending in a line
// feed, says why in the user's terms; only a check run shows it.
class ScriptError {
public:
  explicit ScriptError(std::string text, std::string why = {})
      : messageText(std::move(text)), explanationText(std::move(why)) {}

  const std::string& message() const { return messageText; }
  const std::string& explanation() const { return explanationText; }

private:
  std::string messageText;
  std::string explanationText;
};

} // namespace tilegraft
