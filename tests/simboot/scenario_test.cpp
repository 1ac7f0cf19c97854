// Scenario files: what each form of a value stores, the one-line errors for
// bad documents, and that a written state reads back identical.
#include "tools/simboot/scenario.h"

#include <gtest/gtest.h>

#include <fstream>

#include "bootctl/vars.h"
#include "sim/load_option.h"
#include "tools/simboot/default_scenario.h"

namespace {

using simboot::ParseScenario;
using simboot::Scenario;
using simboot::ScenarioError;

std::string ErrorOf(const std::string& text) {
  try {
    ParseScenario(text, "t.json");
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "(no error)";
}

// A document with one variable whose "data" is `data`.
std::string WithData(const std::string& data) {
  return R"({"variables": [{"name": "V", "guid": "global", "data": )" + data + "}]}";
}

std::string WithOption(const std::string& path) {
  return WithData(R"({"loadOption": {"description": "D", "path": )" + path + "}}");
}

struct BadCase {
  const char* what;
  std::string text;
  const char* message;
};

TEST(ScenarioErrors, NameThePathAndTheProblem) {
  const BadCase cases[] = {
      {"byte too big", WithData("[1, 2, 3, 4, 5, 300]"), "t.json: variables[0].data[5]: 300 is not a byte"},
      {"byte one too big", WithData(R"(["0x100"])"), "t.json: variables[0].data[0]: \"0x100\" is not a byte"},
      {"negative byte", WithData("[-1]"), "t.json: variables[0].data[0]: -1 is not a byte"},
      {"fractional byte", WithData("[1.5]"), "t.json: variables[0].data[0]: 1.5 is not a byte"},
      {"bad hex number", WithData(R"(["0xZZ"])"),
       "t.json: variables[0].data[0]: \"0xZZ\" is not a number (write decimal digits or 0x-prefixed hex)"},
      {"bad hex byte string", WithData(R"("01 8G")"),
       "t.json: variables[0].data: \"8G\" (byte 1) is not a hex byte; write bytes as two hex digits "
       "separated by "
       "spaces"},
      {"empty data", WithData("[]"),
       "t.json: variables[0].data: no data: a stored variable holds at least one byte"},
      {"u16 too big", WithData(R"({"u16": [1, 70000]})"),
       "t.json: variables[0].data.u16[1]: 70000 is not a 16-bit value"},
      {"two data forms", WithData(R"({"u16": [1], "size": 4})"),
       "t.json: variables[0].data: unknown key \"size\" (expected only u16)"},
      {"record past the end", WithData(R"({"size": 512, "set": {"512": 1}})"),
       "t.json: variables[0].data.set[\"512\"]: offset 512 is past the end of the 512-byte record"},
      {"record too large", WithData(R"({"size": 70000})"),
       "t.json: variables[0].data.size: 70000 is not a record size (at most 65536 bytes)"},
      {"duplicate key", WithData(R"({"size": 512, "set": {"92": 1, "92": 0}})"),
       "t.json: variables[0].data.set: duplicate key \"92\""},
      {"unknown node kind", WithOption(R"(["pci", "usbb"])"),
       "t.json: variables[0].data.loadOption.path[1]: unknown node kind \"usbb\" (known: pci, usb, mac, "
       "ipv4, sata, "
       "nvme, hd, file, end-instance, end)"},
      {"unknown node parameter", WithOption(R"([{"kind": "usb", "prot": 1}])"),
       "t.json: variables[0].data.loadOption.path[0]: unknown key \"prot\" (expected one of kind, port, "
       "interface)"},
      {"bad MAC", WithOption(R"([{"kind": "mac", "address": "00-1B-21"}])"),
       "t.json: variables[0].data.loadOption.path[0].address: \"00-1B-21\" is not a MAC address (six hex "
       "bytes such "
       "as 00-1B-21-3C-4D-5E)"},
      {"unknown alias", R"({"variables": [{"name": "V", "guid": "lidflag", "data": "01"}]})",
       "t.json: variables[0].guid: \"lidflag\" is neither a GUID nor a known alias (global, boot-control, "
       "lid-flag, "
       "setup, physical-boot-order, oob-test, chg-key)"},
      {"misspelt key", R"({"variables": [{"name": "V", "guid": "global", "atributes": 7, "data": "01"}]})",
       "t.json: variables[0]: unknown key \"atributes\" (expected one of name, guid, attributes, data)"},
      {"missing data", R"({"variables": [{"name": "V", "guid": "global"}]})",
       "t.json: variables[0]: missing \"data\""},
      {"volatile variable",
       R"({"variables": [{"name": "V", "guid": "global", "attributes": 6, "data": "01"}]})",
       "t.json: variables[0].attributes: 0x6 lacks NON_VOLATILE (0x1): the variable would be gone before the "
       "first "
       "boot"},
      {"same variable twice",
       R"({"variables": [{"name": "V", "guid": "global", "data": "01"},
                         {"name": "V", "guid": "8be4df61-93ca-11d2-aa0d-00e098032b8c", "data": "02"}]})",
       "t.json: variables[1]: same name and GUID as variables[0]"},
      {"CMOS index", R"({"cmos": {"0x80": 1}})",
       "t.json: cmos[\"0x80\"]: \"0x80\" is not a CMOS index (0 to 0x7F)"},
      {"EC register", R"({"ec": {"registers": {"256": 1}}})",
       "t.json: ec.registers[\"256\"]: \"256\" is not an EC register (0 to 0xFF)"},
      {"EC flag type", R"({"ec": {"neverAnswers": 1}})",
       "t.json: ec.neverAnswers: expected true or false, got a number"},
      {"boot mode", R"({"bootMode": "recover"})",
       "t.json: bootMode: \"recover\" is not a boot mode (full-configuration, minimal-configuration, "
       "assuming-no-changes, full-configuration-plus-diagnostics, default-settings, s4-resume, s5-resume, "
       "mfg-mode-settings, s2-resume, s3-resume, flash-update, recovery, or a number)"},
      {"top level not an object", "[]", "t.json: expected an object, got an array"},
      {"unknown top-level key", R"({"variable": []})",
       "t.json: unknown key \"variable\" (expected one of description, bootMode, platformHook, "
       "purgeIdleMarker, imc, "
       "ec, cmos, variables)"},
      {"trailing comma", "{\"cmos\": {},}",
       "t.json: invalid JSON: parse error at line 1, column 13: syntax error while parsing object key - "
       "unexpected '}'; "
       "expected string literal"},
  };
  for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
}

TEST(ScenarioErrors, UnreadableFiles) {
  EXPECT_THROW(
      {
        try {
          simboot::LoadScenarioFile("/nonexistent/s.json");
        } catch (const ScenarioError& e) {
          EXPECT_STREQ(e.what(), "/nonexistent/s.json: cannot open: No such file or directory");
          throw;
        }
      },
      ScenarioError);
  EXPECT_THROW(simboot::LoadScenarioFile(SCENARIO_DIR), ScenarioError);  // a directory
}

struct DataCase {
  const char* data;
  std::vector<uint8_t> bytes;
};

TEST(ScenarioData, EachFormStoresTheseBytes) {
  std::vector<uint8_t> record(32, 0xFF);
  record[0] = 1;
  record[31] = 0x5C;
  const DataCase cases[] = {
      {"[1, \"0x81\", \"255\"]", {0x01, 0x81, 0xFF}},
      {"\"01 81  ff\"", {0x01, 0x81, 0xFF}},
      {R"({"u16": [0, "0x2001", 65535]})", {0x00, 0x00, 0x01, 0x20, 0xFF, 0xFF}},
      {R"({"size": 32, "fill": 255, "set": {"0": 1, "0x1F": "0x5C"}})", record},
      {R"({"loadOption": {"description": "EFI USB Device", "path": ["pci", {"kind": "usb", "port": 3}]}})",
       sim::BuildLoadOption(1, u"EFI USB Device", {sim::PciNode(0x08, 0x01), sim::UsbNode(3, 0)})},
      {R"({"loadOption": {"description": "PXE", "attributes": 0,
           "path": [{"kind": "mac", "address": "00:E0:4C:68:1A:2B", "ifType": 6}, "ipv4", "end-instance", "hd"]}})",
       sim::BuildLoadOption(0, u"PXE",
                            {sim::MacNode({0x00, 0xE0, 0x4C, 0x68, 0x1A, 0x2B}, 6), sim::Ipv4Node(),
                             sim::EndInstanceNode(), sim::HardDriveNode(1, 2048, 0x100000)})},
      {R"({"loadOption": {"description": "Disk", "path": [{"kind": "sata", "port": 2}, {"kind": "nvme", "namespace": 7},
           {"kind": "hd", "partition": 3, "start": "0x800", "size": 4096}, {"kind": "file", "path": "\\a.efi"}]}})",
       sim::BuildLoadOption(1, u"Disk",
                            {sim::SataNode(2), sim::NvmeNode(7), sim::HardDriveNode(3, 0x800, 4096),
                             sim::FilePathNode(u"\\a.efi")})},
  };
  for (const DataCase& c : cases) {
    const Scenario s = ParseScenario(WithData(c.data), "t.json");
    ASSERT_EQ(s.variables.size(), 1u) << c.data;
    EXPECT_EQ(s.variables[0].data, c.bytes) << c.data;
  }
}

TEST(ScenarioData, AliasesModesAndDefaults) {
  const std::pair<const char*, EFI_GUID> aliases[] = {
      {"global", EFI_GLOBAL_VARIABLE},
      {"boot-control", BootControlVendorGuid},
      {"lid-flag", LidFlagVendorGuid},
      {"setup", SetupVariableGuid},
      {"physical-boot-order", PhysicalBootOrderGuid},
      {"oob-test", OobTestVendorGuid},
      {"chg-key", ChgKeyVendorGuid},
      {"{99165095-035d-44cc-9234-db41d2d359e9}", LidFlagVendorGuid},
  };
  for (const auto& a : aliases) {
    const Scenario s = ParseScenario(
        R"({"variables": [{"name": "V", "guid": ")" + std::string(a.first) + R"(", "data": "01"}]})",
        "t.json");
    EXPECT_EQ(sim::GuidToString(s.variables[0].guid), sim::GuidToString(a.second)) << a.first;
    EXPECT_EQ(s.variables[0].attributes, 7u);
  }
  EXPECT_EQ(ParseScenario(R"({"bootMode": "recovery"})", "t").bootMode, BOOT_IN_RECOVERY_MODE);
  EXPECT_EQ(ParseScenario(R"({"bootMode": "0x11"})", "t").bootMode, BOOT_ON_S3_RESUME);
  const Scenario empty = ParseScenario("{}", "t");
  EXPECT_EQ(empty.bootMode, BOOT_WITH_FULL_CONFIGURATION);
  EXPECT_FALSE(empty.platformHook || empty.purgeIdleMarker || empty.imcEnabled);
  EXPECT_TRUE(empty.imcAcknowledges);
}

// A scenario with every kind of content, including values that have no
// readable form and must be written as plain bytes.
Scenario Awkward() {
  Scenario s = ParseScenario(R"({
    "description": "awkward", "bootMode": 66, "platformHook": true, "imc": {"enabled": true, "acknowledges": false},
    "ec": {"registers": {"0x19": 1}, "busyAtBoot": 3, "staleOutput": 0, "goesDeadAfter": 0},
    "cmos": {"0x61": 5, "0x7F": 255},
    "variables": [
      {"name": "Boot0001", "guid": "global", "data": {"loadOption": {"description": "", "path": []}}},
      {"name": "BootOrder", "guid": "global", "attributes": 3, "data": "01 00 02"},
      {"name": "Big", "guid": "11111111-2222-3333-4444-555555555555", "data": {"size": 40, "fill": 7}},
      {"name": "Zeros", "guid": "setup", "data": {"size": 100}}
    ]})",
                             "t.json");
  // A load option with trailing optional data, and one whose node lies about its length.
  std::vector<uint8_t> extra = sim::BuildLoadOption(1, u"X", {sim::UsbNode(1, 0)});
  extra.push_back(0xAA);
  sim::PathNode odd = sim::PciNode(1, 2);
  odd.lengthOverride = 5;
  s.variables.push_back({u"Boot0002", EFI_GLOBAL_VARIABLE, 7, extra});
  s.variables.push_back({u"Boot0003", EFI_GLOBAL_VARIABLE, 7, sim::BuildLoadOption(1, u"Y", {odd})});
  return s;
}

TEST(ScenarioRoundTrip, WrittenStateReadsBackIdentical) {
  std::vector<std::pair<std::string, Scenario>> scenarios = {{"awkward", Awkward()}};
  for (const char* name : {"ordinary-boot", "factory-reset", "pxe", "hard-drive", "ec-power-off",
                           "ec-not-answering", "oob-counter"}) {
    scenarios.push_back({name, simboot::LoadScenarioFile(std::string(SCENARIO_DIR) + "/" + name + ".json")});
  }
  for (const auto& [name, scenario] : scenarios) {
    const std::string text = simboot::ScenarioToText(scenario);
    EXPECT_TRUE(ParseScenario(text, name) == scenario) << name << "\n" << text;
    EXPECT_EQ(simboot::ScenarioToText(ParseScenario(text, name)), text) << name;
    if (name == "awkward") continue;
    // Every boot option of a shipped scenario was written from a description
    // and nodes, so each must be written back in that form.
    size_t options = 0, written = 0;
    for (const sim::Variable& v : scenario.variables)
      options += v.name.rfind(u"Boot0", 0) == 0 || v.name.rfind(u"Boot2", 0) == 0;
    for (size_t at = text.find("\"loadOption\""); at != std::string::npos;
         at = text.find("\"loadOption\"", at + 1)) {
      ++written;
    }
    EXPECT_EQ(written, options) << name;
  }
}

TEST(ScenarioRoundTrip, WritesTheReadableFormOnlyWhenItIsExact) {
  const std::string text = simboot::ScenarioToText(Awkward());
  EXPECT_NE(text.find(R"("loadOption": {)"), std::string::npos) << "Boot0001 decodes";
  EXPECT_NE(text.find(R"("data": "01 00 02")"), std::string::npos) << "odd-sized BootOrder stays bytes";
  EXPECT_NE(text.find("\"size\": 100"), std::string::npos) << "a zero record is written by size";
  EXPECT_EQ(text.find("\"size\": 40"), std::string::npos) << "a record of nonzero bytes is written as bytes";
  EXPECT_NE(text.find("\"data\": \"01 00 00 00 0A 00 58"), std::string::npos) << "Boot0002 has optional data";
  EXPECT_NE(text.find("\"data\": \"01 00 00 00 0A 00 59"), std::string::npos)
      << "Boot0003 has a bad node length";
}

TEST(ScenarioRoundTrip, SavedFileLoadsBack) {
  const std::string path = ::testing::TempDir() + "/simboot_state.json";
  simboot::SaveScenarioFile(Awkward(), path);
  EXPECT_TRUE(simboot::LoadScenarioFile(path) == Awkward());
  EXPECT_THROW(simboot::SaveScenarioFile(Awkward(), "/nonexistent/dir/state.json"), ScenarioError);
}

TEST(DefaultScenario, IsTheShippedOrdinaryBoot) {
  EXPECT_TRUE(ParseScenario(simboot::kDefaultScenario, "default") ==
              simboot::LoadScenarioFile(std::string(SCENARIO_DIR) + "/ordinary-boot.json"));
}

}  // namespace
