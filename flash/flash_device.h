// SPI flash device identification: walks the platform's list of candidate
// parts in the PCD, loads each with its parameters and identifies the part
// (memory-mapped command sequences, SPI read-identification, or JEDEC SFDP
// discovery for the generic entry). The accepted entry is remembered in a
// selector token for the next boot.
#pragma once

#include "frame/uefi.h"

inline constexpr EFI_GUID FlashDeviceTokenSpaceGuid = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
inline constexpr EFI_GUID FlashParamTokenSpaceGuid = {
    0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}};
inline constexpr EFI_GUID FlashInfo1TokenSpaceGuid = {
    0x2F779836, 0x610C, 0x4615, {0xA4, 0x62, 0x54, 0xE7, 0x3E, 0xF1, 0x61, 0x92}};
inline constexpr EFI_GUID FlashInfo2TokenSpaceGuid = {
    0xE9A68F2A, 0x13F1, 0x4505, {0xB6, 0xA1, 0xE1, 0x82, 0x18, 0x8A, 0xC4, 0x9A}};
constexpr UINTN FLASH_DEVICE_SELECTOR_TOKEN = 0x20000001;
constexpr UINTN FLASH_DEVICE_GENERIC = 0x12345678;
constexpr bool ProbeRememberedGeneric = true;

constexpr UINT32 SPI_FLAG_WRITE_GRANULARITY_64 = 0x8;
constexpr UINT32 SPI_FLAG_NONVOLATILE_PROTECT = 0x400;
constexpr UINT32 kSfdpSignature = 0x50444653;  // "SFDP"
constexpr UINT8 kSfdpReadOpcode = 0x5A;
// A device list longer than this is not walked further: a PCD database whose
// token order cycles must not hold the boot.
constexpr UINT32 kMaxDeviceTokens = 1024;

struct FlashDeviceEntry {
  UINT8 Kind;  // 0 unlock sequence, 1 single command, 2 no identification, 3 SPI
  UINT8 NotInterpreted[3];
  UINT32 DeviceId;
  UINT32 Aux;
  UINT16 SizeFactor1;  // size = SizeFactor1 x SizeFactor2 x 256
  UINT16 SizeFactor2;
};
static_assert(sizeof(FlashDeviceEntry) == 16, "flash device entry layout");

struct FlashDeviceRecord {
  UINT32 RecordLength;  // entry length + 12
  UINT8* RawParams;
  FlashDeviceEntry Entry;
  UINT8 Info1[32];
  UINT8 Info2[32];
};

struct MappedFlashParams {
  UINT64 IdAddress;
  UINT64 CommandAddress1;
  UINT64 CommandAddress2;
};

struct SpiFlashParams {
  UINT8 Copied[12];  // byte 0 ReadIdOpcode, byte 1 EraseOpcode
  UINT32 Flags;
  UINT8 Copied2[4];
  UINT32 DeviceSize;
  UINT32 EraseBlockSize;
  UINT32 Aux2;
};
constexpr UINTN kSpiReadIdOpcode = 0;
constexpr UINTN kSpiEraseOpcode = 1;

struct FlashDeviceDescriptor {
  UINT32 Kind;
  UINT32 DeviceId;
  UINT32 Aux;
  UINT8 SizeCode;
  UINT8 Info1[32];
  UINT8 Info2[32];
  UINT16 SizeFactor1;
  UINT16 SizeFactor2;
  UINT16 Marker;  // 0xFFFF
  UINT8 LeftZero[5];
  void* Params;  // MappedFlashParams or SpiFlashParams
};

EFI_STATUS FlashDeviceInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
FlashDeviceRecord* FlashDeviceSelect(void);
FlashDeviceRecord* FlashDeviceTryToken(UINTN token);
EFI_STATUS FlashDescriptorBuild(FlashDeviceRecord* record, FlashDeviceDescriptor* descriptor);
EFI_STATUS FlashDeviceSetCurrent(FlashDeviceDescriptor* descriptor);
EFI_STATUS FlashDeviceIdentify(void);
EFI_STATUS IdentifyUnlockSequence(FlashDeviceDescriptor* descriptor);
EFI_STATUS IdentifySingleCommand(FlashDeviceDescriptor* descriptor);
EFI_STATUS IdentifySpi(FlashDeviceDescriptor* descriptor);
EFI_STATUS SfdpDiscover(FlashDeviceDescriptor* descriptor, UINT8* blockEraseOpcode, UINT8* blockEraseSizeExp);
UINT8 FlashSizeCode(UINT32 size);

// Module memory of the identification, zero at load.
struct FlashDeviceState {
  FlashDeviceRecord Record;
  UINT8 MappedRaw[32];
  UINT8 SpiRaw[64];
  MappedFlashParams Mapped;
  SpiFlashParams Spi;
  FlashDeviceDescriptor Descriptor;
  UINT8 SfdpDone;
  UINT8 SfdpBlockEraseOpcode;
  UINT8 SfdpBlockEraseSizeExp;
};
extern FlashDeviceState FlashDevice;
extern FlashDeviceDescriptor* CurrentFlashDevice;
