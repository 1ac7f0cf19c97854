// S3 boot-script table set-up: finds or creates the shared record that
// describes the boot-script table, terminates the table at ready-to-lock
// and seals it into lock boxes, and keeps an SMM copy of the record.
#pragma once

#include "frame/pi.h"

inline constexpr EFI_GUID BootScriptPcdTokenSpaceGuid = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
constexpr UINTN PcdBootScriptRecord = 0x30000;
constexpr UINTN PcdBootScriptSmmRecord = 0x30001;

inline constexpr EFI_GUID ScriptTableBoxGuid = {
    0xAEA6B965, 0xDCF5, 0x4311, {0xB4, 0xB8, 0x0F, 0x12, 0x46, 0x44, 0x94, 0xD2}};
inline constexpr EFI_GUID ScriptAddressBoxGuid = {
    0x1810AB4A, 0x2314, 0x4DF6, {0x81, 0xEB, 0x67, 0xC6, 0xEC, 0x05, 0x85, 0x91}};
inline constexpr EFI_GUID BootTimeScriptBoxGuid = {
    0xB5AF1D7A, 0xB8CF, 0x4EB3, {0x89, 0x25, 0xA8, 0x20, 0xE1, 0x6B, 0x68, 0x7D}};
inline constexpr EFI_GUID ScriptRecordBoxGuid = {
    0x627EE2DA, 0x3BF9, 0x439B, {0x92, 0x9F, 0x2E, 0x0E, 0x6E, 0x9D, 0xBA, 0x62}};

// Shared with every module that writes the boot script and stored whole in
// a lock box: the layout is fixed.
struct BootScriptPrivateData {
  UINT64 TableAddress;  // 0 while no table exists
  UINT32 ScriptLength;  // script bytes, terminator not counted
  UINT16 TablePages;
  UINT8 IsSmmCopy;
  UINT8 RuntimePhase;
  UINT32 BootTimeLength;  // script length with the terminator, taken at the runtime notice
  UINT8 Locked;
  UINT8 ResumeCopy;  // 1 only in the lock-box copy
  UINT8 Reserved[2];
};
static_assert(offsetof(BootScriptPrivateData, ScriptLength) == 8, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, TablePages) == 12, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, IsSmmCopy) == 14, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, RuntimePhase) == 15, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, BootTimeLength) == 16, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, Locked) == 20, "boot-script record layout");
static_assert(offsetof(BootScriptPrivateData, ResumeCopy) == 21, "boot-script record layout");
static_assert(sizeof(BootScriptPrivateData) == 24, "boot-script record layout");

constexpr UINTN kScriptTableLengthOffset = 5;  // unaligned UINT32 in the table header
constexpr UINT16 kScriptTerminatorOpcode = 0x00FF;
constexpr UINT8 kScriptTerminatorLength = 3;

EFI_STATUS BootScriptConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS BootScriptDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
void EFIAPI OnDxeSmmReadyToLock(EFI_EVENT event, void* context);
EFI_STATUS EFIAPI OnSmmReadyToLock(const EFI_GUID* protocol, void* interface, EFI_HANDLE handle);
EFI_STATUS EFIAPI OnSmmRuntimeNotice(const EFI_GUID* protocol, void* interface, EFI_HANDLE handle);
void CloseScriptTable(void);
void SaveScriptTableBoxes(void);
void SaveBootTimeScript(void);
void SaveScriptRecordBox(void);

// Module state of the boot-script library, zero at load.
struct BootScriptLibState {
  BootScriptPrivateData* CurrentRecord;  // the record every handler works on
  BootScriptPrivateData* SmmRecord;
  EFI_EVENT ReadyToLockEvent;
  void* ExitBootServicesNoticeRegistration;
  void* LegacyBootNoticeRegistration;
  void* SmmReadyToLockRegistration;
  BOOLEAN OwnsBootRecord;
  BOOLEAN OwnsSmmRecord;
  EFI_SMM_SYSTEM_TABLE2* Smst;
};
extern BootScriptLibState BootScriptLib;
