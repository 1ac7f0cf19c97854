// Time base from the processor's P-state registers, TSC delays, protocol
// notification events and the PCI Express configuration window.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID TscFrequencyGuid = {
    0xDBA6A7E3, 0xBB57, 0x4BE7, {0x8A, 0xF8, 0xD5, 0x78, 0xDB, 0x7E, 0x56, 0x87}};

constexpr UINT32 MSR_MMIO_CFG_BASE = 0xC0010058;
constexpr UINT32 MSR_PSTATE_STATUS = 0xC0010063;
constexpr UINT32 MSR_PSTATE_DEF_0 = 0xC0010064;

extern UINT64 TscHz;

EFI_STATUS TimerInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
UINT64 GetTscHz(void);
UINT64 MeasureTscHz(void);
UINT32 CurrentPstateMhz(void);
// A divisor of 0 defines no frequency: the result is 0 MHz.
void PstateMhz(UINT32 n, UINT32* out);
UINT64 SpinTscTicks(UINT64 ticks);
UINTN StallMicroseconds(UINTN microseconds);
EFI_EVENT CreateProtocolNotifyEvent(const EFI_GUID* protocolGuid, EFI_TPL notifyTpl,
                                    EFI_EVENT_NOTIFY notifyFunction, void* notifyContext,
                                    void** registration);
// FALSE when the window is disabled, or spans 4 GiB or more (bus range 12
// and up), which the 32-bit size cannot express.
BOOLEAN ReadPcieMmioWindow(UINT64* base, UINT32* size);
