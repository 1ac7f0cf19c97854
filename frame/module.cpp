// Module-wide values and the platform hook call.
#include "frame/module.h"

#include "support/base/base.h"

EFI_HANDLE ImageHandle;
EFI_SYSTEM_TABLE* SystemTable;
EFI_BOOT_SERVICES* BootServices;
EFI_RUNTIME_SERVICES* RuntimeServices;
void* PlatformHookProtocol;
BOOLEAN FirstBootFlag;
EFI_EVENT EndOfDxeEvent;

EFI_STATUS CallFactoryResetHook(void) {
  if (PlatformHookProtocol == nullptr) {
    return EFI_UNSUPPORTED;
  }
  const UINT8* hook = static_cast<const UINT8*>(PlatformHookProtocol);
  if (Load32(hook) < kPlatformHookMinLength) {
    return EFI_UNSUPPORTED;
  }
  UINT64 address = Load64(hook + kPlatformHookFactoryResetOffset);
  if (address == 0) {
    return EFI_UNSUPPORTED;
  }
  return reinterpret_cast<PLATFORM_FACTORY_RESET_HOOK>(address)();
}
