// First-boot marker and the change-boot request taken at load.
#pragma once

#include "frame/uefi.h"

// Offsets of the Setup bytes the change-boot modes edit.
constexpr UINTN kSetupByteA = 92;
constexpr UINTN kSetupByteB = 100;
constexpr UINTN kSetupByteC = 111;
constexpr UINTN kSetupMinimumSize = kSetupByteC + 1;

// ZKChgBoot as read at load: pending byte, then the mode byte.
extern UINT8 ChangeBootRequest[2];
extern UINTN ChangeBootRequestSize;

EFI_STATUS FirstBootCheck(BOOLEAN* firstBoot);
EFI_STATUS ProcessChangeBootRequest(void);
void FactoryReset(void);
EFI_STATUS PurgeBootOptions(void);
EFI_STATUS EnterPurgeState(void);
EFI_STATUS LeavePurgeState(void);
EFI_STATUS UninstallAllInstances(const EFI_GUID* protocolGuid);
