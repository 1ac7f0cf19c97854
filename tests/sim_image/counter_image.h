// Variables through which the counter test image reports to the tests.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID kCounterImageGuid = {
    0x3E0B5C1D, 0x7A42, 0x4F6E, {0x9B, 0x21, 0x5D, 0x8C, 0x0F, 0x13, 0x62, 0xA7}};

// UINT32: how many times DriverEntry ran in this copy of the image.
inline constexpr CHAR16 kEntriesName[] = u"ImageEntries";
// UINT32: an initialised global as DriverEntry found it (0x5EED1234 in a
// freshly loaded image); DriverEntry then overwrites it.
inline constexpr CHAR16 kSeedName[] = u"ImageSeed";
// UINT8: 1 when the image handle carries a loaded-image protocol that points
// at the system table and says boot-services code.
inline constexpr CHAR16 kImageOkName[] = u"ImageOk";
// One letter per stage seen, appended in order: D (entry), E (End-of-DXE),
// L (ready-to-lock), B (ready-to-boot), X (exit-boot-services).
inline constexpr CHAR16 kStagesName[] = u"Stages";
// Two bytes {stage letter, reset type}: reset at that stage. The request is
// deleted before the reset unless the type has kKeepRequest set.
inline constexpr CHAR16 kResetRequestName[] = u"ResetRequest";
inline constexpr UINT8 kKeepRequest = 0x80;
