// Scenario keys for the platform services the S3 libraries look up: the SMM
// base protocol, the loaded image's code type, the DXE services table, the
// pointer registry, the SMBus host controller and the HEAP buffer HOBs.
// The format is described with the other keys in scenario.cpp.
#include <cstdio>

#include "tools/simboot/json_read.h"
#include "tools/simboot/scenario.h"

namespace simboot {

namespace {

struct RegistryName {
  const char* name;
  sim::PointerRegistry::Install install;
};

const RegistryName kRegistryNames[] = {
    {"absent", sim::PointerRegistry::Install::Absent},
    {"boot-start", sim::PointerRegistry::Install::BootStart},
    {"before-end-of-dxe", sim::PointerRegistry::Install::BeforeEndOfDxe},
};

std::string HexNumber(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

sim::HeapHob ReadHeapHob(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"payload", "poolKind", "take", "payloadSize", "signature"});
  sim::HeapHob hob;
  if (value.contains("payload")) {
    const Json& payload = value["payload"];
    const std::string at = KeyPath(path, "payload");
    ExpectArray(payload, at);
    // The descriptor and the payload must fit one HOB.
    if (payload.size() > 0xFF00) throw PathError(at, "more than 65280 bytes do not fit a HOB");
    for (size_t i = 0; i < payload.size(); ++i) {
      hob.payload.push_back(static_cast<uint8_t>(ReadUnsigned(payload[i], IndexPath(at, i), 0xFF, "a byte")));
    }
  }
  if (value.contains("poolKind"))
    hob.poolKind =
        static_cast<uint8_t>(ReadUnsigned(value["poolKind"], KeyPath(path, "poolKind"), 0xFF, "a byte"));
  if (value.contains("take"))
    hob.take = static_cast<uint8_t>(ReadUnsigned(value["take"], KeyPath(path, "take"), 0xFF, "a byte"));
  if (value.contains("payloadSize")) {
    hob.statedPayloadSize = static_cast<uint32_t>(
        ReadUnsigned(value["payloadSize"], KeyPath(path, "payloadSize"), 0xFFFFFFFF, "a 32-bit size"));
  }
  if (value.contains("signature")) {
    hob.signature = static_cast<uint32_t>(
        ReadUnsigned(value["signature"], KeyPath(path, "signature"), 0xFFFFFFFF, "a 32-bit value"));
  }
  return hob;
}

}  // namespace

const std::vector<std::string>& PlatformServiceKeys() {
  static const std::vector<std::string> keys = {"smm",     "imageCodeType", "dxeServices", "pointerRegistry",
                                                "smbusHc", "heapHobs"};
  return keys;
}

void ReadPlatformServices(const Json& root, Scenario* s) {
  PlatformServicesSetting& p = s->services;
  if (root.contains("smm")) {
    const Json& smm = root["smm"];
    ExpectObject(smm, "smm");
    CheckKeys(smm, "smm", {"base", "inSmm"});
    if (smm.contains("base")) p.smmBase = ReadBool(smm["base"], "smm.base");
    if (smm.contains("inSmm")) p.inSmm = ReadBool(smm["inSmm"], "smm.inSmm");
  }
  if (root.contains("imageCodeType")) {
    p.imageCodeType = static_cast<uint32_t>(
        ReadUnsigned(root["imageCodeType"], "imageCodeType", 0xFFFFFFFF, "a memory type"));
  }
  if (root.contains("dxeServices")) p.dxeServices = ReadBool(root["dxeServices"], "dxeServices");
  if (root.contains("pointerRegistry")) {
    const std::string name = ReadString(root["pointerRegistry"], "pointerRegistry");
    bool known = false;
    for (const RegistryName& r : kRegistryNames) {
      if (name == r.name) {
        p.pointerRegistry = r.install;
        known = true;
      }
    }
    if (!known) {
      throw PathError("pointerRegistry",
                      Shown(root["pointerRegistry"]) +
                          " is not one of \"absent\", \"boot-start\", \"before-end-of-dxe\"");
    }
  }
  if (root.contains("smbusHc")) p.smbusHc = ReadBool(root["smbusHc"], "smbusHc");
  if (root.contains("heapHobs")) {
    const Json& list = root["heapHobs"];
    ExpectArray(list, "heapHobs");
    for (size_t i = 0; i < list.size(); ++i)
      p.heapHobs.push_back(ReadHeapHob(list[i], IndexPath("heapHobs", i)));
  }
}

void WritePlatformServices(const Scenario& s, OrderedJson* root) {
  const PlatformServicesSetting& p = s.services;
  const PlatformServicesSetting defaults;
  if (p.smmBase || p.inSmm) (*root)["smm"] = {{"base", p.smmBase}, {"inSmm", p.inSmm}};
  if (p.imageCodeType != defaults.imageCodeType) (*root)["imageCodeType"] = p.imageCodeType;
  if (!p.dxeServices) (*root)["dxeServices"] = false;
  if (p.pointerRegistry != defaults.pointerRegistry) {
    for (const RegistryName& r : kRegistryNames) {
      if (r.install == p.pointerRegistry) (*root)["pointerRegistry"] = r.name;
    }
  }
  if (p.smbusHc) (*root)["smbusHc"] = true;
  if (!p.heapHobs.empty()) {
    OrderedJson list = OrderedJson::array();
    const sim::HeapHob plain;
    for (const sim::HeapHob& hob : p.heapHobs) {
      OrderedJson entry;
      OrderedJson payload = OrderedJson::array();
      for (uint8_t b : hob.payload) payload.push_back(b);
      entry["payload"] = payload;
      entry["poolKind"] = hob.poolKind;
      entry["take"] = hob.take;
      if (hob.statedPayloadSize) entry["payloadSize"] = *hob.statedPayloadSize;
      if (hob.signature != plain.signature) entry["signature"] = HexNumber(hob.signature);
      list.push_back(entry);
    }
    (*root)["heapHobs"] = list;
  }
}

bool SamePlatformServices(const Scenario& a, const Scenario& b) {
  const PlatformServicesSetting& x = a.services;
  const PlatformServicesSetting& y = b.services;
  if (x.heapHobs.size() != y.heapHobs.size()) return false;
  for (size_t i = 0; i < x.heapHobs.size(); ++i) {
    const sim::HeapHob& p = x.heapHobs[i];
    const sim::HeapHob& q = y.heapHobs[i];
    if (p.payload != q.payload || p.poolKind != q.poolKind || p.take != q.take ||
        p.statedPayloadSize != q.statedPayloadSize || p.signature != q.signature) {
      return false;
    }
  }
  return x.smmBase == y.smmBase && x.inSmm == y.inSmm && x.imageCodeType == y.imageCodeType &&
         x.dxeServices == y.dxeServices && x.pointerRegistry == y.pointerRegistry && x.smbusHc == y.smbusHc;
}

void ApplyPlatformServices(const Scenario& s, sim::Platform& platform) {
  const PlatformServicesSetting& p = s.services;
  platform.smm.basePresent = p.smmBase;
  platform.smm.inSmm = p.inSmm;
  platform.imageCodeType = static_cast<EFI_MEMORY_TYPE>(p.imageCodeType);
  platform.dxeServices = p.dxeServices;
  platform.pointerRegistry.install = p.pointerRegistry;
  platform.smbusHc = p.smbusHc;
  for (const sim::HeapHob& hob : p.heapHobs) platform.AddHeapHob(hob);
}

}  // namespace simboot
