// The scenario simboot runs without a scenario file: the ordinary boot of
// scenarios/ordinary-boot.json, built into the program.
#pragma once

namespace simboot {

extern const char kDefaultScenario[];
constexpr const char* kDefaultScenarioName = "ordinary-boot.json (built in)";

}  // namespace simboot
