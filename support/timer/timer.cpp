// TSC frequency from the current P-state, published once for every module.
#include "support/timer/timer.h"

#include "frame/helpers.h"
#include "frame/module.h"
#include "support/base/base.h"

UINT64 TscHz;

EFI_STATUS TimerInit(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  void* table = nullptr;
  if (!EFI_ERROR(FindConfigurationTable(&TscFrequencyGuid, &table))) {
    TscHz = Load64(table);  // another module measured first: take its value
    return EFI_SUCCESS;
  }
  TscHz = MeasureTscHz();
  // A zero frequency is no measurement; leave the table to a module that can
  // measure rather than hand zero to every module that divides by it.
  if (TscHz == 0) {
    return EFI_SUCCESS;
  }
  UINT64* published = static_cast<UINT64*>(PoolAllocBs(sizeof(UINT64)));
  if (published == nullptr) {
    return EFI_SUCCESS;  // keep the frequency for this module unpublished
  }
  *published = TscHz;
  BootServices->InstallConfigurationTable(&TscFrequencyGuid, published);
  return EFI_SUCCESS;
}

UINT64 GetTscHz(void) { return TscHz; }

UINT64 MeasureTscHz(void) { return Mul64x32(CurrentPstateMhz(), 1000000); }

UINT32 CurrentPstateMhz(void) {
  UINT32 mhz = 0;
  PstateMhz(static_cast<UINT32>(ReadMsr(MSR_PSTATE_STATUS) & 0x7), &mhz);
  return mhz;
}

void PstateMhz(UINT32 n, UINT32* out) {
  const UINT64 definition = ReadMsr(MSR_PSTATE_DEF_0 + n);
  const UINT32 fid = static_cast<UINT32>(definition & 0xFF);
  const UINT32 did = static_cast<UINT32>((definition >> 8) & 0x3F);
  if (did == 0) {
    *out = 0;
    return;
  }
  const UINT32 f = fid * 200 / did;
  UINT32 r = f / 100 * 100;
  if (f - r >= 50) {
    r += 100;
  }
  *out = r;
}

UINT64 SpinTscTicks(UINT64 ticks) {
  const UINT64 target = ReadTsc() + ticks;
  UINT64 now;
  do {
    SpinPause();
    now = ReadTsc();
  } while (now <= target);
  return now;
}

UINTN StallMicroseconds(UINTN microseconds) {
  SpinTscTicks(Div64x32(Mul64x64(GetTscHz(), microseconds), 1000000));
  return microseconds;
}

EFI_EVENT CreateProtocolNotifyEvent(const EFI_GUID* protocolGuid, EFI_TPL notifyTpl,
                                    EFI_EVENT_NOTIFY notifyFunction, void* notifyContext,
                                    void** registration) {
  EFI_EVENT event = nullptr;
  if (EFI_ERROR(
          BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, notifyTpl, notifyFunction, notifyContext, &event))) {
    return nullptr;
  }
  void* key = nullptr;
  BootServices->RegisterProtocolNotify(protocolGuid, event, registration != nullptr ? registration : &key);
  // Run the notification once now for instances installed before us.
  BootServices->SignalEvent(event);
  return event;
}

BOOLEAN ReadPcieMmioWindow(UINT64* base, UINT32* size) {
  const UINT64 value = ReadMsr(MSR_MMIO_CFG_BASE);
  if ((value & 1) == 0) {
    return false;
  }
  const UINT32 busRange = static_cast<UINT32>((value >> 2) & 0xF);
  if (busRange >= 12) {
    return false;
  }
  *base = value & ~static_cast<UINT64>(0xFFFFF);
  *size = (1u << busRange) << 20;
  return true;
}
