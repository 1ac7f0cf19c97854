// Access to the platform configuration database through the PI PCD protocol.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID EFI_PCD_PROTOCOL_GUID = {
    0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};

typedef void(EFIAPI* PCD_PROTOCOL_CALLBACK)(const EFI_GUID* guid, UINTN token, void* data, UINTN size);

// The PI member table, every member in its place.
struct EFI_PCD_PROTOCOL {
  void(EFIAPI* SetSku)(UINTN skuId);
  UINT8(EFIAPI* Get8)(const EFI_GUID* guid, UINTN token);
  UINT16(EFIAPI* Get16)(const EFI_GUID* guid, UINTN token);
  UINT32(EFIAPI* Get32)(const EFI_GUID* guid, UINTN token);
  UINT64(EFIAPI* Get64)(const EFI_GUID* guid, UINTN token);
  void*(EFIAPI* GetPtr)(const EFI_GUID* guid, UINTN token);
  BOOLEAN(EFIAPI* GetBool)(const EFI_GUID* guid, UINTN token);
  UINTN(EFIAPI* GetSize)(const EFI_GUID* guid, UINTN token);
  EFI_STATUS(EFIAPI* Set8)(const EFI_GUID* guid, UINTN token, UINT8 value);
  EFI_STATUS(EFIAPI* Set16)(const EFI_GUID* guid, UINTN token, UINT16 value);
  EFI_STATUS(EFIAPI* Set32)(const EFI_GUID* guid, UINTN token, UINT32 value);
  EFI_STATUS(EFIAPI* Set64)(const EFI_GUID* guid, UINTN token, UINT64 value);
  EFI_STATUS(EFIAPI* SetPtr)(const EFI_GUID* guid, UINTN token, UINTN* sizeOfBuffer, void* buffer);
  EFI_STATUS(EFIAPI* SetBool)(const EFI_GUID* guid, UINTN token, BOOLEAN value);
  EFI_STATUS(EFIAPI* CallbackOnSet)(const EFI_GUID* guid, UINTN token, PCD_PROTOCOL_CALLBACK callback);
  EFI_STATUS(EFIAPI* CancelCallback)(const EFI_GUID* guid, UINTN token, PCD_PROTOCOL_CALLBACK callback);
  EFI_STATUS(EFIAPI* GetNextToken)(const EFI_GUID* guid, UINTN* token);
  EFI_STATUS(EFIAPI* GetNextTokenSpace)(const EFI_GUID** guid);
};
static_assert(offsetof(EFI_PCD_PROTOCOL, Get32) == 24, "PCD protocol layout");
static_assert(offsetof(EFI_PCD_PROTOCOL, GetSize) == 56, "PCD protocol layout");
static_assert(offsetof(EFI_PCD_PROTOCOL, Set32) == 80, "PCD protocol layout");
static_assert(offsetof(EFI_PCD_PROTOCOL, GetNextToken) == 128, "PCD protocol layout");
static_assert(sizeof(EFI_PCD_PROTOCOL) == 144, "PCD protocol layout");

extern EFI_PCD_PROTOCOL* PcdProtocol;

// Locates the protocol on first use and keeps it. While it is not installed
// every accessor answers as for an absent token: reads give 0 (null, size 0),
// writes EFI_NOT_FOUND, and the next token after any token is 0.
EFI_PCD_PROTOCOL* GetPcdProtocol(void);
UINT32 PcdRead32(const EFI_GUID* tokenSpace, UINTN token);
UINT64 PcdRead64(const EFI_GUID* tokenSpace, UINTN token);
void* PcdReadPtr(const EFI_GUID* tokenSpace, UINTN token);
UINTN PcdReadSize(const EFI_GUID* tokenSpace, UINTN token);
EFI_STATUS PcdWrite32(const EFI_GUID* tokenSpace, UINTN token, UINT32 value);
EFI_STATUS PcdWrite64(const EFI_GUID* tokenSpace, UINTN token, UINT64 value);
UINTN PcdNextToken(const EFI_GUID* tokenSpace, UINTN token);
