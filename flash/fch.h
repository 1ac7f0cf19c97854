// FCH SPI controller, the flash-access bracket with its two-party lock, and
// the device-register, PCI-configuration and processor-signature primitives
// the flash code stands on.
#pragma once

#include "frame/uefi.h"

constexpr UINT64 FCH_SPI_BASE = 0xFEC10000;
constexpr UINT64 kSpiControl = FCH_SPI_BASE + 0x00;
constexpr UINT64 kSpiFifo = FCH_SPI_BASE + 0x0C;
constexpr UINT64 kSpiFifoPointer = FCH_SPI_BASE + 0x0D;
constexpr UINT64 kSpiExtIndex = FCH_SPI_BASE + 0x1E;
constexpr UINT64 kSpiExtData = FCH_SPI_BASE + 0x1F;
constexpr UINT64 kSpiFifoPosition = FCH_SPI_BASE + 0x4E;
constexpr UINT8 SPI_EXT_TX_COUNT = 5;
constexpr UINT8 SPI_EXT_RX_COUNT = 6;
constexpr UINT32 kSpiBusyMask = 0x80010000;
constexpr UINT32 kSpiStart = 0x10000;
constexpr UINT32 kSpiFifoPointerReset = 0x100000;
constexpr UINT8 SPI_FIFO_LIMIT = 67;

constexpr UINT64 kFchReg298 = 0xFED80298;
constexpr UINT64 kFchReg2A8 = 0xFED802A8;
constexpr UINT64 kFchPm1ControlPort = 0xFED80362;
constexpr UINT32 kFlashAccessBit = 0x80000000;
constexpr UINT32 kReg2A8ClearMask = 0xC;

constexpr UINT64 PCIE_CONFIG_BASE = 0xF8000000;
constexpr UINT32 kHostBridgeIndex = 0xB8;
constexpr UINT32 kHostBridgeData = 0xBC;
constexpr UINT32 kFlashLockHostFlag = 0x1055C;
constexpr UINT32 kFlashLockPeerFlag = 0x10560;
constexpr UINT32 kFlashLockTurn = 0x10564;

// Bounds of the hardware waits, in polls. A command of 67 bytes at the
// slowest SPI clock takes well under a millisecond; each busy poll costs a
// register read and an LPC cycle (over a microsecond), so 65,536 polls are
// tens of milliseconds: a controller that is absent (reads all ones) or
// stuck fails the transfer instead of hanging the boot.
constexpr UINT32 kSpiBusyPolls = 65536;
constexpr UINT32 kSpiFifoResetPolls = 65536;
constexpr UINT32 kSpiFifoSkipReads = 256;  // more than the FIFO holds
// The other agent holds the lock only while it changes the same registers;
// a million lock-word reads (about half a second) means it never lets go.
constexpr UINT32 kFlashLockSpins = 1000000;

// Device registers: one access of the stated width, between two compiler
// barriers so the compiler neither merges nor reorders them.
UINT8 RegRead8(UINT64 address);
UINT16 RegRead16(UINT64 address);
UINT32 RegRead32(UINT64 address);
UINT8 RegWrite8(UINT64 address, UINT8 value);
UINT32 RegWrite32(UINT64 address, UINT32 value);
UINT32 RegOr32(UINT64 address, UINT32 bits);
UINT8 RegReadField8(UINT64 address, UINT8 lowBit, UINT8 highBit);

UINT32 PcieCfgRead32(UINT32 offset);
UINT32 PcieCfgWrite32(UINT32 offset, UINT32 value);
BOOLEAN IsProcessorSignature(UINT32 signature);

EFI_STATUS SpiWaitIdle(void);
EFI_STATUS SpiExecute(UINT8 opcode, UINT8 txCount, UINT8 rxCount);
EFI_STATUS SpiFifoReset(void);
EFI_STATUS SpiFifoWrite(UINT8 start, UINT8 count, const UINT8* data);
EFI_STATUS SpiFifoRead(UINT8 start, UINT8 count, UINT8* buffer);
EFI_STATUS SpiTransfer(UINT8 opcode, const UINT8* txBytes, UINT8 txCount, UINT8* rxBytes, UINT8* rxCount);

BOOLEAN FindFlashLockBase(UINT32* base);
// FALSE when the other agent held the lock past the bound; the host's flag
// is then withdrawn.
BOOLEAN FlashLockAcquire(void);
void FlashLockRelease(void);
EFI_STATUS FlashGate(BOOLEAN enter);
// EFI_TIMEOUT from open: the lock was not had and nothing was changed; the
// caller must not access the flash nor call close.
EFI_STATUS FlashAccessOpen(void);
EFI_STATUS FlashAccessClose(void);

EFI_STATUS MapFchRegistersRuntime(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);

// Module state, zero at load: the registers' values when access was opened.
struct FchAccessState {
  UINT32 SavedReg298;
  UINT32 SavedReg2A8;
};
extern FchAccessState FchAccess;
