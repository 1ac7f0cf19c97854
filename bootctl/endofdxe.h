// End-of-DXE boot control: lid flag, out-of-box test counter, EC power-off
// request and the BootNext choice.
#pragma once

#include "frame/uefi.h"

constexpr UINT16 kBootNextMode1 = 0x2001;
constexpr UINT16 kBootNextMode2 = 0x2003;
constexpr UINT8 kChgKeyMarker = 0x81;
constexpr UINT8 kModeScanBit = 0x80;

void EFIAPI EndOfDxeHandler(EFI_EVENT event, void* context);
void HandOverLidFlag(void);
EFI_STATUS CountOobTest(void);
EFI_STATUS SetChgKeyMarker(void);
EFI_STATUS SelectBootNextByScan(void);
EFI_STATUS FindOptionByDescription(const UINT16* order, UINTN count, const CHAR16* text);
EFI_STATUS FindOptionByDevicePathNode(const UINT16* order, UINTN count, UINT8 type, UINT8 subType);

// Boot options come from the operating system, so every walk over one is
// bounded by the option's size and never reads beyond the buffer. The
// description compare covers only the text's characters: a description that
// begins with the text inside the option matches whether or not its
// terminator follows within the data. The device path starts after the
// terminator, so an option without one has no path; a node shorter than its
// header or running past the data, or a path without an end node, is no
// match.
//
// Returns the first device-path node of a load option, or null for a null or
// malformed option; *pathSize receives the bytes from there to the end.
const EFI_DEVICE_PATH_PROTOCOL* LoadOptionDevicePath(const void* option, UINTN optionSize, UINTN* pathSize);
BOOLEAN DevicePathHasNode(const EFI_DEVICE_PATH_PROTOCOL* path, UINTN pathSize, UINT8 type, UINT8 subType);
