// The "smmCommunication" and "s3" scenario keys: one-line errors, a written
// state that reads back identical, and the pieces a run sets up from them.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/simboot/scenario_error.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/report.h"
#include "tools/simboot/scenario.h"

namespace {

using sim::operator==;

TEST(S3ScenarioErrors, NameThePathAndTheProblem) {
  struct Case {
    const char* what;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"unknown key", R"({"smmCommunication": {"silent": true}})",
       "t.json: smmCommunication: unknown key \"silent\" (expected one of installed, lockBoxSilent, regions, "
       "descriptorSize, rawRegionTable)"},
      {"both table forms", R"({"smmCommunication": {"regions": [], "rawRegionTable": "01"}})",
       "t.json: smmCommunication: \"regions\" and \"rawRegionTable\" both describe the region table; give "
       "one"},
      {"descriptor size too small", R"({"smmCommunication": {"regions": [], "descriptorSize": 32}})",
       "t.json: smmCommunication.descriptorSize: 32 is not a descriptor size: 40 to 4096, a multiple of 8"},
      {"descriptor size not a multiple of 8",
       R"({"smmCommunication": {"regions": [], "descriptorSize": 44}})",
       "t.json: smmCommunication.descriptorSize: 44 is not a descriptor size: 40 to 4096, a multiple of 8"},
      {"descriptor size without regions", R"({"smmCommunication": {"descriptorSize": 48}})",
       "t.json: smmCommunication.descriptorSize: a descriptor size needs \"regions\""},
      {"region type too big", R"({"smmCommunication": {"regions": [{"type": "0x100000000"}]}})",
       "t.json: smmCommunication.regions[0].type: \"0x100000000\" is not a memory type (32-bit)"},
      {"raw table bad byte", R"({"smmCommunication": {"rawRegionTable": "01 0G"}})",
       "t.json: smmCommunication.rawRegionTable: \"0G\" (byte 1) is not a hex byte; write bytes as two hex "
       "digits separated by spaces"},
      {"table of 0 pages", R"({"s3": {"bootScriptTable": {"pages": 0}}})",
       "t.json: s3.bootScriptTable.pages: a table has at least one page"},
      {"script without room for the terminator",
       R"({"s3": {"bootScriptTable": {"pages": 1, "scriptLength": 4094}}})",
       "t.json: s3.bootScriptTable.scriptLength: 4094 bytes leave no room for the terminator in 1 page(s) "
       "(at "
       "most 4093)"},
      {"comm buffer not a flag", R"({"s3": {"commBuffer": 1}})",
       "t.json: s3.commBuffer: expected true or false, got a number"},
      {"table writes naming nothing", R"({"s3": {"tableWrites": {}}})",
       "t.json: s3.tableWrites: names no field to write"},
      {"table write of an unknown field", R"({"s3": {"tableWrites": {"version": 2}}})",
       "t.json: s3.tableWrites: unknown key \"version\" (expected one of signature, boundaryMarker, "
       "nextEntryOffset)"},
      {"signature past 32 bits", R"({"s3": {"tableWrites": {"signature": "0x100000000"}}})",
       "t.json: s3.tableWrites.signature: \"0x100000000\" is not a 32-bit value"},
      {"SMM record of 2 bytes", R"({"s3": {"smmRecord": "01 02"}})",
       "t.json: s3.smmRecord: 2 bytes; a record has 24"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
}

const char kFull[] = R"({
  "smmCommunication": {"installed": true, "lockBoxSilent": true,
                       "regions": [{"type": 7, "pages": 1}, {"type": 4, "pages": "0x10000000000000"}],
                       "descriptorSize": 64},
  "s3": {"tableSize": "0x8000", "commBuffer": false, "bootScriptTable": {"pages": 3, "scriptLength": 100},
         "tableWrites": {"boundaryMarker": 0, "nextEntryOffset": "0x40"},
         "smmRecord": "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18"}
})";

TEST(S3ScenarioRoundTrip, WrittenStateReadsBackIdentical) {
  const simboot::Scenario s = simboot::ParseScenario(kFull, "t.json");
  ASSERT_TRUE(s.s3.smmCommunication.has_value());
  const simboot::SmmCommunicationSetting& c = *s.s3.smmCommunication;
  EXPECT_TRUE(c.lockBoxSilent);
  ASSERT_EQ(c.regions.size(), 2u);
  EXPECT_EQ(c.regions[1].type, 4u);
  EXPECT_EQ(c.regions[1].pages, 0x10000000000000u);
  EXPECT_EQ(c.descriptorSize, 64u);
  ASSERT_TRUE(s.s3.s3.has_value());
  EXPECT_EQ(s.s3.s3->tableSize, 0x8000u);
  EXPECT_FALSE(s.s3.s3->commBuffer);
  ASSERT_TRUE(s.s3.s3->bootScriptTable.has_value());
  EXPECT_EQ(s.s3.s3->bootScriptTable->pages, 3u);
  EXPECT_EQ(s.s3.s3->bootScriptTable->scriptLength, 100u);
  ASSERT_TRUE(s.s3.s3->tableWrites.has_value());
  EXPECT_FALSE(s.s3.s3->tableWrites->signature.has_value());
  EXPECT_EQ(s.s3.s3->tableWrites->boundaryMarker, 0u);
  EXPECT_EQ(s.s3.s3->tableWrites->nextEntryOffset, 0x40u);
  ASSERT_TRUE(s.s3.s3->smmRecord.has_value());
  EXPECT_EQ(s.s3.s3->smmRecord->size(), 24u);
  EXPECT_EQ((*s.s3.s3->smmRecord)[23], 0x18);
  EXPECT_TRUE(simboot::ParseScenario(simboot::ScenarioToText(s), "state.json") == s);
  simboot::Scenario changed = s;
  changed.s3.s3->tableWrites->nextEntryOffset = 0x50;
  EXPECT_FALSE(changed == s);
  const simboot::Scenario zeroRecord = simboot::ParseScenario(R"({"s3": {"smmRecord": true}})", "t.json");
  EXPECT_EQ(*zeroRecord.s3.s3->smmRecord, std::vector<uint8_t>(24, 0));
  EXPECT_FALSE(
      simboot::ParseScenario(R"({"s3": {"smmRecord": false}})", "t.json").s3.s3->smmRecord.has_value());

  const simboot::Scenario raw =
      simboot::ParseScenario(R"({"smmCommunication": {"rawRegionTable": "01 00 00 00 05"}})", "t.json");
  EXPECT_EQ(*raw.s3.smmCommunication->rawRegionTable, (std::vector<uint8_t>{1, 0, 0, 0, 5}));
  EXPECT_FALSE(raw.s3.smmCommunication->regionTable);
  EXPECT_TRUE(simboot::ParseScenario(simboot::ScenarioToText(raw), "state.json") == raw);
  // Without the keys nothing is written, and nothing is set up.
  const simboot::Scenario none = simboot::ParseScenario("{}", "t.json");
  EXPECT_EQ(simboot::ScenarioToText(none).find("smmCommunication"), std::string::npos);
  EXPECT_FALSE(none == s);
}

TEST(S3Stand, KeysSetUpTheProtocolTableAndRecords) {
  const simboot::Scenario s = simboot::ParseScenario(
      R"({"smmCommunication": {"regions": [{"pages": 2}]},
          "s3": {"tableSize": "0x100", "bootScriptTable": {"pages": 2, "scriptLength": 32}}})",
      "t.json");
  simboot::NotebookRun run(s);
  ASSERT_NE(run.s3->communication, nullptr);
  run.platform.BeginBoot();
  EXPECT_EQ(run.platform.LocateProtocolInterface(EFI_SMM_COMMUNICATION_PROTOCOL_GUID),
            &run.s3->communication->protocol);
  const uint8_t* table = static_cast<const uint8_t*>(run.platform.FindConfigTable(sim::kCommRegionTableGuid));
  ASSERT_NE(table, nullptr);
  uint32_t header[3];
  std::memcpy(header, table, sizeof header);
  EXPECT_EQ(header[1], 1u);
  EXPECT_EQ(header[2], 48u);
  const EFI_GUID chipset = {0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};
  const EFI_GUID bootScript = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
  EXPECT_EQ(run.pcd.Find(chipset, 0x27001)->value, run.s3->chipsetS3->CommBufferAddress());
  EXPECT_EQ(run.pcd.Find(chipset, 0x27003)->value, 0x100u);
  EXPECT_EQ(run.pcd.Find(bootScript, 0x30000)->value, run.s3->bootScript->RecordAddress());

  const simboot::Scenario off = simboot::ParseScenario(
      R"({"smmCommunication": {"installed": false}, "s3": {"commBuffer": false}})", "t.json");
  simboot::NotebookRun without(off);
  without.platform.BeginBoot();
  EXPECT_EQ(without.platform.LocateProtocolInterface(EFI_SMM_COMMUNICATION_PROTOCOL_GUID), nullptr);
  EXPECT_EQ(without.platform.FindConfigTable(sim::kCommRegionTableGuid), nullptr);
  EXPECT_EQ(without.pcd.Find(chipset, 0x27001)->value, 0u);
  EXPECT_EQ(without.pcd.Find(bootScript, 0x30000)->value, 0u);
}

TEST(S3Stand, LockBoxRequestsShowInTheTrace) {
  const simboot::Scenario s = simboot::ParseScenario(R"({"smmCommunication": {}})", "t.json");
  simboot::NotebookRun run(s);
  static uint64_t value = 0x55;
  // A module that stores a lock box at the start of each boot.
  run.platform.bootHooks.push_back([](sim::Platform& p) {
    auto* protocol = static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(
        p.LocateProtocolInterface(EFI_SMM_COMMUNICATION_PROTOCOL_GUID));
    uint8_t request[72] = {0xBD, 0xFE, 0x3C, 0x2A, 0xE8, 0x27, 0x0A, 0x4D, 0x8B, 0x79, 0xD6,
                           0x88, 0xC2, 0xA3, 0xE1, 0xC0, 48,   0,    0,    0,    0,    0,
                           0,    0,    1,    0,    0,    0,    48,   0,    0,    0};
    const uint64_t address = reinterpret_cast<uint64_t>(&value), length = 8;
    std::memset(request + 40, 0x11, 16);
    std::memcpy(request + 56, &address, 8);
    std::memcpy(request + 64, &length, 8);
    UINTN size = sizeof request;
    protocol->Communicate(protocol, request, &size);
  });
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  const std::vector<sim::BootOutcome> boots = run.Run(image, 8);
  const simboot::RunReport report = simboot::MakeReport(s, run, boots);
  const std::string trace = simboot::FormatTrace(report, false);
  EXPECT_NE(trace.find("smm    LockBox store {11111111-1111-1111-1111-111111111111} address 0x"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("length 8 -> EFI_SUCCESS"), std::string::npos);
  EXPECT_EQ(trace.find("SmmCommunicate"), std::string::npos);  // shown only when verbose
  EXPECT_NE(simboot::FormatTrace(report, true).find("SmmCommunicate {2A3CFEBD-27E8-4D0A-8B79-D688C2A3E1C0}"),
            std::string::npos);
  const std::string json = simboot::TraceJson(report);
  EXPECT_NE(json.find("\"command\": \"store\""), std::string::npos) << json.substr(0, 400);
}

// The keys of other modules' S3 work, run: a published SMM record is named
// by PcdBootScriptSmmRecord; another module's signature write shows in the
// trace and the driver's check refuses the table; the sealed boot-script
// table shows terminated (FF 00 03 at 0x20, the length 0x23 at offset 5).
TEST(S3Stand, OtherModulesKeysShowInTheRun) {
  const simboot::Scenario s = simboot::ParseScenario(
      R"({"smm": {"base": true, "inSmm": true}, "smmCommunication": {},
          "s3": {"bootScriptTable": {"pages": 2, "scriptLength": 32}, "smmRecord": true,
                 "tableWrites": {"signature": "0x12345678"}}})",
      "t.json");
  simboot::NotebookRun run(s);
  ASSERT_NE(run.s3->smmRecord, nullptr);
  const EFI_GUID bootScript = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
  EXPECT_EQ(run.pcd.Find(bootScript, 0x30001)->value, run.s3->smmRecord->Address());
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  const std::vector<sim::BootOutcome> boots = run.Run(image, 8);
  EXPECT_EQ(run.s3->smmRecord->Record()[14], 1) << "the published record took the copy";
  const simboot::RunReport report = simboot::MakeReport(s, run, boots);
  const std::string trace = simboot::FormatTrace(report, false);
  EXPECT_NE(trace.find("another module writes Signature of the chipset S3 table at 0x"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find(": 0x12345678 (written)"), std::string::npos);
  EXPECT_NE(trace.find("debug  ChipsetS3Lib table Signature check fail"), std::string::npos);
  EXPECT_EQ(trace.find("S3Handover"), std::string::npos);
  EXPECT_NE(trace.find("; table length 0x23: AA 00 0D 01 00 23 00 00 00"), std::string::npos);
  EXPECT_NE(trace.find(" FF 00 03\n"), std::string::npos);
  EXPECT_EQ(trace.find("B5AF1D7A-B8CF-4EB3-8925-A820E16B687D"), std::string::npos)
      << "no boot-time script stored without the notice registration";
  const std::string json = simboot::TraceJson(report);
  EXPECT_NE(json.find("\"kind\": \"BootScriptSeal\""), std::string::npos);
  EXPECT_NE(json.find("\"terminator\": \"FF 00 03\""), std::string::npos);
  EXPECT_NE(json.find("\"boxBytes\""), std::string::npos);
}

}  // namespace
