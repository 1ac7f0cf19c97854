#include "tools/zkboot/zkboot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

#include "bootctl/vars.h"
#include "sim/platform.h"
#include "tools/zkboot/devpath.h"
#include "tools/zkboot/predict.h"

namespace zkboot {
namespace {

using Json = nlohmann::ordered_json;
using sim::operator==;

constexpr uint32_t kAttributesNvBsRt = 7;
constexpr uint32_t kAttributesBsRt = 6;
constexpr uint8_t kScanBit = 0x80;
constexpr const char* kDefaultStateDir = "/var/lib/zkboot";

// A variable the tool knows and the form the driver reads it in.
struct Spec {
  const char* name;
  EFI_GUID guid;
  size_t size;  // 0: any whole number of 16-bit entries
  uint32_t attributes;
};

const Spec kFirstBoot{"ZKFirstBoot", BootControlVendorGuid, 1, kAttributesNvBsRt};
const Spec kChgBoot{"ZKChgBoot", BootControlVendorGuid, 2, kAttributesNvBsRt};
const Spec kLidFlag{"ZKSaveLidFlag", LidFlagVendorGuid, 1, kAttributesNvBsRt};
const Spec kOobTest{"ZKOOBTest", OobTestVendorGuid, 1, kAttributesNvBsRt};
const Spec kChgKey{"ZKChgKey", ChgKeyVendorGuid, 1, kAttributesNvBsRt};
const Spec kBootNextSpec{"BootNext", EFI_GLOBAL_VARIABLE, 2, kAttributesNvBsRt};
const Spec kBootCurrent{"BootCurrent", EFI_GLOBAL_VARIABLE, 2, kAttributesBsRt};
const Spec kBootOrderSpec{"BootOrder", EFI_GLOBAL_VARIABLE, 0, kAttributesNvBsRt};

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", v & 0xFF);
  return text;
}

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%04X", v & 0xFFFF);
  return text;
}

std::string OptionName(uint16_t number) {
  char text[12];
  std::snprintf(text, sizeof(text), "Boot%04X", number);
  return text;
}

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

// Why a stored variable is not in the form the driver reads; empty when it is.
std::string Problem(const Spec& spec, const EfiVariable& v) {
  std::string problem;
  const bool sizeOk = spec.size == 0 ? v.data.size() % 2 == 0 : v.data.size() == spec.size;
  if (!sizeOk) {
    problem = std::to_string(v.data.size()) + " bytes where " +
              (spec.size == 0 ? std::string("a whole number of 16-bit entries")
                              : std::to_string(spec.size) + (spec.size == 1 ? " byte" : " bytes")) +
              " are expected";
  }
  if (v.attributes != spec.attributes) {
    if (!problem.empty()) problem += "; ";
    problem += "attributes " + Hex2(v.attributes) + " where " + Hex2(spec.attributes) + " are expected";
  }
  return problem;
}

std::optional<EfiVariable> ReadSpec(const Efivarfs& store, const Spec& spec) {
  return store.Read(spec.name, spec.guid);
}

Json VariableJson(const Spec& spec, const std::optional<EfiVariable>& v) {
  Json j;
  j["name"] = spec.name;
  j["guid"] = GuidFileText(spec.guid);
  j["present"] = v.has_value();
  if (v) {
    j["attributes"] = v->attributes;
    j["data"] = sim::HexBytes(v->data);
    const std::string problem = Problem(spec, *v);
    j["problem"] = problem.empty() ? Json(nullptr) : Json(problem);
  }
  return j;
}

// What the driver does with a mode byte, at load and at End-of-DXE.
std::string LoadMeaning(uint8_t modeByte) {
  switch (modeByte & 0x7F) {
    case 1:
      return "CMOS 0x61 = 1; Setup byte 92 cleared if set (then a warm reset)";
    case 2:
      return "CMOS 0x61 = 2; Setup byte 92 cleared if set, byte 111 set to 1 with byte 100 cleared if it was "
             "0 "
             "(then a warm reset)";
    case 3:
      return "CMOS 0x61 = 3; Setup byte 111 cleared if set (then a warm reset)";
    case 4:
      return "CMOS 0x61 = 4; factory reset: ZKChgBoot, Setup, BootOrder, PhysicalBootOrder and the boot "
             "options "
             "they name are deleted, then a cold reset";
    case 5:
      return "CMOS 0x61 = 5; Setup byte 111 set to 1 with byte 100 cleared if it was 0 (then a warm reset)";
    default:
      return "unsupported mode: the request is taken and nothing else happens";
  }
}

std::string EndOfDxeMeaning(uint8_t modeByte) {
  if (modeByte & kScanBit) {
    switch (modeByte & 0x7F) {
      case 1:
        return "BootNext = the first BootOrder option whose description begins with \"EFI USB Device\"";
      case 2:
        return "BootNext = the first BootOrder option whose description begins with \"EFI PXE 0 for IPv4\"";
      case 3:
        return "BootNext = the first BootOrder option whose device path holds a hard-drive node";
      default:
        return "BootNext not written (no scan target for this mode)";
    }
  }
  if (modeByte == 1) return "BootNext = 0x2001";
  if (modeByte == 2) return "BootNext = 0x2003";
  return "BootNext not written";
}

Json OptionJson(const Efivarfs& store, uint16_t number) {
  Json j;
  j["number"] = Hex4(number);
  j["name"] = OptionName(number);
  std::optional<EfiVariable> v;
  try {
    v = store.Read(OptionName(number), EFI_GLOBAL_VARIABLE);
  } catch (const ToolError& e) {
    // An option this user may not read, or a broken file: shown, the status goes on.
    j["present"] = true;
    j["problem"] = e.what();
    return j;
  }
  j["present"] = v.has_value();
  if (!v) return j;
  if (std::optional<LoadOptionInfo> info = ParseLoadOption(v->data)) {
    j["active"] = (info->attributes & 1) != 0;
    j["description"] = info->description;
    j["path"] = info->path;
  } else {
    j["problem"] = "not a load option (" + std::to_string(v->data.size()) + " bytes)";
  }
  return j;
}

// Text of a variable's change in one boot: "01 81 -> 00 81", "new 00",
// "deleted (was 02)", or the changed bytes of a large record.
std::string ChangeText(const VariableChange& c) {
  if (!c.before) return "created: " + sim::HexBytes(*c.after);
  if (!c.after)
    return "deleted (was " +
           (c.before->size() <= 16 ? sim::HexBytes(*c.before) : std::to_string(c.before->size()) + " bytes") +
           ")";
  if (c.before->size() <= 16 && c.after->size() <= 16) {
    return sim::HexBytes(*c.before) + " -> " + sim::HexBytes(*c.after);
  }
  if (c.before->size() != c.after->size()) {
    return std::to_string(c.before->size()) + " bytes -> " + std::to_string(c.after->size()) + " bytes";
  }
  std::string text;
  for (size_t i = 0; i < c.after->size(); i++) {
    if ((*c.before)[i] == (*c.after)[i]) continue;
    char part[48];
    std::snprintf(part, sizeof(part), "%s[%zu] %02X -> %02X", text.empty() ? "" : ", ", i, (*c.before)[i],
                  (*c.after)[i]);
    text += part;
  }
  return text + " (" + std::to_string(c.after->size()) + " bytes)";
}

const char* ResetName(EFI_RESET_TYPE type) {
  switch (type) {
    case EfiResetCold:
      return "cold";
    case EfiResetWarm:
      return "warm";
    case EfiResetShutdown:
      return "shutdown";
    default:
      return "platform-specific";
  }
}

Json PredictionJson(const Efivarfs& store, const Prediction& p) {
  Json j;
  j["assumes"] = "an ordinary boot in which the EC answers and does not ask for a power-off";
  j["settled"] = p.settled;
  Json boots = Json::array();
  for (const BootPrediction& b : p.boots) {
    Json boot;
    boot["boot"] = b.boot;
    boot["endOfDxe"] = b.endOfDxe;
    boot["cmos61"] = b.cmos61 ? Json(Hex2(*b.cmos61)) : Json(nullptr);
    Json changes = Json::array();
    for (const VariableChange& c : b.changes) {
      Json change;
      change["name"] = c.name;
      change["guid"] = GuidFileText(c.guid);
      change["before"] = c.before ? Json(sim::HexBytes(*c.before)) : Json(nullptr);
      change["after"] = c.after ? Json(sim::HexBytes(*c.after)) : Json(nullptr);
      change["text"] = ChangeText(c);
      changes.push_back(change);
    }
    boot["changes"] = changes;
    Json ec = Json::array();
    for (const EcWrite& w : b.ecWrites) ec.push_back({{"register", Hex2(w.reg)}, {"value", Hex2(w.value)}});
    boot["ecWrites"] = ec;
    boot["reset"] = b.reset ? Json(ResetName(*b.reset)) : Json(nullptr);
    boots.push_back(boot);
  }
  j["boots"] = boots;
  j["bootNextWritten"] = p.bootNextWritten;
  j["bootNext"] = p.bootNext ? Json(Hex4(*p.bootNext)) : Json(nullptr);
  if (p.bootNext) {
    // The option as the store holds it now: the boots above change no boot option unless they delete it.
    j["bootNextOption"] = OptionJson(store, *p.bootNext);
  }
  return j;
}

bool OnceMarkerPresent(const std::string& stateDir) {
  struct stat st {};
  return ::stat((stateDir + "/once").c_str(), &st) == 0;
}

}  // namespace

Json StatusJson(const Efivarfs& store, bool onceMarker) {
  Json j;
  j["root"] = store.root();
  const auto firstBoot = ReadSpec(store, kFirstBoot);
  j["firstBoot"] = VariableJson(kFirstBoot, firstBoot);

  const auto chg = ReadSpec(store, kChgBoot);
  Json request = VariableJson(kChgBoot, chg);
  if (chg && !chg->data.empty() && chg->data.size() <= 2) {
    // What the driver reads: a 1-byte record leaves the mode byte 0; a longer one is no request at all.
    const uint8_t modeByte = chg->data.size() == 2 ? chg->data[1] : 0;
    request["pending"] = chg->data[0] != 0;
    request["modeByte"] = Hex2(modeByte);
    request["mode"] = modeByte & 0x7F;
    request["scan"] = (modeByte & kScanBit) != 0;
    request["atLoad"] = chg->data[0] != 0 ? LoadMeaning(modeByte) : "nothing (already taken)";
    request["atEndOfDxe"] = EndOfDxeMeaning(modeByte);
  }
  request["once"] = onceMarker;
  j["changeBoot"] = request;

  auto byteVar = [&](const Spec& spec) {
    const auto v = ReadSpec(store, spec);
    Json out = VariableJson(spec, v);
    if (v && v->data.size() == 1) out["value"] = v->data[0];
    return out;
  };
  j["lidFlag"] = byteVar(kLidFlag);
  j["oobCounter"] = byteVar(kOobTest);
  j["chgKey"] = byteVar(kChgKey);

  auto numberVar = [&](const Spec& spec) {
    const auto v = ReadSpec(store, spec);
    Json out = VariableJson(spec, v);
    if (v && v->data.size() == 2) {
      out["value"] = Hex4(Le16(v->data, 0));
      out["option"] = OptionJson(store, Le16(v->data, 0));
    }
    return out;
  };
  j["bootNext"] = numberVar(kBootNextSpec);
  j["bootCurrent"] = numberVar(kBootCurrent);

  const auto order = ReadSpec(store, kBootOrderSpec);
  Json orderJson = VariableJson(kBootOrderSpec, order);
  Json options = Json::array();
  if (order) {
    for (size_t at = 0; at + 1 < order->data.size(); at += 2)
      options.push_back(OptionJson(store, Le16(order->data, at)));
  }
  orderJson["options"] = options;
  j["bootOrder"] = orderJson;

  j["prediction"] = PredictionJson(store, PredictBoots(store.ReadAll()));
  return j;
}

namespace {

std::string OptionLine(const Json& o) {
  std::string text = o["name"].get<std::string>();
  if (!o["present"].get<bool>()) return text + " (absent)";
  if (o.contains("problem")) return text + " (" + o["problem"].get<std::string>() + ")";
  return text + (o["active"].get<bool>() ? "* " : "  ") + "\"" + o["description"].get<std::string>() +
         "\"  " + o["path"].get<std::string>();
}

std::string PresentText(const Json& v, const std::string& shown) {
  if (!v["present"].get<bool>()) return "absent";
  std::string text = shown.empty() ? v["data"].get<std::string>() : shown;
  if (!v["problem"].is_null()) text += "  [unexpected: " + v["problem"].get<std::string>() + "]";
  return text;
}

}  // namespace

std::string StatusText(const Json& s) {
  std::ostringstream out;
  out << "Variable store: " << s["root"].get<std::string>() << "\n";
  const Json& fb = s["firstBoot"];
  out << "First-boot marker (ZKFirstBoot): "
      << (fb["present"].get<bool>() ? PresentText(fb, "present, " + fb["data"].get<std::string>())
                                    : "absent (the driver creates it at its next load)")
      << "\n";

  const Json& r = s["changeBoot"];
  out << "Change-boot request (ZKChgBoot): " << PresentText(r, "") << "\n";
  if (r.contains("pending")) {
    out << "  "
        << (r["pending"].get<bool>() ? "pending: the driver takes it at its next load"
                                     : "taken by the driver (pending byte 0)")
        << "\n";
    out << "  mode byte " << r["modeByte"].get<std::string>() << ": mode " << r["mode"].get<int>()
        << (r["scan"].get<bool>() ? ", scan bit set" : ", scan bit clear") << "\n";
    out << "  at load: " << r["atLoad"].get<std::string>() << "\n";
    out << "  at every End-of-DXE while the variable exists: " << r["atEndOfDxe"].get<std::string>() << "\n";
    if (r["once"].get<bool>())
      out << "  one-time request: 'zkboot clear --once' removes it once the driver has taken it\n";
  } else if (r["present"].get<bool>()) {
    out << "  the driver ignores a record of this size\n";
  }

  auto byteLine = [&](const char* label, const Json& v, const char* note) {
    out << label << ": " << PresentText(v, v.contains("value") ? Hex2(v["value"].get<unsigned>()) : "");
    if (v["present"].get<bool>() && note[0] != 0) out << " " << note;
    out << "\n";
  };
  byteLine("Lid flag (ZKSaveLidFlag)", s["lidFlag"],
           "(to EC register 0x94 at the next End-of-DXE, then deleted)");
  byteLine("Out-of-box counter (ZKOOBTest)", s["oobCounter"], "");
  byteLine("Power-off marker (ZKChgKey)", s["chgKey"], "");

  auto numberLine = [&](const char* label, const Json& v) {
    out << label << ": ";
    if (v.contains("value")) {
      out << PresentText(v, v["value"].get<std::string>()) << "  " << OptionLine(v["option"]) << "\n";
    } else {
      out << PresentText(v, "") << "\n";
    }
  };
  numberLine("BootNext", s["bootNext"]);
  numberLine("BootCurrent", s["bootCurrent"]);
  const Json& order = s["bootOrder"];
  out << "BootOrder: " << PresentText(order, std::to_string(order["options"].size()) + " entries") << "\n";
  for (const Json& o : order["options"]) out << "  " << OptionLine(o) << "\n";

  const Json& p = s["prediction"];
  out << "Next boot (the driver's own code run on a copy of these variables; assumes "
      << p["assumes"].get<std::string>() << "):\n";
  for (const Json& b : p["boots"]) {
    out << "  boot " << b["boot"].get<unsigned>() << ":\n";
    if (!b["cmos61"].is_null()) out << "    CMOS 0x61 <- " << b["cmos61"].get<std::string>() << "\n";
    for (const Json& w : b["ecWrites"]) {
      out << "    EC register " << w["register"].get<std::string>() << " <- " << w["value"].get<std::string>()
          << "\n";
    }
    for (const Json& c : b["changes"])
      out << "    " << c["name"].get<std::string>() << ": " << c["text"].get<std::string>() << "\n";
    if (!b["reset"].is_null()) {
      out << "    ends in a " << b["reset"].get<std::string>() << " reset"
          << (b["endOfDxe"].get<bool>() ? "" : " while the driver loads") << "\n";
    } else {
      out << "    goes on to the boot manager\n";
    }
  }
  if (!p["settled"].get<bool>()) out << "  (still resetting after " << p["boots"].size() << " boots)\n";
  out << "  BootNext then: ";
  if (p["bootNext"].is_null()) {
    out << "absent";
  } else {
    out << p["bootNext"].get<std::string>() << " " << OptionLine(p["bootNextOption"]);
  }
  out << (p["bootNextWritten"].get<bool>() ? " (written by the driver)"
                                           : " (not written by the driver in that boot)")
      << "\n";
  if (r.contains("pending") && r["atEndOfDxe"].get<std::string>().rfind("BootNext =", 0) == 0) {
    out << "  Every later boot sets BootNext again while ZKChgBoot exists; 'zkboot clear' removes it.\n";
  }
  return out.str();
}

namespace {

struct Context {
  std::string root = Efivarfs::kDefaultRoot;
  std::string stateDir = kDefaultStateDir;
  std::ostream* out;
  std::ostream* err;
};

// Fails with kExitUnexpected when the variable exists in a form the driver
// would not read as the tool means it: such a variable is shown, never rewritten.
void RefuseUnexpected(const Efivarfs& store, const Spec& spec, const char* remedy) {
  const auto v = ReadSpec(store, spec);
  if (!v) return;
  const std::string problem = Problem(spec, *v);
  if (problem.empty()) return;
  throw ToolError(kExitUnexpected, std::string(spec.name) + " holds " + sim::HexBytes(v->data) + " (" +
                                       problem + "): left as it is; " + remedy);
}

void WriteSpec(const Efivarfs& store, const Spec& spec, std::vector<uint8_t> data) {
  store.Write(EfiVariable{spec.name, spec.guid, spec.attributes, std::move(data)});
}

std::string OncePath(const Context& c) { return c.stateDir + "/once"; }

void WriteOnceMarker(const Context& c, uint8_t modeByte) {
  if (::mkdir(c.stateDir.c_str(), 0755) != 0 && errno != EEXIST)
    throw ErrnoError(errno, "cannot create", c.stateDir);
  std::ofstream marker(OncePath(c), std::ios::trunc);
  marker << Hex2(modeByte) << "\n";
  marker.close();
  if (!marker) throw ToolError(kExitFailure, "cannot write " + OncePath(c));
}

std::optional<unsigned> ReadOnceMarker(const Context& c) {
  std::ifstream marker(OncePath(c));
  if (!marker) return std::nullopt;
  std::string text;
  marker >> text;
  try {
    return static_cast<unsigned>(std::stoul(text, nullptr, 16));
  } catch (const std::exception&) {
    return 0x100;  // unreadable: matches no mode byte
  }
}

void RemoveOnceMarker(const Context& c) {
  if (::unlink(OncePath(c).c_str()) != 0 && errno != ENOENT)
    throw ErrnoError(errno, "cannot delete", OncePath(c));
}

void PrintNextBootNext(const Context& c, const Efivarfs& store) {
  const Prediction p = PredictBoots(store.ReadAll());
  std::ostream& out = *c.out;
  out << "Next boot: ";
  for (const BootPrediction& b : p.boots) {
    if (b.reset) out << "boot " << b.boot << " ends in a " << ResetName(*b.reset) << " reset; ";
  }
  if (p.bootNextWritten && p.bootNext) {
    out << "the driver sets BootNext = " << Hex4(*p.bootNext) << " "
        << OptionLine(OptionJson(store, *p.bootNext)) << "\n";
  } else {
    out << "the driver writes no BootNext\n";
  }
}

int Request(const Context& c, const std::string& kind, const std::string& number, bool once, bool yes) {
  uint8_t modeByte = 0;
  if (kind == "usb") {
    modeByte = kScanBit | 1;
  } else if (kind == "pxe") {
    modeByte = kScanBit | 2;
  } else if (kind == "disk") {
    modeByte = kScanBit | 3;
  } else {
    unsigned long value = 0;
    size_t used = 0;
    try {
      value = std::stoul(number, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (number.empty() || used != number.size() || value > 0xFF) {
      throw ToolError(kExitUsage,
                      "request mode: N must be a mode byte from 0 to 255 (0x80 adds the scan bit)");
    }
    modeByte = static_cast<uint8_t>(value);
  }
  if ((modeByte & 0x7F) == 4 && !yes) {
    throw ToolError(kExitNotConfirmed,
                    "mode 4 is the factory reset: use 'zkboot factory-reset' to see what it deletes, "
                    "or add --yes");
  }
  const Efivarfs store(c.root);
  RefuseUnexpected(store, kChgBoot, "'zkboot clear' removes it");
  WriteSpec(store, kChgBoot, {0x01, modeByte});
  if (once) {
    WriteOnceMarker(c, modeByte);
  } else {
    RemoveOnceMarker(c);
  }
  std::ostream& out = *c.out;
  out << "ZKChgBoot = 01 " << sim::HexBytes({modeByte}) << " (mode " << (modeByte & 0x7F)
      << ((modeByte & kScanBit) ? ", scan bit set" : "") << ")\n";
  out << "  at the next load: " << LoadMeaning(modeByte) << "\n";
  out << "  at every End-of-DXE while ZKChgBoot exists: " << EndOfDxeMeaning(modeByte) << "\n";
  if (once) {
    out << "  one-time: 'zkboot clear --once' (zkboot-once.service at every start of this system) removes "
           "the "
           "request once the driver has taken it\n";
  } else {
    out << "  the request stays until it is removed: 'zkboot clear'\n";
  }
  PrintNextBootNext(c, store);
  return kExitOk;
}

int Clear(const Context& c, bool once) {
  const Efivarfs store(c.root);
  std::ostream& out = *c.out;
  const auto v = ReadSpec(store, kChgBoot);
  if (once) {
    const std::optional<unsigned> marker = ReadOnceMarker(c);
    if (!marker) {
      out << "no one-time request recorded\n";
      return kExitOk;
    }
    if (!v) {
      RemoveOnceMarker(c);
      out << "no change-boot request any more; one-time record removed\n";
      return kExitOk;
    }
    if (v->data.size() != 2 || v->data[1] != *marker) {
      RemoveOnceMarker(c);
      out << "ZKChgBoot (" << sim::HexBytes(v->data)
          << ") is not the one-time request any more: left as it is; "
          << "one-time record removed\n";
      return kExitOk;
    }
    if (v->data[0] != 0) {
      out << "ZKChgBoot " << sim::HexBytes(v->data) << " is still pending: left for the driver\n";
      return kExitOk;
    }
  }
  if (!v) {
    RemoveOnceMarker(c);
    out << "no change-boot request\n";
    return kExitOk;
  }
  store.Remove(kChgBoot.name, kChgBoot.guid);
  RemoveOnceMarker(c);
  out << "ZKChgBoot deleted (was " << sim::HexBytes(v->data) << ")\n";
  return kExitOk;
}

int FactoryReset(const Context& c, bool yes) {
  const Efivarfs store(c.root);
  RefuseUnexpected(store, kChgBoot, "'zkboot clear' removes it");
  // What the driver's factory reset deletes from these variables.
  std::vector<EfiVariable> copy = store.ReadAll();
  copy.erase(
      std::remove_if(copy.begin(), copy.end(),
                     [](const EfiVariable& v) { return v.name == kChgBoot.name && v.guid == kChgBoot.guid; }),
      copy.end());
  copy.push_back(EfiVariable{kChgBoot.name, kChgBoot.guid, kChgBoot.attributes, {0x01, 0x04}});
  const Prediction p = PredictBoots(copy, 1);
  std::vector<std::string> deleted;
  for (const VariableChange& ch : p.boots.front().changes) {
    if (!ch.after && !(ch.name == kChgBoot.name && ch.guid == kChgBoot.guid)) deleted.push_back(ch.name);
  }
  const bool resets = p.boots.front().reset.has_value();
  std::ostream& out = *c.out;
  out << "A factory reset at the next boot " << (resets ? "deletes" : "would delete") << ":\n";
  for (const std::string& name : deleted) out << "  " << name << "\n";
  out << "  ZKChgBoot (the request itself)\n";
  if (resets) {
    out << "and then resets the machine cold. The firmware rebuilds its setup defaults and boot options.\n"
           "(If the platform's own factory-reset hook removes Setup first, the driver deletes nothing more "
           "and does "
           "not reset.)\n";
  } else {
    out << "and nothing else: without a Setup variable the driver takes the request and does no reset.\n";
  }
  if (!yes) {
    out << "Not requested: add --yes to leave the request.\n";
    return kExitNotConfirmed;
  }
  WriteSpec(store, kChgBoot, {0x01, 0x04});
  RemoveOnceMarker(c);
  out << "ZKChgBoot = 01 04: the factory reset runs at the next boot\n";
  return kExitOk;
}

uint8_t ParseByte(const std::string& text, const char* what) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size() || value > 0xFF) {
    throw ToolError(kExitUsage, std::string(what) + ": " + text + " is not a value from 0 to 255");
  }
  return static_cast<uint8_t>(value);
}

int SetOrClearByte(const Context& c, const Spec& spec, const std::string& action, const std::string& value,
                   const char* what) {
  const Efivarfs store(c.root);
  std::ostream& out = *c.out;
  if (action == "clear") {
    const auto v = ReadSpec(store, spec);
    if (!v) {
      out << spec.name << " is absent\n";
      return kExitOk;
    }
    store.Remove(spec.name, spec.guid);
    out << spec.name << " deleted (was " << sim::HexBytes(v->data) << ")\n";
    return kExitOk;
  }
  const uint8_t byte = ParseByte(value, what);
  RefuseUnexpected(store, spec, (std::string("'zkboot ") + what + " clear' removes it").c_str());
  WriteSpec(store, spec, {byte});
  out << spec.name << " = " << sim::HexBytes({byte}) << "\n";
  return kExitOk;
}

const char* kFooter =
    "How long a request lasts: the driver takes a pending request at its next load (it writes the pending "
    "byte "
    "back as 0), but it keeps choosing BootNext from the mode byte at every boot for as long as ZKChgBoot "
    "exists; "
    "only a factory reset deletes it. 'zkboot clear' removes a request. 'request ... --once' records the "
    "request as "
    "one-time: 'zkboot clear --once' (run at every start of this system by zkboot-once.service) removes it "
    "once the "
    "driver has taken it.\n\n"
    "Exit status: 0 done; 1 other I/O error; 2 bad command line; 3 no efivarfs; 4 no permission; 5 read-only "
    "store; 6 variable store full; 7 a variable of unexpected size or attributes, left as it is; 8 refused "
    "without "
    "--yes.";

}  // namespace

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "zkboot: leaves change-boot requests for the notebook's boot-control driver in the firmware "
      "variables and shows what the next boot will do.",
      "zkboot"};
  app.footer(kFooter);
  Context c;
  c.out = &out;
  c.err = &err;
  bool json = false;
  app.add_option("--root", c.root, "Directory of the variable store (default /sys/firmware/efi/efivars)")
      ->type_name("DIR");
  app.add_option("--state-dir", c.stateDir, "Where a one-time request is recorded (default /var/lib/zkboot)")
      ->type_name("DIR");
  app.require_subcommand(0, 1);

  CLI::App* status =
      app.add_subcommand("status", "Show the driver's variables and predict the next boot (the default)");
  status->add_flag("--json", json, "Print the status as JSON");
  app.add_flag("--json", json, "With no command: print the status as JSON");

  CLI::App* request = app.add_subcommand("request", "Leave a change-boot request: usb, pxe, disk or mode N");
  std::string kind, number;
  bool once = false, yes = false;
  request->add_option("kind", kind, "usb, pxe, disk (select BootNext by class) or mode")
      ->required()
      ->check(CLI::IsMember({"usb", "pxe", "disk", "mode"}));
  request->add_option("N", number, "With mode: the mode byte, 0 to 255 (0x80 adds the scan bit)");
  request->add_flag("--once", once,
                    "One-time: 'zkboot clear --once' removes it after the boot that takes it");
  request->add_flag("--yes", yes, "Confirm a factory-reset mode");

  CLI::App* clear = app.add_subcommand("clear", "Remove the change-boot request");
  bool clearOnce = false;
  clear->add_flag("--once", clearOnce,
                  "Only a one-time request the driver has taken (for zkboot-once.service)");

  CLI::App* factory = app.add_subcommand("factory-reset", "Request a factory reset; shows what it deletes");
  factory->add_flag("--yes", yes, "Really leave the request");

  std::string action, value;
  CLI::App* oob = app.add_subcommand("oob", "Out-of-box test counter ZKOOBTest: set N | clear");
  oob->add_option("action", action)->required()->check(CLI::IsMember({"set", "clear"}));
  oob->add_option("N", value, "Counter, 0 to 255");
  CLI::App* lid = app.add_subcommand("lid-flag", "Saved lid flag ZKSaveLidFlag: set V | clear");
  lid->add_option("action", action)->required()->check(CLI::IsMember({"set", "clear"}));
  lid->add_option("V", value, "Flag value, 0 to 255");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e, out, err);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  try {
    if (*request) {
      if ((kind == "mode") == number.empty()) {
        throw ToolError(kExitUsage, kind == "mode" ? "request mode: N is missing"
                                                   : "request " + kind + ": no N expected");
      }
      return Request(c, kind, number, once, yes);
    }
    if (*clear) return Clear(c, clearOnce);
    if (*factory) return FactoryReset(c, yes);
    if (*oob || *lid) {
      const char* what = *oob ? "oob" : "lid-flag";
      if ((action == "set") == value.empty()) {
        throw ToolError(kExitUsage, std::string(what) + " " + action +
                                        (action == "set" ? ": the value is missing" : ": no value expected"));
      }
      return SetOrClearByte(c, *oob ? kOobTest : kLidFlag, action, value, what);
    }
    const Efivarfs store(c.root);
    const Json s = StatusJson(store, OnceMarkerPresent(c.stateDir));
    if (json) {
      out << s.dump(2) << "\n";
    } else {
      out << StatusText(s);
    }
    return kExitOk;
  } catch (const ToolError& e) {
    err << "zkboot: " << e.what() << "\n";
    return e.code();
  }
}

}  // namespace zkboot
