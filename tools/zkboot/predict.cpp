#include "tools/zkboot/predict.h"

#include <algorithm>

#include "bootctl/chgboot.h"
#include "bootctl/vars.h"
#include "entry/driver.h"
#include "frame/helpers.h"
#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "support/pcd/pcd.h"
#include "support/timer/timer.h"
#include "tools/driver_state.h"

namespace zkboot {
namespace {

using sim::operator==;

constexpr uint8_t kCmosModeIndex = 0x61;

std::vector<VariableChange> Diff(const std::vector<sim::Variable>& before,
                                 const std::vector<sim::Variable>& after) {
  std::vector<VariableChange> changes;
  auto find = [](const std::vector<sim::Variable>& in, const sim::Variable& v) {
    return std::find_if(in.begin(), in.end(),
                        [&](const sim::Variable& o) { return o.name == v.name && o.guid == v.guid; });
  };
  for (const sim::Variable& v : after) {
    auto old = find(before, v);
    if (old == before.end()) {
      changes.push_back({sim::Utf16ToUtf8(v.name), v.guid, std::nullopt, v.data});
    } else if (old->data != v.data) {
      changes.push_back({sim::Utf16ToUtf8(v.name), v.guid, old->data, v.data});
    }
  }
  for (const sim::Variable& v : before) {
    if (find(after, v) == after.end())
      changes.push_back({sim::Utf16ToUtf8(v.name), v.guid, v.data, std::nullopt});
  }
  return changes;
}

}  // namespace

Prediction PredictBoots(const std::vector<EfiVariable>& store, unsigned maxBoots) {
  sim::Platform platform;
  sim::Notebook notebook{platform};
  for (const EfiVariable& v : store) {
    if (v.attributes & EFI_VARIABLE_NON_VOLATILE) {
      platform.PutVariable(sim::Utf8ToUtf16(v.name), v.guid, v.attributes, v.data);
    }
  }
  Prediction prediction;
  for (unsigned i = 0; i < maxBoots; i++) {
    platform.BeginBoot();
    ResetDriverModuleState();
    BootPrediction boot;
    boot.boot = i + 1;
    const unsigned number = platform.BootNumber();
    const std::vector<sim::Variable> before = platform.Variables();
    boot.reset = platform.RunGuarded([&] { DriverEntry(platform.ImageHandle(), platform.SystemTable()); });
    if (!boot.reset) {
      boot.endOfDxe = true;
      boot.reset = platform.RunGuarded([&] { platform.SignalEventGroup(sim::kEndOfDxeGroup); });
    }
    boot.changes = Diff(before, platform.Variables());
    for (const sim::Cmos::Write& w : notebook.cmos.writes) {
      if (w.boot == number && w.index == kCmosModeIndex) boot.cmos61 = w.value;
    }
    for (const sim::EmbeddedController::Write& w : notebook.ec.writes) {
      if (w.boot == number) boot.ecWrites.push_back({w.reg, w.value});
    }
    prediction.bootNextWritten = false;
    for (const sim::TraceEvent& e : platform.trace) {
      if (e.boot != number || e.kind != "SetVariable") continue;
      bool bootNext = false, succeeded = false;
      for (const auto& f : e.fields) {
        bootNext |= f.first == "name" && f.second == "BootNext";
        succeeded |= f.first == "status" && f.second == "EFI_SUCCESS";
      }
      if (bootNext && succeeded) prediction.bootNextWritten = true;
    }
    const bool endsHere = !boot.reset || *boot.reset == EfiResetShutdown;
    prediction.boots.push_back(std::move(boot));
    if (endsHere) {
      prediction.settled = true;
      break;
    }
  }
  if (const sim::Variable* next = platform.FindVariable(u"BootNext", EFI_GLOBAL_VARIABLE)) {
    if (next->data.size() == 2)
      prediction.bootNext = static_cast<uint16_t>(next->data[0] | next->data[1] << 8);
  }
  return prediction;
}

}  // namespace zkboot
