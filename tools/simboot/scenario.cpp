// Scenario files.
//
// A scenario is one JSON object. Every key is optional except where noted;
// unknown keys, wrong types and out-of-range values are errors.
//
//   "description":     free text
//   "bootMode":        PI boot mode: a name ("full-configuration", "recovery",
//                      "s3-resume", ...) or a number
//   "platformHook":    true: the platform hook protocol is installed each boot;
//                      its factory-reset hook returns EFI_SUCCESS
//   "purgeIdleMarker": true: the purge-idle marker protocol is installed each boot
//   "imc":             {"enabled": bool, "acknowledges": bool (default true)}
//   "ec":              {"registers": {"0x19": 1, ...},
//                       "neverAnswers": bool, "busyAfterWrite": n, "busyAtBoot": n,
//                       "staleOutput": byte, "goesDeadAfter": n}
//   "cmos":            {"0x61": 1, ...}  (indexes 0 to 127)
//   "variables":       [{"name": "Setup", "guid": "setup", "attributes": 7, "data": ...}]
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

namespace simboot {

using sim::operator==;
using sim::operator!=;

namespace {

constexpr uint64_t kMaxVariableSize = 0x10000;
constexpr uint32_t kStoredAttributes = 0x0F;  // NV, BS, RT, hardware error record

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

std::string HexByte(uint64_t value, int digits = 2) {
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

std::vector<uint8_t> ReadHexBytes(const Json& value, const std::string& path) {
  const std::string text = value.get<std::string>();
  std::vector<uint8_t> bytes;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string token = text.substr(at, end - at);
    const bool ok = token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
                    std::isxdigit(static_cast<unsigned char>(token[1]));
    if (!ok) {
      throw PathError(path, "\"" + token + "\" (byte " + std::to_string(bytes.size()) +
                                ") is not a hex byte; write bytes as two hex digits separated by spaces");
    }
    bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    at = end;
  }
  return bytes;
}

std::vector<uint8_t> ReadRecord(const Json& value, const std::string& path) {
  CheckKeys(value, path, {"size", "fill", "set"});
  const uint64_t size = ReadUnsigned(value["size"], KeyPath(path, "size"), kMaxVariableSize,
                                     "a record size (at most 65536 bytes)");
  uint8_t fill = 0;
  if (value.contains("fill"))
    fill = static_cast<uint8_t>(ReadUnsigned(value["fill"], KeyPath(path, "fill"), 0xFF, "a byte"));
  std::vector<uint8_t> bytes(size, fill);
  if (value.contains("set")) {
    const std::string setPath = KeyPath(path, "set");
    ExpectObject(value["set"], setPath);
    for (const auto& member : value["set"].items()) {
      const std::string at = KeyPath(setPath, member.key());
      const uint64_t offset = ReadKeyNumber(member.key(), at, UINT64_MAX, "an offset");
      if (offset >= size) {
        throw PathError(at, "offset " + std::to_string(offset) + " is past the end of the " +
                                std::to_string(size) + "-byte record");
      }
      bytes[offset] = static_cast<uint8_t>(ReadUnsigned(member.value(), at, 0xFF, "a byte"));
    }
  }
  return bytes;
}

std::vector<uint8_t> ReadData(const Json& value, const std::string& path) {
  std::vector<uint8_t> bytes;
  if (value.is_array()) {
    for (size_t i = 0; i < value.size(); ++i) {
      bytes.push_back(static_cast<uint8_t>(ReadUnsigned(value[i], IndexPath(path, i), 0xFF, "a byte")));
    }
  } else if (value.is_string()) {
    bytes = ReadHexBytes(value, path);
  } else if (value.is_object() && value.contains("u16")) {
    CheckKeys(value, path, {"u16"});
    const std::string at = KeyPath(path, "u16");
    ExpectArray(value["u16"], at);
    std::vector<uint16_t> values;
    for (size_t i = 0; i < value["u16"].size(); ++i) {
      values.push_back(
          static_cast<uint16_t>(ReadUnsigned(value["u16"][i], IndexPath(at, i), 0xFFFF, "a 16-bit value")));
    }
    bytes = sim::Uint16List(values);
  } else if (value.is_object() && value.contains("loadOption")) {
    CheckKeys(value, path, {"loadOption"});
    bytes = LoadOptionFromJson(value["loadOption"], KeyPath(path, "loadOption"));
  } else if (value.is_object() && value.contains("size")) {
    bytes = ReadRecord(value, path);
  } else {
    throw PathError(
        path,
        "expected bytes ([1, \"0x81\"] or \"01 81\") or an object with \"u16\", \"loadOption\" or "
        "\"size\", got " +
            Shown(value));
  }
  if (bytes.empty()) throw PathError(path, "no data: a stored variable holds at least one byte");
  if (bytes.size() > kMaxVariableSize)
    throw PathError(path, std::to_string(bytes.size()) + " bytes is too large");
  return bytes;
}

sim::Variable ReadVariable(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"name", "guid", "attributes", "data"});
  sim::Variable v;
  const std::string name = ReadString(Require(value, path, "name"), KeyPath(path, "name"));
  if (name.empty() || name.find('\0') != std::string::npos) {
    throw PathError(KeyPath(path, "name"), "a variable name is a non-empty string without NUL characters");
  }
  v.name = sim::Utf8ToUtf16(name);
  v.guid = ReadGuid(Require(value, path, "guid"), KeyPath(path, "guid"));
  v.attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
  if (value.contains("attributes")) {
    const std::string at = KeyPath(path, "attributes");
    v.attributes = static_cast<uint32_t>(ReadUnsigned(value["attributes"], at, 0xFFFFFFFF, "a 32-bit value"));
    if (v.attributes & ~kStoredAttributes) {
      throw PathError(at,
                      HexByte(v.attributes, 1) +
                          " holds bits a stored variable cannot have (only 0x1 NV, 0x2 BS, 0x4 RT, 0x8 HR)");
    }
    if (!(v.attributes & EFI_VARIABLE_NON_VOLATILE)) {
      throw PathError(at, HexByte(v.attributes, 1) +
                              " lacks NON_VOLATILE (0x1): the variable would be gone before the first boot");
    }
    if ((v.attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(v.attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
      throw PathError(at, HexByte(v.attributes, 1) + " has RUNTIME_ACCESS without BOOTSERVICE_ACCESS");
    }
  }
  v.data = ReadData(Require(value, path, "data"), KeyPath(path, "data"));
  return v;
}

void ReadEc(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"registers", "neverAnswers", "busyAfterWrite", "busyAtBoot", "staleOutput", "goesDeadAfter"});
  if (value.contains("registers")) {
    const std::string at = KeyPath(path, "registers");
    ExpectObject(value["registers"], at);
    for (const auto& member : value["registers"].items()) {
      const std::string reg = KeyPath(at, member.key());
      const uint64_t index = ReadKeyNumber(member.key(), reg, 0xFF, "an EC register (0 to 0xFF)");
      s->ecRegisters[index] = static_cast<uint8_t>(ReadUnsigned(member.value(), reg, 0xFF, "a byte"));
    }
  }
  const auto count = [&](const char* key) {
    return static_cast<unsigned>(ReadUnsigned(value[key], KeyPath(path, key), 0xFFFFFFFF, "a 32-bit count"));
  };
  if (value.contains("neverAnswers"))
    s->ec.neverAnswers = ReadBool(value["neverAnswers"], KeyPath(path, "neverAnswers"));
  if (value.contains("busyAfterWrite")) s->ec.busyAfterWrite = count("busyAfterWrite");
  if (value.contains("busyAtBoot")) s->ec.busyAtBoot = count("busyAtBoot");
  if (value.contains("goesDeadAfter")) s->ec.goesDeadAfter = count("goesDeadAfter");
  if (value.contains("staleOutput")) {
    s->ec.staleOutput = static_cast<uint8_t>(
        ReadUnsigned(value["staleOutput"], KeyPath(path, "staleOutput"), 0xFF, "a byte"));
  }
}

void ReadCmos(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  for (const auto& member : value.items()) {
    const std::string at = KeyPath(path, member.key());
    const uint64_t index = ReadKeyNumber(member.key(), at, s->cmos.size() - 1, "a CMOS index (0 to 0x7F)");
    s->cmos[index] = static_cast<uint8_t>(ReadUnsigned(member.value(), at, 0xFF, "a byte"));
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
  CheckKeys(root, "",
            {"description", "bootMode", "platformHook", "purgeIdleMarker", "imc", "ec", "cmos", "variables"});
  Scenario s;
  if (root.contains("description")) s.description = ReadString(root["description"], "description");
  if (root.contains("bootMode")) s.bootMode = ReadBootMode(root["bootMode"], "bootMode");
  if (root.contains("platformHook")) s.platformHook = ReadBool(root["platformHook"], "platformHook");
  if (root.contains("purgeIdleMarker"))
    s.purgeIdleMarker = ReadBool(root["purgeIdleMarker"], "purgeIdleMarker");
  if (root.contains("imc")) {
    const Json& imc = root["imc"];
    ExpectObject(imc, "imc");
    CheckKeys(imc, "imc", {"enabled", "acknowledges"});
    if (imc.contains("enabled")) s.imcEnabled = ReadBool(imc["enabled"], "imc.enabled");
    if (imc.contains("acknowledges")) s.imcAcknowledges = ReadBool(imc["acknowledges"], "imc.acknowledges");
  }
  if (root.contains("ec")) ReadEc(root["ec"], "ec", &s);
  if (root.contains("cmos")) ReadCmos(root["cmos"], "cmos", &s);
  if (root.contains("variables")) {
    const Json& list = root["variables"];
    ExpectArray(list, "variables");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string path = IndexPath("variables", i);
      sim::Variable v = ReadVariable(list[i], path);
      for (size_t j = 0; j < s.variables.size(); ++j) {
        if (s.variables[j].name == v.name && s.variables[j].guid == v.guid) {
          throw PathError(path, "same name and GUID as " + IndexPath("variables", j));
        }
      }
      s.variables.push_back(std::move(v));
    }
  }
  return s;
}

// ---------------------------------------------------------------- writing

bool IsBootOptionName(const std::u16string& name) {
  if (name.size() != 8 || name.compare(0, 4, u"Boot") != 0) return false;
  for (size_t i = 4; i < 8; ++i) {
    const char16_t c = name[i];
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
  }
  return true;
}

bool IsOptionList(const sim::Variable& v) {
  if (v.data.size() % 2 != 0) return false;
  if (v.guid == PhysicalBootOrderGuid) return v.name == u"PhysicalBootOrder";
  return v.guid == EFI_GLOBAL_VARIABLE && (v.name == u"BootOrder" || v.name == u"BootNext");
}

OrderedJson DataToJson(const sim::Variable& v) {
  if (v.guid == EFI_GLOBAL_VARIABLE && IsBootOptionName(v.name)) {
    if (std::optional<OrderedJson> option = LoadOptionToJson(v.data)) return {{"loadOption", *option}};
  }
  if (IsOptionList(v)) {
    OrderedJson list = OrderedJson::array();
    for (size_t i = 0; i < v.data.size(); i += 2)
      list.push_back(HexByte(v.data[i] | (v.data[i + 1] << 8), 4));
    return {{"u16", list}};
  }
  size_t nonzero = 0;
  for (uint8_t b : v.data) nonzero += b != 0;
  if (v.data.size() > 16 && nonzero * 4 <= v.data.size()) {
    OrderedJson set = OrderedJson::object();
    for (size_t i = 0; i < v.data.size(); ++i) {
      if (v.data[i] != 0) set[std::to_string(i)] = HexByte(v.data[i]);
    }
    return {{"size", v.data.size()}, {"set", set}};
  }
  return sim::HexBytes(v.data);
}

OrderedJson ToJson(const Scenario& s) {
  OrderedJson root;
  if (!s.description.empty()) root["description"] = s.description;
  const std::string mode = BootModeText(s.bootMode);
  root["bootMode"] =
      std::isdigit(static_cast<unsigned char>(mode[0])) ? OrderedJson(s.bootMode) : OrderedJson(mode);
  root["platformHook"] = s.platformHook;
  root["purgeIdleMarker"] = s.purgeIdleMarker;
  root["imc"] = {{"enabled", s.imcEnabled}, {"acknowledges", s.imcAcknowledges}};
  OrderedJson ec;
  OrderedJson registers = OrderedJson::object();
  for (size_t i = 0; i < s.ecRegisters.size(); ++i) {
    if (s.ecRegisters[i] != 0) registers[HexByte(i)] = HexByte(s.ecRegisters[i]);
  }
  ec["registers"] = registers;
  if (s.ec.neverAnswers) ec["neverAnswers"] = true;
  if (s.ec.busyAfterWrite) ec["busyAfterWrite"] = s.ec.busyAfterWrite;
  if (s.ec.busyAtBoot) ec["busyAtBoot"] = s.ec.busyAtBoot;
  if (s.ec.staleOutput) ec["staleOutput"] = HexByte(*s.ec.staleOutput);
  if (s.ec.goesDeadAfter) ec["goesDeadAfter"] = *s.ec.goesDeadAfter;
  root["ec"] = ec;
  OrderedJson cmos = OrderedJson::object();
  for (size_t i = 0; i < s.cmos.size(); ++i) {
    if (s.cmos[i] != 0) cmos[HexByte(i)] = HexByte(s.cmos[i]);
  }
  root["cmos"] = cmos;
  OrderedJson variables = OrderedJson::array();
  for (const sim::Variable& v : s.variables) {
    OrderedJson entry = {{"name", sim::Utf16ToUtf8(v.name)}, {"guid", GuidText(v.guid)}};
    if (v.attributes != 7) entry["attributes"] = HexByte(v.attributes, 1);
    entry["data"] = DataToJson(v);
    variables.push_back(entry);
  }
  root["variables"] = variables;
  return root;
}

}  // namespace

bool operator==(const Scenario& a, const Scenario& b) {
  const auto sameEc = [](const sim::EmbeddedController::Behaviour& x,
                         const sim::EmbeddedController::Behaviour& y) {
    return x.neverAnswers == y.neverAnswers && x.busyAfterWrite == y.busyAfterWrite &&
           x.busyAtBoot == y.busyAtBoot && x.staleOutput == y.staleOutput &&
           x.goesDeadAfter == y.goesDeadAfter;
  };
  const auto sameVariables = [](const std::vector<sim::Variable>& x, const std::vector<sim::Variable>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i].name != y[i].name || x[i].guid != y[i].guid || x[i].attributes != y[i].attributes ||
          x[i].data != y[i].data) {
        return false;
      }
    }
    return true;
  };
  return a.description == b.description && a.bootMode == b.bootMode && a.platformHook == b.platformHook &&
         a.purgeIdleMarker == b.purgeIdleMarker && a.imcEnabled == b.imcEnabled &&
         a.imcAcknowledges == b.imcAcknowledges && a.cmos == b.cmos && a.ecRegisters == b.ecRegisters &&
         sameEc(a.ec, b.ec) && sameVariables(a.variables, b.variables);
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
