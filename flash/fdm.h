// Flash device map lookup: where the n-th area of a type lies in the system
// flash, and how large it is. The map is read afresh on every call.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID FdmTokenSpaceGuid = {
    0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};
constexpr UINTN FdmAddressToken = 0x30000017;

struct FlashDeviceMapHeader {
  UINT8 Signature[4];  // "HFDM"
  UINT32 Length;       // the whole table; the entries end at its start + Length
  UINT32 EntriesOffset;
  UINT32 EntrySize;
  UINT8 Unused[4];
  UINT64 FlashBase;  // unaligned: read as bytes
};
constexpr UINTN kFdmHeaderBytes = 28;  // covered by the checksum
constexpr UINTN kFdmFlashBaseOffset = 20;

struct FlashDeviceMapEntry {
  EFI_GUID TypeGuid;
  EFI_GUID AreaGuid;
  UINT64 Offset;  // from FlashBase
  UINT64 Size;
  UINT32 Attributes;
};
static_assert(offsetof(FlashDeviceMapEntry, Offset) == 32, "flash map entry layout");
static_assert(offsetof(FlashDeviceMapEntry, Attributes) == 48, "flash map entry layout");
constexpr UINT32 kFdmEntryBytes = 52;  // what an entry occupies in the table
constexpr UINT32 FDM_ENTRY_HIDDEN = 0x2;

UINT64 FdmGetFlashBase(void);
EFI_STATUS FdmCountEntries(UINT8* count);
EFI_STATUS FdmGetEntry(const EFI_GUID* typeGuid, UINT8 n, EFI_GUID* areaGuid, UINT64* offset, UINT64* size,
                       UINT32* attributes);
EFI_STATUS FdmFindRegion(const EFI_GUID* typeGuid, UINT8 n, UINT64* address, UINT64* size);
UINT64 FdmRegionBase(const EFI_GUID* typeGuid, UINT8 n);
UINT64 FdmRegionSize(const EFI_GUID* typeGuid, UINT8 n);
EFI_STATUS FdmFindRegionByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n, UINT64* address,
                                UINT64* size);
UINT64 FdmRegionBaseByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n);
UINT64 FdmRegionSizeByGuids(const EFI_GUID* typeGuid, const EFI_GUID* areaGuid, UINT8 n);
