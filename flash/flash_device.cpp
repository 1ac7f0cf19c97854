#include "flash/flash_device.h"

#include "flash/fch.h"
#include "support/base/base.h"
#include "support/pcd/pcd.h"

FlashDeviceState FlashDevice;
FlashDeviceDescriptor* CurrentFlashDevice;

namespace {

UINTN NextDeviceToken(UINTN token) {
  token = PcdNextToken(&FlashDeviceTokenSpaceGuid, token);
  if (token == FLASH_DEVICE_SELECTOR_TOKEN) {
    token = PcdNextToken(&FlashDeviceTokenSpaceGuid, token);
  }
  if (token == FLASH_DEVICE_GENERIC) {
    token = PcdNextToken(&FlashDeviceTokenSpaceGuid, token);
  }
  return token;
}

// Copies a PCD value into a fixed field: what does not fit is cut, and what
// the value does not cover is zero, so no earlier entry shows through.
BOOLEAN LoadValue(const EFI_GUID* space, UINTN token, void* field, UINTN fieldSize) {
  const UINTN size = PcdReadSize(space, token);
  const void* value = PcdReadPtr(space, token);
  MemZero(field, fieldSize);
  if (value == nullptr) {
    return false;
  }
  MemCopy(field, value, size < fieldSize ? size : fieldSize);
  return true;
}

// Reads `count` SFDP bytes from `address`, as many per transfer as the
// controller returns.
EFI_STATUS SfdpRead(UINT32 address, UINT8* destination, UINT32 count) {
  while (count > 0) {
    UINT8 chunk = count > 0xFF ? 0xFF : static_cast<UINT8>(count);
    const UINT8 command[4] = {static_cast<UINT8>(address >> 16), static_cast<UINT8>(address >> 8),
                              static_cast<UINT8>(address), 0x00};
    if (EFI_ERROR(SpiTransfer(kSfdpReadOpcode, command, sizeof(command), destination, &chunk)) ||
        chunk == 0) {
      return EFI_DEVICE_ERROR;
    }
    count -= chunk;
    address += chunk;
    destination += chunk;
  }
  return EFI_SUCCESS;
}

}  // namespace

UINT8 FlashSizeCode(UINT32 size) {
  for (UINT8 code = 1; code <= 10; code++) {
    if (size == (0x10000u << code)) {
      return code;
    }
  }
  return 0xFF;
}

EFI_STATUS FlashDescriptorBuild(FlashDeviceRecord* record, FlashDeviceDescriptor* descriptor) {
  if (record == nullptr || descriptor == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const FlashDeviceEntry& entry = record->Entry;
  descriptor->Kind = entry.Kind;
  descriptor->DeviceId = entry.DeviceId;
  descriptor->Aux = entry.Aux;
  descriptor->SizeFactor1 = entry.SizeFactor1;
  descriptor->SizeFactor2 = entry.SizeFactor2;
  descriptor->Marker = 0xFFFF;
  MemCopy(descriptor->Info1, record->Info1, sizeof(descriptor->Info1));
  MemCopy(descriptor->Info2, record->Info2, sizeof(descriptor->Info2));
  const UINT32 size = static_cast<UINT32>(entry.SizeFactor1) * entry.SizeFactor2 * 256u;
  descriptor->SizeCode = FlashSizeCode(size);
  const UINT8* raw = record->RawParams;
  if (entry.Kind <= 2) {
    MemCopy(&FlashDevice.Mapped, raw + 4, sizeof(MappedFlashParams));
    descriptor->Params = &FlashDevice.Mapped;
    return EFI_SUCCESS;
  }
  if (entry.Kind == 3) {
    SpiFlashParams& spi = FlashDevice.Spi;
    MemCopy(spi.Copied, raw + 4, sizeof(spi.Copied));
    UINT32 flags = spi.Flags & ~0x7FFu;
    flags |= (raw[16] & 1u) << 0;
    flags |= (raw[17] & 1u) << 1;
    flags |= (raw[18] & 1u) << 2;
    flags |= (raw[19] & 1u) << 3;
    flags |= (raw[20] & 7u) << 4;
    flags |= (raw[21] & 7u) << 7;
    flags |= (raw[22] & 1u) << 10;
    spi.Flags = flags;
    MemCopy(spi.Copied2, raw + 24, sizeof(spi.Copied2));
    spi.DeviceSize = size;
    spi.EraseBlockSize = Load32(raw + 32);
    spi.Aux2 = Load32(raw + 36);
    descriptor->Params = &spi;
    return EFI_SUCCESS;
  }
  return EFI_DEVICE_ERROR;
}

EFI_STATUS FlashDeviceSetCurrent(FlashDeviceDescriptor* descriptor) {
  if (descriptor == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  CurrentFlashDevice = descriptor;
  return EFI_SUCCESS;
}

// The command sequences are single 8- and 16-bit accesses to flash
// addresses, made through the device-register primitives: on hardware the
// same single accesses, on the host the way to the simulated part.
EFI_STATUS IdentifyUnlockSequence(FlashDeviceDescriptor* descriptor) {
  if (descriptor->Kind != 0) {
    return EFI_UNSUPPORTED;
  }
  const MappedFlashParams* p = static_cast<const MappedFlashParams*>(descriptor->Params);
  RegWrite8(p->CommandAddress1, 0xAA);
  RegWrite8(p->CommandAddress2, 0x55);
  RegWrite8(p->CommandAddress1, 0x90);
  const UINT16 id = RegRead16(p->IdAddress);
  RegWrite8(p->CommandAddress1, 0xF0);
  return id == static_cast<UINT16>(descriptor->DeviceId) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS IdentifySingleCommand(FlashDeviceDescriptor* descriptor) {
  if (descriptor->Kind != 1) {
    return EFI_UNSUPPORTED;
  }
  const MappedFlashParams* p = static_cast<const MappedFlashParams*>(descriptor->Params);
  RegWrite8(p->IdAddress, 0x90);
  const UINT16 id = RegRead16(p->IdAddress);
  RegWrite8(p->IdAddress, 0xFF);
  return id == static_cast<UINT16>(descriptor->DeviceId) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS SfdpDiscover(FlashDeviceDescriptor* descriptor, UINT8* blockEraseOpcode,
                        UINT8* blockEraseSizeExp) {
  if (descriptor == nullptr) {
    return EFI_UNSUPPORTED;
  }
  UINT8 buffer[52];
  MemZero(buffer, sizeof(buffer));
  UINT8* header = buffer;
  UINT8* table = buffer + 16;
  if (EFI_ERROR(SfdpRead(0, header, 16))) {
    return EFI_DEVICE_ERROR;
  }
  if (Load32(header) != kSfdpSignature) {
    return EFI_UNSUPPORTED;
  }
  const UINT32 tableAddress = header[12] | (header[13] << 8) | (header[14] << 16);
  const UINT32 dwords = header[11] < 9 ? header[11] : 9;
  if (EFI_ERROR(SfdpRead(tableAddress, table, dwords * 4))) {
    return EFI_DEVICE_ERROR;
  }
  SpiFlashParams* spi = static_cast<SpiFlashParams*>(descriptor->Params);
  if ((table[0] & 3) == 1) {
    spi->EraseBlockSize = 4096;
  }
  if (table[0] & 4) {
    spi->Flags |= SPI_FLAG_WRITE_GRANULARITY_64;
  } else {
    spi->Flags &= ~SPI_FLAG_WRITE_GRANULARITY_64;
  }
  if (table[0] & 8) {
    spi->Flags &= ~SPI_FLAG_NONVOLATILE_PROTECT;
  } else {
    spi->Flags |= SPI_FLAG_NONVOLATILE_PROTECT;
  }
  spi->Copied[kSpiEraseOpcode] = table[1];
  for (UINTN k = 0; k < 4; k++) {
    if (table[28 + 2 * k] == 16) {
      *blockEraseOpcode = table[29 + 2 * k];
      *blockEraseSizeExp = 16;
      break;
    }
  }
  FlashDevice.SfdpDone = 1;
  const UINT32 density = Load32(table + 4);
  if (density & 0x80000000u) {
    // 2^N bits. Exponents below 3 (under a byte) or from 35 on (4 GiB and
    // more) have no 32-bit byte size: the size the entry gave stays.
    const UINT32 exponent = density & 0x7FFFFFFF;
    if (exponent >= 3 && exponent < 35) {
      spi->DeviceSize = 1u << (exponent - 3);
    }
  } else {
    spi->DeviceSize = (density + 1) / 8;
  }
  return EFI_SUCCESS;
}

EFI_STATUS IdentifySpi(FlashDeviceDescriptor* descriptor) {
  if (descriptor == nullptr) {
    return EFI_UNSUPPORTED;
  }
  if (descriptor->DeviceId == FLASH_DEVICE_GENERIC) {
    SfdpDiscover(descriptor, &FlashDevice.SfdpBlockEraseOpcode, &FlashDevice.SfdpBlockEraseSizeExp);
    FlashDevice.SfdpDone = 1;
    return EFI_SUCCESS;
  }
  const SpiFlashParams* spi = static_cast<const SpiFlashParams*>(descriptor->Params);
  UINT8 id[4] = {0, 0, 0, 0};
  UINT8 count = static_cast<UINT8>((spi->Flags >> 4) & 3);
  if (EFI_ERROR(SpiTransfer(spi->Copied[kSpiReadIdOpcode], nullptr, 0, id, &count))) {
    return EFI_DEVICE_ERROR;
  }
  return Load32(id) == descriptor->DeviceId ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS FlashDeviceIdentify(void) {
  // Without the lock nothing may touch the flash: the entry is not identified.
  if (EFI_ERROR(FlashAccessOpen())) {
    return EFI_TIMEOUT;
  }
  EFI_STATUS status;
  switch (CurrentFlashDevice->Kind) {
    case 0:
      status = IdentifyUnlockSequence(CurrentFlashDevice);
      break;
    case 1:
      status = IdentifySingleCommand(CurrentFlashDevice);
      break;
    case 3:
      status = IdentifySpi(CurrentFlashDevice);
      break;
    default:
      status = EFI_UNSUPPORTED;
      break;
  }
  FlashAccessClose();
  return status;
}

FlashDeviceRecord* FlashDeviceTryToken(UINTN token) {
  FlashDeviceRecord& record = FlashDevice.Record;
  record.RecordLength = static_cast<UINT32>(PcdReadSize(&FlashDeviceTokenSpaceGuid, token) + 12);
  if (!LoadValue(&FlashDeviceTokenSpaceGuid, token, &record.Entry, sizeof(record.Entry))) {
    return nullptr;
  }
  if (record.Entry.Kind > 3) {
    return nullptr;
  }
  const BOOLEAN spi = record.Entry.Kind == 3;
  record.RawParams = spi ? FlashDevice.SpiRaw : FlashDevice.MappedRaw;
  if (!LoadValue(&FlashParamTokenSpaceGuid, token, record.RawParams,
                 spi ? sizeof(FlashDevice.SpiRaw) : sizeof(FlashDevice.MappedRaw))) {
    return nullptr;
  }
  LoadValue(&FlashInfo1TokenSpaceGuid, token, record.Info1, sizeof(record.Info1));
  LoadValue(&FlashInfo2TokenSpaceGuid, token, record.Info2, sizeof(record.Info2));
  FlashDescriptorBuild(&record, &FlashDevice.Descriptor);
  FlashDeviceSetCurrent(&FlashDevice.Descriptor);
  return EFI_ERROR(FlashDeviceIdentify()) ? nullptr : &record;
}

FlashDeviceRecord* FlashDeviceSelect(void) {
  UINTN token = PcdRead32(&FlashDeviceTokenSpaceGuid, FLASH_DEVICE_SELECTOR_TOKEN);
  if (token == 0) {
    token = NextDeviceToken(0);
  }
  BOOLEAN restarted = false;
  for (UINT32 tried = 0; token != 0 && tried < kMaxDeviceTokens; tried++) {
    if (token != FLASH_DEVICE_GENERIC || ProbeRememberedGeneric) {
      FlashDeviceRecord* record = FlashDeviceTryToken(token);
      if (record != nullptr) {
        PcdWrite32(&FlashDeviceTokenSpaceGuid, FLASH_DEVICE_SELECTOR_TOKEN, static_cast<UINT32>(token));
        return record;
      }
    }
    // A token the database does not know (a remembered one that a firmware
    // update renumbered away) has no successor: the next token comes back
    // unchanged. The walk then starts once from the list's beginning.
    const UINTN next = NextDeviceToken(token);
    if (next == token) {
      token = restarted ? 0 : NextDeviceToken(0);
      restarted = true;
    } else {
      token = next;
    }
  }
  FlashDeviceRecord* record = FlashDeviceTryToken(FLASH_DEVICE_GENERIC);
  PcdWrite32(&FlashDeviceTokenSpaceGuid, FLASH_DEVICE_SELECTOR_TOKEN, FLASH_DEVICE_GENERIC);
  return record;
}

EFI_STATUS FlashDeviceInit(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  FlashDeviceSelect();
  return EFI_SUCCESS;
}
