// The scenario's "flash" section: what it builds into the notebook, its
// one-line errors, and that a written state reads back identical.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "support/base/hw.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/report.h"
#include "tools/simboot/scenario.h"

namespace {

constexpr EFI_GUID kDeviceSpace = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
constexpr EFI_GUID kFdmSpace = {0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};

const char* const kFull = R"({"flash": {
  "spiPart": "MX25L1606E", "sciEn": true, "processorSignature": "0x00A20F10", "lockWindow": "0xFD000001",
  "peer": {"mode": "holds", "holdNs": 7000},
  "devices": [{"token": 5, "kind": 3, "deviceId": "0x001520C2", "sizeFactors": [32, 256],
               "params": "00 00 00 00 9F 20", "info1": "01 02"},
              {"token": 7, "kind": 0}],
  "selector": 5,
  "mappedParts": [{"kind": 0, "base": "0xFFF00000", "size": "0x80000", "id": "0x00BF"}],
  "flashBase": "0xFF000000",
  "map": [{"type": "773C5374-81D1-4D43-B293-F3D74F181D6B", "offset": "0x20000", "size": "0x10000"}]}})";

TEST(ScenarioFlash, BuildsTheFlashHardware) {
  const simboot::Scenario s = simboot::ParseScenario(kFull, "t.json");
  simboot::NotebookRun run(s);
  ASSERT_NE(run.flash, nullptr);
  run.platform.BeginBoot();
  // The part answers its JEDEC ID through the controller.
  MmioWrite8(0xFEC1001E, 5);
  MmioWrite8(0xFEC1001F, 0);
  MmioWrite8(0xFEC1001E, 6);
  MmioWrite8(0xFEC1001F, 3);
  MmioWrite8(0xFEC10000, 0x9F);
  MmioWrite32(0xFEC10000, MmioRead32(0xFEC10000) | 0x10000);
  run.platform.clock.Advance(100000);
  MmioWrite32(0xFEC10000, MmioRead32(0xFEC10000) | 0x100000);
  EXPECT_EQ(MmioRead8(0xFEC1000C), 0xC2);
  EXPECT_EQ(MmioRead8(0xFEC1000C), 0x20);
  EXPECT_EQ(MmioRead8(0xFEC1000C), 0x15);
  // ACPI mode, the family's window register, the peer page.
  EXPECT_EQ(PortIn32(MmioRead16(0xFED80362)) & 1, 1u);
  MmioWrite32(0xF80000B8, 0x13E102E0);
  EXPECT_EQ(MmioRead32(0xF80000BC), 0xFD000001u);
  EXPECT_EQ(run.flash->peer.holdNs, 7000u);
  MmioWrite32(0xFD01055C, 1);
  EXPECT_EQ(MmioRead32(0xFD010560), 1u);
  MmioWrite32(0xFD01055C, 0);
  // The mapped part's unlock sequence at its default command addresses.
  MmioWrite8(0xFFF05555, 0xAA);
  MmioWrite8(0xFFF02AAA, 0x55);
  MmioWrite8(0xFFF05555, 0x90);
  EXPECT_EQ(MmioRead16(0xFFF00000), 0x00BF);
  // PCD: the device tokens in order, then the selector; a missing params value.
  const sim::PcdDatabase::Token* entry = run.pcd.Find(kDeviceSpace, 5);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->bytes, (std::vector<uint8_t>{3, 0, 0, 0, 0xC2, 0x20, 0x15, 0, 0, 0, 0, 0, 32, 0, 0, 1}));
  ASSERT_NE(run.pcd.Find(kDeviceSpace, 0x20000001), nullptr);
  EXPECT_EQ(run.pcd.Find(kDeviceSpace, 0x20000001)->value, 5u);
  const sim::PcdDatabase::Token* map = run.pcd.Find(kFdmSpace, 0x30000017);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(map->value), "HFDM", 4), 0);
  EXPECT_TRUE(run.platform.violations.empty());
}

TEST(ScenarioFlash, ControllerChoices) {
  const simboot::Scenario absent = simboot::ParseScenario(R"({"flash": {"controller": "absent"}})", "t.json");
  simboot::NotebookRun a(absent);
  a.platform.BeginBoot();
  EXPECT_EQ(MmioRead32(0xFEC10000), 0xFFFFFFFFu);
  const simboot::Scenario stuck =
      simboot::ParseScenario(R"({"flash": {"controller": "stuck-busy"}})", "t.json");
  simboot::NotebookRun b(stuck);
  b.platform.BeginBoot();
  EXPECT_EQ(MmioRead32(0xFEC10000) & 0x80010000u, 0x80010000u);
  const simboot::Scenario none = simboot::ParseScenario("{}", "t.json");
  simboot::NotebookRun c(none);
  EXPECT_EQ(c.flash, nullptr) << "no flash section, no flash hardware";
}

TEST(ScenarioFlash, WrittenStateReadsBackIdentical) {
  const simboot::Scenario s = simboot::ParseScenario(kFull, "t.json");
  const simboot::Scenario again = simboot::ParseScenario(simboot::ScenarioToText(s), "again.json");
  EXPECT_TRUE(again == s);
  simboot::Scenario changed = again;
  changed.flash.peerMode = "never";
  EXPECT_FALSE(changed == s);
  const simboot::Scenario inlinePart =
      simboot::ParseScenario(R"({"flash": {"spiPart": {"jedecId": "01 02 03"}}})", "t.json");
  EXPECT_TRUE(simboot::ParseScenario(simboot::ScenarioToText(inlinePart), "again.json") == inlinePart);
}

TEST(ScenarioFlash, ErrorsNameThePath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"flash": {"spiPart": "NOPE"}})", "flash.spiPart: no SPI part \"NOPE\""},
      {R"({"flash": {"spiPart": {"sfdp": []}}})", "flash.spiPart: SPI part: \"jedecId\""},
      {R"({"flash": {"controller": "broken"}})",
       "flash.controller: \"broken\" is not one of present, absent"},
      {R"({"flash": {"peer": {"mode": "sometimes"}}})", "flash.peer.mode: \"sometimes\" is not one of"},
      {R"({"flash": {"devices": [{"token": 5, "kind": 3}, {"token": 5, "kind": 3}]}})",
       "flash.devices[1]: token 0x5 twice"},
      {R"({"flash": {"devices": [{"token": 0, "kind": 3}]}})",
       "flash.devices[0].token: 0 is not a token number"},
      {R"({"flash": {"devices": [{"token": 1, "kind": 3, "sizeFactors": [1]}]}})",
       "flash.devices[0].sizeFactors: needs two 16-bit factors"},
      {R"({"flash": {"devices": [{"token": 1, "kind": 3, "params": "0G"}]}})", "flash.devices[0].params:"},
      {R"({"flash": {"mappedParts": [{"kind": 0, "base": "0xFEC10000", "size": "0x1000", "id": 1}]}})",
       "flash.mappedParts[0]: overlaps the device at 0xFEC10000"},
      {R"({"flash": {"mappedParts": [{"kind": 0, "base": "0xFFF00000", "size": "0x1000", "id": 1},
                                     {"kind": 1, "base": "0xFFF00800", "size": "0x1000", "id": 1}]}})",
       "flash.mappedParts[1]: overlaps flash.mappedParts[0]"},
      {R"({"flash": {"mappedParts": [{"kind": 2, "base": 0, "size": 1, "id": 1}]}})",
       "flash.mappedParts[0].kind: 2 is not 0 or 1"},
      {R"({"flash": {"pm1Port": "0x60"}})", "flash.pm1Port: overlaps port 0x62"},
      {R"({"flash": {"lockWindow": "0xFEC00000"}})",
       "flash.lockWindow: puts the lock words on the SPI controller"},
      {R"({"flash": {"map": [{"type": "nope", "offset": 0, "size": 0}]}})", "flash.map[0].type: \"nope\""},
      {R"({"flash": {"colour": 1}})", "flash"},
      {R"({"flash": {"mapHeader": {"entriesOffset": 20}}})",
       "flash.mapHeader.entriesOffset: entries start inside the 28-byte header"},
      {R"({"flash": {"mapHeader": {"headerSum": 256}}})", "flash.mapHeader.headerSum: 256 is not a byte"},
      {R"({"flash": {"mapHeader": {"length": "0x100001"}}})",
       "flash.mapHeader.length: \"0x100001\" is not at most"},
      {R"({"flash": {"mapHeader": {"sum": 1}}})", "flash.mapHeader: unknown key \"sum\""},
  };
  for (const auto& [text, message] : cases) {
    try {
      simboot::ParseScenario(text, "t.json");
      ADD_FAILURE() << text << " was accepted";
    } catch (const simboot::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find("t.json: " + message), std::string::npos) << e.what();
    }
  }
}

const char* const kMapScenario = R"({"firmwareInfo": true, "flash": {
  "flashBase": "0xFF000000",
  "map": [{"type": "D9DDACA2-0816-48F3-ADED-6B71656B248A", "offset": "0x10000", "size": "0x10000"}],
  "mapHeader": %s}})";

// The header keys reach the driver: with a sound header the
// firmware-information area (the map's second entry, at 84) is found and id
// 13 gets its version; a header whose bytes add up to 1, a stride shorter
// than the 52 bytes of an entry, or a Length that cuts the second entry
// leave the package's default "VXPLN2A0D0101".
TEST(ScenarioFlash, MapHeaderKeysReachTheDriver) {
  struct Row {
    const char* header;
    const char16_t* version;
  };
  const Row rows[] = {
      {"{}", u"VXPLN2A0D0105"},
      {R"({"headerSum": 1})", u"VXPLN2A0D0101"},
      {R"({"entrySize": 40})", u"VXPLN2A0D0101"},
      {R"({"length": "0x60"})", u"VXPLN2A0D0101"},
  };
  const EFI_GUID list = {0x3B4D9B23, 0x95AC, 0x44F6, {0x9F, 0xCD, 0x0E, 0x95, 0x94, 0x58, 0x6C, 0x72}};
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    char text[512];
    std::snprintf(text, sizeof text, kMapScenario, row.header);
    const simboot::Scenario s = simboot::ParseScenario(text, "t.json");
    EXPECT_TRUE(simboot::ParseScenario(simboot::ScenarioToText(s), "again.json") == s);
    simboot::NotebookRun run(s);
    run.Run(image, 8);
    EXPECT_TRUE(run.platform.violations.empty()) << run.platform.violations.front();
    const std::optional<std::u16string> version = run.platform.hii.String(list, "en-US", 13);
    ASSERT_TRUE(version.has_value());
    EXPECT_TRUE(*version == row.version);
  }
  // The header as built: the 28 bytes add up to 1.
  const simboot::Scenario bad = simboot::ParseScenario(
      R"({"flash": {"map": [], "mapHeader": {"headerSum": 1, "entrySize": 40, "length": 28}}})", "t.json");
  simboot::NotebookRun run(bad);
  const uint8_t* map = reinterpret_cast<const uint8_t*>(run.pcd.Find(kFdmSpace, 0x30000017)->value);
  uint8_t sum = 0;
  for (int i = 0; i < 28; ++i) sum = static_cast<uint8_t>(sum + map[i]);
  EXPECT_EQ(sum, 1);
  EXPECT_EQ(map[4], 28);
  EXPECT_EQ(map[12], 40);
}

// The flash descriptor the walk settles on shows in the trace and the JSON:
// the example's first entry expects EF 40 18, its W25Q16JV answers EF 40 15
// and the second entry is accepted.
TEST(ScenarioFlash, TraceShowsTheDescriptorIdentificationSettledOn) {
  const simboot::Scenario s = simboot::LoadScenarioFile(SCENARIO_DIR "/flash-w25q16jv.json");
  simboot::NotebookRun run(s);
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  const std::vector<sim::BootOutcome> boots = run.Run(image, 8);
  const simboot::RunReport report = simboot::MakeReport(s, run, boots);
  const std::string trace = simboot::FormatTrace(report, false);
  EXPECT_NE(trace.find("flash descriptor: kind 3, DeviceId 0x001540EF, SizeCode 0x05 (factors 0x20 x 0x100)"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("; selector 0x6\n"), std::string::npos);
  const std::string json = simboot::TraceJson(report);
  EXPECT_NE(json.find("\"kind\": \"FlashDescriptor\""), std::string::npos);
  EXPECT_NE(json.find("\"deviceSize\": \"0x200000\""), std::string::npos);
}

}  // namespace
