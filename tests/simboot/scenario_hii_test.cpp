// Scenario keys of the HII protocols, the other modules' protocols and the
// flash areas the string library reads: what they set up, their errors, and
// that they read back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/hii.h"
#include "sim/devices/flash_devices.h"
#include "tests/simboot/scenario_error.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace {

using simboot::ParseScenario;
using simboot::Scenario;

const EFI_GUID kInfoType = {0x32415DFC, 0xD106, 0x48C7, {0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07}};
const EFI_GUID kKeptType = {0xB78E15D3, 0xF0A5, 0x4248, {0x8E, 0x2F, 0xD3, 0x15, 0x7A, 0xEF, 0x88, 0x36}};

struct MapEntry {
  EFI_GUID type;
  uint64_t base;
  uint64_t size;
};

// Bytes of the simulated flash, read over the bus as the driver reads them.
std::string FlashBytes(simboot::NotebookRun& run, uint64_t address, size_t n) {
  std::string bytes;
  for (size_t i = 0; i < n; ++i)
    bytes.push_back(static_cast<char>(run.platform.SeamMmioRead(address + i, 1)));
  return bytes;
}

// The flash device map the run publishes, read as the driver reads it.
std::vector<MapEntry> MapOf(simboot::NotebookRun& run) {
  run.platform.BeginBoot();
  const sim::PcdDatabase::Token* token = run.pcd.Find(sim::kFdmTokenSpace, sim::kFdmAddressToken);
  if (!token) return {};
  const uint8_t* map = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(token->value));
  uint32_t length = 0, entriesOffset = 0, entrySize = 0;
  uint64_t flashBase = 0;
  std::memcpy(&length, map + 4, 4);
  std::memcpy(&entriesOffset, map + 8, 4);
  std::memcpy(&entrySize, map + 12, 4);
  std::memcpy(&flashBase, map + 20, 8);
  std::vector<MapEntry> entries;
  for (uint32_t at = entriesOffset; at + 52 <= length; at += entrySize) {
    MapEntry e;
    uint64_t offset = 0;
    std::memcpy(&e.type, map + at, 16);
    std::memcpy(&offset, map + at + 32, 8);
    std::memcpy(&e.size, map + at + 40, 8);
    e.base = flashBase + offset;
    entries.push_back(e);
  }
  return entries;
}

TEST(ScenarioHii, KeysSetThePlatform) {
  const Scenario s = ParseScenario(R"({"hii": {"font": false, "setStringOnSkippedId": "refuse"},
    "watchedProtocol": "after-end-of-dxe", "sharedRecord": true})",
                                   "t.json");
  simboot::NotebookRun run(s);
  sim::Platform& p = run.platform;
  EXPECT_EQ(p.hii.skippedId, sim::SkippedIdRule::Refuse);
  EXPECT_EQ(p.hii.watched, sim::LateInstall::AfterEndOfDxe);
  p.BeginBoot();
  EXPECT_EQ(p.ProtocolCount(EFI_HII_STRING_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.ProtocolCount(EFI_HII_DATABASE_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.ProtocolCount(EFI_HII_FONT_PROTOCOL_GUID), 0u);
  EXPECT_EQ(p.ProtocolCount(EFI_HII_IMAGE_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.ProtocolCount(sim::kSharedRecordProtocolGuid), 1u);
  EXPECT_EQ(p.ProtocolCount(sim::kWatchedProtocolGuid), 0u);

  simboot::NotebookRun plain(ParseScenario("{}", "t.json"));
  plain.platform.BeginBoot();
  for (const EFI_GUID& g :
       {EFI_HII_STRING_PROTOCOL_GUID, EFI_HII_DATABASE_PROTOCOL_GUID, EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID,
        EFI_HII_FONT_PROTOCOL_GUID, EFI_HII_IMAGE_PROTOCOL_GUID})
    EXPECT_EQ(plain.platform.ProtocolCount(g), 1u);
  EXPECT_TRUE(MapOf(plain).empty());  // no area asked for, no map

  simboot::NotebookRun none(ParseScenario(R"({"hii": false})", "t.json"));
  none.platform.BeginBoot();
  EXPECT_EQ(none.platform.ProtocolCount(EFI_HII_STRING_PROTOCOL_GUID), 0u);
  EXPECT_EQ(none.platform.ProtocolCount(EFI_HII_IMAGE_PROTOCOL_GUID), 0u);
}

TEST(ScenarioHii, AreasArePublishedInTheMap) {
  simboot::NotebookRun run(
      ParseScenario(R"({"firmwareInfo": {"version": "X1", "date": "21 02 29", "size": 512},
    "keptFlashArea": {"size": 256}})",
                    "t.json"));
  std::vector<MapEntry> map = MapOf(run);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_TRUE(sim::operator==(map[0].type, kInfoType));
  EXPECT_EQ(map[0].size, 512u);
  EXPECT_EQ(map[0].base, 0xFFD00000u);
  EXPECT_EQ(FlashBytes(run, map[0].base + 0x0E, 3), std::string("X1\0", 3));
  EXPECT_EQ(FlashBytes(run, map[0].base + 6, 3), "\x21\x02\x29");
  EXPECT_EQ(FlashBytes(run, map[0].base + 0x0A, 3), "\x10\x20\x30");
  EXPECT_EQ(FlashBytes(run, map[0].base + 0x27, 7), std::string("QV2207\0", 7));
  EXPECT_TRUE(sim::operator==(map[1].type, kKeptType));
  EXPECT_EQ(map[1].size, 256u);
  EXPECT_EQ(map[1].base, 0xFFD10000u);

  // With a map of the scenario's own, the areas follow its entries.
  simboot::NotebookRun flash(ParseScenario(R"({"flash": {"flashBase": "0xFF000000",
    "map": [{"type": "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", "offset": 0, "size": 16}]},
    "firmwareInfo": {"raw": "00 11 22"}})",
                                           "t.json"));
  map = MapOf(flash);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[0].base, 0xFF000000u);
  EXPECT_TRUE(sim::operator==(map[1].type, kInfoType));
  EXPECT_EQ(map[1].size, 3u);
  EXPECT_EQ(FlashBytes(flash, map[1].base, 3), std::string("\x00\x11\x22", 3));
}

TEST(ScenarioHii, ReadsBackAndRefusesBadValues) {
  const char* texts[] = {
      R"({"hii": {"present": false, "database": true}, "watchedProtocol": "boot-start"})",
      R"({"firmwareInfo": true, "keptFlashArea": true})",
      R"({"firmwareInfo": {"date": "1A 02 29", "time": "23:59:59", "records": [], "rdate": null}})",
      R"({"firmwareInfo": {"raw": "01 02", "size": 8}})",
  };
  for (const char* text : texts) {
    const Scenario s = ParseScenario(text, "t.json");
    const std::string written = simboot::ScenarioToText(s);
    EXPECT_TRUE(ParseScenario(written, "w.json") == s) << text << "\n" << written;
  }
  const std::string written =
      simboot::ScenarioToText(ParseScenario(R"({"firmwareInfo": {"date": "21 02 29"}})", "t.json"));
  EXPECT_NE(written.find("\"date\": \"2021-02-29\""), std::string::npos) << written;
  EXPECT_NE(simboot::ScenarioToText(ParseScenario(texts[2], "t.json")).find("\"date\": \"1A 02 29\""),
            std::string::npos);

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {R"({"hii": {"sound": true}})", "hii"},
      {R"({"hii": {"setStringOnSkippedId": "ignore"}})", "hii.setStringOnSkippedId"},
      {R"({"watchedProtocol": "later"})", "watchedProtocol"},
      {R"({"firmwareInfo": {"date": "2024/03/15"}})", "firmwareInfo.date"},
      {R"({"firmwareInfo": {"date": "1999-03-15"}})", "firmwareInfo.date"},
      {R"({"firmwareInfo": {"time": "10:20"}})", "firmwareInfo.time"},
      {R"({"firmwareInfo": {"raw": "00", "version": "x"}})", "firmwareInfo.version"},
      {R"({"firmwareInfo": {"raw": "00 11", "size": 1}})", "firmwareInfo.raw"},
      {R"({"firmwareInfo": {"size": 0}})", "firmwareInfo.size"},
      {R"({"firmwareInfo": {"model": "caf\u00e9"}})", "firmwareInfo.model"},
      {R"({"keptFlashArea": {"size": 0}})", "keptFlashArea.size"},
  };
  for (const auto& b : bad) {
    const std::string error = ErrorOf(b.text);
    EXPECT_NE(error.find(std::string("t.json: ") + b.error), std::string::npos) << b.text << " -> " << error;
  }
}

}  // namespace
