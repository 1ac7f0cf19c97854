// A faulty driver image, built once per fault, that the runner's self-tests
// load in place of the real one. Each must make the first-boot scenario fail:
//   FAULT_KIND_exception  executes an invalid instruction (CPU exception)
//   FAULT_KIND_hang       never returns from its entry point
//   FAULT_KIND_error      returns EFI_UNSUPPORTED from its entry point
//   FAULT_KIND_stray      does the first-boot work right, and also writes a
//                         variable it has no business with (BootNext)
#include "fwlib.h"

extern "C" EFI_STATUS EFIAPI FaultyEntry(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
#if defined(FAULT_KIND_exception)
  __builtin_trap();
#elif defined(FAULT_KIND_hang)
  for (;;) {
    __asm__ __volatile__("pause");
  }
#elif defined(FAULT_KIND_error)
  return EFI_UNSUPPORTED;
#elif defined(FAULT_KIND_stray)
  EFI_GUID bootControl;
  EFI_GUID global;
  fw::ParseGuid("bc", &bootControl);
  fw::ParseGuid("global", &global);
  UINT8 marker = 0;
  UINTN size = sizeof(marker);
  if (fw::gRT->GetVariable(u"ZKFirstBoot", &bootControl, nullptr, &size, &marker) == EFI_NOT_FOUND) {
    fw::gRT->SetVariable(u"ZKFirstBoot", &bootControl, kVarNvBsRt, sizeof(marker), &marker);
  }
  const UINT16 next = 0x0001;
  fw::gRT->SetVariable(u"BootNext", &global, kVarNvBsRt, sizeof(next), &next);
  return EFI_SUCCESS;
#else
#error "set one FAULT_KIND_*"
#endif
}
