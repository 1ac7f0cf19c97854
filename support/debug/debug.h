// Debug messages through the platform's debug-message protocol, and the
// post-code halt for failure checkpoints.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID DebugMessageProtocolGuid = {
    0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

constexpr UINT64 kDebugErrorLevel = 0x0004000000000000ull;

// First member of the debug-message protocol: level, ASCII format, and the
// address of the first 8-byte argument slot.
typedef EFI_STATUS(EFIAPI* DEBUG_MESSAGE_FUNCTION)(UINT64 errorLevel, const CHAR8* format,
                                                   const void* arguments);
struct DEBUG_MESSAGE_PROTOCOL {
  DEBUG_MESSAGE_FUNCTION Message;
};

// Post-code halt switch of this build.
constexpr bool kPostCodeHaltEnabled = false;
constexpr UINT32 kPostCodeScrollMicroseconds = 2500000;
constexpr UINT32 kMagicProbeEax = 0xBACCD00B;
constexpr UINT32 kMagicProbeEbx = 2;

EFI_STATUS EFIAPI DebugMessage(UINT64 errorLevel, const CHAR8* format, ...);
BOOLEAN PostCodeHalt(UINT32 code);
// PostCodeHalt with the switch given explicitly.
BOOLEAN PostCodeHaltIf(bool enabled, UINT32 code);
// Returns FALSE when the magic CPUID probe answers; otherwise never returns.
BOOLEAN PostCodeHaltLoop(UINT32 code);
UINT16 MagicCpuidProbe(void);
