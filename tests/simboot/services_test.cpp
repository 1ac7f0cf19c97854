// Scenario keys of the platform services the S3 libraries look up: what they
// set on the platform, their one-line errors, and that they read back.
#include <gtest/gtest.h>

#include "frame/pi.h"
#include "tests/simboot/scenario_error.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace {

using simboot::ParseScenario;
using simboot::Scenario;

const char kAll[] = R"({"smm": {"base": true, "inSmm": true}, "imageCodeType": 5, "dxeServices": false,
  "pointerRegistry": "before-end-of-dxe", "smbusHc": true,
  "heapHobs": [{"payload": [1, "0x81"], "poolKind": 8, "take": 1},
               {"payload": [], "take": 0, "payloadSize": 4096, "signature": "0x41414141"}]})";

TEST(ScenarioServices, KeysSetThePlatform) {
  const Scenario s = ParseScenario(kAll, "t.json");
  simboot::NotebookRun run(s);
  sim::Platform& p = run.platform;
  EXPECT_TRUE(p.smm.basePresent);
  EXPECT_TRUE(p.smm.inSmm);
  EXPECT_EQ(static_cast<uint32_t>(p.imageCodeType), 5u);
  EXPECT_FALSE(p.dxeServices);
  EXPECT_EQ(p.pointerRegistry.install, sim::PointerRegistry::Install::BeforeEndOfDxe);
  EXPECT_TRUE(p.smbusHc);
  p.BeginBoot();
  EXPECT_EQ(p.ProtocolCount(EFI_SMM_BASE2_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.ProtocolCount(EFI_SMBUS_HC_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.FindConfigTable(DXE_SERVICES_TABLE_GUID), nullptr);
  ASSERT_EQ(s.services.heapHobs.size(), 2u);
  EXPECT_EQ(s.services.heapHobs[0].payload, (std::vector<uint8_t>{1, 0x81}));
  EXPECT_EQ(s.services.heapHobs[0].poolKind, 8);
  EXPECT_EQ(s.services.heapHobs[1].take, 0);
  EXPECT_EQ(s.services.heapHobs[1].statedPayloadSize, 4096u);
  EXPECT_EQ(s.services.heapHobs[1].signature, 0x41414141u);

  const Scenario plain = ParseScenario("{}", "t.json");
  EXPECT_FALSE(plain.services.smmBase);
  EXPECT_EQ(plain.services.imageCodeType, 3u);
  EXPECT_TRUE(plain.services.dxeServices);
  EXPECT_EQ(plain.services.pointerRegistry, sim::PointerRegistry::Install::Absent);
}

TEST(ScenarioServices, WrittenStateReadsBackEqual) {
  const Scenario s = ParseScenario(kAll, "t.json");
  const std::string text = simboot::ScenarioToText(s);
  EXPECT_TRUE(ParseScenario(text, "again.json") == s) << text;
  Scenario other = s;
  other.services.heapHobs[1].statedPayloadSize.reset();
  EXPECT_FALSE(other == s);
  // Defaults are left out of a written scenario.
  const std::string plain = simboot::ScenarioToText(ParseScenario("{}", "t.json"));
  EXPECT_EQ(plain.find("pointerRegistry"), std::string::npos);
  EXPECT_EQ(plain.find("smm"), std::string::npos);
}

TEST(ScenarioServices, BadValuesAreOneLineErrors) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {R"({"smm": {"base": 1}})", "t.json: smm.base: expected true or false, got a number"},
      {R"({"smm": {"present": true}})", "t.json: smm: unknown key \"present\" (expected one of base, inSmm)"},
      {R"({"pointerRegistry": "late"})",
       "t.json: pointerRegistry: \"late\" is not one of \"absent\", \"boot-start\", \"before-end-of-dxe\""},
      {R"({"heapHobs": [{"payload": [256]}]})", "t.json: heapHobs[0].payload[0]: 256 is not a byte"},
      {R"({"heapHobs": [{"size": 1}]})",
       "t.json: heapHobs[0]: unknown key \"size\" (expected one of payload, poolKind, take, payloadSize, "
       "signature)"},
      {R"({"imageCodeType": "0x100000000"})", "t.json: imageCodeType: \"0x100000000\" is not a memory type"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;
}

}  // namespace
