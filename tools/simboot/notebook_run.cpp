#include "tools/simboot/notebook_run.h"

#include <cstring>

#include "bootctl/vars.h"
#include "frame/driver.h"

namespace simboot {
namespace {

// The factory-reset hook of the platform hook protocol: the real one restores
// settings of other firmware components; this one only leaves a trace.
EFI_STATUS EFIAPI FactoryResetHookStandIn() {
  if (sim::Platform* platform = sim::Platform::Current()) {
    platform->Trace("PlatformHook", "platform factory-reset hook called", {{"status", "EFI_SUCCESS"}});
  }
  return EFI_SUCCESS;
}

}  // namespace

NotebookRun::NotebookRun(const Scenario& scenario) : scenario_(scenario) {
  for (const sim::Variable& v : scenario.variables)
    platform.PutVariable(v.name, v.guid, v.attributes, v.data);
  platform.bootMode = scenario.bootMode;
  notebook.cmos.bytes = scenario.cmos;
  notebook.ec.registers = scenario.ecRegisters;
  notebook.ec.behaviour = scenario.ec;
  notebook.EnableImc(scenario.imcEnabled);
  notebook.imc.acknowledges = scenario.imcAcknowledges;

  if (scenario.platformHook) {
    const uint32_t length = kPlatformHookInterfaceSize;
    const uint64_t hook = reinterpret_cast<uint64_t>(&FactoryResetHookStandIn);
    std::memcpy(hookInterface_, &length, sizeof length);
    std::memcpy(hookInterface_ + kPlatformHookFactoryResetOffset, &hook, sizeof hook);
    platform.bootHooks.push_back([this](sim::Platform& p) {
      p.InstallProtocol(PlatformHookProtocolGuid, hookInterface_);
      p.Trace("Hook", "platform hook protocol installed");
    });
  }
  if (scenario.purgeIdleMarker) {
    platform.bootHooks.push_back([](sim::Platform& p) {
      p.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
      p.Trace("Hook", "purge-idle marker installed");
    });
  }
}

std::vector<sim::BootOutcome> NotebookRun::Run(sim::DriverImage& image, unsigned maxBoots) {
  return platform.RunUntilNoReset(image, maxBoots);
}

Scenario NotebookRun::State() const {
  Scenario state = scenario_;
  state.variables.clear();
  for (const sim::Variable& v : platform.Variables()) {
    if (v.attributes & EFI_VARIABLE_NON_VOLATILE) state.variables.push_back(v);
  }
  state.cmos = notebook.cmos.bytes;
  state.ecRegisters = notebook.ec.registers;
  return state;
}

}  // namespace simboot
