// HII definitions used by the driver (string and database protocols, package
// formats), written from the UEFI specification's facts. The member order of
// the protocols and the package layouts are what every firmware's HII
// database implements; the offsets are pinned with static_assert.
#pragma once

#include "frame/uefi.h"

typedef void* EFI_HII_HANDLE;
typedef UINT16 EFI_STRING_ID;
typedef CHAR16* EFI_STRING;
struct EFI_FONT_INFO;  // never passed by this driver (always null)

inline constexpr EFI_GUID EFI_HII_STRING_PROTOCOL_GUID = {
    0x0FD96974, 0x23AA, 0x4CDC, {0xB9, 0xCB, 0x98, 0xD1, 0x77, 0x50, 0x32, 0x2A}};
inline constexpr EFI_GUID EFI_HII_DATABASE_PROTOCOL_GUID = {
    0xEF9FC172, 0xA1B2, 0x4693, {0xB3, 0x27, 0x6D, 0x32, 0xFC, 0x41, 0x60, 0x42}};
inline constexpr EFI_GUID EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID = {
    0x587E72D7, 0xCC50, 0x4F79, {0x82, 0x09, 0xCA, 0x29, 0x1F, 0xC1, 0xA1, 0x0F}};
inline constexpr EFI_GUID EFI_HII_FONT_PROTOCOL_GUID = {
    0xE9CA4775, 0x8657, 0x47FC, {0x97, 0xE7, 0x7E, 0xD6, 0x5A, 0x08, 0x43, 0x24}};
inline constexpr EFI_GUID EFI_HII_IMAGE_PROTOCOL_GUID = {
    0x31A6406A, 0x6BDF, 0x4E46, {0xB2, 0xA2, 0xEB, 0xAA, 0x89, 0xC4, 0x09, 0x20}};

// Package types and string block types.
constexpr UINT8 EFI_HII_PACKAGE_TYPE_ALL = 0x00;
constexpr UINT8 EFI_HII_PACKAGE_STRINGS = 0x04;
constexpr UINT8 EFI_HII_PACKAGE_END = 0xDF;
constexpr UINT8 EFI_HII_SIBT_END = 0x00;
constexpr UINT8 EFI_HII_SIBT_STRING_SCSU = 0x10;
constexpr UINT8 EFI_HII_SIBT_STRING_SCSU_FONT = 0x11;
constexpr UINT8 EFI_HII_SIBT_STRINGS_SCSU = 0x12;
constexpr UINT8 EFI_HII_SIBT_STRINGS_SCSU_FONT = 0x13;
constexpr UINT8 EFI_HII_SIBT_STRING_UCS2 = 0x14;
constexpr UINT8 EFI_HII_SIBT_STRING_UCS2_FONT = 0x15;
constexpr UINT8 EFI_HII_SIBT_STRINGS_UCS2 = 0x16;
constexpr UINT8 EFI_HII_SIBT_STRINGS_UCS2_FONT = 0x17;
constexpr UINT8 EFI_HII_SIBT_DUPLICATE = 0x20;
constexpr UINT8 EFI_HII_SIBT_SKIP2 = 0x21;
constexpr UINT8 EFI_HII_SIBT_SKIP1 = 0x22;
constexpr UINT8 EFI_HII_SIBT_EXT1 = 0x30;
constexpr UINT8 EFI_HII_SIBT_EXT2 = 0x31;
constexpr UINT8 EFI_HII_SIBT_EXT4 = 0x32;
constexpr UINT8 EFI_HII_SIBT_FONT = 0x40;

// Glyph-width controls inside UCS-2 strings.
constexpr CHAR16 kWideGlyph = 0xFFF1;
constexpr CHAR16 kNarrowGlyph = 0xFFF0;

// Package-list header: the list's GUID and its length including this header.
struct EFI_HII_PACKAGE_LIST_HEADER {
  EFI_GUID PackageListGuid;
  UINT32 PackageLength;
};
static_assert(sizeof(EFI_HII_PACKAGE_LIST_HEADER) == 20, "package list header");

// Every package starts with 24 bits of length (header included) and a type.
constexpr UINT32 HiiPackageHeader(UINT32 length, UINT8 type) {
  return (length & 0xFFFFFFu) | (UINT32(type) << 24);
}
constexpr UINT32 HiiPackageLength(UINT32 header) { return header & 0xFFFFFFu; }
constexpr UINT8 HiiPackageType(UINT32 header) { return UINT8(header >> 24); }

// String package header up to its language tag (the NUL-terminated ASCII tag
// follows at offset 46).
struct EFI_HII_STRING_PACKAGE_HDR {
  UINT32 Header;
  UINT32 HdrSize;
  UINT32 StringInfoOffset;
  CHAR16 LanguageWindow[16];
  EFI_STRING_ID LanguageName;
} __attribute__((packed));
static_assert(sizeof(EFI_HII_STRING_PACKAGE_HDR) == 46, "string package header");
static_assert(offsetof(EFI_HII_STRING_PACKAGE_HDR, LanguageName) == 44, "string package header");

struct EFI_HII_STRING_PROTOCOL {
  EFI_STATUS(EFIAPI* NewString)
  (const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE PackageList, EFI_STRING_ID* StringId,
   const CHAR8* Language, const CHAR16* LanguageName, const CHAR16* String,
   const EFI_FONT_INFO* StringFontInfo);
  EFI_STATUS(EFIAPI* GetString)
  (const EFI_HII_STRING_PROTOCOL* This, const CHAR8* Language, EFI_HII_HANDLE PackageList,
   EFI_STRING_ID StringId, CHAR16* String, UINTN* StringSize, EFI_FONT_INFO** StringFontInfo);
  EFI_STATUS(EFIAPI* SetString)
  (const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE PackageList, EFI_STRING_ID StringId,
   const CHAR8* Language, const CHAR16* String, const EFI_FONT_INFO* StringFontInfo);
  EFI_STATUS(EFIAPI* GetLanguages)
  (const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE PackageList, CHAR8* Languages, UINTN* LanguagesSize);
  EFI_STATUS(EFIAPI* GetSecondaryLanguages)
  (const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE PackageList, const CHAR8* PrimaryLanguage,
   CHAR8* SecondaryLanguages, UINTN* SecondaryLanguagesSize);
};
static_assert(offsetof(EFI_HII_STRING_PROTOCOL, SetString) == 16, "string protocol layout");
static_assert(offsetof(EFI_HII_STRING_PROTOCOL, GetLanguages) == 24, "string protocol layout");

typedef EFI_STATUS(EFIAPI* EFI_HII_DATABASE_NOTIFY)(UINT8 PackageType, const EFI_GUID* PackageGuid,
                                                    const void* Package, EFI_HII_HANDLE Handle,
                                                    UINTN NotifyType);

struct EFI_HII_DATABASE_PROTOCOL {
  EFI_STATUS(EFIAPI* NewPackageList)
  (const EFI_HII_DATABASE_PROTOCOL* This, const EFI_HII_PACKAGE_LIST_HEADER* PackageList,
   EFI_HANDLE DriverHandle, EFI_HII_HANDLE* Handle);
  EFI_STATUS(EFIAPI* RemovePackageList)(const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE Handle);
  EFI_STATUS(EFIAPI* UpdatePackageList)
  (const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE Handle,
   const EFI_HII_PACKAGE_LIST_HEADER* PackageList);
  EFI_STATUS(EFIAPI* ListPackageLists)
  (const EFI_HII_DATABASE_PROTOCOL* This, UINT8 PackageType, const EFI_GUID* PackageGuid,
   UINTN* HandleBufferLength, EFI_HII_HANDLE* Handle);
  EFI_STATUS(EFIAPI* ExportPackageLists)
  (const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE Handle, UINTN* BufferSize,
   EFI_HII_PACKAGE_LIST_HEADER* Buffer);
  EFI_STATUS(EFIAPI* RegisterPackageNotify)
  (const EFI_HII_DATABASE_PROTOCOL* This, UINT8 PackageType, const EFI_GUID* PackageGuid,
   EFI_HII_DATABASE_NOTIFY PackageNotifyFn, UINTN NotifyType, EFI_HANDLE* NotifyHandle);
  EFI_STATUS(EFIAPI* UnregisterPackageNotify)
  (const EFI_HII_DATABASE_PROTOCOL* This, EFI_HANDLE NotificationHandle);
  EFI_STATUS(EFIAPI* FindKeyboardLayouts)
  (const EFI_HII_DATABASE_PROTOCOL* This, UINT16* KeyGuidBufferLength, EFI_GUID* KeyGuidBuffer);
  EFI_STATUS(EFIAPI* GetKeyboardLayout)
  (const EFI_HII_DATABASE_PROTOCOL* This, const EFI_GUID* KeyGuid, UINT16* KeyboardLayoutLength,
   void* KeyboardLayout);
  EFI_STATUS(EFIAPI* SetKeyboardLayout)(const EFI_HII_DATABASE_PROTOCOL* This, const EFI_GUID* KeyGuid);
  EFI_STATUS(EFIAPI* GetPackageListHandle)
  (const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE PackageListHandle, EFI_HANDLE* DriverHandle);
};
static_assert(offsetof(EFI_HII_DATABASE_PROTOCOL, ExportPackageLists) == 32, "database protocol layout");
static_assert(sizeof(EFI_HII_DATABASE_PROTOCOL) == 88, "database protocol layout");
