#include "flash/fch.h"

#include "bootctl/ec.h"
#include "frame/pi.h"
#include "s3/smm_services.h"
#include "support/base/base.h"

FchAccessState FchAccess;

UINT8 RegRead8(UINT64 address) {
  CompilerBarrier();
  const UINT8 value = MmioRead8(address);
  CompilerBarrier();
  return value;
}

UINT16 RegRead16(UINT64 address) {
  CompilerBarrier();
  const UINT16 value = MmioRead16(address);
  CompilerBarrier();
  return value;
}

UINT32 RegRead32(UINT64 address) {
  CompilerBarrier();
  const UINT32 value = MmioRead32(address);
  CompilerBarrier();
  return value;
}

UINT8 RegWrite8(UINT64 address, UINT8 value) {
  CompilerBarrier();
  MmioWrite8(address, value);
  CompilerBarrier();
  return value;
}

UINT32 RegWrite32(UINT64 address, UINT32 value) {
  CompilerBarrier();
  MmioWrite32(address, value);
  CompilerBarrier();
  return value;
}

UINT32 RegOr32(UINT64 address, UINT32 bits) { return RegWrite32(address, RegRead32(address) | bits); }

UINT8 RegReadField8(UINT64 address, UINT8 lowBit, UINT8 highBit) {
  const UINT32 width = highBit - lowBit + 1u;
  const UINT32 mask = width >= 8 ? 0xFF : (1u << width) - 1;
  return static_cast<UINT8>((RegRead8(address) >> lowBit) & mask);
}

UINT32 PcieCfgRead32(UINT32 offset) { return RegRead32(PCIE_CONFIG_BASE + offset); }

UINT32 PcieCfgWrite32(UINT32 offset, UINT32 value) { return RegWrite32(PCIE_CONFIG_BASE + offset, value); }

BOOLEAN IsProcessorSignature(UINT32 signature) {
  UINT32 eax, ebx, ecx, edx;
  RunCpuid(0x80000001, &eax, &ebx, &ecx, &edx);
  return (eax & 0x0FFF0F00) == signature;
}

EFI_STATUS SpiWaitIdle(void) {
  for (UINT32 poll = 0; poll < kSpiBusyPolls; poll++) {
    const UINT32 control = RegRead32(kSpiControl);
    PortIn8(0x80);  // a short I/O delay between polls
    if ((control & kSpiBusyMask) == 0) {
      return EFI_SUCCESS;
    }
  }
  return EFI_TIMEOUT;
}

EFI_STATUS SpiExecute(UINT8 opcode, UINT8 txCount, UINT8 rxCount) {
  if (EFI_ERROR(SpiWaitIdle())) {
    return EFI_TIMEOUT;
  }
  RegWrite8(kSpiExtIndex, SPI_EXT_TX_COUNT);
  RegWrite8(kSpiExtData, txCount);
  RegRead8(kSpiExtData);
  RegWrite8(kSpiExtIndex, SPI_EXT_RX_COUNT);
  RegWrite8(kSpiExtData, rxCount);
  RegRead8(kSpiExtData);
  PortIn8(0x80);
  RegWrite8(kSpiControl, opcode);
  PortIn8(0x80);
  RegOr32(kSpiControl, kSpiStart);
  return SpiWaitIdle();
}

EFI_STATUS SpiFifoReset(void) {
  for (UINT32 poll = 0; poll < kSpiFifoResetPolls; poll++) {
    RegOr32(kSpiControl, kSpiFifoPointerReset);
    if ((RegRead8(kSpiFifoPointer) & 7) == 0) {
      return EFI_SUCCESS;
    }
  }
  return EFI_TIMEOUT;
}

EFI_STATUS SpiFifoWrite(UINT8 start, UINT8 count, const UINT8* data) {
  if (EFI_ERROR(SpiFifoReset())) {
    return EFI_TIMEOUT;
  }
  for (UINT32 skipped = 0; (RegRead8(kSpiFifoPointer) & 7) != start; skipped++) {
    if (skipped == kSpiFifoSkipReads) {
      return EFI_TIMEOUT;
    }
    RegWrite8(kSpiFifo, RegRead8(kSpiFifo));
  }
  for (UINT8 i = 0; i < count; i++) {
    RegWrite8(kSpiFifo, data[i]);
  }
  return EFI_SUCCESS;
}

EFI_STATUS SpiFifoRead(UINT8 start, UINT8 count, UINT8* buffer) {
  if (EFI_ERROR(SpiFifoReset())) {
    return EFI_TIMEOUT;
  }
  for (UINT32 skipped = 0; RegRead8(kSpiFifoPosition) != start; skipped++) {
    if (skipped == kSpiFifoSkipReads) {
      return EFI_TIMEOUT;
    }
    RegRead8(kSpiFifo);
  }
  for (UINT8 i = 0; i < count; i++) {
    buffer[i] = RegRead8(kSpiFifo);
  }
  return EFI_SUCCESS;
}

// A wait that passes its bound fails the transfer with EFI_DEVICE_ERROR: to
// the caller the controller did not do the command.
EFI_STATUS SpiTransfer(UINT8 opcode, const UINT8* txBytes, UINT8 txCount, UINT8* rxBytes, UINT8* rxCount) {
  if (txCount > SPI_FIFO_LIMIT) {
    return EFI_BAD_BUFFER_SIZE;
  }
  const UINT8 want = rxCount != nullptr ? *rxCount : 0;
  const UINT8 room = SPI_FIFO_LIMIT - txCount;
  const UINT8 rx = want < room ? want : room;
  if (txCount > 0 && txBytes != nullptr && EFI_ERROR(SpiFifoWrite(0, txCount, txBytes))) {
    return EFI_DEVICE_ERROR;
  }
  if (EFI_ERROR(SpiExecute(opcode, txCount, rx))) {
    return EFI_DEVICE_ERROR;
  }
  if (rx > 0 && rxBytes != nullptr) {
    if (EFI_ERROR(SpiFifoRead(txCount, rx, rxBytes))) {
      return EFI_DEVICE_ERROR;
    }
    *rxCount = rx;
  }
  return EFI_SUCCESS;
}

BOOLEAN FindFlashLockBase(UINT32* base) {
  *base = 0;
  UINT32 block = 0x13B10000;
  if (IsProcessorSignature(0x00870F00) || IsProcessorSignature(0x00830F00) ||
      IsProcessorSignature(0x00A20F00)) {
    block = 0x13E10000;
  }
  PcieCfgWrite32(kHostBridgeIndex, block + 0x2E0);
  // All ones is what a read answers when nothing decodes the register: no
  // window, rather than lock words in the boot flash below 4 GiB.
  const UINT32 value = PcieCfgRead32(kHostBridgeData);
  const UINT32 window = value & 0xFFF00000;
  if (window == 0 || value == 0xFFFFFFFF) {
    return false;
  }
  *base = window;
  return true;
}

BOOLEAN FlashLockAcquire(void) {
  UINT32 base;
  if (!FindFlashLockBase(&base)) {
    return true;  // no lock on this platform: access proceeds unlocked
  }
  RegWrite32(static_cast<UINT32>(base + kFlashLockHostFlag), 1);
  RegWrite32(static_cast<UINT32>(base + kFlashLockTurn), 1);
  for (UINT32 spin = 0; spin < kFlashLockSpins; spin++) {
    if (RegRead32(static_cast<UINT32>(base + kFlashLockPeerFlag)) != 1 ||
        RegRead32(static_cast<UINT32>(base + kFlashLockTurn)) != 1) {
      return true;
    }
  }
  RegWrite32(static_cast<UINT32>(base + kFlashLockHostFlag), 0);
  return false;
}

void FlashLockRelease(void) {
  UINT32 base;
  if (FindFlashLockBase(&base)) {
    RegWrite32(static_cast<UINT32>(base + kFlashLockHostFlag), 0);
  }
}

EFI_STATUS FlashGate(BOOLEAN enter) {
  const UINT32 pm1Control = PortIn32(RegRead16(kFchPm1ControlPort));
  if ((pm1Control & 1) != 0) {
    ImcSetIdleGuarded(enter);
  }
  if (enter) {
    FchAccess.SavedReg298 = RegRead32(kFchReg298);
    RegWrite32(kFchReg298, FchAccess.SavedReg298 | kFlashAccessBit);
  } else {
    RegWrite32(kFchReg298, FchAccess.SavedReg298);
  }
  return EFI_SUCCESS;
}

EFI_STATUS FlashAccessOpen(void) {
  if (!FlashLockAcquire()) {
    return EFI_TIMEOUT;
  }
  FlashGate(true);
  FchAccess.SavedReg2A8 = RegRead32(kFchReg2A8);
  RegWrite32(kFchReg2A8, RegRead32(kFchReg2A8) & ~kReg2A8ClearMask);
  FlashLockRelease();
  return EFI_SUCCESS;
}

// The registers are put back even when the lock cannot be had: leaving the
// flash opened would be worse than one unlocked restore.
EFI_STATUS FlashAccessClose(void) {
  const BOOLEAN locked = FlashLockAcquire();
  FlashGate(false);
  RegWrite32(kFchReg2A8, FchAccess.SavedReg2A8);
  if (locked) {
    FlashLockRelease();
  }
  return locked ? EFI_SUCCESS : EFI_TIMEOUT;
}

EFI_STATUS MapFchRegistersRuntime(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  // Without a DXE services table there is nothing to call through.
  if (DxeServices != nullptr) {
    DxeServices->SetMemorySpaceAttributes(0xFED80E00 & ~static_cast<UINT64>(0xFFF), 0x1000,
                                          EFI_MEMORY_RUNTIME);
  }
  return EFI_SUCCESS;
}
