// Whole runs of the shipped scenarios through the simboot library with the
// host driver image, and the report built from them.
#include <gtest/gtest.h>

#include <optional>

#include "bootctl/vars.h"
#include "sim/load_option.h"
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
  ASSERT_EQ(Var(end, u"BootNext", EFI_GLOBAL_VARIABLE), sim::Uint16List({0x0001}));
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
  };
  for (const ScenarioCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Ran r = RunScenario(Shipped(c.name));
    ASSERT_EQ(r.boots.size(), c.resets.size());
    for (size_t i = 0; i < c.resets.size(); ++i) EXPECT_EQ(r.boots[i].reset, c.resets[i]) << "boot " << i + 1;
    const simboot::Scenario& end = r.report.final;
    const std::optional<Bytes> next = Var(end, u"BootNext", EFI_GLOBAL_VARIABLE);
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
  for (const char* name : {"ordinary-boot", "factory-reset", "ec-not-answering", "oob-counter"}) {
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
