// Scenario files: what each form of a value stores, the one-line errors for
// bad documents, and that a written state reads back identical.
#include "tools/simboot/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "bootctl/vars.h"
#include "sim/uefi/load_option.h"
#include "tests/simboot/scenario_error.h"
#include "tools/simboot/default_scenario.h"

namespace {

using simboot::ParseScenario;
using simboot::Scenario;
using simboot::ScenarioError;

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
  std::string message;
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
       "lid-flag, setup, physical-boot-order, oob-test, chg-key, flash-device, flash-param, flash-info1, "
       "flash-info2, fdm, boot-script-pcd, chipset-s3-pcd)"},
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
       "purgeIdleMarker, debugConsole, imc, ec, cmos, pcd, cpu, variables, store, failures, "
       "powerCutAfterNvWrite, resetReturns, bootManager, smm, imageCodeType, dxeServices, pointerRegistry, "
       "smbusHc, "
       "heapHobs, smmCommunication, s3, flash, hii, watchedProtocol, sharedRecord, firmwareInfo, "
       "keptFlashArea)"},
      {"hook length too long", R"({"platformHook": {"length": 129}})",
       "t.json: platformHook.length: 129 is not an interface length (0 to 128)"},
      {"unknown failing service", R"({"failures": [{"service": "Stall", "status": "EFI_DEVICE_ERROR"}]})",
       "t.json: failures[0].service: \"Stall\" is not a service that can be made to fail"},
      {"failure without an error", R"({"failures": [{"service": "GetVariable", "status": "EFI_SUCCESS"}]})",
       "t.json: failures[0].status: a failure needs an error status"},
      {"failure at call 0", R"({"failures": [{"service": "GetVariable", "call": 0, "status": 7}]})",
       "t.json: failures[0].call: calls are counted from 1"},
      {"trailing comma", "{\"cmos\": {},}",
       "t.json: invalid JSON: parse error at line 1, column 13: syntax error while parsing object key - "
       "unexpected '}'; "
       "expected string literal"},
  };
  for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
}

// A document with one PCD token space holding `tokens`.
std::string WithTokens(const std::string& tokens) {
  return R"({"pcd": {"spaces": [{"guid": "flash-device", "tokens": )" + tokens + "}]}}";
}

std::string WithToken(const std::string& kind, const std::string& value) {
  return WithTokens(R"([{"token": 1, "kind": ")" + kind + R"(", "value": )" + value + "}]");
}

TEST(ScenarioErrors, PcdDeclarations) {
  const std::string at = "t.json: pcd.spaces[0].tokens[0]";
  const BadCase cases[] = {
      {"unknown kind", WithToken("u24", "0"),
       at + ".kind: \"u24\" is not a PCD kind (u8, u16, u32, u64, bool, ptr)"},
      {"u8 out of range", WithToken("u8", "256"), at + ".value: 256 is not an 8-bit value"},
      {"u16 out of range", WithToken("u16", R"("0x10000")"),
       at + ".value: \"0x10000\" is not a 16-bit value"},
      {"u32 out of range", WithToken("u32", R"("0x100000000")"),
       at + ".value: \"0x100000000\" is not a 32-bit value"},
      {"u64 out of range", WithToken("u64", R"("18446744073709551616")"),
       at + ".value: \"18446744073709551616\" is not a number (write decimal digits or 0x-prefixed hex)"},
      {"negative value", WithToken("u32", "-1"), at + ".value: -1 is not a 32-bit value"},
      {"bool as a number", WithToken("bool", "1"), at + ".value: expected true or false, got a number"},
      {"ptr as a number", WithToken("ptr", "5"),
       at + ".value: expected bytes ([1, \"0x81\"] or \"01 81\") or a record {\"size\": n, ...}, got 5"},
      {"ptr bad hex", WithToken("ptr", R"("01 2")"),
       at + ".value: \"2\" (byte 1) is not a hex byte; write bytes as two hex digits separated by spaces"},
      {"ptr record without size", WithToken("ptr", R"({"set": {"0": 1}})"), at + ".value: missing \"size\""},
      {"kind not a string", WithTokens(R"([{"token": 1, "kind": 8, "value": 1}])"),
       at + ".kind: expected a string, got a number"},
      {"misspelt token key", WithTokens(R"([{"number": 1, "kind": "u8", "value": 1}])"),
       at + ": unknown key \"number\" (expected one of token, kind, value)"},
      {"token 0", WithTokens(R"([{"token": 0, "kind": "u8", "value": 1}])"),
       at + ".token: token 0 is reserved: it starts a token enumeration"},
      {"missing value", WithTokens(R"([{"token": 1, "kind": "u8"}])"), at + ": missing \"value\""},
      {"same token twice",
       WithTokens(R"([{"token": 1, "kind": "u8", "value": 1}, {"token": "0x1", "kind": "u16", "value": 1}])"),
       "t.json: pcd.spaces[0].tokens[1]: same token number as pcd.spaces[0].tokens[0]"},
      {"no tokens", WithTokens("[]"),
       "t.json: pcd.spaces[0].tokens: a token space declares at least one token"},
      {"same space twice",
       R"({"pcd": {"spaces": [{"guid": "flash-device", "tokens": [{"token": 1, "kind": "u8", "value": 1}]},
                              {"guid": "{cbdef572-719d-426e-8a43-75ae913cffb2}", "tokens": []}]}})",
       "t.json: pcd.spaces[1]: same token space as pcd.spaces[0]"},
      {"unknown space alias", R"({"pcd": {"spaces": [{"guid": "flash", "tokens": []}]}})",
       "t.json: pcd.spaces[0].guid: \"flash\" is neither a GUID nor a known alias (global, boot-control, "
       "lid-flag, setup, physical-boot-order, oob-test, chg-key, flash-device, flash-param, flash-info1, "
       "flash-info2, fdm, boot-script-pcd, chipset-s3-pcd)"},
      {"spaces as an object", R"({"pcd": {"spaces": {}}})",
       "t.json: pcd.spaces: expected an array, got an object"},
      {"installed not a flag", R"({"pcd": {"installed": "no"}})",
       "t.json: pcd.installed: expected true or false, got a string"},
      {"debug console not a flag", R"({"debugConsole": 0})",
       "t.json: debugConsole: expected true or false, got a number"},
  };
  for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
}

std::string WithPstate(const std::string& pstate) { return R"({"cpu": {"pstate": )" + pstate + "}}"; }

TEST(ScenarioErrors, CpuDeclarations) {
  const BadCase cases[] = {
      {"MSR number too big", R"({"cpu": {"msrs": {"0x100000000": 1}}})",
       "t.json: cpu.msrs[\"0x100000000\"]: \"0x100000000\" is not an MSR number (0 to 0xFFFFFFFF)"},
      {"MSR number not a number", R"({"cpu": {"msrs": {"pstate": 1}}})",
       "t.json: cpu.msrs.pstate: \"pstate\" is not a number (write decimal digits or 0x-prefixed hex)"},
      {"MSR value too big", R"({"cpu": {"msrs": {"0x10": "0x10000000000000000"}}})",
       "t.json: cpu.msrs[\"0x10\"]: \"0x10000000000000000\" is not a number (write decimal digits or "
       "0x-prefixed hex)"},
      {"MSR listed twice", R"({"cpu": {"msrs": {"0x10": 1, "16": 2}}})",
       "t.json: cpu.msrs[\"16\"]: MSR 0x00000010 is listed twice"},
      {"MSR set by pstate",
       R"({"cpu": {"pstate": {"definitions": [{"fid": 1, "did": 1}]}, "msrs": {"0xC0010064": 1}}})",
       "t.json: cpu.msrs[\"0xC0010064\"]: MSR 0xC0010064 is set by \"pstate\""},
      {"status MSR set by pstate",
       R"({"cpu": {"pstate": {"definitions": [{"fid": 1, "did": 1}]}, "msrs": {"3221291107": 1}}})",
       "t.json: cpu.msrs[\"3221291107\"]: MSR 0xC0010063 is set by \"pstate\""},
      {"no definitions", WithPstate(R"({"current": 0})"), "t.json: cpu.pstate: missing \"definitions\""},
      {"empty definitions", WithPstate(R"({"definitions": []})"),
       "t.json: cpu.pstate.definitions: expected 1 to 8 P-state definitions, got 0"},
      {"nine definitions", WithPstate(R"({"definitions": [{"fid": 1, "did": 1}, {"fid": 1, "did": 1},
           {"fid": 1, "did": 1}, {"fid": 1, "did": 1}, {"fid": 1, "did": 1}, {"fid": 1, "did": 1},
           {"fid": 1, "did": 1}, {"fid": 1, "did": 1}, {"fid": 1, "did": 1}]})"),
       "t.json: cpu.pstate.definitions: expected 1 to 8 P-state definitions, got 9"},
      {"current without a definition",
       WithPstate(R"({"current": 2, "definitions": [{"fid": 1, "did": 1}, {"fid": 1, "did": 1}]})"),
       "t.json: cpu.pstate.current: P-state 2 has no definition (2 given)"},
      {"current past the status field",
       WithPstate(R"({"current": 8, "definitions": [{"fid": 1, "did": 1}]})"),
       "t.json: cpu.pstate.current: 8 is not a P-state number (0 to 7)"},
      {"FID too big", WithPstate(R"({"definitions": [{"fid": 256, "did": 8}]})"),
       "t.json: cpu.pstate.definitions[0].fid: 256 is not an FID (0 to 0xFF)"},
      {"DID too big", WithPstate(R"({"definitions": [{"fid": 1, "did": "0x40"}]})"),
       "t.json: cpu.pstate.definitions[0].did: \"0x40\" is not a DID (0 to 0x3F)"},
      {"missing DID", WithPstate(R"({"definitions": [{"fid": 1}]})"),
       "t.json: cpu.pstate.definitions[0]: missing \"did\""},
      {"CPUID EAX too big", R"({"cpu": {"cpuid80000001Eax": "0x100000000"}})",
       "t.json: cpu.cpuid80000001Eax: \"0x100000000\" is not a 32-bit value"},
      {"probe answer too big", R"({"cpu": {"postCodeProbe": 65536}})",
       "t.json: cpu.postCodeProbe: 65536 is not a 16-bit answer"},
      {"pause ticks not a number", R"({"cpu": {"pauseTicks": true}})",
       "t.json: cpu.pauseTicks: expected a 64-bit count, got a boolean"},
      {"unknown CPU key", R"({"cpu": {"msr": {}}})",
       "t.json: cpu: unknown key \"msr\" (expected one of pstate, msrs, cpuid80000001Eax, postCodeProbe, "
       "pauseTicks)"},
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

// A value of `levels` nested arrays, or objects {"a": ...} around a 1.
std::string Deep(size_t levels, bool objects) {
  std::string open, close;
  for (size_t i = 0; i < levels; i++) {
    open += objects ? R"({"a": )" : "[";
    close += objects ? "}" : "]";
  }
  return open + (objects ? "1" : "") + close;
}

// Control characters from the document (a key or a value holding "\n")
// appear escaped: the error stays one line.
TEST(ScenarioErrors, ControlCharactersAreEscaped) {
  const BadCase cases[] = {
      {"key with a line break", R"({"imc": {"ena\nbled": true}})",
       "t.json: imc: unknown key \"ena\\nbled\" (expected one of enabled, acknowledges)"},
      {"duplicate key with a tab", R"({"cmos": {"\t": 1, "\t": 2}})", "t.json: cmos: duplicate key \"\\t\""},
  };
  for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
  for (const std::string& text :
       {WithOption(R"(["us\nb"])"), WithData(R"("01\n8G")"),
        std::string(R"({"variables": [{"name": "V", "guid": "glo\r\nbal", "data": "01"}]})")}) {
    const std::string message = ErrorOf(text);
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_NE(message, "(no error)");
  }
}

TEST(ScenarioErrors, NestingDeeperThan64LevelsIsOneLineError) {
  // Levels count the document's own object.
  const BadCase cases[] = {
      {"64 levels: read as usual", R"({"description": )" + Deep(63, false) + "}",
       "t.json: description: expected a string, got an array"},
      {"65 levels of arrays", R"({"description": )" + Deep(64, false) + "}",
       "t.json: description[0][0][0][0][0]...: nested deeper than 64 levels"},
      {"65 levels of objects", R"({"zzz": )" + Deep(64, true) + "}",
       "t.json: zzz.a.a.a.a.a...: nested deeper than 64 levels"},
      {"40,000 levels in a load option path", WithOption("[" + Deep(40000, false) + "]"),
       "t.json: variables[0].data.loadOption.path[0]...: nested deeper than 64 levels"},
      {"40,000 levels of objects as data", WithData(Deep(40000, true)),
       "t.json: variables[0].data.a.a.a...: nested deeper than 64 levels"},
  };
  for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.what;
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

struct TokenCase {
  const char* kind;
  const char* value;
  sim::PcdDatabase::Kind stored;
  uint64_t number;
  std::vector<uint8_t> bytes;
};

TEST(ScenarioData, EachPcdKindStoresThisValue) {
  using Kind = sim::PcdDatabase::Kind;
  std::vector<uint8_t> record(20, 0);
  record[19] = 0xAB;
  const TokenCase cases[] = {
      {"u8", "255", Kind::U8, 0xFF, {}},
      {"u16", "\"0xBEEF\"", Kind::U16, 0xBEEF, {}},
      {"u32", "\"4278190080\"", Kind::U32, 0xFF000000, {}},
      {"u64", "\"0xFFFFFFFFFFFFFFFF\"", Kind::U64, UINT64_MAX, {}},
      {"bool", "true", Kind::Bool, 1, {}},
      {"bool", "false", Kind::Bool, 0, {}},
      {"ptr", "[1, \"0x81\"]", Kind::Ptr, 0, {0x01, 0x81}},
      {"ptr", "\"48 46 44 4D\"", Kind::Ptr, 0, {0x48, 0x46, 0x44, 0x4D}},
      {"ptr", "\"\"", Kind::Ptr, 0, {}},
      {"ptr", R"({"size": 20, "set": {"19": "0xAB"}})", Kind::Ptr, 0, record},
  };
  for (const TokenCase& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.value);
    const Scenario s = ParseScenario(WithToken(c.kind, c.value), "t.json");
    ASSERT_EQ(s.pcd.size(), 1u);
    ASSERT_EQ(s.pcd[0].tokens.size(), 1u);
    const sim::PcdDatabase::Token& t = s.pcd[0].tokens[0];
    EXPECT_EQ(t.number, 1u);
    EXPECT_EQ(t.kind, c.stored);
    EXPECT_EQ(t.value, c.number);
    EXPECT_EQ(t.bytes, c.bytes);
  }
  // Spaces and tokens keep the order they are declared in.
  const Scenario order = ParseScenario(R"({"pcd": {"installed": false, "spaces": [
      {"guid": "fdm", "tokens": [{"token": "0x30000017", "kind": "u64", "value": 1}]},
      {"guid": "flash-device", "tokens": [{"token": 9, "kind": "u8", "value": 1}, {"token": 2, "kind": "u8", "value": 1}]}]}})",
                                       "t.json");
  EXPECT_FALSE(order.pcdInstalled);
  ASSERT_EQ(order.pcd.size(), 2u);
  EXPECT_EQ(sim::GuidToString(order.pcd[0].guid), "C51F1883-DF00-4F6A-08A0-369F6098FDAF");
  EXPECT_EQ(sim::GuidToString(order.pcd[1].guid), "CBDEF572-719D-426E-8A43-75AE913CFFB2");
  ASSERT_EQ(order.pcd[1].tokens.size(), 2u);
  EXPECT_EQ(order.pcd[1].tokens[0].number, 9u);
  EXPECT_EQ(order.pcd[1].tokens[1].number, 2u);
}

TEST(ScenarioData, PstateFillsTheStatusAndDefinitionRegisters) {
  const Scenario s = ParseScenario(R"({"cpu": {
      "pstate": {"current": 1, "definitions": [{"fid": "0x8C", "did": 8}, {"fid": "0x70", "did": "0x3F"}]},
      "msrs": {"0xC0010058": "0xF8000021", "0xC0010066": "0x8000000000000000"},
      "cpuid80000001Eax": "0x00860F01", "postCodeProbe": "0xBEEF", "pauseTicks": 7}})",
                                   "t.json");
  const std::map<uint32_t, uint64_t> msrs = {{0xC0010058, 0xF8000021},
                                             {0xC0010063, 1},
                                             {0xC0010064, 0x088C},
                                             {0xC0010065, 0x3F70},
                                             {0xC0010066, 0x8000000000000000}};
  EXPECT_EQ(s.msrs, msrs);
  EXPECT_EQ(s.cpuid80000001Eax, 0x00860F01u);
  EXPECT_EQ(s.postCodeProbe, 0xBEEF);
  EXPECT_EQ(s.pauseTicks, 7u);
  EXPECT_EQ(ParseScenario(WithPstate(R"({"definitions": [{"fid": 1, "did": 1}]})"), "t").msrs.at(0xC0010063),
            0u)
      << "current defaults to P0";
}

struct PstateCase {
  const char* what;
  std::map<uint32_t, uint64_t> msrs;
  bool fits;
  unsigned current;
  size_t definitions;
};

TEST(ScenarioData, PstateFormOnlyWhenExact) {
  const PstateCase cases[] = {
      {"no registers", {}, false, 0, 0},
      {"status without definitions", {{0xC0010063, 0}}, false, 0, 0},
      {"definitions without status", {{0xC0010064, 0x88C}}, false, 0, 0},
      {"one definition", {{0xC0010063, 0}, {0xC0010064, 0x88C}}, true, 0, 1},
      {"current past the definitions", {{0xC0010063, 1}, {0xC0010064, 0x88C}}, false, 0, 0},
      {"status with other bits", {{0xC0010063, 0x10}, {0xC0010064, 0x88C}}, false, 0, 0},
      {"definition 0 with the enable bit", {{0xC0010063, 0}, {0xC0010064, 0x800000000000088C}}, false, 0, 0},
      {"definitions stop at other bits",
       {{0xC0010063, 1}, {0xC0010064, 0x88C}, {0xC0010065, 0x870}, {0xC0010066, 0x4000}},
       true,
       1,
       2},
      {"definitions stop at a gap", {{0xC0010063, 0}, {0xC0010064, 0x88C}, {0xC0010066, 0x870}}, true, 0, 1},
      {"eight definitions",
       {{0xC0010063, 7},
        {0xC0010064, 1},
        {0xC0010065, 1},
        {0xC0010066, 1},
        {0xC0010067, 1},
        {0xC0010068, 1},
        {0xC0010069, 1},
        {0xC001006A, 1},
        {0xC001006B, 0x3FFF},
        {0xC001006C, 1}},
       true,
       7,
       8},
  };
  for (const PstateCase& c : cases) {
    simboot::PstateForm form;
    ASSERT_EQ(simboot::PstatesOf(c.msrs, &form), c.fits) << c.what;
    if (!c.fits) continue;
    EXPECT_EQ(form.current, c.current) << c.what;
    EXPECT_EQ(form.definitions.size(), c.definitions) << c.what;
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
  EXPECT_TRUE(empty.debugConsole && empty.pcdInstalled);
  EXPECT_TRUE(empty.pcd.empty() && empty.msrs.empty());
  EXPECT_EQ(empty.cpuid80000001Eax, 0u);
  EXPECT_EQ(empty.postCodeProbe, 0u);
  EXPECT_EQ(empty.pauseTicks, 100u);
}

// A scenario with every kind of content, including values that have no
// readable form and must be written as plain bytes.
Scenario Awkward() {
  Scenario s = ParseScenario(R"({
    "description": "awkward", "bootMode": 66, "imc": {"enabled": true, "acknowledges": false},
    "ec": {"registers": {"0x19": 1}, "busyAtBootNs": 3, "takeNs": 1, "answerNs": 0, "staleOutput": 0,
           "goesDeadAfter": 0},
    "platformHook": {"length": 127, "status": "EFI_DEVICE_ERROR", "deletes": {"name": "Setup", "guid": "setup"}},
    "purgeIdleMarker": 2, "store": {"capacity": 4096, "maxVariableSize": 1024, "writeProtected": true},
    "failures": [{"service": "SetVariable", "call": 3, "status": "EFI_OUT_OF_RESOURCES", "fromThenOn": true},
                 {"service": "LocateHandleBuffer", "status": "0x8000000000000063"}],
    "powerCutAfterNvWrite": 4, "resetReturns": true, "bootManager": false,
    "cmos": {"0x61": 5, "0x7F": 255}, "debugConsole": false,
    "pcd": {"installed": false, "spaces": [
      {"guid": "0a0b0c0d-0e0f-1011-1213-141516171819", "tokens": [
        {"token": "0xFFFFFFFFFFFFFFFF", "kind": "u64", "value": "0x8000000000000001"},
        {"token": 3, "kind": "bool", "value": true}, {"token": 2, "kind": "bool", "value": false},
        {"token": 4, "kind": "u8", "value": 0}, {"token": 5, "kind": "u16", "value": "0xFFFF"}]},
      {"guid": "flash-info1", "tokens": [
        {"token": 1, "kind": "ptr", "value": ""}, {"token": 2, "kind": "ptr", "value": {"size": 64, "fill": 1}},
        {"token": 3, "kind": "ptr", "value": {"size": 64, "set": {"63": 1}}}, {"token": 4, "kind": "u32", "value": 1}]}]},
    "cpu": {"msrs": {"0xC0010063": 9, "0xC0010064": "0x88C", "0": "0xFFFFFFFFFFFFFFFF"},
            "cpuid80000001Eax": "0xFFFFFFFF", "postCodeProbe": 1, "pauseTicks": 0},
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
                           "ec-not-answering", "oob-counter", "platform-services"}) {
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
  EXPECT_NE(text.find("\"0xC0010063\": \"0x9\""), std::string::npos) << "a status past P7 stays an MSR";
  EXPECT_EQ(text.find("\"pstate\""), std::string::npos) << text;

  const Scenario services = simboot::LoadScenarioFile(std::string(SCENARIO_DIR) + "/platform-services.json");
  const std::string written = simboot::ScenarioToText(services);
  EXPECT_NE(written.find(R"("fid": "0x8C",)"), std::string::npos) << "P-states in their short form\n"
                                                                  << written;
  EXPECT_EQ(written.find("0xC0010064"), std::string::npos) << "and not again as MSRs\n" << written;
  EXPECT_NE(written.find(R"("0xC0010058": "0xF8000021")"), std::string::npos) << written;
  EXPECT_NE(written.find(R"("guid": "flash-param")"), std::string::npos) << "token spaces by alias";
  EXPECT_NE(written.find(R"("value": {)"), std::string::npos) << "a mostly zero pointer value as a record";
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
