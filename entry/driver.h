// The top floor of the driver: the entry point and the library constructor
// and destructor chains. Its source includes every library it starts; nothing
// in frame/, bootctl/, s3/, flash/ or support/ includes this header or
// anything else in entry/ (they stand on frame/module.h).
#pragma once

#include "frame/module.h"

inline constexpr EFI_GUID EFI_END_OF_DXE_EVENT_GROUP_GUID = {
    0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS RunLibraryConstructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS ModuleEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS RunLibraryDestructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
