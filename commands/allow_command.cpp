#include "commands/number_scanner.h"
#include "common/script_error.h"
#include "engine/patch_script.h"

namespace tilegraft {

// "allow NAME" says that a warning is meant; "allow grid base|patch ACROSS DOWN" says so for a
// grid that holds exactly that many whole tiles, so that it holds no longer once the grid
// changes. Every run reads it; only check and strict runs act on it.
void PatchScript::allowCommand(const std::string& name) {
  const std::optional<Warning> warning = warningNamed(name);
  if (!warning) {
    throw ScriptError("Invalid argument: " + name,
                      "The warnings that allow takes are " + warningNames() + ".\n");
  }
  Allowance allowance{*warning};
  if (*warning == Warning::grid) {
    const std::string gridUse = "allow grid needs the bitmap, base or patch, then the whole "
                                "tiles its grid holds across and down.\n";
    const std::string role = nextToken(WordCase::lowered);
    if (role.empty()) {
      throw ScriptError("Missing arguments.", gridUse);
    }
    if (role != "base" && role != "patch") {
      throw ScriptError("Invalid argument: " + role, gridUse);
    }
    allowance.base = role == "base";
    NumberScanner numbers(workingLine);
    numbers.scanLong(allowance.across) && numbers.scanLong(allowance.down);
    if (numbers.assigned() < 2) {
      throw ScriptError("Missing arguments.", gridUse);
    }
    workingLine = numbers.unreadText();
  }
  if (!workingLine.empty()) {
    throw ScriptError("Invalid argument: " + workingLine,
                      "Nothing follows allow " + name +
                          (*warning == Warning::grid ? " and its bitmap and numbers" : "") + ".\n");
  }
  if (checks) {
    checks->allow(allowance);
  }
}

} // namespace tilegraft
