// The ground floor every part of the driver stands on: the module-wide
// service-table pointers and values, the platform hook, and the variable,
// pool and HOB helpers. It includes no part of the driver above the frame,
// so any part may include it without pulling in the entry point.
#pragma once

#include "frame/helpers.h"
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

// Layout facts of the platform hook interface that the driver relies on.
constexpr UINTN kPlatformHookMinLength = 128;
constexpr UINTN kPlatformHookFactoryResetOffset = 120;
typedef EFI_STATUS(EFIAPI* PLATFORM_FACTORY_RESET_HOOK)(void);

EFI_STATUS CallFactoryResetHook(void);
