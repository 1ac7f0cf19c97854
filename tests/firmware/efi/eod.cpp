// Signals the End-of-DXE event group once more, as the platform does before
// it connects consoles, and reports how long the signal took.
//
// Prints "FWT eod signal", then "FWT eod returned status=S ticks=T us=U
// notified=N": T is TSC ticks across SignalEvent, U the same in microseconds
// (TSC calibrated against the firmware's Stall), N how often the helper's own
// group member was notified before SignalEvent returned (1 when the group's
// notifications ran in the signal).
#include "fwlib.h"

namespace {

const EFI_GUID kEndOfDxeGroupGuid = {
    0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};

UINTN gNotified;

void EFIAPI CountNotify(EFI_EVENT, void*) { gNotified++; }

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);

  constexpr UINTN kCalibrationUs = 100000;
  const UINT64 c0 = fw::ReadTsc();
  fw::gBS->Stall(kCalibrationUs);
  const UINT64 ticksPerUs = (fw::ReadTsc() - c0) / kCalibrationUs;

  EFI_EVENT event = nullptr;
  EFI_STATUS status = fw::gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotify, nullptr,
                                             &kEndOfDxeGroupGuid, &event);
  if (EFI_ERROR(status)) {
    fw::Line("eod").Str(" create-failed status=").Hex(status).Emit();
    return status;
  }
  fw::Line("eod").Str(" signal").Emit();
  const UINT64 t0 = fw::ReadTsc();
  status = fw::gBS->SignalEvent(event);
  const UINT64 ticks = fw::ReadTsc() - t0;
  fw::Line("eod")
      .Str(" returned status=")
      .Hex(status)
      .Str(" ticks=")
      .Dec(ticks)
      .Str(" us=")
      .Dec(ticksPerUs == 0 ? 0 : ticks / ticksPerUs)
      .Str(" notified=")
      .Dec(gNotified)
      .Emit();
  fw::gBS->CloseEvent(event);
  return status;
}
