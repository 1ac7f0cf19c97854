// The message a scenario text is refused with, for the loader's tests.
#pragma once

#include <string>

#include "tools/simboot/scenario.h"

// "(no error)" when the text loads.
inline std::string ErrorOf(const std::string& text) {
  try {
    simboot::ParseScenario(text, "t.json");
  } catch (const simboot::ScenarioError& e) {
    return e.what();
  }
  return "(no error)";
}
