// The "flash" section of a scenario: the flash hardware of the notebook and
// the flash configuration its firmware publishes.
//
//   "flash": {
//     "spiPart":     "W25Q16JV" (a real part of sim/data/sfdp) or an inline
//                    part {"jedecId": "EF 40 15", "sfdp": [{"address": "0x0",
//                    "bytes": "53 46 ..."}]}; absent: nothing on the SPI bus
//     "controller":  "present" (default), "absent" (reads all ones) or
//                    "stuck-busy" (busy for ever)
//     "sciEn":       true: PM1 control bit 0 (ACPI mode) is set
//     "pm1Port":     the PM1 control port FCH register 0xFED80362 names (0x804)
//     "reg298", "reg2A8": the platform values of FCH registers 0xFED80298
//                    and 0xFED802A8
//     "processorSignature": EAX of CPUID leaf 0x80000001 (instead of
//                    cpu.cpuid80000001Eax); picks the host bridge register of
//                    the lock window (0x13E102E0 or 0x13B102E0)
//     "lockWindow":  the value that register answers; the lock's other agent
//                    lives at bits 31..20 (none when they are 0)
//     "peer":        {"mode": "idle" | "holds" | "never", "holdNs": 5000}
//     "devices":     [{"token": 5, "kind": 3, "deviceId": "0x001540EF",
//                      "aux": 0, "sizeFactors": [32, 256], "params": "hex
//                      bytes", "info1": "hex bytes", "info2": "hex bytes"}]:
//                    flash PCD device tokens in token order (the entry in the
//                    device space, the rest in the parameter and information
//                    spaces; a value left out is a token without value)
//     "selector":    the selector token 0x20000001 (declared after the devices)
//     "mappedParts": [{"kind": 0 | 1, "base": .., "size": .., "id": "0x00BF",
//                      "idAddress": .., "commandAddress1": ..,
//                      "commandAddress2": ..}]: memory-mapped parts
//     "flashBase":   FlashBase of the flash device map
//     "map":         [{"type": GUID, "area": GUID (default zero), "offset": ..,
//                      "size": .., "attributes": 0}]: the flash device map,
//                    published at the address PCD token 0x30000017 holds
//     "mapHeader":   {"headerSum": 1, "entrySize": 40, "length": 0x60,
//                     "entriesOffset": 32}: header fields of that map where
//                    they should not follow the entries. "headerSum" is what
//                    the 28 header bytes add up to modulo 256 (default 0, a
//                    sound checksum); "entrySize" the stride the entries are
//                    written at (default 52; a shorter one makes each entry
//                    overwrite the tail of the one before); "length" the
//                    Length field (default: entriesOffset + entries x
//                    entrySize; the bytes still hold every entry, and at
//                    least Length bytes); "entriesOffset" where the
//                    entries start (28 or more, default 32). Each at most
//                    0x100000
//   }
#include <cstdio>

#include "sim/devices/flash_devices.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace simboot {
namespace {

EFI_GUID ReadGuidText(const Json& value, const std::string& path) {
  EFI_GUID guid;
  if (!GuidFromText(ReadString(value, path), &guid)) throw PathError(path, Shown(value) + " is not a GUID");
  return guid;
}

uint32_t Read32(const Json& object, const std::string& path, const char* key, uint32_t fallback) {
  if (!object.contains(key)) return fallback;
  return static_cast<uint32_t>(ReadUnsigned(object[key], KeyPath(path, key), 0xFFFFFFFF, "a 32-bit value"));
}

uint64_t Read64(const Json& object, const std::string& path, const char* key) {
  return ReadUnsigned(Require(object, path, key), KeyPath(path, key), UINT64_MAX, "a 64-bit value");
}

std::string ReadChoice(const Json& value, const std::string& path, const std::vector<std::string>& choices) {
  const std::string text = ReadString(value, path);
  std::string list;
  for (const std::string& c : choices) {
    if (c == text) return text;
    list += (list.empty() ? "" : ", ") + c;
  }
  throw PathError(path, Shown(value) + " is not one of " + list);
}

FlashDeviceSetting ReadDevice(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"token", "kind", "deviceId", "aux", "sizeFactors", "params", "info1", "info2"});
  FlashDeviceSetting d;
  d.token = ReadUnsigned(Require(value, path, "token"), KeyPath(path, "token"), UINT64_MAX, "a token number");
  if (d.token == 0) throw PathError(KeyPath(path, "token"), "0 is not a token number");
  d.kind =
      static_cast<uint8_t>(ReadUnsigned(Require(value, path, "kind"), KeyPath(path, "kind"), 0xFF, "a byte"));
  d.deviceId = Read32(value, path, "deviceId", 0);
  d.aux = Read32(value, path, "aux", 0);
  if (value.contains("sizeFactors")) {
    const std::string at = KeyPath(path, "sizeFactors");
    const Json& f = value["sizeFactors"];
    ExpectArray(f, at);
    if (f.size() != 2) throw PathError(at, "needs two 16-bit factors");
    d.sizeFactor1 = static_cast<uint16_t>(ReadUnsigned(f[0], IndexPath(at, 0), 0xFFFF, "a 16-bit value"));
    d.sizeFactor2 = static_cast<uint16_t>(ReadUnsigned(f[1], IndexPath(at, 1), 0xFFFF, "a 16-bit value"));
  }
  if (value.contains("params")) d.params = ReadBytes(value["params"], KeyPath(path, "params"));
  if (value.contains("info1")) d.info1 = ReadBytes(value["info1"], KeyPath(path, "info1"));
  if (value.contains("info2")) d.info2 = ReadBytes(value["info2"], KeyPath(path, "info2"));
  return d;
}

MappedPartSetting ReadMappedPart(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"kind", "base", "size", "id", "idAddress", "commandAddress1", "commandAddress2"});
  MappedPartSetting m;
  m.kind =
      static_cast<uint8_t>(ReadUnsigned(Require(value, path, "kind"), KeyPath(path, "kind"), 1, "0 or 1"));
  m.base = Read64(value, path, "base");
  m.size = Read64(value, path, "size");
  if (m.size == 0 || m.base + m.size - 1 < m.base)
    throw PathError(KeyPath(path, "size"), "not a usable range");
  m.id = static_cast<uint16_t>(
      ReadUnsigned(Require(value, path, "id"), KeyPath(path, "id"), 0xFFFF, "a 16-bit value"));
  m.idAddress = value.contains("idAddress") ? Read64(value, path, "idAddress") : m.base;
  m.commandAddress1 =
      value.contains("commandAddress1") ? Read64(value, path, "commandAddress1") : m.base + 0x5555;
  m.commandAddress2 =
      value.contains("commandAddress2") ? Read64(value, path, "commandAddress2") : m.base + 0x2AAA;
  return m;
}

FlashMapEntrySetting ReadMapEntry(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"type", "area", "offset", "size", "attributes"});
  FlashMapEntrySetting e;
  e.type = ReadGuidText(Require(value, path, "type"), KeyPath(path, "type"));
  if (value.contains("area")) e.area = ReadGuidText(value["area"], KeyPath(path, "area"));
  e.offset = Read64(value, path, "offset");
  e.size = Read64(value, path, "size");
  e.attributes = Read32(value, path, "attributes", 0);
  return e;
}

// The page of the lock words in the window a lock-window value names; 0: none.
uint64_t LockPage(uint32_t window) {
  return (window & 0xFFF00000) ? uint64_t{window & 0xFFF00000} + sim::kFlashLockPageOffset : 0;
}

OrderedJson BytesJson(const std::vector<uint8_t>& bytes) { return sim::HexBytes(bytes); }

constexpr uint64_t kMaxMapField = 0x100000;

FlashMapHeaderSetting ReadMapHeader(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"headerSum", "entrySize", "length", "entriesOffset"});
  FlashMapHeaderSetting h;
  auto field = [&](const char* key) -> std::optional<uint32_t> {
    if (!value.contains(key)) return std::nullopt;
    return static_cast<uint32_t>(
        ReadUnsigned(value[key], KeyPath(path, key), kMaxMapField, "at most 0x100000"));
  };
  if (value.contains("headerSum"))
    h.headerSum =
        static_cast<uint8_t>(ReadUnsigned(value["headerSum"], KeyPath(path, "headerSum"), 0xFF, "a byte"));
  h.entrySize = field("entrySize");
  h.length = field("length");
  h.entriesOffset = field("entriesOffset");
  if (h.entriesOffset && *h.entriesOffset < 28)
    throw PathError(KeyPath(path, "entriesOffset"), "entries start inside the 28-byte header");
  return h;
}

}  // namespace

FlashSetting ParseFlashSetting(const std::string& jsonText, const std::string& path) {
  const Json value = ParseJsonText(jsonText);
  ExpectObject(value, path);
  CheckKeys(value, path,
            {"spiPart", "controller", "sciEn", "pm1Port", "reg298", "reg2A8", "processorSignature",
             "lockWindow", "peer", "devices", "selector", "mappedParts", "flashBase", "map", "mapHeader"});
  FlashSetting f;
  f.present = true;
  if (value.contains("spiPart")) {
    const Json& part = value["spiPart"];
    const std::string at = KeyPath(path, "spiPart");
    try {
      if (part.is_object()) {
        f.spiPartInline = part.dump();
        sim::SpiNorPart::FromJson(f.spiPartInline);
      } else {
        f.spiPart = ReadString(part, at);
        sim::SpiNorPart::ByName(f.spiPart);
      }
    } catch (const std::runtime_error& e) {
      if (dynamic_cast<const PathError*>(&e)) throw;
      throw PathError(at, e.what());
    }
  }
  if (value.contains("controller"))
    f.controller =
        ReadChoice(value["controller"], KeyPath(path, "controller"), {"present", "absent", "stuck-busy"});
  if (value.contains("sciEn")) f.sciEn = ReadBool(value["sciEn"], KeyPath(path, "sciEn"));
  if (value.contains("pm1Port")) {
    f.pm1Port =
        static_cast<uint16_t>(ReadUnsigned(value["pm1Port"], KeyPath(path, "pm1Port"), 0xFFFC, "a port"));
    if (f.pm1Port == 0) throw PathError(KeyPath(path, "pm1Port"), "0 is not a PM1 port");
    // The notebook's own ports: EC, CMOS, IMC mailbox, post codes.
    for (const uint16_t taken : {0x3E, 0x3F, 0x62, 0x66, 0x72, 0x73, 0x80, 0xE0}) {
      if (taken >= f.pm1Port && taken < f.pm1Port + 4)
        throw PathError(KeyPath(path, "pm1Port"), "overlaps port " + sim::HexPadded(taken, 2));
    }
  }
  f.reg298 = Read32(value, path, "reg298", f.reg298);
  f.reg2A8 = Read32(value, path, "reg2A8", f.reg2A8);
  if (value.contains("processorSignature"))
    f.processorSignature = Read32(value, path, "processorSignature", 0);
  f.lockWindow = Read32(value, path, "lockWindow", 0);
  if (LockPage(f.lockWindow) == sim::kSpiControllerBase)
    throw PathError(KeyPath(path, "lockWindow"), "puts the lock words on the SPI controller");
  if (value.contains("peer")) {
    const Json& peer = value["peer"];
    const std::string at = KeyPath(path, "peer");
    ExpectObject(peer, at);
    CheckKeys(peer, at, {"mode", "holdNs"});
    if (peer.contains("mode"))
      f.peerMode = ReadChoice(peer["mode"], KeyPath(at, "mode"), {"idle", "holds", "never"});
    if (peer.contains("holdNs"))
      f.holdNs = ReadUnsigned(peer["holdNs"], KeyPath(at, "holdNs"), UINT64_MAX, "a time in ns");
  }
  if (value.contains("devices")) {
    const Json& list = value["devices"];
    const std::string at = KeyPath(path, "devices");
    ExpectArray(list, at);
    for (size_t i = 0; i < list.size(); ++i) {
      FlashDeviceSetting d = ReadDevice(list[i], IndexPath(at, i));
      for (const FlashDeviceSetting& other : f.devices) {
        if (other.token == d.token)
          throw PathError(IndexPath(at, i), "token " + sim::HexPadded(d.token, 1) + " twice");
      }
      if (d.token == sim::kFlashSelectorToken && value.contains("selector")) {
        throw PathError(IndexPath(at, i), "token 0x20000001 is the selector");
      }
      f.devices.push_back(std::move(d));
    }
  }
  if (value.contains("selector")) f.selector = Read32(value, path, "selector", 0);
  if (value.contains("mappedParts")) {
    const Json& list = value["mappedParts"];
    const std::string at = KeyPath(path, "mappedParts");
    ExpectArray(list, at);
    // Parts share the address map with the fixed devices and with each other.
    const std::vector<std::pair<uint64_t, uint64_t>> fixed = {
        {sim::kSpiControllerBase, sim::kSpiControllerSize},
        {sim::kPciConfigBase, 0x1000},
        {sim::kFchRegisterBase, 0x1000},
        {LockPage(f.lockWindow), 0x1000}};
    const auto overlaps = [](uint64_t b1, uint64_t s1, uint64_t b2, uint64_t s2) {
      return b1 <= b2 + s2 - 1 && b2 <= b1 + s1 - 1;
    };
    for (size_t i = 0; i < list.size(); ++i) {
      MappedPartSetting m = ReadMappedPart(list[i], IndexPath(at, i));
      for (const auto& [base, size] : fixed) {
        if (overlaps(m.base, m.size, base, size))
          throw PathError(IndexPath(at, i), "overlaps the device at " + sim::HexPadded(base, 8));
      }
      for (size_t j = 0; j < f.mappedParts.size(); ++j) {
        if (overlaps(m.base, m.size, f.mappedParts[j].base, f.mappedParts[j].size))
          throw PathError(IndexPath(at, i), "overlaps " + IndexPath(at, j));
      }
      f.mappedParts.push_back(m);
    }
  }
  if (value.contains("flashBase")) {
    f.hasMap = true;
    f.flashBase = ReadUnsigned(value["flashBase"], KeyPath(path, "flashBase"), UINT64_MAX, "a 64-bit value");
  }
  if (value.contains("map")) {
    f.hasMap = true;
    const Json& list = value["map"];
    const std::string at = KeyPath(path, "map");
    ExpectArray(list, at);
    for (size_t i = 0; i < list.size(); ++i) f.map.push_back(ReadMapEntry(list[i], IndexPath(at, i)));
  }
  if (value.contains("mapHeader")) {
    f.hasMap = true;
    f.mapHeader = ReadMapHeader(value["mapHeader"], KeyPath(path, "mapHeader"));
  }
  return f;
}

std::string FlashSettingToText(const FlashSetting& f) {
  OrderedJson o = OrderedJson::object();
  if (!f.spiPart.empty()) o["spiPart"] = f.spiPart;
  if (!f.spiPartInline.empty()) o["spiPart"] = OrderedJson::parse(f.spiPartInline);
  o["controller"] = f.controller;
  o["sciEn"] = f.sciEn;
  o["pm1Port"] = sim::HexPadded(f.pm1Port, 4);
  o["reg298"] = sim::HexPadded(f.reg298, 8);
  o["reg2A8"] = sim::HexPadded(f.reg2A8, 8);
  if (f.processorSignature) o["processorSignature"] = sim::HexPadded(*f.processorSignature, 8);
  o["lockWindow"] = sim::HexPadded(f.lockWindow, 8);
  o["peer"] = {{"mode", f.peerMode}, {"holdNs", f.holdNs}};
  OrderedJson devices = OrderedJson::array();
  for (const FlashDeviceSetting& d : f.devices) {
    OrderedJson e = {{"token", sim::HexPadded(d.token, 1)},
                     {"kind", d.kind},
                     {"deviceId", sim::HexPadded(d.deviceId, 8)},
                     {"aux", sim::HexPadded(d.aux, 1)},
                     {"sizeFactors", {d.sizeFactor1, d.sizeFactor2}}};
    if (d.params) e["params"] = BytesJson(*d.params);
    if (d.info1) e["info1"] = BytesJson(*d.info1);
    if (d.info2) e["info2"] = BytesJson(*d.info2);
    devices.push_back(e);
  }
  if (!f.devices.empty()) o["devices"] = devices;
  if (f.selector) o["selector"] = sim::HexPadded(*f.selector, 1);
  OrderedJson parts = OrderedJson::array();
  for (const MappedPartSetting& m : f.mappedParts) {
    parts.push_back({{"kind", m.kind},
                     {"base", sim::HexPadded(m.base, 8)},
                     {"size", sim::HexPadded(m.size, 1)},
                     {"id", sim::HexPadded(m.id, 4)},
                     {"idAddress", sim::HexPadded(m.idAddress, 8)},
                     {"commandAddress1", sim::HexPadded(m.commandAddress1, 8)},
                     {"commandAddress2", sim::HexPadded(m.commandAddress2, 8)}});
  }
  if (!f.mappedParts.empty()) o["mappedParts"] = parts;
  if (f.hasMap) {
    o["flashBase"] = sim::HexPadded(f.flashBase, 8);
    OrderedJson map = OrderedJson::array();
    for (const FlashMapEntrySetting& e : f.map) {
      map.push_back({{"type", GuidText(e.type)},
                     {"area", GuidText(e.area)},
                     {"offset", sim::HexPadded(e.offset, 1)},
                     {"size", sim::HexPadded(e.size, 1)},
                     {"attributes", e.attributes}});
    }
    o["map"] = map;
    if (f.mapHeader.Any()) {
      OrderedJson header = OrderedJson::object();
      if (f.mapHeader.headerSum != 0) header["headerSum"] = sim::HexPadded(f.mapHeader.headerSum, 2);
      if (f.mapHeader.entrySize) header["entrySize"] = *f.mapHeader.entrySize;
      if (f.mapHeader.length) header["length"] = sim::HexPadded(*f.mapHeader.length, 1);
      if (f.mapHeader.entriesOffset) header["entriesOffset"] = *f.mapHeader.entriesOffset;
      o["mapHeader"] = header;
    }
  }
  return o.dump();
}

bool operator==(const FlashSetting& a, const FlashSetting& b) {
  return a.present == b.present && (!a.present || FlashSettingToText(a) == FlashSettingToText(b));
}

void ApplyFlashSetting(const FlashSetting& f, uint32_t cpuidEax, NotebookRun& run) {
  if (!f.present) return;
  run.flash = std::make_unique<sim::FlashPlatform>(run.platform, run.notebook);
  sim::FlashPlatform& flash = *run.flash;
  if (!f.spiPart.empty()) flash.AttachSpiPart(sim::SpiNorPart::ByName(f.spiPart));
  if (!f.spiPartInline.empty()) flash.AttachSpiPart(sim::SpiNorPart::FromJson(f.spiPartInline));
  flash.spi.SetPresent(f.controller != "absent");
  flash.spi.behaviour.stuckBusy = f.controller == "stuck-busy";
  flash.SetFchRegister(0x298, f.reg298);
  flash.SetFchRegister(0x2A8, f.reg2A8);
  flash.SetPm1Port(f.pm1Port);
  flash.SetSciEnabled(f.sciEn);
  flash.SetProcessorSignature(f.processorSignature.value_or(cpuidEax));
  flash.SetLockWindow(f.lockWindow);
  flash.peer.mode = f.peerMode == "holds"   ? sim::FlashLockPeer::Mode::Holds
                    : f.peerMode == "never" ? sim::FlashLockPeer::Mode::Never
                                            : sim::FlashLockPeer::Mode::Idle;
  flash.peer.holdNs = f.holdNs;
  for (const FlashDeviceSetting& d : f.devices) {
    sim::DeclareFlashDevice(
        run.pcd, d.token,
        sim::EncodeFlashDeviceEntry({d.kind, d.deviceId, d.aux, d.sizeFactor1, d.sizeFactor2}), d.params,
        d.info1, d.info2);
  }
  if (f.selector) sim::DeclareFlashSelector(run.pcd, *f.selector);
  for (const MappedPartSetting& m : f.mappedParts) {
    flash.AddMappedPart(m.kind == 0 ? sim::MappedFlashPart::Method::UnlockSequence
                                    : sim::MappedFlashPart::Method::SingleCommand,
                        m.base, m.size, m.id, m.idAddress, m.commandAddress1, m.commandAddress2);
  }
  if (f.hasMap) {
    std::vector<sim::FdmEntrySpec> entries;
    for (const FlashMapEntrySetting& e : f.map)
      entries.push_back({e.type, e.area, e.offset, e.size, e.attributes});
    // The flash areas of the HII keys follow the scenario's own entries.
    for (const sim::FlashArea& a : run.flashAreas) entries.push_back(a.Entry(f.flashBase));
    sim::FdmLayout layout;
    if (f.mapHeader.entriesOffset) layout.entriesOffset = *f.mapHeader.entriesOffset;
    if (f.mapHeader.entrySize) layout.entrySize = *f.mapHeader.entrySize;
    layout.length = f.mapHeader.length;
    layout.headerSum = f.mapHeader.headerSum;
    flash.PublishDeviceMap(run.pcd, sim::BuildFlashDeviceMap(f.flashBase, entries, layout));
  }
  sim::WatchFlashIdentification(run.platform, run.pcd);
}

}  // namespace simboot
