// Scenario keys for the HII protocols, the protocols of other modules that the
// string library meets, and the flash areas it reads. The format is described
// with the other keys in scenario.cpp.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "sim/devices/firmware_info.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/scenario.h"

namespace simboot {

namespace {

struct InstallName {
  const char* name;
  sim::LateInstall install;
};

const InstallName kInstallNames[] = {
    {"absent", sim::LateInstall::Absent},
    {"boot-start", sim::LateInstall::BootStart},
    {"before-end-of-dxe", sim::LateInstall::BeforeEndOfDxe},
    {"after-end-of-dxe", sim::LateInstall::AfterEndOfDxe},
};

std::string ReadOneOf(const Json& value, const std::string& path, const std::vector<std::string>& choices) {
  const std::string text = ReadString(value, path);
  std::string list;
  for (const std::string& c : choices) {
    if (c == text) return text;
    list += (list.empty() ? "\"" : ", \"") + c + "\"";
  }
  throw PathError(path, Shown(value) + " is not one of " + list);
}

// Three BCD bytes from "2024-03-15" / "10:20:30" (two digits a field, the
// year's last two; no range checks, so invalid dates can be given) or from
// three hex bytes "24 02 29".
std::array<uint8_t, 3> ReadBcd(const Json& value, const std::string& path, char separator) {
  const std::string text = ReadString(value, path);
  std::array<uint8_t, 3> out{};
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const bool isDate = separator == '-';
  const size_t first = isDate ? 4 : 2;  // "2024-03-15" or "10:20:30"
  if (text.size() == first + 6 && text[first] == separator && text[first + 3] == separator) {
    const std::string fields[3] = {text.substr(first - 2, 2), text.substr(first + 1, 2),
                                   text.substr(first + 4, 2)};
    bool ok = !isDate || text.substr(0, 2) == "20";
    for (const std::string& f : fields) ok = ok && digit(f[0]) && digit(f[1]);
    if (ok) {
      for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>((fields[i][0] - '0') << 4 | (fields[i][1] - '0'));
      return out;
    }
  }
  if (text.size() == 8 && text[2] == ' ' && text[5] == ' ') {
    bool ok = true;
    for (size_t i : {0, 1, 3, 4, 6, 7}) ok = ok && hex(text[i]);
    if (ok) {
      for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(std::stoul(text.substr(3 * i, 2), nullptr, 16));
      return out;
    }
  }
  throw PathError(path,
                  Shown(value) + (isDate ? " is not a date (\"2024-03-15\", 2000 to 2099) or three BCD bytes"
                                         : " is not a time (\"10:20:30\") or three BCD bytes"));
}

std::string BcdText(const std::array<uint8_t, 3>& bcd, char separator) {
  bool decimal = true;
  for (uint8_t b : bcd) decimal = decimal && (b >> 4) <= 9 && (b & 0xF) <= 9;
  char text[16];
  if (!decimal) {
    std::snprintf(text, sizeof text, "%02X %02X %02X", bcd[0], bcd[1], bcd[2]);
  } else if (separator == '-') {
    std::snprintf(text, sizeof text, "20%02X-%02X-%02X", bcd[0], bcd[1], bcd[2]);
  } else {
    std::snprintf(text, sizeof text, "%02X:%02X:%02X", bcd[0], bcd[1], bcd[2]);
  }
  return text;
}

std::string ReadAscii(const Json& value, const std::string& path) {
  const std::string text = ReadString(value, path);
  for (char c : text) {
    if (c == 0 || static_cast<unsigned char>(c) > 0x7E)
      throw PathError(path, "holds a NUL or a non-ASCII byte");
  }
  return text;
}

constexpr uint32_t kMaxAreaSize = 0x100000;

void ReadFirmwareInfo(const Json& value, HiiScenario* h) {
  const std::string path = "firmwareInfo";
  if (value.is_boolean()) {
    if (value.get<bool>()) h->firmwareInfo = sim::FirmwareInfoSpec{};
    return;
  }
  ExpectObject(value, path);
  CheckKeys(value, path, {"size", "date", "time", "version", "model", "third", "records", "rdate", "raw"});
  uint32_t size = sim::FirmwareInfoSpec{}.size;
  if (value.contains("size")) {
    size = static_cast<uint32_t>(
        ReadUnsigned(value["size"], KeyPath(path, "size"), kMaxAreaSize, "a size up to 1 MiB"));
    if (size == 0) throw PathError(KeyPath(path, "size"), "0 is not an area size");
  }
  if (value.contains("raw")) {
    for (const char* other : {"date", "time", "version", "model", "third", "records", "rdate"}) {
      if (value.contains(other))
        throw PathError(KeyPath(path, other), "goes with the fields, not with \"raw\"");
    }
    std::vector<uint8_t> raw = ReadHexBytes(value["raw"], KeyPath(path, "raw"));
    if (!value.contains("size")) size = static_cast<uint32_t>(std::max<size_t>(raw.size(), 1));
    if (raw.size() > size) throw PathError(KeyPath(path, "raw"), "holds more bytes than the area's size");
    raw.resize(size, 0xFF);
    h->firmwareInfoRaw = std::move(raw);
    return;
  }
  sim::FirmwareInfoSpec spec;
  spec.size = size;
  if (value.contains("date")) spec.dateBcd = ReadBcd(value["date"], KeyPath(path, "date"), '-');
  if (value.contains("time")) spec.timeBcd = ReadBcd(value["time"], KeyPath(path, "time"), ':');
  if (value.contains("version")) spec.version = ReadAscii(value["version"], KeyPath(path, "version"));
  if (value.contains("model")) spec.model = ReadAscii(value["model"], KeyPath(path, "model"));
  if (value.contains("third")) spec.third = ReadAscii(value["third"], KeyPath(path, "third"));
  if (value.contains("records")) {
    const Json& list = value["records"];
    const std::string at = KeyPath(path, "records");
    ExpectArray(list, at);
    spec.records.clear();
    for (size_t i = 0; i < list.size(); ++i) spec.records.push_back(ReadAscii(list[i], IndexPath(at, i)));
  }
  if (value.contains("rdate")) {
    if (value["rdate"].is_null()) {
      spec.rdateBcd.reset();
    } else {
      spec.rdateBcd = ReadBcd(value["rdate"], KeyPath(path, "rdate"), '-');
    }
  }
  h->firmwareInfo = spec;
}

}  // namespace

const std::vector<std::string>& HiiScenarioKeys() {
  static const std::vector<std::string> keys = {"hii", "watchedProtocol", "sharedRecord", "firmwareInfo",
                                                "keptFlashArea"};
  return keys;
}

void ReadHiiScenario(const Json& root, HiiScenario* h) {
  if (root.contains("hii")) {
    const Json& hii = root["hii"];
    if (hii.is_boolean()) {
      h->stringProtocol = h->databaseProtocol = h->configRouting = h->font = h->image = hii.get<bool>();
    } else {
      ExpectObject(hii, "hii");
      CheckKeys(hii, "hii",
                {"present", "string", "database", "configRouting", "font", "image", "setStringOnSkippedId"});
      if (hii.contains("present")) {
        const bool present = ReadBool(hii["present"], "hii.present");
        h->stringProtocol = h->databaseProtocol = h->configRouting = h->font = h->image = present;
      }
      if (hii.contains("string")) h->stringProtocol = ReadBool(hii["string"], "hii.string");
      if (hii.contains("database")) h->databaseProtocol = ReadBool(hii["database"], "hii.database");
      if (hii.contains("configRouting"))
        h->configRouting = ReadBool(hii["configRouting"], "hii.configRouting");
      if (hii.contains("font")) h->font = ReadBool(hii["font"], "hii.font");
      if (hii.contains("image")) h->image = ReadBool(hii["image"], "hii.image");
      if (hii.contains("setStringOnSkippedId"))
        h->skippedId = ReadOneOf(hii["setStringOnSkippedId"], "hii.setStringOnSkippedId",
                                 {"define", "refuse"}) == "refuse"
                           ? sim::SkippedIdRule::Refuse
                           : sim::SkippedIdRule::Define;
    }
  }
  if (root.contains("watchedProtocol")) {
    const std::string name = ReadOneOf(root["watchedProtocol"], "watchedProtocol",
                                       {"absent", "boot-start", "before-end-of-dxe", "after-end-of-dxe"});
    for (const InstallName& n : kInstallNames) {
      if (name == n.name) h->watched = n.install;
    }
  }
  if (root.contains("sharedRecord")) h->sharedRecord = ReadBool(root["sharedRecord"], "sharedRecord");
  if (root.contains("firmwareInfo")) ReadFirmwareInfo(root["firmwareInfo"], h);
  if (root.contains("keptFlashArea")) {
    const Json& kept = root["keptFlashArea"];
    if (kept.is_boolean()) {
      if (kept.get<bool>()) h->keptAreaSize = 0x1000;
    } else {
      ExpectObject(kept, "keptFlashArea");
      CheckKeys(kept, "keptFlashArea", {"size"});
      const uint64_t size = ReadUnsigned(Require(kept, "keptFlashArea", "size"), "keptFlashArea.size",
                                         kMaxAreaSize, "a size up to 1 MiB");
      if (size == 0) throw PathError("keptFlashArea.size", "0 is not an area size");
      h->keptAreaSize = static_cast<uint32_t>(size);
    }
  }
}

void WriteHiiScenario(const HiiScenario& h, OrderedJson* root) {
  const HiiScenario d;
  if (h.stringProtocol != d.stringProtocol || h.databaseProtocol != d.databaseProtocol ||
      h.configRouting != d.configRouting || h.font != d.font || h.image != d.image ||
      h.skippedId != d.skippedId) {
    (*root)["hii"] = {
        {"string", h.stringProtocol},
        {"database", h.databaseProtocol},
        {"configRouting", h.configRouting},
        {"font", h.font},
        {"image", h.image},
        {"setStringOnSkippedId", h.skippedId == sim::SkippedIdRule::Refuse ? "refuse" : "define"}};
  }
  for (const InstallName& n : kInstallNames) {
    if (n.install == h.watched && h.watched != d.watched) (*root)["watchedProtocol"] = n.name;
  }
  if (h.sharedRecord) (*root)["sharedRecord"] = true;
  if (h.firmwareInfoRaw) {
    (*root)["firmwareInfo"] = {{"size", h.firmwareInfoRaw->size()},
                               {"raw", sim::HexBytes(*h.firmwareInfoRaw)}};
  } else if (h.firmwareInfo) {
    const sim::FirmwareInfoSpec& s = *h.firmwareInfo;
    OrderedJson info = {{"size", s.size},
                        {"date", BcdText(s.dateBcd, '-')},
                        {"time", BcdText(s.timeBcd, ':')},
                        {"version", s.version},
                        {"model", s.model},
                        {"third", s.third},
                        {"records", s.records}};
    info["rdate"] = s.rdateBcd ? OrderedJson(BcdText(*s.rdateBcd, '-')) : OrderedJson(nullptr);
    (*root)["firmwareInfo"] = info;
  }
  if (h.keptAreaSize) (*root)["keptFlashArea"] = {{"size", *h.keptAreaSize}};
}

bool operator==(const HiiScenario& a, const HiiScenario& b) {
  OrderedJson x = OrderedJson::object(), y = OrderedJson::object();
  WriteHiiScenario(a, &x);
  WriteHiiScenario(b, &y);
  return x == y;
}

void ApplyHiiScenario(const HiiScenario& h, sim::Platform& platform) {
  sim::HiiServices& hii = platform.hii;
  hii.stringProtocol = h.stringProtocol;
  hii.databaseProtocol = h.databaseProtocol;
  hii.configRouting = h.configRouting;
  hii.font = h.font;
  hii.image = h.image;
  hii.skippedId = h.skippedId;
  hii.watched = h.watched;
  hii.sharedRecord = h.sharedRecord;
}

std::vector<sim::FlashArea> HiiFlashAreas(const HiiScenario& h) {
  std::vector<sim::FlashArea> areas;
  if (h.firmwareInfoRaw) {
    areas.emplace_back(sim::kFirmwareInfoAreaType, *h.firmwareInfoRaw, sim::kFirmwareInfoAreaAddress);
  } else if (h.firmwareInfo) {
    areas.emplace_back(sim::kFirmwareInfoAreaType, sim::BuildFirmwareInfoArea(*h.firmwareInfo),
                       sim::kFirmwareInfoAreaAddress);
  }
  // The kept area's content is not read by the driver: erased flash.
  if (h.keptAreaSize) {
    areas.emplace_back(sim::kKeptFlashAreaType, std::vector<uint8_t>(*h.keptAreaSize, 0xFF),
                       sim::kKeptFlashAreaAddress);
  }
  return areas;
}

}  // namespace simboot
