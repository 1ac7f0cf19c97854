// Platform services that the S3 support libraries look up: the DXE services
// table, the SMBus host-controller protocol and the HEAP buffer HOBs.
#include <cstring>

#include "frame/pi.h"
#include "sim/platform_impl.h"

namespace sim {

const EFI_GUID kHeapBufferHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

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
  p.Trace("SetMemorySpaceAttributes",
          "SetMemorySpaceAttributes(" + Hex(base) + ", " + Hex(length) + ", " + Hex(attributes) + ") " +
              StatusName(s),
          {{"base", Hex(base)},
           {"length", Hex(length)},
           {"attributes", Hex(attributes)},
           {"status", StatusName(s)}});
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
