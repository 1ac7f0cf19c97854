// Whole-boot fault sweeps: a scenario is booted fault-free, then once for
// every single fault the platform can inject (each allocation, each variable
// read or write failing once or from then on, a power cut after each
// non-volatile write, the EC dying after each byte), booting again until the
// platform settles. Every case is checked against fixed invariants and
// compared with the fault-free run.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/platform.h"
#include "tools/simboot/scenario.h"

namespace sweep {

enum class FaultKind {
  None,
  Allocation,       // the k-th pool or page allocation fails
  GetVariableOnce,  // the k-th GetVariable call fails with EFI_DEVICE_ERROR
  GetVariableOn,    // ... and every later one
  SetVariableOnce,  // the k-th SetVariable call fails with EFI_DEVICE_ERROR
  SetVariableOn,    // ... and every later one
  PowerCut,         // the power goes right after the k-th non-volatile write
  EcDead,           // the EC takes k host bytes in each boot, then stops
};

struct Fault {
  FaultKind kind = FaultKind::None;
  uint64_t k = 0;
};
std::string FaultText(const Fault& fault);  // "GetVariable #5 from then on"

struct Limits {
  unsigned maxBoots = 8;         // boots before a run that still resets counts as a reset loop
  unsigned maxResetsInARow = 3;  // more resets without a boot that ends otherwise: a reset loop
};

// The persistent state a run leaves and how it ended.
struct EndState {
  std::map<std::pair<std::u16string, std::string>, sim::Variable>
      variables;  // non-volatile, by name and GUID
  std::array<uint8_t, 128> cmos{};
  std::array<uint8_t, 256> ec{};
  std::string ending;              // "completed", "shut down", "still resetting", "hung"
  std::optional<uint16_t> booted;  // the option the last boot booted
  size_t boots = 0;
};

// What the fault-free run did, as the sweep's ranges.
struct CallCounts {
  uint64_t allocations = 0;  // successful allocations over all boots
  uint64_t getVariable = 0;
  uint64_t setVariable = 0;
  uint64_t nvWrites = 0;
  uint64_t ecBytes = 0;  // most EC bytes written by the driver in one boot
};

struct CaseResult {
  Fault fault;
  bool reached = true;  // the fault fired (known for service failures and power cuts)
  std::vector<sim::BootOutcome> boots;
  EndState end;
  std::vector<std::string> breaches;     // invariants broken
  std::vector<std::string> lost;         // requests the fault lost
  std::vector<std::string> differences;  // persistent state differing from the fault-free run
};

struct ScenarioSweep {
  std::string name;
  CaseResult faultFree;
  CallCounts counts;
  std::vector<CaseResult> cases;
};

// Boots a fresh notebook of `scenario` with `fault` armed before the first
// boot, until a boot ends without a reset (a power cut does not count), at
// most limits.maxBoots, and checks the invariants of every boot.
CaseResult RunCase(const simboot::Scenario& scenario, sim::DriverImage& image, const Fault& fault,
                   const Limits& limits, CallCounts* counts = nullptr);

// The invariants of one run: no violation, no hang, no pool of a completed
// boot held beyond the published TSC-frequency record (`held` lists, per
// boot, the bytes held otherwise), no reset loop.
std::vector<std::string> CheckBoots(const std::vector<sim::BootOutcome>& boots,
                                    const std::vector<std::vector<uint64_t>>& held,
                                    const std::vector<std::string>& violations, const Limits& limits);

// Which requests of the initial state the case lost, and how its end state
// differs from the fault-free one.
void Compare(const simboot::Scenario& initial, const EndState& faultFree, CaseResult* result);

// Every fault in the ranges of the fault-free run: allocations and service
// calls 1 to count + 1, power cuts 1 to count, EC deaths after 0 to count
// bytes. `kinds` empty: all kinds.
std::vector<Fault> FaultsFor(const CallCounts& counts, const std::vector<FaultKind>& kinds = {});

ScenarioSweep SweepScenario(const simboot::Scenario& scenario, const std::string& name,
                            sim::DriverImage& image, const Limits& limits,
                            const std::vector<FaultKind>& kinds = {});

// One line per case, grouped per scenario, with totals per scenario and over
// all. `verbose`: also the cases whose end state equals the fault-free one.
std::string FormatSweep(const std::vector<ScenarioSweep>& sweeps, bool verbose);
bool AnyBreach(const std::vector<ScenarioSweep>& sweeps);

}  // namespace sweep
