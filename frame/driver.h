// The driver frame: entry point, library constructor and destructor chains,
// and the module-wide service-table pointers every other part uses.
#pragma once

#include "frame/uefi.h"

extern EFI_HANDLE ImageHandle;
extern EFI_SYSTEM_TABLE* SystemTable;
extern EFI_BOOT_SERVICES* BootServices;
extern EFI_RUNTIME_SERVICES* RuntimeServices;
extern void* PlatformHookProtocol;
extern BOOLEAN FirstBootFlag;
extern EFI_EVENT EndOfDxeEvent;

inline constexpr EFI_GUID PlatformHookProtocolGuid = {
    0x14AFC99E, 0xE23E, 0x11E1, {0xA2, 0x34, 0xD0, 0xDF, 0x9A, 0x35, 0xC1, 0x06}};
inline constexpr EFI_GUID EFI_END_OF_DXE_EVENT_GROUP_GUID = {
    0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};

// Layout facts of the platform hook interface that the driver relies on.
constexpr UINTN kPlatformHookMinLength = 128;
constexpr UINTN kPlatformHookFactoryResetOffset = 120;
typedef EFI_STATUS(EFIAPI* PLATFORM_FACTORY_RESET_HOOK)(void);

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS RunLibraryConstructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS ModuleEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS RunLibraryDestructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS CallFactoryResetHook(void);
