// The boot manager's string package and the firmware-information strings:
// four library constructors that locate the HII protocols, publish two small
// shared objects when no other module has, keep one flash area's address,
// and register the string package with the texts of the firmware-information
// area put in for the firmware version, the model and the third
// identification text.
#pragma once

#include "frame/hii.h"
#include "support/base/base.h"

inline constexpr EFI_GUID BootStringPackageListGuid = {
    0x3B4D9B23, 0x95AC, 0x44F6, {0x9F, 0xCD, 0x0E, 0x95, 0x94, 0x58, 0x6C, 0x72}};
inline constexpr EFI_GUID SharedRecordProtocolGuid = {
    0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}};
inline constexpr EFI_GUID SharedBufferProtocolGuid = {
    0x5EE58BDC, 0x686C, 0x4D0C, {0xA9, 0xD2, 0x30, 0xBA, 0x7B, 0xB4, 0xCF, 0x2E}};
inline constexpr EFI_GUID WatchedProtocolGuid = {
    0x8BFFF2C1, 0x0BB8, 0x47FD, {0x9F, 0x6A, 0xAE, 0xC1, 0x01, 0xAC, 0xBE, 0x6E}};
inline constexpr EFI_GUID FirmwareInfoAreaTypeGuid = {
    0x32415DFC, 0xD106, 0x48C7, {0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07}};
inline constexpr EFI_GUID KeptFlashAreaTypeGuid = {
    0xB78E15D3, 0xF0A5, 0x4248, {0x8E, 0x2F, 0xD3, 0x15, 0x7A, 0xEF, 0x88, 0x36}};

// Firmware-information area layout (offsets from the area's base).
constexpr UINT64 kInfoBuildDate = 0x06;
constexpr UINT64 kInfoBuildTime = 0x0A;
constexpr UINT64 kInfoVersionText = 0x0E;
constexpr UINT64 kInfoModelText = 0x27;
constexpr UINT64 kInfoThirdText = 0x41;
constexpr UINT64 kInfoRecords = 0x15B;

// The record other modules share, published when none has been.
struct SharedRecord {
  UINT8 Flag[5];
  UINT64 Value[2];
  LIST_ENTRY List;
};
static_assert(sizeof(SharedRecord) == 40, "shared record");

// The package list registered with the HII database, with its length prefix.
extern const UINT8* const BootStringBlob;
constexpr UINT32 kBootStringBlobSize = 2418;

EFI_STATUS LocateHiiProtocols(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS SharedBufferInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS KeepFlashAreaInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS BootStringsInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS PublishSharedBuffer();  // the constructor's work with the switch clear
EFI_STATUS BootStringsDestroy(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
void EFIAPI WatchedProtocolNotify(EFI_EVENT event, void* context);

// The blobs are u32-length-prefixed package data; the list ends with null.
EFI_HII_HANDLE NewPackageListFromBlobs(const EFI_GUID* packageListGuid, EFI_HANDLE deviceHandle,
                                       const void* blob, ...);
EFI_STRING_ID SetStringAllLanguages(EFI_HII_HANDLE hiiHandle, EFI_STRING_ID stringId, const CHAR16* text,
                                    const CHAR8* languages);
CHAR8* GetPackageLanguages(EFI_HII_HANDLE hiiHandle);
void FillFirmwareInfoStrings(EFI_HII_HANDLE hiiHandle);
EFI_STATUS GetFirmwareInfoText(INTN kind, UINTN* size, CHAR16* buffer);
EFI_STATUS BcdToDate(const UINT8* bcd, EFI_TIME* time);
BOOLEAN IsValidDay(const EFI_TIME* time);
BOOLEAN IsValidDateTime(const EFI_TIME* time);

// Module state, zero at load.
struct BootStringsState {
  // The string, database, configuration-routing, font and image protocols,
  // in the order they are located.
  void* Hii[5];
  void* SharedBuffer;
  UINT64 KeptFlashArea;
  SharedRecord* Record;
  EFI_HII_HANDLE PackageList;
  void* Watched;
  EFI_EVENT WatchEvent;
  BOOLEAN WatchClosed;  // the notification closed the event
  void* WatchRegistration;
};
extern BootStringsState BootStrings;

inline EFI_HII_STRING_PROTOCOL* HiiStringProtocol() {
  return static_cast<EFI_HII_STRING_PROTOCOL*>(BootStrings.Hii[0]);
}
inline EFI_HII_DATABASE_PROTOCOL* HiiDatabaseProtocol() {
  return static_cast<EFI_HII_DATABASE_PROTOCOL*>(BootStrings.Hii[1]);
}
