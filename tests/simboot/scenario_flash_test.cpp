// The scenario's "flash" section: what it builds into the notebook, its
// one-line errors, and that a written state reads back identical.
#include <gtest/gtest.h>

#include <cstring>

#include "support/base/hw.h"
#include "tools/simboot/notebook_run.h"
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

}  // namespace
