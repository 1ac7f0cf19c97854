// A platform renewed in place (Platform::Renew, Notebook::Renew) boots as a
// newly built one: the fuzz targets run every input on one notebook, so any
// state that survived the renewal would make a finding depend on the inputs
// before it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bootctl/vars.h"
#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "sim/uefi/load_option.h"

namespace {

// Everything a run shows: the trace, the store, the counters, the devices.
struct Observed {
  std::vector<std::string> trace;
  std::vector<std::string> violations;
  std::vector<std::pair<std::u16string, std::vector<uint8_t>>> variables;
  uint64_t portReads = 0, mmioWrites = 0, varWrites = 0, nvWrites = 0, allocations = 0;
  uint64_t now = 0;
  size_t ecWrites = 0, cmosWrites = 0, fchAccesses = 0, postCodes = 0;
  std::vector<bool> resets;
};

// Sets up the same notebook on any platform: options, a pending request,
// the EC answering, a failure rule and a power cut armed.
void Configure(sim::Platform& platform, sim::Notebook& notebook) {
  platform.PutVariable(u"ZKChgBoot", BootControlVendorGuid, 7, {0x01, 0x01});
  std::vector<uint8_t> setup(512, 0);
  setup[92] = 1;
  platform.PutVariable(u"Setup", SetupVariableGuid, 7, setup);
  platform.PutVariable(u"BootOrder", EFI_GLOBAL_VARIABLE, 7, sim::Uint16List({0x0000, 0x0001}));
  platform.PutVariable(u"Boot0001", EFI_GLOBAL_VARIABLE, 7,
                       sim::BuildLoadOption(1, u"EFI USB Device", {sim::UsbNode(1, 0)}));
  platform.PutVariable(u"ZKOOBTest", OobTestVendorGuid, 7, {3});
  notebook.ec.registers[0x19] = 0;
  notebook.EnableImc(true);
  platform.FailService(sim::Service::GetVariable, 40, EFI_DEVICE_ERROR);
}

Observed Boot(sim::Platform& platform, sim::Notebook& notebook, sim::DriverImage& image) {
  Observed o;
  for (const sim::BootOutcome& b : platform.RunUntilNoReset(image, 6))
    o.resets.push_back(b.reset.has_value());
  for (const sim::TraceEvent& e : platform.trace) o.trace.push_back(std::to_string(e.boot) + " " + e.text);
  o.violations = platform.violations;
  for (const sim::Variable& v : platform.Variables()) o.variables.push_back({v.name, v.data});
  o.portReads = platform.counters.portReads;
  o.mmioWrites = platform.counters.mmioWrites;
  o.varWrites = platform.counters.varWrites;
  o.nvWrites = platform.counters.nvWrites;
  o.allocations = platform.counters.allocations;
  o.now = platform.clock.Now();
  o.ecWrites = notebook.ec.writes.size();
  o.cmosWrites = notebook.cmos.writes.size();
  o.fchAccesses = notebook.fch.accesses.size();
  o.postCodes = notebook.postCodes.codes.size();
  return o;
}

void ExpectSame(const Observed& renewed, const Observed& fresh) {
  EXPECT_EQ(renewed.trace, fresh.trace);
  EXPECT_EQ(renewed.violations, fresh.violations);
  EXPECT_EQ(renewed.variables, fresh.variables);
  EXPECT_EQ(renewed.resets, fresh.resets);
  EXPECT_EQ(renewed.portReads, fresh.portReads);
  EXPECT_EQ(renewed.mmioWrites, fresh.mmioWrites);
  EXPECT_EQ(renewed.varWrites, fresh.varWrites);
  EXPECT_EQ(renewed.nvWrites, fresh.nvWrites);
  EXPECT_EQ(renewed.allocations, fresh.allocations);
  EXPECT_EQ(renewed.now, fresh.now);
  EXPECT_EQ(renewed.ecWrites, fresh.ecWrites);
  EXPECT_EQ(renewed.cmosWrites, fresh.cmosWrites);
  EXPECT_EQ(renewed.fchAccesses, fresh.fchAccesses);
  EXPECT_EQ(renewed.postCodes, fresh.postCodes);
}

// Each row leaves the platform in some state no new platform has; after
// Renew the same notebook boots exactly as one built anew.
TEST(Renew, ARenewedNotebookBootsAsANewOne) {
  struct Row {
    const char* name;
    std::function<void(sim::Platform&, sim::Notebook&)> disturb;
  };
  const Row rows[] = {
      {"settings changed",
       [](sim::Platform& p, sim::Notebook& n) {
         p.bootMode = BOOT_IN_RECOVERY_MODE;
         p.bootManager = false;
         p.store.capacity = 0x400;
         p.store.writeProtected = true;
         p.resetReturns = true;
         p.spinLimit = 10;
         p.watchdogNs = 1000;
         p.tracePorts = true;
         p.recordTrace = false;
         p.smm.basePresent = true;
         p.hii.SetAllPresent(true);
         p.hii.watched = sim::LateInstall::BootStart;
         p.cpu.tsc = 77;
         p.clock.costs.portIo = 5;
         p.CutPowerAfterNvWrite(1);
         p.FailNthAllocation(2);
         p.FailService(sim::Service::SetVariable, 1, EFI_DEVICE_ERROR, true);
         p.AddGuidHob(sim::kHeapBufferHobGuid, {1, 2, 3});
         p.bootHooks.push_back(
             [](sim::Platform& q) { q.PutVariable(u"Extra", EFI_GLOBAL_VARIABLE, 7, {1}); });
         n.ec.behaviour.neverAnswers = true;
         n.ec.registers[0x19] = 1;
         n.cmos.bytes[0x61] = 5;
         n.imc.acknowledges = false;
         n.fch.bytes[0x10] = 0x55;
       }},
      {"boots run before",
       [](sim::Platform& p, sim::Notebook& n) {
         Configure(p, n);
         n.ec.behaviour.takeNs = 9000;
         n.ec.behaviour.staleOutput = 0x42;
         sim::DriverImage image(sim::DriverImage::DefaultPath());
         p.RunUntilNoReset(image, 4);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::DriverImage image(sim::DriverImage::DefaultPath());
    Observed renewed;
    {
      sim::Platform platform;
      sim::Notebook notebook{platform};
      row.disturb(platform, notebook);
      platform.Renew();
      notebook.Renew();
      Configure(platform, notebook);
      renewed = Boot(platform, notebook, image);
    }
    sim::Platform platform;
    sim::Notebook notebook{platform};
    Configure(platform, notebook);
    const Observed fresh = Boot(platform, notebook, image);
    // The request's mode 1 edits Setup and warm-resets, then a boot settles.
    ASSERT_EQ(fresh.resets, (std::vector<bool>{true, false}));
    ExpectSame(renewed, fresh);
  }
}

// The fuzz targets boot without recording the trace: the boot must be the
// same in everything else, violations included.
TEST(Renew, ABootWithoutTraceDiffersOnlyInTheTrace) {
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  sim::Platform traced;
  sim::Notebook tracedNotebook{traced};
  Configure(traced, tracedNotebook);
  const Observed withTrace = Boot(traced, tracedNotebook, image);

  sim::Platform quiet;
  sim::Notebook quietNotebook{quiet};
  quiet.recordTrace = false;
  Configure(quiet, quietNotebook);
  Observed withoutTrace = Boot(quiet, quietNotebook, image);

  EXPECT_FALSE(withTrace.trace.empty());
  EXPECT_TRUE(withoutTrace.trace.empty());
  withoutTrace.trace = withTrace.trace;
  ExpectSame(withoutTrace, withTrace);
  // Misuse is still recorded.
  quiet.RecordViolation("planted misuse");
  EXPECT_EQ(quiet.violations, (std::vector<std::string>{"planted misuse"}));
  EXPECT_TRUE(quiet.trace.empty());
}

}  // namespace
