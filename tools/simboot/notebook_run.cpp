#include "tools/simboot/notebook_run.h"

#include <cstring>

#include "bootctl/vars.h"
#include "entry/driver.h"
#include "support/debug/debug.h"
#include "support/timer/timer.h"

namespace simboot {
namespace {

// What the hook stand-in does; the hook takes no arguments, so the setting
// of the run in progress is kept here (one run at a time).
const PlatformHookSetting* gHookSetting = nullptr;

// The factory-reset hook of the platform hook protocol: the real one restores
// settings of other firmware components; this one returns the configured
// status and may delete a variable, as such a component might.
EFI_STATUS EFIAPI FactoryResetHookStandIn() {
  const PlatformHookSetting fallback;
  const PlatformHookSetting& setting = gHookSetting ? *gHookSetting : fallback;
  if (sim::Platform* platform = sim::Platform::Current()) {
    if (!setting.deletes.empty()) {
      platform->RemoveVariable(sim::Utf8ToUtf16(setting.deletes), setting.deletesGuid);
      platform->Trace("PlatformHook", "platform factory-reset hook deletes " + setting.deletes,
                      {{"deletes", setting.deletes}});
    }
    platform->Trace("PlatformHook", "platform factory-reset hook called",
                    {{"status", sim::StatusName(setting.status)}});
  }
  return setting.status;
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

  pcd.installed = scenario.pcdInstalled;
  for (const PcdSpace& space : scenario.pcd) {
    for (const sim::PcdDatabase::Token& t : space.tokens) {
      if (t.kind == sim::PcdDatabase::Kind::Ptr) {
        pcd.DeclarePtr(space.guid, t.number, t.bytes);
      } else {
        pcd.Declare(space.guid, t.number, t.kind, t.value);
      }
    }
  }
  debugConsole.installed = scenario.debugConsole;
  s3 = MakeS3Stand(scenario.s3, platform, pcd);

  platform.cpu.msrs = scenario.msrs;
  platform.cpu.pauseTicks = scenario.pauseTicks;
  const uint32_t extendedEax = scenario.cpuid80000001Eax;
  platform.cpu.cpuid = [extendedEax](uint32_t leaf, uint32_t regs[4]) {
    if (leaf == 0x80000001) regs[0] = extendedEax;
  };
  const uint16_t probeAnswer = scenario.postCodeProbe;
  platform.cpu.siProbe = [probeAnswer](uint32_t eax, uint32_t ebx) -> uint16_t {
    return eax == kMagicProbeEax && ebx == kMagicProbeEbx ? probeAnswer : 0;
  };

  platform.store = scenario.store;
  for (const FailureSetting& f : scenario.failures)
    platform.FailService(f.service, f.call, f.status, f.fromThenOn);
  platform.CutPowerAfterNvWrite(scenario.powerCutAfterNvWrite);
  platform.resetReturns = scenario.resetReturns;
  platform.bootManager = scenario.bootManager;
  ApplyPlatformServices(scenario, platform);
  if (scenario.platformHook) {
    gHookSetting = &scenario_.hook;
    const uint32_t length = scenario.hook.length;
    const uint64_t hook = reinterpret_cast<uint64_t>(&FactoryResetHookStandIn);
    std::memcpy(hookInterface_, &length, sizeof length);
    std::memcpy(hookInterface_ + kPlatformHookFactoryResetOffset, &hook, sizeof hook);
    platform.bootHooks.push_back([this](sim::Platform& p) {
      p.InstallProtocol(PlatformHookProtocolGuid, hookInterface_);
      p.Trace("Hook", "platform hook protocol installed");
    });
  }
  if (scenario.purgeIdleMarker) {
    const unsigned handles = scenario.purgeIdleMarker;
    platform.bootHooks.push_back([handles](sim::Platform& p) {
      for (unsigned i = 0; i < handles; ++i) p.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
      p.Trace("Hook", "purge-idle marker installed on " + std::to_string(handles) + " handle(s)");
    });
  }
  ApplyHiiScenario(scenario.hii, platform);
  flashAreas = HiiFlashAreas(scenario.hii);
  for (sim::FlashArea& a : flashAreas) a.Map(platform);
  ApplyFlashSetting(scenario.flash, scenario.cpuid80000001Eax, *this);
  if (!flashAreas.empty() && !(scenario.flash.present && scenario.flash.hasMap)) {
    // No map of the scenario's own: one that holds the areas alone, with
    // FlashBase at the start of a 4 MiB part at the top of the 4 GiB window.
    const uint64_t flashBase = 0xFFC00000;
    std::vector<sim::FdmEntrySpec> entries;
    for (const sim::FlashArea& a : flashAreas) entries.push_back(a.Entry(flashBase));
    areaMap = sim::BuildFlashDeviceMap(flashBase, entries);
    pcd.Declare(sim::kFdmTokenSpace, sim::kFdmAddressToken, sim::PcdDatabase::Kind::U64,
                reinterpret_cast<uintptr_t>(areaMap.data()));
  }
}

NotebookRun::~NotebookRun() {
  for (sim::FlashArea& a : flashAreas) a.Unmap(platform);
  if (gHookSetting == &scenario_.hook) gHookSetting = nullptr;
}

// The platform's boot loop, with a look at the configuration tables between
// boots: they are gone once the next boot begins.
std::vector<sim::BootOutcome> NotebookRun::Run(sim::DriverImage& image, unsigned maxBoots) {
  std::vector<sim::BootOutcome> outcomes;
  for (unsigned i = 0; i < maxBoots; ++i) {
    outcomes.push_back(platform.RunBoot(image));
    const sim::BootOutcome& last = outcomes.back();
    BootEndState end;
    end.boot = last.boot;
    end.cost = platform.cost;
    if (const void* table = platform.FindConfigTable(TscFrequencyGuid)) {
      end.tscPublished = true;
      std::memcpy(&end.tscHz, table, sizeof end.tscHz);
    }
    bootEnds.push_back(end);
    if (last.powerLost) continue;
    if (!last.reset || *last.reset == EfiResetShutdown) break;
  }
  return outcomes;
}

Scenario NotebookRun::State() const {
  Scenario state = scenario_;
  state.variables.clear();
  for (const sim::Variable& v : platform.Variables()) {
    if (v.attributes & EFI_VARIABLE_NON_VOLATILE) state.variables.push_back(v);
  }
  state.cmos = notebook.cmos.bytes;
  state.ecRegisters = notebook.ec.registers;
  state.msrs = platform.cpu.msrs;
  return state;
}

std::vector<PcdSpace> NotebookRun::PcdValues() const {
  std::vector<PcdSpace> values;
  for (const PcdSpace& declared : scenario_.pcd) {
    PcdSpace space{declared.guid, {}};
    for (const sim::PcdDatabase::Token& t : declared.tokens) {
      if (const sim::PcdDatabase::Token* now = pcd.Find(declared.guid, t.number))
        space.tokens.push_back(*now);
    }
    values.push_back(std::move(space));
  }
  return values;
}

}  // namespace simboot
