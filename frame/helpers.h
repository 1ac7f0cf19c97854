// Variable, pool, configuration-table and HOB helpers.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID EFI_HOB_LIST_GUID = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

extern void* CachedHobList;

// Reads a variable of any size into a new boot-services pool buffer owned by
// the caller, or returns null. Out-parameters are written only on success.
void* ReadWholeVariable(const CHAR16* name, const EFI_GUID* vendorGuid, UINT32* attributes, UINTN* size);
void* AllocateZeroedPool(UINTN size);
void FreePool(void* buffer);
EFI_STATUS FindConfigurationTable(const EFI_GUID* guid, void** table);
void* HobListStart(void);
UINT32 HobBootMode(void);
void* FirstGuidHob(const EFI_GUID* guid);
void* NextGuidHob(const EFI_GUID* guid, const void* start);
