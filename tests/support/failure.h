#pragma once

#include "common/script_error.h"

#include <string>

namespace tilegraft::testing {

// The message of the ScriptError that the action throws; empty when it throws none.
template <typename Action> std::string messageOf(const Action& action) {
  try {
    action();
  } catch (const ScriptError& error) {
    return error.message();
  }
  return "";
}

} // namespace tilegraft::testing
