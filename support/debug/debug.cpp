// Debug-message forwarding and the post-code halt.
#include "support/debug/debug.h"

#include "frame/module.h"
#include "support/base/base.h"
#include "support/timer/timer.h"

EFI_STATUS EFIAPI DebugMessage(UINT64 errorLevel, const CHAR8* format, ...) {
  // Located on every call: the producer may come and go during the boot.
  DEBUG_MESSAGE_PROTOCOL* protocol = nullptr;
  EFI_STATUS status =
      BootServices->LocateProtocol(&DebugMessageProtocolGuid, nullptr, reinterpret_cast<void**>(&protocol));
  if (EFI_ERROR(status)) {
    return status;
  }
  __builtin_ms_va_list arguments;
  __builtin_ms_va_start(arguments, format);
  status = protocol->Message(errorLevel, format, arguments);
  __builtin_ms_va_end(arguments);
  return status;
}

BOOLEAN PostCodeHalt(UINT32 code) { return PostCodeHaltIf(kPostCodeHaltEnabled, code); }

BOOLEAN PostCodeHaltIf(bool enabled, UINT32 code) {
  if (enabled) {
    PostCodeHaltLoop(code);
  }
  return true;
}

BOOLEAN PostCodeHaltLoop(UINT32 code) {
  PortOut16(0xE0, 0xDEAD);
  PortOut32(0x80, code);
  const UINT16 answer = MagicCpuidProbe();
  UINT64 pattern = 0xDEAD000000000000ull | (static_cast<UINT64>(code) << 16);
  if (answer != 0) {
    return false;
  }
  // Scroll the code across the display until the machine is reset.
  for (;;) {
    for (int i = 0; i < 6; i++) {
      pattern = Rotl64(pattern, 8);
      PortOut32(0x80, static_cast<UINT32>(pattern));
      StallMicroseconds(kPostCodeScrollMicroseconds);
    }
    pattern = Rotl64(pattern, 16);
  }
}

UINT16 MagicCpuidProbe(void) { return CpuidSiProbe(kMagicProbeEax, kMagicProbeEbx); }
