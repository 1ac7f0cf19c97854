// Platform services that the S3 support libraries look up: the DXE services
// table, the SMBus host-controller protocol and the HEAP buffer HOBs; and the
// view of the heap-buffer list the driver publishes from those HOBs.
//
// Fields of a "HeapBufferList" event: "interface", "revision" and "nodes"
// (decimal), then for each node n = 1, 2, ... in list order "nodeN.address",
// "nodeN.pool" (the memory type of the pool block that holds it, by name),
// the copied descriptor ("nodeN.signature", "nodeN.payloadSize",
// "nodeN.poolKind", "nodeN.take") and its payload: "nodeN.payload" (hex) up
// to 64 bytes, "nodeN.payloadCrc32" above; "problem" when the walk stopped
// early (a link into memory no allocation holds, a payload past its node, or
// more than 4096 nodes).
#include <cstdio>
#include <cstring>

#include "frame/pi.h"
#include "sim/platform_impl.h"
#include "sim/smm/smm_comm.h"

namespace sim {

const EFI_GUID kHeapBufferHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
const EFI_GUID kHeapBufferListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};

namespace {

constexpr uint64_t kDxeServicesSignature = 0x565245535F455844;  // "DXE_SERV"
constexpr uint32_t kDxeServicesRevision = (1u << 16) | 70u;

EFI_STATUS EFIAPI DxeUnsupported() {
  Platform::Impl& sim = Sim();
  sim.BootServiceCall("DXE services", TPL_HIGH_LEVEL);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SetMemorySpaceAttributes(EFI_PHYSICAL_ADDRESS base, UINT64 length, UINT64 attributes) {
  Platform::Impl& sim = Sim();
  sim.BootServiceCall("SetMemorySpaceAttributes", TPL_NOTIFY);
  Platform& p = *sim.owner;
  p.dxeSetAttributesCalls.push_back({base, length, attributes, p.BootNumber()});
  const EFI_STATUS s = p.dxeSetAttributesStatus;
  p.Trace("SetMemorySpaceAttributes", [base, length, attributes, s](TraceEvent& e) {
    e.text = "SetMemorySpaceAttributes(" + Hex(base) + ", " + Hex(length) + ", " + Hex(attributes) + ") " +
             StatusName(s);
    e.fields = {{"base", Hex(base)},
                {"length", Hex(length)},
                {"attributes", Hex(attributes)},
                {"status", StatusName(s)}};
  });
  return s;
}

// The driver only locates the SMBus host controller; a call is a fault.
EFI_STATUS SmbusCalled(const char* member) {
  Platform::Impl& sim = Sim();
  sim.Activity();
  sim.Violation(std::string("EFI_SMBUS_HC_PROTOCOL.") + member +
                " called; nothing on this platform answers it");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmbusExecute(const void*, UINTN, UINTN, UINT32, BOOLEAN, UINTN*, void*) {
  return SmbusCalled("Execute");
}
EFI_STATUS EFIAPI SmbusArpDevice(const void*, BOOLEAN, void*, UINTN*) { return SmbusCalled("ArpDevice"); }
EFI_STATUS EFIAPI SmbusGetArpMap(const void*, UINTN*, void**) { return SmbusCalled("GetArpMap"); }
EFI_STATUS EFIAPI SmbusNotify(const void*, UINTN, UINTN, void*) { return SmbusCalled("Notify"); }

}  // namespace

void Platform::Impl::InstallPlatformServices() {
  if (owner->dxeServices) {
    std::memset(&dxeTable, 0, sizeof dxeTable);
    dxeTable.Hdr.Signature = kDxeServicesSignature;
    dxeTable.Hdr.Revision = kDxeServicesRevision;
    dxeTable.Hdr.HeaderSize = sizeof dxeTable;
    EFI_DXE_SERVICE* members[] = {
        &dxeTable.AddMemorySpace,
        &dxeTable.AllocateMemorySpace,
        &dxeTable.FreeMemorySpace,
        &dxeTable.RemoveMemorySpace,
        &dxeTable.GetMemorySpaceDescriptor,
        &dxeTable.GetMemorySpaceMap,
        &dxeTable.AddIoSpace,
        &dxeTable.AllocateIoSpace,
        &dxeTable.FreeIoSpace,
        &dxeTable.RemoveIoSpace,
        &dxeTable.GetIoSpaceDescriptor,
        &dxeTable.GetIoSpaceMap,
        &dxeTable.Dispatch,
        &dxeTable.Schedule,
        &dxeTable.Trust,
        &dxeTable.ProcessFirmwareVolume,
        &dxeTable.SetMemorySpaceCapabilities,
    };
    for (EFI_DXE_SERVICE* m : members) *m = DxeUnsupported;
    dxeTable.SetMemorySpaceAttributes = SetMemorySpaceAttributes;
    dxeTable.Hdr.CRC32 = Crc32(&dxeTable, sizeof dxeTable);
    InstallConfigurationTable(&DXE_SERVICES_TABLE_GUID, &dxeTable);
  }
  if (owner->smbusHc) {
    smbusInterface.Execute = SmbusExecute;
    smbusInterface.ArpDevice = SmbusArpDevice;
    smbusInterface.GetArpMap = SmbusGetArpMap;
    smbusInterface.Notify = SmbusNotify;
    owner->InstallProtocol(EFI_SMBUS_HC_PROTOCOL_GUID, &smbusInterface);
  }
  if (owner->smm.basePresent) owner->InstallProtocol(EFI_SMM_BASE2_PROTOCOL_GUID, &smmWorld->base);
  owner->pointerRegistry.OnBootStart(*owner);
  owner->hii.OnBootStart(*owner);
}

namespace {

constexpr size_t kMaxListedNodes = 4096;
constexpr size_t kShownPayloadBytes = 64;
constexpr uint64_t kNodeHeader = 32;  // links, then the 16-byte descriptor copy

struct HeapNode {
  uint64_t address = 0;
  uint32_t poolType = 0;
  uint8_t descriptor[16] = {};
  std::vector<uint8_t> payload;  // up to kShownPayloadBytes
  uint64_t payloadBytes = 0;
  uint32_t payloadCrc = 0;  // when payloadBytes > kShownPayloadBytes
};

struct HeapListSnapshot {
  uint64_t interface = 0;
  uint64_t revision = 0;
  std::vector<HeapNode> nodes;
  std::string problem;
};

uint32_t U32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string PoolName(uint32_t type) {
  if (type == EfiBootServicesData) return "EfiBootServicesData";
  if (type == EfiRuntimeServicesData) return "EfiRuntimeServicesData";
  return std::to_string(type);
}

void FormatHeapList(const HeapListSnapshot& s, TraceEvent& e) {
  auto& f = e.fields;
  f.push_back({"interface", Hex(s.interface)});
  f.push_back({"revision", std::to_string(s.revision)});
  f.push_back({"nodes", std::to_string(s.nodes.size())});
  e.text = "heap buffer list " + Hex(s.interface) + " (revision " + std::to_string(s.revision) + "): ";
  e.text += s.nodes.empty() ? "empty" : std::to_string(s.nodes.size()) + " node(s)";
  for (size_t i = 0; i < s.nodes.size(); ++i) {
    const HeapNode& n = s.nodes[i];
    const std::string key = "node" + std::to_string(i + 1) + ".";
    const uint32_t payloadSize = U32At(n.descriptor + 8);
    f.push_back({key + "address", Hex(n.address)});
    f.push_back({key + "pool", PoolName(n.poolType)});
    f.push_back({key + "signature", Hex(U32At(n.descriptor))});
    f.push_back({key + "payloadSize", std::to_string(payloadSize)});
    f.push_back({key + "poolKind", std::to_string(n.descriptor[12])});
    f.push_back({key + "take", std::to_string(n.descriptor[13])});
    e.text += "; [" + std::to_string(i + 1) + "] " + PoolName(n.poolType) + ", PayloadSize " +
              std::to_string(payloadSize);
    if (n.payloadBytes > kShownPayloadBytes) {
      char crc[16];
      std::snprintf(crc, sizeof crc, "0x%08X", n.payloadCrc);
      f.push_back({key + "payloadCrc32", crc});
      e.text += ", CRC-32 " + std::string(crc);
    } else {
      f.push_back({key + "payload", HexBytes(n.payload)});
      if (!n.payload.empty()) e.text += ": " + HexBytes(n.payload);
    }
  }
  if (!s.problem.empty()) {
    f.push_back({"problem", s.problem});
    e.text += " (" + s.problem + ")";
  }
}

}  // namespace

// The list as another module would walk it: the head at interface + 8, each
// node's forward link at its start, the descriptor copy at 16 and the
// payload at 32. Every read stays inside a pool block of this boot.
void Platform::Impl::TraceHeapBufferList(const void* interface) {
  const std::vector<Allocation> blocks = memory.Outstanding();
  auto blockOf = [&blocks](uint64_t address, uint64_t size) -> const Allocation* {
    for (const Allocation& a : blocks) {
      const uint64_t start = reinterpret_cast<uint64_t>(a.address);
      if (address >= start && address - start <= a.size && size <= a.size - (address - start)) return &a;
    }
    return nullptr;
  };
  HeapListSnapshot s;
  s.interface = reinterpret_cast<uint64_t>(interface);
  // The interface is the installer's own data (not a pool block): 24 bytes.
  // In the driver's writable data it is copied directly; anywhere else the
  // host is asked whether the bytes can be read at all.
  uint64_t words[3] = {};
  if (image && image->HoldsData(s.interface, sizeof words)) {
    ReadUnchecked(words, s.interface, sizeof words);
  } else if (!HostRead(s.interface, words, sizeof words)) {
    s.problem = "the interface is not readable";
    owner->Trace("HeapBufferList", [s](TraceEvent& e) { FormatHeapList(s, e); });
    return;
  }
  s.revision = words[0];
  const uint64_t head = s.interface + 8;
  uint64_t node = words[1];
  while (node != head) {
    if (s.nodes.size() == kMaxListedNodes) {
      s.problem = "more than 4096 nodes";
      break;
    }
    const Allocation* block = blockOf(node, kNodeHeader);
    if (block == nullptr) {
      s.problem = "link " + Hex(node) + " leads outside the pool blocks";
      break;
    }
    HeapNode n;
    n.address = node;
    n.poolType = block->type;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(node);
    std::memcpy(n.descriptor, p + 16, sizeof n.descriptor);
    const uint32_t payloadSize = U32At(n.descriptor + 8);
    if (blockOf(node, kNodeHeader + payloadSize) == nullptr) {
      s.problem = "node " + Hex(node) + ": the payload runs past its pool block";
      s.nodes.push_back(std::move(n));
      break;
    }
    n.payloadBytes = payloadSize;
    if (payloadSize > kShownPayloadBytes) {
      n.payloadCrc = Crc32(p + kNodeHeader, payloadSize);
    } else {
      n.payload.assign(p + kNodeHeader, p + kNodeHeader + payloadSize);
    }
    s.nodes.push_back(std::move(n));
    std::memcpy(&node, p, sizeof node);
  }
  owner->Trace("HeapBufferList", [s = std::move(s)](TraceEvent& e) { FormatHeapList(s, e); });
}

void Platform::AddHeapHob(const HeapHob& hob) {
  std::vector<uint8_t> data(16 + hob.payload.size(), 0);
  const uint32_t payloadSize =
      hob.statedPayloadSize ? *hob.statedPayloadSize : static_cast<uint32_t>(hob.payload.size());
  std::memcpy(&data[0], &hob.signature, 4);
  std::memcpy(&data[8], &payloadSize, 4);
  data[12] = hob.poolKind;
  data[13] = hob.take;
  if (!hob.payload.empty()) std::memcpy(&data[16], hob.payload.data(), hob.payload.size());
  AddGuidHob(kHeapBufferHobGuid, std::move(data));
}

}  // namespace sim
