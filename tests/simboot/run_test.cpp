// Whole runs of the shipped scenarios through the simboot library with the
// host driver image, and the report built from them.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "bootctl/vars.h"
#include "sim/uefi/load_option.h"
#include "support/base/hw.h"
#include "support/debug/debug.h"
#include "support/pcd/pcd.h"
#include "tools/simboot/default_scenario.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/report.h"
#include "tools/simboot/scenario.h"

namespace {

using Bytes = std::vector<uint8_t>;

simboot::Scenario Shipped(const std::string& name) {
  return simboot::LoadScenarioFile(std::string(SCENARIO_DIR) + "/" + name + ".json");
}

std::optional<Bytes> Var(const simboot::Scenario& s, const std::u16string& name, const EFI_GUID& guid) {
  for (const sim::Variable& v : s.variables) {
    if (v.name == name && sim::GuidToString(v.guid) == sim::GuidToString(guid)) return v.data;
  }
  return std::nullopt;
}

struct Ran {
  std::vector<sim::BootOutcome> boots;
  simboot::RunReport report;
};

Ran RunScenario(const simboot::Scenario& s, unsigned maxBoots = 8) {
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  simboot::NotebookRun run(s);
  Ran r;
  r.boots = run.Run(image, maxBoots);
  r.report = simboot::MakeReport(s, run, r.boots);
  return r;
}

// The BootNext the driver wrote last in the run (the boot manager consumes
// the variable before the state is read back), from the trace.
std::optional<Bytes> BootNextWritten(const simboot::RunReport& report) {
  std::optional<Bytes> written;
  for (const sim::TraceEvent& e : report.events) {
    if (e.kind != "SetVariable") continue;
    std::map<std::string, std::string> f(e.fields.begin(), e.fields.end());
    if (f["name"] != "BootNext" || f["status"] != "EFI_SUCCESS") continue;
    Bytes bytes;
    for (size_t at = 0; at + 1 < f["data"].size(); at += 3) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(f["data"].substr(at, 2), nullptr, 16)));
    }
    written = bytes;
  }
  return written;
}

size_t CountEvents(const simboot::RunReport& report, const std::string& kind) {
  size_t n = 0;
  for (const sim::TraceEvent& e : report.events) n += e.kind == kind;
  return n;
}

TEST(DefaultRun, WarmResetThenLidFlagAndUsbBootNext) {
  const Ran r = RunScenario(simboot::ParseScenario(simboot::kDefaultScenario, "default"));
  ASSERT_EQ(r.boots.size(), 2u);
  EXPECT_EQ(r.boots[0].reset, EfiResetWarm);
  EXPECT_FALSE(r.boots[1].reset.has_value());
  const simboot::Scenario& end = r.report.final;
  EXPECT_EQ(end.ecRegisters[0x94], 0x01);
  ASSERT_EQ(BootNextWritten(r.report), sim::Uint16List({0x0001}));
  EXPECT_EQ(r.boots[1].booted, 0x0001) << "the boot manager boots the USB option";
  EXPECT_FALSE(Var(end, u"BootNext", EFI_GLOBAL_VARIABLE).has_value()) << "and consumes BootNext";
  const std::optional<Bytes> usb = Var(end, u"Boot0001", EFI_GLOBAL_VARIABLE);
  ASSERT_TRUE(usb.has_value());
  EXPECT_EQ(
      simboot::DescribeValue(u"Boot0001", EFI_GLOBAL_VARIABLE, *usb).rfind("load option \"EFI USB Device", 0),
      0u);

  // The trace shows the two boots in order, the lid flag in the second only.
  const std::string trace = simboot::FormatTrace(r.report, false);
  const size_t reset = trace.find("reset  EfiResetWarm");
  const size_t boot2 = trace.find("Boot 2");
  const size_t lid = trace.find("EC register 0x94 <- 0x01");
  const size_t next = trace.find("write  BootNext [global]: new 0001 = Boot0001 \"EFI USB Device");
  EXPECT_TRUE(reset < boot2 && boot2 < lid && lid < next) << trace;
}

struct ScenarioCase {
  const char* name;
  std::vector<std::optional<EFI_RESET_TYPE>> resets;  // how each boot ended
  std::optional<uint16_t> bootNext;
  uint8_t cmos61;
  std::vector<std::pair<uint8_t, uint8_t>> ec;  // register, value at the end
  std::vector<std::tuple<std::u16string, EFI_GUID, std::optional<Bytes>>> vars;
};

TEST(ShippedScenarios, EndAsDescribed) {
  const std::nullopt_t none = std::nullopt;
  const ScenarioCase cases[] = {
      {"ordinary-boot",
       {EfiResetWarm, none},
       0x0001,
       1,
       {{0x94, 1}, {0x16, 1}},
       {{u"ZKChgBoot", BootControlVendorGuid, Bytes{0x00, 0x81}},
        {u"ZKSaveLidFlag", LidFlagVendorGuid, none}}},
      {"factory-reset",
       {EfiResetCold, none},
       none,
       4,
       {},
       {{u"ZKChgBoot", BootControlVendorGuid, none},
        {u"Setup", SetupVariableGuid, none},
        {u"BootOrder", EFI_GLOBAL_VARIABLE, none},
        {u"PhysicalBootOrder", PhysicalBootOrderGuid, none},
        {u"Boot0003", EFI_GLOBAL_VARIABLE, none},
        {u"ZKFirstBoot", BootControlVendorGuid, Bytes{0x00}}}},
      {"pxe", {none}, 0x0002, 2, {}, {{u"ZKChgBoot", BootControlVendorGuid, Bytes{0x00, 0x82}}}},
      {"hard-drive",
       {EfiResetWarm, none},
       0x0000,
       3,
       {},
       {{u"ZKChgBoot", BootControlVendorGuid, Bytes{0x00, 0x83}}}},
      {"ec-power-off",
       {EfiResetShutdown},
       none,
       0,
       {{0x19, 0}, {0x16, 2}},
       {{u"ZKChgKey", ChgKeyVendorGuid, Bytes{0x81}}, {u"ZKOOBTest", OobTestVendorGuid, Bytes{0x02}}}},
      {"ec-not-answering",
       {none},
       none,
       0,
       {{0x94, 0}, {0x16, 2}},
       {{u"ZKSaveLidFlag", LidFlagVendorGuid, none}, {u"ZKOOBTest", OobTestVendorGuid, Bytes{0x01}}}},
      {"oob-counter", {none}, 0x2001, 0, {{0x16, 2}}, {{u"ZKOOBTest", OobTestVendorGuid, Bytes{0x02}}}},
      {"write-protected-store",
       {none},
       none,
       1,
       {{0x94, 1}, {0x16, 1}},
       {{u"ZKChgBoot", BootControlVendorGuid, Bytes{0x01, 0x81}},
        {u"ZKSaveLidFlag", LidFlagVendorGuid, Bytes{0x01}}}},
      {"slow-ec",
       {EfiResetWarm, none},
       0x0001,
       1,
       {{0x94, 1}, {0x16, 1}},
       {{u"ZKChgBoot", BootControlVendorGuid, Bytes{0x00, 0x81}},
        {u"ZKSaveLidFlag", LidFlagVendorGuid, none}}},
      {"platform-services",
       {none},
       none,
       0,
       {{0x16, 1}},
       {{u"ZKFirstBoot", BootControlVendorGuid, Bytes{0x00}}}},
  };
  for (const ScenarioCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Ran r = RunScenario(Shipped(c.name));
    ASSERT_EQ(r.boots.size(), c.resets.size());
    for (size_t i = 0; i < c.resets.size(); ++i) EXPECT_EQ(r.boots[i].reset, c.resets[i]) << "boot " << i + 1;
    const simboot::Scenario& end = r.report.final;
    const std::optional<Bytes> next = BootNextWritten(r.report);
    EXPECT_EQ(next, c.bootNext ? std::optional<Bytes>(sim::Uint16List({*c.bootNext})) : std::nullopt);
    EXPECT_EQ(end.cmos[0x61], c.cmos61);
    for (const auto& [reg, value] : c.ec)
      EXPECT_EQ(end.ecRegisters[reg], value) << "EC register " << int(reg);
    for (const auto& [name, guid, data] : c.vars)
      EXPECT_EQ(Var(end, name, guid), data) << sim::Utf16ToUtf8(name);
    EXPECT_TRUE(r.report.violations.empty());
    EXPECT_EQ(CountEvents(r.report, "BootEnd"), r.boots.size());
  }
}

TEST(ShippedScenarios, SetUpStateReadsBackUnchanged) {
  for (const char* name :
       {"ordinary-boot", "factory-reset", "ec-not-answering", "oob-counter", "platform-services"}) {
    const simboot::Scenario s = Shipped(name);
    simboot::NotebookRun run(s);
    EXPECT_TRUE(run.State() == s) << name;
  }
}

// Chained runs through written state: the out-of-box counter counts down from
// 3 over successive runs, and the EC hears 2 while test boots remain.
TEST(ChainedRuns, OobCounterCountsDown) {
  const std::optional<Bytes> counters[] = {Bytes{0x02}, Bytes{0x01}, std::nullopt, std::nullopt};
  const uint8_t ecValues[] = {2, 2, 1, 1};
  simboot::Scenario state = Shipped("oob-counter");
  for (size_t i = 0; i < 4; ++i) {
    const Ran r = RunScenario(state);
    state = simboot::ParseScenario(simboot::ScenarioToText(r.report.final), "state");
    EXPECT_EQ(Var(state, u"ZKOOBTest", OobTestVendorGuid), counters[i]) << "run " << i + 1;
    EXPECT_EQ(state.ecRegisters[0x16], ecValues[i]) << "run " << i + 1;
  }
}

TEST(StandIns, HookAndMarkerAreFoundByTheDriver) {
  for (const bool installed : {false, true}) {
    simboot::Scenario s = Shipped("factory-reset");
    s.platformHook = installed;
    s.purgeIdleMarker = installed;
    sim::DriverImage image(sim::DriverImage::DefaultPath());
    simboot::NotebookRun run(s);
    const std::vector<sim::BootOutcome> boots = run.Run(image, 8);
    const simboot::RunReport report = simboot::MakeReport(s, run, boots);
    EXPECT_EQ(CountEvents(report, "PlatformHook"), installed ? 1u : 0u);
    EXPECT_EQ(run.platform.ProtocolCount(PurgeIdleMarkerGuid), installed ? 1u : 0u);
    EXPECT_EQ(run.platform.ProtocolCount(PurgeBusyMarkerGuid), 0u);
    ASSERT_FALSE(boots.empty());
    EXPECT_EQ(boots[0].reset, EfiResetCold) << "the purge runs with or without them";
  }
}

TEST(Report, ReadsOnlyWhenVerbose) {
  const Ran r = RunScenario(Shipped("pxe"));
  const std::string quiet = simboot::FormatTrace(r.report, false);
  const std::string verbose = simboot::FormatTrace(r.report, true);
  EXPECT_EQ(quiet.find("read "), std::string::npos) << quiet;
  EXPECT_NE(verbose.find("read   ZKChgBoot [boot-control]: 01 82"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("read   ZKOOBTest [oob-test]: EFI_NOT_FOUND"), std::string::npos) << verbose;
  EXPECT_NE(quiet.find("write  ZKChgBoot [boot-control]: 01 82 -> 00 82"), std::string::npos) << quiet;
}

TEST(Report, SummaryNamesWhyTheRunStopped) {
  const std::pair<const char*, const char*> cases[] = {
      {"ec-power-off", "stopped: the machine is off"},
      {"pxe", "stopped: the last boot ended without a reset"},
  };
  for (const auto& [name, line] : cases) {
    EXPECT_NE(simboot::FormatSummary(RunScenario(Shipped(name)).report).find(line), std::string::npos)
        << name;
  }
  const std::string cut = simboot::FormatSummary(RunScenario(Shipped("ordinary-boot"), 1).report);
  EXPECT_NE(cut.find("stopped: still resetting after 1 boot (the most allowed)"), std::string::npos) << cut;
}

TEST(Report, JsonTraceHasOneObjectPerEvent) {
  const Ran r = RunScenario(Shipped("ordinary-boot"));
  const simboot::Json events = simboot::Json::parse(simboot::TraceJson(r.report));
  ASSERT_TRUE(events.is_array());
  ASSERT_EQ(events.size(), r.report.events.size());
  std::vector<std::string> seen;
  for (const simboot::Json& e : events) {
    ASSERT_TRUE(e["boot"].is_number() && e["kind"].is_string() && e["text"].is_string()) << e.dump();
    if (e["kind"] == "CmosWrite")
      seen.push_back("boot " + e["boot"].dump() + " cmos " + e["index"].get<std::string>());
    if (e["kind"] == "EcWrite")
      seen.push_back("boot " + e["boot"].dump() + " ec " + e["register"].get<std::string>());
    if (e["kind"] == "BootEnd")
      seen.push_back("boot " + e["boot"].dump() + " end " + e["reset"].get<std::string>());
  }
  const std::vector<std::string> expected = {"boot 1 cmos 97", "boot 1 end warm", "boot 2 ec 148",
                                             "boot 2 ec 22", "boot 2 end none"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(events.back()["bootNext"], "0x0001");
}

TEST(Report, DescribesValuesByWhatTheyHold) {
  Bytes setup(512, 0);
  setup[92] = 1;
  const std::tuple<std::u16string, EFI_GUID, Bytes, const char*> cases[] = {
      {u"Boot0001", EFI_GLOBAL_VARIABLE,
       sim::BuildLoadOption(0, u"EFI USB Device", {sim::PciNode(1, 0), sim::UsbNode(1, 0)}),
       "load option \"EFI USB Device\" via pci/usb, inactive"},
      {u"Boot0001", BootControlVendorGuid, Bytes{0x01, 0x02}, "01 02"},
      {u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x2001}), "0000 2001"},
      {u"PhysicalBootOrder", PhysicalBootOrderGuid, sim::Uint16List({0x0003}), "0003"},
      {u"Setup", SetupVariableGuid, setup, "512 bytes, nonzero [92]=01"},
      {u"Setup", SetupVariableGuid, Bytes(20, 0), "20 bytes, all zero"},
      {u"Setup", SetupVariableGuid, Bytes(26, 1),
       "26 bytes, nonzero [0]=01 [1]=01 [2]=01 [3]=01 [4]=01 [5]=01 [6]=01 [7]=01 and 18 more"},
  };
  for (const auto& [name, guid, data, text] : cases) {
    EXPECT_EQ(simboot::DescribeValue(name, guid, data), text) << sim::Utf16ToUtf8(name);
  }
}

}  // namespace

namespace {

constexpr EFI_GUID kFlashDeviceSpace = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
constexpr uint64_t kSelectorToken = 0x20000001;
constexpr uint64_t kGenericToken = 0x12345678;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(PlatformServices, PublishesTheTscFrequencyAndShowsIt) {
  const Ran r = RunScenario(Shipped("platform-services"));
  ASSERT_EQ(r.report.bootEnds.size(), 1u);
  EXPECT_TRUE(r.report.bootEnds[0].tscPublished);
  EXPECT_EQ(r.report.bootEnds[0].tscHz, 3500000000u);

  const std::string summary = simboot::FormatSummary(r.report);
  EXPECT_TRUE(
      Has(summary,
          "boot 1: completed; DriverEntry returned EFI_SUCCESS; booted Boot0000 \"Windows Boot Manager\"; "
          "BootNext not written; "
          "TSC 3500000000 Hz published\n"))
      << summary;
  const std::string state = simboot::FormatState(r.report);
  for (const char* line :
       {"  TSC frequency table: 3500000000 Hz\n",
        "  P-states: current P0; P0 3500 MHz (FID 0x8C DID 8), P1 2800 MHz (FID 0x70 DID 8), P2 1400 MHz "
        "(FID "
        "0x54 DID 12)\n",
        "  CPU: MSRs 0xC0010058=0xF8000021; CPUID 0x80000001 EAX 0x00860F01; post-code probe silent; PAUSE "
        "100 "
        "TSC ticks\n",
        "  PCD (protocol installed; values at the end of the last boot):\n    flash-device\n      0x12345678 "
        "ptr "
        "03 00 00 00 78 56 34 12 00 00 00 00 00 01 00 01\n      0x20000001 u32 0x12345678 (declared "
        "0x00000000)\n"}) {
    EXPECT_TRUE(Has(state, line)) << line << "\n" << state;
  }
  const simboot::Json events = simboot::Json::parse(simboot::TraceJson(r.report));
  EXPECT_EQ(events.back()["kind"], "BootEnd");
  EXPECT_EQ(events.back()["tscHz"], "3500000000");

  const std::string plain = simboot::FormatState(RunScenario(Shipped("pxe")).report);
  EXPECT_FALSE(Has(plain, "PCD (")) << "no PCD section without PCDs\n" << plain;
  EXPECT_TRUE(Has(plain, "  TSC frequency table: not published\n")) << plain;
}

struct TscCase {
  const char* cpu;
  std::vector<uint64_t> published;  // Hz per boot, 0 for none
};

// The frequency each boot publishes follows the current P-state of the
// scenario's registers, and every boot publishes it again after a reset.
TEST(PlatformServices, TscFrequencyFollowsTheCurrentPstate) {
  const TscCase cases[] = {
      {R"({"pstate": {"current": 0, "definitions": [{"fid": "0x8C", "did": 8}, {"fid": "0x54", "did": 12}]}})",
       {3500000000, 3500000000}},
      {R"({"pstate": {"current": 1, "definitions": [{"fid": "0x8C", "did": 8}, {"fid": "0x54", "did": 12}]}})",
       {1400000000, 1400000000}},
      {R"({"pstate": {"current": 0, "definitions": [{"fid": "0x64", "did": 12}]}})",
       {1700000000, 1700000000}},
      {R"({"msrs": {"0xC0010063": 2, "0xC0010066": "0x800000000000088C"}})", {3500000000, 3500000000}},
      {R"({"pstate": {"current": 0, "definitions": [{"fid": "0x8C", "did": 0}]}})", {0, 0}},
      {"{}", {0, 0}},
  };
  for (const TscCase& c : cases) {
    SCOPED_TRACE(c.cpu);
    simboot::Scenario s = Shipped("ordinary-boot");
    s.msrs = simboot::ParseScenario(std::string(R"({"cpu": )") + c.cpu + "}", "cpu").msrs;
    const Ran r = RunScenario(s);
    ASSERT_EQ(r.report.bootEnds.size(), c.published.size());
    for (size_t i = 0; i < c.published.size(); ++i) {
      EXPECT_EQ(r.report.bootEnds[i].boot, i + 1);
      EXPECT_EQ(r.report.bootEnds[i].tscPublished, c.published[i] != 0) << "boot " << i + 1;
      EXPECT_EQ(r.report.bootEnds[i].tscHz, c.published[i]) << "boot " << i + 1;
    }
    const std::string shown =
        c.published.back() ? std::to_string(c.published.back()) + " Hz" : "not published";
    EXPECT_TRUE(Has(simboot::FormatState(r.report), "TSC frequency table: " + shown + "\n"));
    const std::string summary = simboot::FormatSummary(r.report);
    EXPECT_EQ(Has(summary, "boot 1: warm reset during DriverEntry; TSC "), c.published[0] != 0) << summary;
  }
}

// Written state carries the PCD declarations and the processor into the next
// run, which publishes the same frequency.
TEST(ChainedRuns, PlatformServicesRunAgainFromWrittenState) {
  const simboot::Scenario original = Shipped("platform-services");
  simboot::Scenario state = original;
  for (int run = 1; run <= 2; ++run) {
    const Ran r = RunScenario(state);
    ASSERT_FALSE(r.report.bootEnds.empty());
    EXPECT_EQ(r.report.bootEnds.back().tscHz, 3500000000u) << "run " << run;
    state = simboot::ParseScenario(simboot::ScenarioToText(r.report.final), "state");
    simboot::Scenario expected = state;
    expected.pcd = original.pcd;
    expected.msrs = original.msrs;
    expected.pcdInstalled = original.pcdInstalled;
    expected.debugConsole = original.debugConsole;
    expected.cpuid80000001Eax = original.cpuid80000001Eax;
    EXPECT_TRUE(state == expected) << "run " << run << "\n" << simboot::ScenarioToText(state);
  }
}

struct ProcessorCase {
  const char* what;
  uint64_t got;
  uint64_t expected;
};

TEST(StandIns, ProcessorAnswersAsTheScenarioSays) {
  const simboot::Scenario s = simboot::ParseScenario(R"({"cpu": {
      "pstate": {"current": 1, "definitions": [{"fid": "0x8C", "did": 8}, {"fid": "0x70", "did": 8}]},
      "msrs": {"0xC0010058": "0xF8000021"}, "cpuid80000001Eax": "0x00860F01", "postCodeProbe": "0x5A5A",
      "pauseTicks": 37}})",
                                                     "cpu");
  simboot::NotebookRun run(s);
  run.platform.BeginBoot();
  uint32_t extended[4], other[4];
  CpuidLeaf(0x80000001, extended);
  CpuidLeaf(0x80000000, other);
  const uint64_t before = run.platform.cpu.tsc;
  SpinPause();
  const ProcessorCase cases[] = {
      {"P-state status", ReadMsr(0xC0010063), 1},
      {"P0 definition", ReadMsr(0xC0010064), 0x088C},
      {"P1 definition", ReadMsr(0xC0010065), 0x0870},
      {"undeclared P-state definition", ReadMsr(0xC0010066), 0},
      {"PCI Express window", ReadMsr(0xC0010058), 0xF8000021},
      {"CPUID 0x80000001 EAX", extended[0], 0x00860F01},
      {"CPUID 0x80000001 EBX", extended[1], 0},
      {"CPUID 0x80000000 EAX", other[0], 0},
      {"magic probe", CpuidSiProbe(kMagicProbeEax, kMagicProbeEbx), 0x5A5A},
      {"probe with another EBX", CpuidSiProbe(kMagicProbeEax, kMagicProbeEbx + 1), 0},
      {"probe with another EAX", CpuidSiProbe(0, kMagicProbeEbx), 0},
      {"PAUSE", run.platform.cpu.tsc - before, 37},
  };
  for (const ProcessorCase& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
}

TEST(StandIns, PcdAndDebugProducersAreInstalledAsDeclared) {
  for (const bool installed : {false, true}) {
    simboot::Scenario s = Shipped("platform-services");
    s.pcdInstalled = installed;
    s.debugConsole = installed;
    simboot::NotebookRun run(s);
    run.platform.BeginBoot();
    EXPECT_EQ(run.platform.ProtocolCount(EFI_PCD_PROTOCOL_GUID), installed ? 1u : 0u);
    EXPECT_EQ(run.platform.ProtocolCount(DebugMessageProtocolGuid), installed ? 1u : 0u);
    const std::string state = simboot::FormatState(simboot::MakeReport(s, run, {}));
    EXPECT_TRUE(Has(state, installed ? "\n  PCD (protocol installed;" : "\n  PCD (protocol not installed;"))
        << state;
    EXPECT_TRUE(Has(state, installed ? "debug console installed; PCD protocol installed\n"
                                     : "debug console absent; PCD protocol absent\n"))
        << state;
  }
}

// What the driver does through the services during a boot, made here by
// calling the producers directly: the driver itself writes no PCD yet.
TEST(Report, ShowsPcdWritesDebugMessagesAndPostCodes) {
  const simboot::Scenario s = Shipped("platform-services");
  simboot::NotebookRun run(s);
  run.platform.BeginBoot();
  auto* pcd = static_cast<EFI_PCD_PROTOCOL*>(run.platform.LocateProtocolInterface(EFI_PCD_PROTOCOL_GUID));
  auto* debug =
      static_cast<DEBUG_MESSAGE_PROTOCOL*>(run.platform.LocateProtocolInterface(DebugMessageProtocolGuid));
  ASSERT_TRUE(pcd != nullptr && debug != nullptr);
  EXPECT_EQ(pcd->Set32(&kFlashDeviceSpace, kSelectorToken, 0x12345678), EFI_SUCCESS);
  uint8_t entry[2] = {0xAA, 0xBB};
  UINTN size = sizeof entry;
  EXPECT_EQ(pcd->SetPtr(&kFlashDeviceSpace, kGenericToken, &size, entry), EFI_SUCCESS);
  EXPECT_EQ(pcd->Set32(&kFlashDeviceSpace, 0x99, 1), EFI_NOT_FOUND) << "an undeclared token";
  const uint64_t slots[] = {reinterpret_cast<uint64_t>("SPI"), 0xFF000000};
  EXPECT_EQ(debug->Message(kDebugErrorLevel, "Flash %a at 0x%lx\n", slots), EFI_SUCCESS);
  PortOut16(0xE0, 0xDEAD);
  PortOut32(0x80, 0xC1);
  sim::BootOutcome outcome;
  outcome.boot = 1;
  outcome.entryReturned = true;
  const simboot::RunReport report = simboot::MakeReport(s, run, {outcome});

  const std::vector<std::string> lines = {"     pcd    flash-device 0x20000001 <- 0x12345678\n",
                                          "     pcd    flash-device 0x12345678 <- AA BB\n",
                                          "     debug  Flash SPI at 0xFF000000\n",
                                          "     post   0xE0 <- 0xDEAD\n", "     post   0x80 <- 0x000000C1\n"};
  for (const bool verbose : {false, true}) {
    const std::string trace = simboot::FormatTrace(report, verbose);
    size_t at = 0;
    for (const std::string& line : lines) {
      const size_t found = trace.find(line, at);
      EXPECT_NE(found, std::string::npos) << (verbose ? "verbose: " : "default: ") << line << trace;
      if (found != std::string::npos) at = found;
    }
  }
  EXPECT_EQ(CountEvents(report, "PcdSet"), 2u);
  const std::string state = simboot::FormatState(report);
  EXPECT_TRUE(
      Has(state, "      0x12345678 ptr AA BB (declared 03 00 00 00 78 56 34 12 00 00 00 00 00 01 00 01)\n"))
      << state;
  EXPECT_TRUE(Has(state, "      0x20000001 u32 0x12345678 (declared 0x00000000)\n")) << state;
  EXPECT_TRUE(Has(state, "      0x30000017 u64 0x0000000000000000\n")) << state;
  EXPECT_TRUE(report.final == s) << "the driver's PCD writes last only for the boot";

  const simboot::Json events = simboot::Json::parse(simboot::TraceJson(report));
  std::vector<std::string> kinds;
  for (const simboot::Json& e : events) {
    if (e["kind"] == "PcdSet") kinds.push_back("pcd " + e["token"].get<std::string>());
    if (e["kind"] == "Debug") kinds.push_back("debug " + e["message"].get<std::string>());
    if (e["kind"] == "PostCode") kinds.push_back("post " + e["value"].get<std::string>());
  }
  const std::vector<std::string> expected = {"pcd 536870913", "pcd 305419896",
                                             "debug Flash SPI at 0xFF000000", "post 57005", "post 193"};
  EXPECT_EQ(kinds, expected);
}

}  // namespace
