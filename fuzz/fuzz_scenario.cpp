// Scenario documents through the simboot loader.
//
// Input: the document text.
//
// Oracle: the loader either returns a scenario or raises its one-line error
// (ScenarioError, no line break in the message); a loaded scenario written
// back as text loads again to an equal scenario, and writing that gives the
// same text.
#include <string>

#include "fuzz/harness.h"
#include "tools/simboot/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  simboot::Scenario scenario;
  try {
    scenario = simboot::ParseScenario(text, "fuzz.json");
  } catch (const simboot::ScenarioError& e) {
    fuzz::Check(std::string(e.what()).find('\n') == std::string::npos, "an error message of several lines");
    return 0;
  }
  const std::string written = simboot::ScenarioToText(scenario);
  simboot::Scenario again;
  try {
    again = simboot::ParseScenario(written, "written.json");
  } catch (const simboot::ScenarioError& e) {
    fuzz::Fail(std::string("a written scenario does not load: ") + e.what());
  }
  fuzz::Check(again == scenario, "a written scenario loads as another scenario");
  fuzz::Check(simboot::ScenarioToText(again) == written, "writing a reloaded scenario gives other text");
  return 0;
}
