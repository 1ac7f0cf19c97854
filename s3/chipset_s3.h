// Chipset S3 save table: the chip-specific S3 table that modules append to
// during the boot, shared through PCDs, terminated and handed to its SMM
// handler at ready-to-boot.
#pragma once

#include "frame/pi.h"

inline constexpr EFI_GUID ChipsetS3LibTokenSpaceGuid = {
    0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};
constexpr UINTN PcdChipsetS3LibPrivateData = 0x27000;
constexpr UINTN PcdChipsetS3LibCommBuffer = 0x27001;
constexpr UINTN PcdChipsetS3LibTableHeader = 0x27002;
constexpr UINTN PcdChipsetS3LibTableSize = 0x27003;

inline constexpr EFI_GUID ChipsetS3SaveSmmHandlerGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};

// Shared with other modules through the PCD and handed to SMM.
struct ChipsetS3LibPrivateData {
  UINT8 Locked;
  UINT8 TableClosed;  // the table was handed over and its pool freed
  UINT8 Reserved[6];
  UINT64 TableHeader;  // 0: no table
};
static_assert(offsetof(ChipsetS3LibPrivateData, TableClosed) == 1, "chipset S3 record layout");
static_assert(offsetof(ChipsetS3LibPrivateData, TableHeader) == 8, "chipset S3 record layout");
static_assert(sizeof(ChipsetS3LibPrivateData) == 16, "chipset S3 record layout");

struct ChipsetS3LibTableHeader {
  UINT32 Signature;
  UINT32 Version;
  UINT8 NotWritten[24];
  UINT64 BoundaryOffset;
  UINT64 NextEntryOffset;  // first free byte
};
static_assert(offsetof(ChipsetS3LibTableHeader, BoundaryOffset) == 0x20, "chipset S3 table layout");
static_assert(offsetof(ChipsetS3LibTableHeader, NextEntryOffset) == 0x28, "chipset S3 table layout");
static_assert(sizeof(ChipsetS3LibTableHeader) == 0x30, "chipset S3 table layout");

struct ChipsetS3Handover {
  EFI_SMM_COMMUNICATE_HEADER Header;
  UINT32 HandoverFunction;
  UINT32 Reserved;
  UINT64 RecordAddress;
};
static_assert(offsetof(ChipsetS3Handover, HandoverFunction) == 24, "hand-over layout");
static_assert(offsetof(ChipsetS3Handover, RecordAddress) == 32, "hand-over layout");
static_assert(sizeof(ChipsetS3Handover) == 40, "hand-over layout");

constexpr UINT32 kChipsetS3Signature = 0x54335341;  // "AS3T"
constexpr UINT32 kChipsetS3BoundaryMarker = 0x01558844;
constexpr UINT64 kChipsetS3BoundaryOffset = 0x4000;
constexpr UINT64 kChipsetS3MinTableSize = 0x4000;
constexpr UINT16 kChipsetS3EndMarker = 0xFFFF;
constexpr UINT32 kChipsetS3TableUnsound = 7;

EFI_STATUS ChipsetS3SaveConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS ChipsetS3SaveDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
void EFIAPI OnBootScriptLock(EFI_EVENT event, void* context);
void EFIAPI ChipsetS3SaveCloseTableCallBack(EFI_EVENT event, void* context);
UINT32 CheckChipsetS3Table(void);

extern ChipsetS3LibPrivateData* mChipsetS3LibPrivateData;

// Module state of the chipset S3 library, zero at load.
struct ChipsetS3LibState {
  EFI_EVENT BootScriptLockEvent;
  EFI_EVENT CloseTableEvent;
  UINT64 PcieBase;
  UINT32 PcieSize;
};
extern ChipsetS3LibState ChipsetS3Lib;
