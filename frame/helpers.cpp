// Variable reader, zeroed pool, configuration-table lookup and HOB walk.
#include "frame/helpers.h"

#include "frame/module.h"
#include "support/base/base.h"

void* CachedHobList;

void* AllocateZeroedPool(UINTN size) {
  void* buffer = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, size, &buffer))) {
    return nullptr;
  }
  return MemZero(buffer, size);
}

void FreePool(void* buffer) { BootServices->FreePool(buffer); }

void* ReadWholeVariable(const CHAR16* name, const EFI_GUID* vendorGuid, UINT32* attributes, UINTN* size) {
  if (name == nullptr || vendorGuid == nullptr) {
    return nullptr;
  }
  UINTN dataSize = 0;
  if (RuntimeServices->GetVariable(name, vendorGuid, nullptr, &dataSize, nullptr) != EFI_BUFFER_TOO_SMALL) {
    return nullptr;
  }
  void* buffer = AllocateZeroedPool(dataSize);
  if (buffer == nullptr) {
    return nullptr;
  }
  UINT32 attr = 0;
  if (EFI_ERROR(RuntimeServices->GetVariable(name, vendorGuid, &attr, &dataSize, buffer))) {
    FreePool(buffer);
    return nullptr;
  }
  if (size != nullptr) {
    *size = dataSize;
  }
  if (attributes != nullptr) {
    *attributes = attr;
  }
  return buffer;
}

EFI_STATUS FindConfigurationTable(const EFI_GUID* guid, void** table) {
  *table = nullptr;
  for (UINTN i = 0; i < SystemTable->NumberOfTableEntries; i++) {
    const EFI_CONFIGURATION_TABLE& entry = SystemTable->ConfigurationTable[i];
    if (SameGuid(&entry.VendorGuid, guid)) {
      *table = entry.VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

void* HobListStart(void) {
  if (CachedHobList == nullptr) {
    FindConfigurationTable(&EFI_HOB_LIST_GUID, &CachedHobList);
  }
  return CachedHobList;
}

// Without a HOB list there is no hand-off information; the boot is then
// treated as an ordinary full-configuration boot.
UINT32 HobBootMode(void) {
  const EFI_HOB_HANDOFF_INFO_TABLE* phit = static_cast<const EFI_HOB_HANDOFF_INFO_TABLE*>(HobListStart());
  if (phit == nullptr) {
    return BOOT_WITH_FULL_CONFIGURATION;
  }
  return phit->BootMode;
}

void* NextGuidHob(const EFI_GUID* guid, const void* start) {
  const UINT8* hob = static_cast<const UINT8*>(start);
  if (hob == nullptr) {
    return nullptr;
  }
  // HOBs are read field by field: a producer whose lengths break the
  // 8-byte alignment leaves the later headers unaligned.
  for (;;) {
    const UINT16 type = Load16(hob + offsetof(EFI_HOB_GENERIC_HEADER, HobType));
    const UINT16 length = Load16(hob + offsetof(EFI_HOB_GENERIC_HEADER, HobLength));
    if (type == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    // A HOB shorter than its own header cannot be stepped over; the list is
    // treated as ended there rather than walked forever.
    if (length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return nullptr;
    }
    // The name is read only when the HOB's length covers it; a GUID HOB too
    // short to hold one matches nothing and is stepped over.
    if (type == EFI_HOB_TYPE_GUID_EXTENSION && length >= sizeof(EFI_HOB_GUID_TYPE) &&
        SameGuid(reinterpret_cast<const EFI_GUID*>(hob + offsetof(EFI_HOB_GUID_TYPE, Name)), guid)) {
      return const_cast<UINT8*>(hob);
    }
    hob += length;
  }
}

void* FirstGuidHob(const EFI_GUID* guid) { return NextGuidHob(guid, HobListStart()); }
