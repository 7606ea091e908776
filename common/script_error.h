#pragma once

#include <string>
#include <utility>

namespace tilegraft {

// The one failure report of the tool: a complete message, thrown by value wherever a failure is
// found and caught only by PatchScript::run.
class ScriptError {
public:
  explicit ScriptError(std::string text) : messageText(std::move(text)) {}

  const std::string& message() const { return messageText; }

private:
  std::string messageText;
};

} // namespace tilegraft
