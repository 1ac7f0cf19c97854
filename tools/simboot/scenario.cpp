// Scenario files.
//
// A scenario is one JSON object. Every key is optional except where noted;
// unknown keys, wrong types and out-of-range values are errors.
//
//   "description":     free text
//   "bootMode":        PI boot mode: a name ("full-configuration", "recovery",
//                      "s3-resume", ...) or a number
//   "platformHook":    true: the platform hook protocol is installed each boot;
//                      its factory-reset hook returns EFI_SUCCESS. Or an object
//                      {"length": 128, "status": "EFI_SUCCESS",
//                       "deletes": {"name": "Setup", "guid": "setup"}}: the
//                      interface length field, what the hook returns, and a
//                      variable the hook deletes (all optional)
//   "purgeIdleMarker": true (one handle), false, or the number of handles the
//                      purge-idle marker protocol is installed on each boot
//   "store":           {"capacity": bytes (default 0x20000), "maxVariableSize":
//                       bytes (default 0x10000), "writeProtected": bool}: the
//                      non-volatile variable store; each variable takes 60
//                      bytes of header, its UTF-16 name and its data
//   "failures":        [{"service": "SetVariable", "call": 1,
//                        "status": "EFI_DEVICE_ERROR", "fromThenOn": false}]:
//                      the n-th driver call of the service, counted over the
//                      whole run, fails (services: GetVariable, SetVariable,
//                      AllocatePool, AllocatePages, LocateProtocol,
//                      LocateHandleBuffer, InstallProtocolInterface,
//                      UninstallProtocolInterface, CreateEvent, CreateEventEx,
//                      InstallConfigurationTable and the other names of
//                      sim::ServiceName)
//   "powerCutAfterNvWrite": k: the power goes right after the k-th non-volatile
//                      write of the run (kept); the next boot is a power-on
//   "resetReturns":    true: ResetSystem comes back to its caller
//   "bootManager":     false: no boot manager consumes BootNext (default true)
//   "imc":             {"enabled": bool, "acknowledges": bool (default true)}
//   "ec":              {"registers": {"0x19": 1, ...},
//                       "neverAnswers": bool, "takeNs": n (default 2000),
//                       "answerNs": n (default 3000), "busyAtBootNs": n,
//                       "staleOutput": byte, "goesDeadAfter": n}: the EC takes
//                      each host byte takeNs after the write and answers a read
//                      answerNs after taking the address; goesDeadAfter is the
//                      number of bytes it takes in a boot before it stops
//   "cmos":            {"0x61": 1, ...}  (indexes 0 to 127)
//   "variables":       [{"name": "Setup", "guid": "setup", "attributes": 7, "data": ...}]
//   "debugConsole":    false: the debug-message protocol is not installed (default true)
//   "pcd":             {"installed": bool (default true),
//                       "spaces": [{"guid": "flash-device",
//                                   "tokens": [{"token": 1, "kind": "u32", "value": "0xFF800000"}]}]}
//   "cpu":             {"pstate": {"current": 0, "definitions": [{"fid": "0x8C", "did": 8}]},
//                       "msrs": {"0xC0010058": "0xF8000021"}, "cpuid80000001Eax": n,
//                       "postCodeProbe": n, "pauseTicks": n}
//   "smm":             {"base": bool, "inSmm": bool} (default both false):
//                      EFI_SMM_BASE2_PROTOCOL is installed each boot, and what
//                      its InSmm answers; GetSmstLocation works only in SMM
//   "imageCodeType":   memory type of the loaded image's code (default 3,
//                      boot-services code; 5 makes it a runtime image)
//   "dxeServices":     false: no DXE services configuration table (default true)
//   "pointerRegistry": "absent" (default), "boot-start" or "before-end-of-dxe":
//                      when the pointer-registry protocol is installed
//   "smbusHc":         true: the SMBus host-controller protocol is installed
//   "heapHobs":        [{"payload": [1, "0x81"], "poolKind": 8, "take": 1,
//                        "payloadSize": n, "signature": n}]: HEAP buffer HOBs
//                      in HOB-list order; poolKind and take default 0 and 1,
//                      payloadSize (the size the descriptor states) defaults
//                      to the payload's, signature to 0x50414548 ("HEAP")
//   "flash":           the flash hardware and configuration, described in
//                      tools/simboot/scenario_flash.cpp
//   "hii":             false: no HII protocol is installed; or an object
//                      {"present": bool, "string": bool, "database": bool,
//                       "configRouting": bool, "font": bool, "image": bool,
//                       "setStringOnSkippedId": "define" | "refuse"}: which
//                      HII protocols are installed at boot start (all by
//                      default; config routing, font and image may only be
//                      located) and what SetString does with an id a
//                      language's package skips ("define": the id gets the
//                      text in that language; "refuse": EFI_NOT_FOUND)
//   "watchedProtocol": "absent" (default), "boot-start", "before-end-of-dxe"
//                      or "after-end-of-dxe": when another module installs
//                      protocol 8BFFF2C1-0BB8-47FD-9F6A-AEC101ACBE6E
//   "sharedRecord":    true: another module publishes the 40-byte shared
//                      record DA8A55E4-4940-4AF9-9F36-2DB43EC28259 at boot start
//   "firmwareInfo":    the firmware-information area (map type
//                      32415DFC-D106-48C7-9EB5-806C114DD107, instance 1):
//                      true for the built-in one, or {"size": 0x200, "date":
//                      "2024-03-15", "time": "10:20:30", "version":
//                      "VXPLN2A0D0105", "model": "QV2207", "third":
//                      "05.41.52", "records": ["$VEREX...", "$PRODEX...",
//                      "$CCBVEX..."], "rdate": "2024-03-14" or null}, each
//                      field optional (those are the defaults); dates and
//                      times may also be three BCD bytes ("21 02 29"), given
//                      without checks. Or {"raw": "hex bytes", "size": n}:
//                      the area byte for byte (padded with FF to size).
//                      Unwritten bytes are FF. The date and time go in BCD
//                      at 0x06 and 0x0A, the texts with their NULs at 0x0E,
//                      0x27 and 0x41, the records from 0x15B, "$RDATE" and
//                      its date right after them
//   "keptFlashArea":   true (4 KiB) or {"size": n}: the area of type
//                      B78E15D3-F0A5-4248-8E2F-D3157AEF8836, instance 1
//                      Both areas join the "flash" section's map after its
//                      entries; without one they are published in a map of
//                      their own
//
// Numbers are JSON integers or strings with decimal digits or 0x-prefixed hex
// ("0x81"); object keys that are numbers follow the same rule. A variable's
// "guid" is the registry form or an alias: global, boot-control, lid-flag,
// setup, physical-boot-order, oob-test, chg-key. "attributes" defaults to 7
// and must include NON_VOLATILE. "data" is one of:
//   [1, "0x81"]                                 bytes
//   "01 81"                                     hex bytes
//   {"u16": [0, "0x2001"]}                      16-bit little-endian values (BootOrder)
//   {"loadOption": {"description": "EFI USB Device", "attributes": 1,
//                   "path": ["pci", {"kind": "usb", "port": 3}]}}
//                                               a Boot#### load option (node kinds
//                                               in option_json.h)
//   {"size": 512, "fill": 0, "set": {"92": 1}}  a record of `size` bytes
//
// PCD token spaces and their tokens are declared in the order the PCD protocol
// enumerates them. A space's "guid" is the registry form or an alias:
// flash-device, flash-param, flash-info1, flash-info2 (the flash device
// records), fdm (the flash device map address), boot-script-pcd,
// chipset-s3-pcd (the S3 tables). A token number is nonzero (0 starts an
// enumeration) and unique in its space; "kind" is u8, u16, u32, u64, bool or
// ptr; "value" is a number in the kind's range, true or false for bool, and
// bytes for ptr ([1, "0x81"], "01 81" or a record; may be empty). Every boot
// starts from these values; the driver's writes last for the boot.
//
// "pstate" is the short form of the P-state registers: MSR 0xC0010063 holds
// `current` (default 0), MSR 0xC0010064 + n holds fid | did << 8 of
// definition n (at most 8; fid 0 to 0xFF, did 0 to 0x3F, and `current` must
// have one). "msrs" sets any other MSR (64-bit values; unlisted ones read as
// 0) and may not name a register that "pstate" fills. A written state uses
// "pstate" whenever the registers fit it exactly. "cpuid80000001Eax" is EAX of
// CPUID leaf 0x80000001 (other leaves read as 0); "postCodeProbe" is the
// 16-bit answer of the magic post-code probe, 0 (default) for no answer;
// "pauseTicks" is how far each PAUSE advances the TSC (default 100).
//
// "smmCommunication" and "s3" (SMM communication, lock boxes, the chipset S3
// save handler, the S3 PCDs and a published boot-script table) are described
// at the top of scenario_s3.cpp.
//
// The document reader here checks the top-level keys and reads the small ones
// itself; each section has a reader and a writer of its own, called key by
// key in a fixed order (which decides the first error a document reports):
// scenario_variables.cpp ("variables"), scenario_devices.cpp ("imc", "ec",
// "cmos", "cpu"), scenario_pcd.cpp ("pcd"), scenario_services.cpp (the
// platform services), scenario_s3.cpp, scenario_flash.cpp ("flash") and
// scenario_hii.cpp (the HII keys and the flash areas).
#include "tools/simboot/scenario.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "bootctl/vars.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/option_json.h"
#include "tools/simboot/scenario_sections.h"

namespace simboot {

using sim::operator==;
using sim::operator!=;

namespace {

struct GuidAlias {
  const char* alias;
  EFI_GUID guid;
};

const GuidAlias kGuidAliases[] = {
    {"global", EFI_GLOBAL_VARIABLE},
    {"boot-control", BootControlVendorGuid},
    {"lid-flag", LidFlagVendorGuid},
    {"setup", SetupVariableGuid},
    {"physical-boot-order", PhysicalBootOrderGuid},
    {"oob-test", OobTestVendorGuid},
    {"chg-key", ChgKeyVendorGuid},
    // PCD token spaces
    {"flash-device", {0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}}},
    {"flash-param", {0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}}},
    {"flash-info1", {0x2F779836, 0x610C, 0x4615, {0xA4, 0x62, 0x54, 0xE7, 0x3E, 0xF1, 0x61, 0x92}}},
    {"flash-info2", {0xE9A68F2A, 0x13F1, 0x4505, {0xB6, 0xA1, 0xE1, 0x82, 0x18, 0x8A, 0xC4, 0x9A}}},
    {"fdm", {0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}}},
    {"boot-script-pcd", {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}}},
    {"chipset-s3-pcd", {0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}}},
};

struct BootModeName {
  const char* name;
  uint32_t mode;
};

const BootModeName kBootModes[] = {
    {"full-configuration", BOOT_WITH_FULL_CONFIGURATION},
    {"minimal-configuration", BOOT_WITH_MINIMAL_CONFIGURATION},
    {"assuming-no-changes", BOOT_ASSUMING_NO_CONFIGURATION_CHANGES},
    {"full-configuration-plus-diagnostics", BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS},
    {"default-settings", BOOT_WITH_DEFAULT_SETTINGS},
    {"s4-resume", BOOT_ON_S4_RESUME},
    {"s5-resume", BOOT_ON_S5_RESUME},
    {"mfg-mode-settings", BOOT_WITH_MFG_MODE_SETTINGS},
    {"s2-resume", BOOT_ON_S2_RESUME},
    {"s3-resume", BOOT_ON_S3_RESUME},
    {"flash-update", BOOT_ON_FLASH_UPDATE},
    {"recovery", BOOT_IN_RECOVERY_MODE},
};

}  // namespace

std::string HexByte(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// ---------------------------------------------------------------- reading

EFI_GUID ReadGuid(const Json& value, const std::string& path) {
  const std::string text = ReadString(value, path);
  EFI_GUID guid;
  if (GuidFromText(text, &guid)) return guid;
  std::string aliases;
  for (const GuidAlias& a : kGuidAliases) aliases += std::string(aliases.empty() ? "" : ", ") + a.alias;
  throw PathError(path, Shown(value) + " is neither a GUID nor a known alias (" + aliases + ")");
}

namespace {

EFI_STATUS ReadStatus(const Json& value, const std::string& path) {
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text == "EFI_SUCCESS") return EFI_SUCCESS;
    for (uint64_t code = 1; code < 64; ++code) {
      const EFI_STATUS status = code | (1ull << 63);
      if (sim::StatusName(status) == text) return status;
    }
    if (text.rfind("0x", 0) != 0 && text.rfind("0X", 0) != 0) {
      throw PathError(path, Shown(value) + " is not a status name (EFI_DEVICE_ERROR, ...) or a number");
    }
  }
  return ReadUnsigned(value, path, UINT64_MAX, "a status");
}

void ReadPlatformHook(const Json& value, const std::string& path, Scenario* s) {
  if (value.is_boolean()) {
    s->platformHook = value.get<bool>();
    return;
  }
  ExpectObject(value, path);
  CheckKeys(value, path, {"length", "status", "deletes"});
  s->platformHook = true;
  if (value.contains("length")) {
    s->hook.length = static_cast<uint32_t>(
        ReadUnsigned(value["length"], KeyPath(path, "length"), 128, "an interface length (0 to 128)"));
  }
  if (value.contains("status")) s->hook.status = ReadStatus(value["status"], KeyPath(path, "status"));
  if (value.contains("deletes")) {
    const std::string at = KeyPath(path, "deletes");
    const Json& d = value["deletes"];
    ExpectObject(d, at);
    CheckKeys(d, at, {"name", "guid"});
    s->hook.deletes = ReadString(Require(d, at, "name"), KeyPath(at, "name"));
    if (s->hook.deletes.empty()) throw PathError(KeyPath(at, "name"), "the name is empty");
    s->hook.deletesGuid = ReadGuid(Require(d, at, "guid"), KeyPath(at, "guid"));
  }
}

void ReadStore(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"capacity", "maxVariableSize", "writeProtected"});
  if (value.contains("capacity")) {
    s->store.capacity =
        ReadUnsigned(value["capacity"], KeyPath(path, "capacity"), 1ull << 32, "a size in bytes");
  }
  if (value.contains("maxVariableSize")) {
    s->store.maxVariableSize = ReadUnsigned(value["maxVariableSize"], KeyPath(path, "maxVariableSize"),
                                            1ull << 32, "a size in bytes");
  }
  if (value.contains("writeProtected")) {
    s->store.writeProtected = ReadBool(value["writeProtected"], KeyPath(path, "writeProtected"));
  }
}

void ReadFailures(const Json& value, const std::string& path, Scenario* s) {
  ExpectArray(value, path);
  for (size_t i = 0; i < value.size(); ++i) {
    const std::string at = IndexPath(path, i);
    const Json& f = value[i];
    ExpectObject(f, at);
    CheckKeys(f, at, {"service", "call", "status", "fromThenOn"});
    FailureSetting setting;
    const std::string name = ReadString(Require(f, at, "service"), KeyPath(at, "service"));
    if (!sim::ServiceFromName(name, &setting.service)) {
      throw PathError(KeyPath(at, "service"), "\"" + name + "\" is not a service that can be made to fail");
    }
    if (f.contains("call")) {
      setting.call = ReadUnsigned(f["call"], KeyPath(at, "call"), UINT64_MAX, "a call number");
      if (setting.call == 0) throw PathError(KeyPath(at, "call"), "calls are counted from 1");
    }
    setting.status = ReadStatus(Require(f, at, "status"), KeyPath(at, "status"));
    if (!EFI_ERROR(setting.status)) throw PathError(KeyPath(at, "status"), "a failure needs an error status");
    if (f.contains("fromThenOn")) setting.fromThenOn = ReadBool(f["fromThenOn"], KeyPath(at, "fromThenOn"));
    s->failures.push_back(setting);
  }
}

uint32_t ReadBootMode(const Json& value, const std::string& path) {
  if (value.is_string()) {
    const std::string name = value.get<std::string>();
    for (const BootModeName& m : kBootModes) {
      if (name == m.name) return m.mode;
    }
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) {
      std::string names;
      for (const BootModeName& m : kBootModes) names += std::string(names.empty() ? "" : ", ") + m.name;
      throw PathError(path, Shown(value) + " is not a boot mode (" + names + ", or a number)");
    }
  }
  return static_cast<uint32_t>(ReadUnsigned(value, path, 0xFFFFFFFF, "a 32-bit boot mode"));
}

Scenario FromJson(const Json& root) {
  ExpectObject(root, "");
  std::vector<std::string> keys = {"description",  "bootMode",
                                   "platformHook", "purgeIdleMarker",
                                   "debugConsole", "imc",
                                   "ec",           "cmos",
                                   "pcd",          "cpu",
                                   "variables",    "store",
                                   "failures",     "powerCutAfterNvWrite",
                                   "resetReturns", "bootManager"};
  keys.insert(keys.end(), PlatformServiceKeys().begin(), PlatformServiceKeys().end());
  keys.insert(keys.end(), std::begin(kS3ScenarioKeys), std::end(kS3ScenarioKeys));
  keys.push_back("flash");
  keys.insert(keys.end(), HiiScenarioKeys().begin(), HiiScenarioKeys().end());
  CheckKeys(root, "", keys);
  Scenario s;
  ReadPlatformServices(root, &s);
  ReadHiiScenario(root, &s.hii);
  if (root.contains("description")) s.description = ReadString(root["description"], "description");
  if (root.contains("bootMode")) s.bootMode = ReadBootMode(root["bootMode"], "bootMode");
  if (root.contains("platformHook")) ReadPlatformHook(root["platformHook"], "platformHook", &s);
  if (root.contains("purgeIdleMarker")) {
    const Json& m = root["purgeIdleMarker"];
    s.purgeIdleMarker = m.is_boolean()
                            ? (m.get<bool>() ? 1u : 0u)
                            : static_cast<unsigned>(ReadUnsigned(m, "purgeIdleMarker", 64,
                                                                 "true, false or a handle count up to 64"));
  }
  if (root.contains("store")) ReadStore(root["store"], "store", &s);
  if (root.contains("failures")) ReadFailures(root["failures"], "failures", &s);
  if (root.contains("powerCutAfterNvWrite")) {
    s.powerCutAfterNvWrite =
        ReadUnsigned(root["powerCutAfterNvWrite"], "powerCutAfterNvWrite", UINT64_MAX, "a write count");
  }
  if (root.contains("resetReturns")) s.resetReturns = ReadBool(root["resetReturns"], "resetReturns");
  if (root.contains("bootManager")) s.bootManager = ReadBool(root["bootManager"], "bootManager");
  if (root.contains("imc")) ReadImc(root["imc"], "imc", &s);
  if (root.contains("debugConsole")) s.debugConsole = ReadBool(root["debugConsole"], "debugConsole");
  if (root.contains("ec")) ReadEc(root["ec"], "ec", &s);
  if (root.contains("cmos")) ReadCmos(root["cmos"], "cmos", &s);
  if (root.contains("pcd")) ReadPcd(root["pcd"], "pcd", &s);
  if (root.contains("cpu")) ReadCpu(root["cpu"], "cpu", &s);
  ReadS3Keys(root, &s.s3);
  if (root.contains("flash")) s.flash = ParseFlashSetting(root["flash"].dump(), "flash");
  if (root.contains("variables")) ReadVariables(root["variables"], "variables", &s.variables);
  return s;
}

// ---------------------------------------------------------------- writing

OrderedJson ToJson(const Scenario& s) {
  OrderedJson root;
  if (!s.description.empty()) root["description"] = s.description;
  const std::string mode = BootModeText(s.bootMode);
  root["bootMode"] =
      std::isdigit(static_cast<unsigned char>(mode[0])) ? OrderedJson(s.bootMode) : OrderedJson(mode);
  const PlatformHookSetting defaultHook;
  if (s.platformHook &&
      (s.hook.length != defaultHook.length || s.hook.status != 0 || !s.hook.deletes.empty())) {
    OrderedJson hook;
    hook["length"] = s.hook.length;
    hook["status"] = sim::StatusName(s.hook.status);
    if (!s.hook.deletes.empty())
      hook["deletes"] = {{"name", s.hook.deletes}, {"guid", GuidText(s.hook.deletesGuid)}};
    root["platformHook"] = hook;
  } else {
    root["platformHook"] = s.platformHook;
  }
  if (s.purgeIdleMarker > 1) {
    root["purgeIdleMarker"] = s.purgeIdleMarker;
  } else {
    root["purgeIdleMarker"] = s.purgeIdleMarker == 1;
  }
  const sim::VariableStoreConfig defaultStore;
  if (s.store.capacity != defaultStore.capacity || s.store.maxVariableSize != defaultStore.maxVariableSize ||
      s.store.writeProtected) {
    root["store"] = {{"capacity", HexByte(s.store.capacity, 1)},
                     {"maxVariableSize", HexByte(s.store.maxVariableSize, 1)},
                     {"writeProtected", s.store.writeProtected}};
  }
  if (!s.failures.empty()) {
    OrderedJson failures = OrderedJson::array();
    for (const FailureSetting& f : s.failures) {
      failures.push_back({{"service", sim::ServiceName(f.service)},
                          {"call", f.call},
                          {"status", sim::StatusName(f.status)},
                          {"fromThenOn", f.fromThenOn}});
    }
    root["failures"] = failures;
  }
  if (s.powerCutAfterNvWrite) root["powerCutAfterNvWrite"] = s.powerCutAfterNvWrite;
  if (s.resetReturns) root["resetReturns"] = true;
  if (!s.bootManager) root["bootManager"] = false;
  root["debugConsole"] = s.debugConsole;
  root["imc"] = ImcToJson(s);
  root["ec"] = EcToJson(s);
  root["cmos"] = CmosToJson(s);
  root["pcd"] = PcdToJson(s);
  root["cpu"] = CpuToJson(s);
  root["variables"] = VariablesToJson(s.variables);
  WritePlatformServices(s, &root);
  WriteS3Keys(s.s3, root);
  if (s.flash.present) root["flash"] = OrderedJson::parse(FlashSettingToText(s.flash));
  WriteHiiScenario(s.hii, &root);
  return root;
}

}  // namespace

bool operator==(const Scenario& a, const Scenario& b) {
  const auto sameFailures = [](const std::vector<FailureSetting>& x, const std::vector<FailureSetting>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i].service != y[i].service || x[i].call != y[i].call || x[i].status != y[i].status ||
          x[i].fromThenOn != y[i].fromThenOn) {
        return false;
      }
    }
    return true;
  };
  const bool sameHook = a.hook.length == b.hook.length && a.hook.status == b.hook.status &&
                        a.hook.deletes == b.hook.deletes &&
                        (a.hook.deletes.empty() || a.hook.deletesGuid == b.hook.deletesGuid);
  const bool sameStore = a.store.capacity == b.store.capacity &&
                         a.store.maxVariableSize == b.store.maxVariableSize &&
                         a.store.writeProtected == b.store.writeProtected;
  return sameHook && sameStore && sameFailures(a.failures, b.failures) && SamePlatformServices(a, b) &&
         a.powerCutAfterNvWrite == b.powerCutAfterNvWrite && a.resetReturns == b.resetReturns &&
         a.bootManager == b.bootManager && a.description == b.description && a.bootMode == b.bootMode &&
         a.platformHook == b.platformHook && a.purgeIdleMarker == b.purgeIdleMarker &&
         a.imcEnabled == b.imcEnabled && a.imcAcknowledges == b.imcAcknowledges && a.cmos == b.cmos &&
         a.ecRegisters == b.ecRegisters && SameEc(a.ec, b.ec) && SameVariables(a.variables, b.variables) &&
         a.pcdInstalled == b.pcdInstalled && SamePcd(a.pcd, b.pcd) && a.debugConsole == b.debugConsole &&
         a.msrs == b.msrs && a.cpuid80000001Eax == b.cpuid80000001Eax && a.postCodeProbe == b.postCodeProbe &&
         a.pauseTicks == b.pauseTicks && a.s3 == b.s3 && a.flash == b.flash && a.hii == b.hii;
}

Scenario ParseScenario(const std::string& text, const std::string& source) {
  try {
    return FromJson(ParseJsonText(text));
  } catch (const PathError& e) {
    throw ScenarioError(source + ": " + (e.path().empty() ? "" : e.path() + ": ") + e.what());
  } catch (const std::exception& e) {  // a library fault, still reported as one line
    throw ScenarioError(source + ": " + e.what());
  }
}

Scenario LoadScenarioFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw ScenarioError(path + ": cannot open: " + std::strerror(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw ScenarioError(path + ": cannot read: " + std::strerror(error));
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ParseScenario(text, path);
}

std::string ScenarioToText(const Scenario& scenario) { return ToJson(scenario).dump(2) + "\n"; }

void SaveScenarioFile(const Scenario& scenario, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << ScenarioToText(scenario);
  out.close();
  if (!out) throw ScenarioError(path + ": cannot write the state");
}

bool GuidFromText(const std::string& text, EFI_GUID* guid) {
  for (const GuidAlias& a : kGuidAliases) {
    if (text == a.alias) {
      *guid = a.guid;
      return true;
    }
  }
  return sim::ParseGuid(text, guid);
}

std::string GuidText(const EFI_GUID& guid) {
  for (const GuidAlias& a : kGuidAliases) {
    if (a.guid == guid) return a.alias;
  }
  return sim::GuidToString(guid);
}

std::string BootModeText(uint32_t mode) {
  for (const BootModeName& m : kBootModes) {
    if (m.mode == mode) return m.name;
  }
  return std::to_string(mode);
}

}  // namespace simboot
