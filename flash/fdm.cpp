#include "flash/fdm.h"

#include "s3/smm_services.h"
#include "support/base/base.h"
#include "support/pcd/pcd.h"

namespace {

const UINT8 kFdmSignature[4] = {'H', 'F', 'D', 'M'};

// A map that passed the header checks, and the bounds of its entry walk.
struct MapWalk {
  const UINT8* table;
  UINT64 next;  // offset of the next entry
  UINT64 end;   // Length
  UINT32 stride;
};

const UINT8* MapAddress() {
  return reinterpret_cast<const UINT8*>(static_cast<UINTN>(PcdRead64(&FdmTokenSpaceGuid, FdmAddressToken)));
}

EFI_STATUS OpenMap(MapWalk* walk) {
  const UINT8* table = MapAddress();
  if (table == nullptr || MemCompare(table, kFdmSignature, sizeof(kFdmSignature)) != 0) {
    return EFI_NOT_FOUND;
  }
  UINT8 sum = 0;
  for (UINTN i = 0; i < kFdmHeaderBytes; i++) sum = static_cast<UINT8>(sum + table[i]);
  if (sum != 0) {
    return EFI_SECURITY_VIOLATION;
  }
  walk->table = table;
  walk->next = Load32(table + offsetof(FlashDeviceMapHeader, EntriesOffset));
  walk->end = Load32(table + offsetof(FlashDeviceMapHeader, Length));
  walk->stride = Load32(table + offsetof(FlashDeviceMapHeader, EntrySize));
  // The header's fields are not checked against each other by its producer:
  // a stride shorter than an entry (0 would never advance) makes the map
  // unusable.
  if (walk->stride < kFdmEntryBytes) {
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

// The next visible entry, or null at the end of the walk. An entry that
// would run past Length is not part of the table.
const UINT8* NextVisible(MapWalk* walk) {
  while (walk->next < walk->end && walk->end - walk->next >= kFdmEntryBytes) {
    const UINT8* entry = walk->table + walk->next;
    walk->next += walk->stride;
    if ((Load32(entry + offsetof(FlashDeviceMapEntry, Attributes)) & FDM_ENTRY_HIDDEN) == 0) {
      return entry;
    }
  }
  return nullptr;
}

}  // namespace

UINT64 FdmGetFlashBase(void) {
  const UINT8* table = MapAddress();
  if (table == nullptr || MemCompare(table, kFdmSignature, sizeof(kFdmSignature)) != 0) {
    return 0;
  }
  return Load64(table + kFdmFlashBaseOffset);
}

EFI_STATUS FdmCountEntries(UINT8* count) {
  if (BootServicesEnded) {
    return EFI_UNSUPPORTED;
  }
  MapWalk walk;
  const EFI_STATUS status = OpenMap(&walk);
  if (EFI_ERROR(status)) {
    return status;
  }
  // Instance numbers are 8-bit: the count stops at 255 instead of wrapping.
  UINT8 visible = 0;
  while (visible < 0xFF && NextVisible(&walk) != nullptr) visible++;
  *count = visible;
  return EFI_SUCCESS;
}

EFI_STATUS FdmGetEntry(const EFI_GUID* typeGuid, UINT8 n, EFI_GUID* areaGuid, UINT64* offset, UINT64* size,
                       UINT32* attributes) {
  if (BootServicesEnded) {
    return EFI_UNSUPPORTED;
  }
  if (n == 0) {
    return EFI_INVALID_PARAMETER;
  }
  MapWalk walk;
  const EFI_STATUS status = OpenMap(&walk);
  if (EFI_ERROR(status)) {
    return status;
  }
  UINT8 matched = 0;
  for (const UINT8* entry = NextVisible(&walk); entry != nullptr; entry = NextVisible(&walk)) {
    if (MemCompare(entry + offsetof(FlashDeviceMapEntry, TypeGuid), typeGuid, sizeof(EFI_GUID)) != 0) {
      continue;
    }
    if (++matched == n) {
      MemCopy(areaGuid, entry + offsetof(FlashDeviceMapEntry, AreaGuid), sizeof(EFI_GUID));
      *offset = Load64(entry + offsetof(FlashDeviceMapEntry, Offset));
      *size = Load64(entry + offsetof(FlashDeviceMapEntry, Size));
      *attributes = Load32(entry + offsetof(FlashDeviceMapEntry, Attributes));
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS FdmFindRegion(const EFI_GUID* typeGuid, UINT8 n, UINT64* address, UINT64* size) {
  if (BootServicesEnded) {
    return EFI_UNSUPPORTED;
  }
  EFI_GUID area;
  UINT64 offset, length;
  UINT32 attributes;
  if (EFI_ERROR(FdmGetEntry(typeGuid, n, &area, &offset, &length, &attributes))) {
    return EFI_NOT_FOUND;
  }
  *address = FdmGetFlashBase() + offset;
  *size = length;
  return EFI_SUCCESS;
}

EFI_STATUS FdmFindRegionByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n, UINT64* address,
                                UINT64* size) {
  if (BootServicesEnded) {
    return EFI_UNSUPPORTED;
  }
  // Instance numbers count from 1, as in every other lookup; 0 names no entry.
  if (n == 0) {
    return EFI_NOT_FOUND;
  }
  UINT8 count = 0;
  if (EFI_ERROR(FdmCountEntries(&count))) {
    return EFI_NOT_FOUND;
  }
  UINT8 matched = 0;
  for (UINTN j = 1; j <= count; j++) {
    EFI_GUID area;
    UINT64 offset, length;
    UINT32 attributes;
    if (EFI_ERROR(FdmGetEntry(typeGuid, static_cast<UINT8>(j), &area, &offset, &length, &attributes))) {
      return EFI_NOT_FOUND;
    }
    if (MemCompare(&area, areaGuid, sizeof(EFI_GUID)) == 0) {
      matched++;
    }
    if (matched == n) {
      *address = FdmGetFlashBase() + offset;
      *size = length;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

UINT64 FdmRegionBase(const EFI_GUID* typeGuid, UINT8 n) {
  UINT64 address = 0, size = 0;
  return EFI_ERROR(FdmFindRegion(typeGuid, n, &address, &size)) ? 0 : address;
}

UINT64 FdmRegionSize(const EFI_GUID* typeGuid, UINT8 n) {
  UINT64 address = 0, size = 0;
  return EFI_ERROR(FdmFindRegion(typeGuid, n, &address, &size)) ? 0 : size;
}

UINT64 FdmRegionBaseByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n) {
  UINT64 address = 0, size = 0;
  return EFI_ERROR(FdmFindRegionByGuids(typeGuid, areaGuid, n, &address, &size)) ? 0 : address;
}

UINT64 FdmRegionSizeByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n) {
  UINT64 address = 0, size = 0;
  return EFI_ERROR(FdmFindRegionByGuids(typeGuid, areaGuid, n, &address, &size)) ? 0 : size;
}
