// What a run of the simulated notebook did, as readable text and as JSON.
#pragma once

#include <string>
#include <vector>

#include "sim/platform.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace simboot {

struct RunReport {
  Scenario initial;
  Scenario final;
  std::vector<sim::BootOutcome> boots;
  // The platform's trace with a "BootEnd" event after each boot (fields:
  // reset, endedAt, entryStatus and, when the boot wrote it, bootNext).
  std::vector<sim::TraceEvent> events;
  std::vector<std::string> violations;
  std::vector<BootEndState> bootEnds;  // boot-scoped state at the end of each boot
  std::vector<PcdSpace> pcdValues;     // the PCD values as the last boot left them
};

RunReport MakeReport(const Scenario& initial, const NotebookRun& run,
                     const std::vector<sim::BootOutcome>& boots);

// Every boot's events: variable writes and deletes with their values and
// changes, CMOS, EC and IMC traffic, PCD writes, debug messages, post codes,
// resets and how each boot ended (with the TSC frequency it published). With
// `verbose`, also variable reads and every other event of the platform.
std::string FormatTrace(const RunReport& report, bool verbose);
// One line per boot, why the run stopped, and what changed in persistent state.
std::string FormatSummary(const RunReport& report);
// The state the run left: variables with decoded values, CMOS and EC
// registers, the PCD values and TSC frequency table of the last boot, the
// processor and the platform configuration.
std::string FormatState(const RunReport& report);
// The driver's firmware time in each boot, by kind of effect, as a table:
// microseconds with the number of effects of each kind.
std::string FormatCosts(const RunReport& report);
// The events as a JSON array: one object per event with "boot", "kind",
// "text" and the event's fields.
std::string TraceJson(const RunReport& report);

// A readable form of a variable's value: load options by description and
// node kinds, option lists as numbers, large records by their nonzero bytes.
std::string DescribeValue(const std::u16string& name, const EFI_GUID& guid, const std::vector<uint8_t>& data);

}  // namespace simboot
