// A scenario: the state of the simulated notebook before a run (or after one,
// when written back), loaded from and saved to JSON.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/devices.h"
#include "sim/platform.h"

namespace simboot {

// A scenario file that cannot be used. what() is one line:
// "scenario.json: variables[2].data[5]: 300 is not a byte".
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Scenario {
  std::string description;
  uint32_t bootMode = 0;         // PI boot mode, BOOT_WITH_FULL_CONFIGURATION
  bool platformHook = false;     // platform hook protocol with a factory-reset hook
  bool purgeIdleMarker = false;  // purge-idle marker protocol installed each boot
  bool imcEnabled = false;
  bool imcAcknowledges = true;
  std::array<uint8_t, 128> cmos{};
  std::array<uint8_t, 256> ecRegisters{};
  sim::EmbeddedController::Behaviour ec;
  std::vector<sim::Variable> variables;  // in creation order
};

bool operator==(const Scenario& a, const Scenario& b);
inline bool operator!=(const Scenario& a, const Scenario& b) { return !(a == b); }

// `source` names the document in messages (usually the file path).
Scenario ParseScenario(const std::string& text, const std::string& source);
Scenario LoadScenarioFile(const std::string& path);

// The scenario in its most readable exact form: load options by description
// and node kinds, option lists as numbers, large records by their nonzero
// bytes. Parsing the text gives back an equal scenario.
std::string ScenarioToText(const Scenario& scenario);
void SaveScenarioFile(const Scenario& scenario, const std::string& path);  // ScenarioError on failure

// Vendor GUID aliases ("global", "lid-flag", ...) and PI boot mode names.
bool GuidFromText(const std::string& text, EFI_GUID* guid);
std::string GuidText(const EFI_GUID& guid);  // the alias if there is one, else the registry form
std::string BootModeText(uint32_t mode);     // the name if there is one, else the number

}  // namespace simboot
