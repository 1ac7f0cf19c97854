// Flash hardware of the simulated notebook: the FCH SPI controller with an
// SPI NOR part on it, memory-mapped flash parts, the PM1 control port, the
// host bridge's index/data pair in PCI configuration space, the other agent
// of the flash lock, and builders for the flash device map and the flash PCD
// tokens. Everything runs on the platform clock.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/devices.h"
#include "sim/pcd/pcd_db.h"
#include "sim/platform.h"

namespace sim {

constexpr uint64_t kSpiControllerBase = 0xFEC10000;
constexpr uint64_t kSpiControllerSize = 0x100;
constexpr unsigned kSpiFifoBytes = 67;
constexpr uint64_t kPciConfigBase = 0xF8000000;
constexpr uint32_t kFlashLockPageOffset = 0x10000;  // the page of the lock words in the window
constexpr uint32_t kFlashLockHostFlag = 0x1055C;
constexpr uint32_t kFlashLockPeerFlag = 0x10560;
constexpr uint32_t kFlashLockTurn = 0x10564;

// ---------------------------------------------------------------- SPI NOR part
// A serial NOR flash part as the controller sees it: for each command the
// controller clocks out the opcode and then one byte per byte time (its
// transmit bytes, then zeros while it receives) and captures what the part
// drives back. The part answers
//   0x9F read identification: its JEDEC ID bytes from the first byte time on,
//        0xFF after them;
//   0x5A read SFDP: three address bytes (high first) and one dummy byte, then
//        the SFDP byte at that address and the following ones (the address
//        wraps at 24 bits; addresses the data does not list read 0xFF);
// and drives nothing (0xFF, the line's pull-up) for any other opcode or
// during its own address and dummy byte times.
class SpiNorPart {
 public:
  std::string name;
  std::vector<uint8_t> jedecId;
  uint64_t capacityBytes = 0;
  std::map<uint32_t, uint8_t> sfdp;  // listed SFDP bytes by address

  // A part from the JSON form of the real parts' data: {"part": name,
  // "jedecId": "EF 40 15", "capacityBytes": n, "sfdp": [{"address": "0x0",
  // "bytes": "53 46 ..."}]}; "part" and "capacityBytes" may be left out.
  // Throws std::runtime_error with a one-line reason.
  static SpiNorPart FromJson(const std::string& text);
  static SpiNorPart FromFile(const std::string& path);
  // A real part by its name ("W25Q16JV"), from the data directory.
  static SpiNorPart ByName(const std::string& name);
  // The directory of the real parts' data: $SIM_SFDP_DIR if set, else the
  // copy in the source tree.
  static std::string DataDirectory();
  static std::vector<std::string> KnownParts();  // names in the data directory, sorted

  uint8_t SfdpByte(uint32_t address) const;
  // What the part drives for each of mosi.size() byte times after `opcode`.
  std::vector<uint8_t> Exchange(uint8_t opcode, const std::vector<uint8_t>& mosi) const;
};

// ---------------------------------------------------------------- SPI controller
// The FCH SPI controller's command interface, 0x100 bytes of registers:
//   0x00 SpiControl (32): bits 7..0 the opcode; writing bit 16 starts the
//        command, writing bit 20 resets the FIFO pointer; bits 16 and 31 read
//        1 while a command runs, bit 20 while a reset is pending
//   0x0C SpiFifo: data port; every read or write moves the FIFO pointer on by
//        one (wrapping at the end of the 67-byte FIFO)
//   0x0D SpiFifoPointer: bits 2..0 of the FIFO pointer
//   0x1E/0x1F SpiExtIndex/SpiExtData: extended registers; 5 the transmit
//        count, 6 the receive count; all of them read back what was written
//   0x4E SpiFifoPosition: the whole FIFO pointer
// Other offsets are plain storage. A started command takes the time its
// bytes need at the SPI clock (opcode, transmit and receive bytes, 8 clocks
// each) plus a fixed overhead; then the bytes the part drove in the receive
// byte times are in the FIFO at positions txCount.. and the controller is
// idle. The FIFO pointer is left where it is. A FIFO pointer reset takes
// effect at once unless `fifoResetNs` says otherwise.
//
// Misuse is a platform violation: starting a command, resetting the FIFO,
// touching the FIFO or the counts while a command runs; counts whose sum is
// above 67 (the controller then receives only what fits); accesses wider than
// a byte to the byte registers (0x0C, 0x0D, 0x1E, 0x1F, 0x4E).
class SpiController : public Device {
 public:
  struct Behaviour {
    uint64_t spiClockHz = 33000000;
    uint64_t overheadNs = 500;      // per command, besides the byte times
    bool stuckBusy = false;         // busy from the start of every boot, never runs a command
    bool neverCompletes = false;    // a started command keeps it busy for ever
    uint64_t fifoResetNs = 0;       // a FIFO pointer reset takes effect this long after the write
    bool fifoResetIgnored = false;  // the reset bit does nothing
    uint8_t fifoPointerAtBoot = 0;  // where the FIFO pointer stands when a boot starts
  };
  struct Command {
    unsigned boot = 0;
    uint8_t opcode = 0;
    std::vector<uint8_t> tx, rx;  // the transmit bytes sent and the bytes received
    uint64_t startNs = 0, endNs = 0;
  };

  SpiController(Platform& platform, uint64_t base = kSpiControllerBase);
  Behaviour behaviour;
  const SpiNorPart* part = nullptr;  // null: nothing on the bus, every byte reads 0xFF
  std::vector<Command> commands;     // completed commands, in order
  unsigned fifoResets = 0;           // resets that took effect

  // Maps (true) or unmaps the register block. An unmapped controller reads
  // all ones, as an absent one does.
  void SetPresent(bool present);
  bool Busy() const;
  uint64_t CommandNs(unsigned bytes) const;  // the duration of a command of `bytes` bytes, opcode included
  uint8_t FifoPointer() const { return pointer_; }
  const std::array<uint8_t, kSpiFifoBytes>& Fifo() const { return fifo_; }
  uint8_t ExtRegister(uint8_t index) const { return ext_[index]; }

  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;
  void OnBootStart(unsigned boot) override;

 private:
  Platform& platform_;
  uint64_t base_;
  bool present_ = false;
  std::array<uint8_t, kSpiControllerSize> regs_{};
  std::array<uint8_t, kSpiFifoBytes> fifo_{};
  std::array<uint8_t, 256> ext_{};
  uint8_t pointer_ = 0;
  bool busy_ = false;
  bool resetPending_ = false;
  uint64_t generation_ = 0;  // cancels completions scheduled in an earlier boot
  uint8_t ReadByte(unsigned offset);
  void WriteByte(unsigned offset, uint8_t value);
  void WriteControl(uint32_t written);
  void Start();
  void ResetFifo();
  void Complete(uint8_t opcode, std::vector<uint8_t> tx, unsigned rx, uint64_t startNs);
  bool CheckIdle(const char* what);
};

// ---------------------------------------------------------------- memory-mapped parts
// A parallel flash part in the memory map, identified by command writes.
// UnlockSequence (kind 0): 0xAA to commandAddress1, 0x55 to commandAddress2,
// 0x90 to commandAddress1 enter the ID mode; 0xF0 anywhere leaves it.
// SingleCommand (kind 1): 0x90 written anywhere in the part enters the ID
// mode, 0xFF leaves it. In ID mode the word at idAddress is `idWord`; every
// other read, and every read outside ID mode, gives the array content. A
// write that does not fit the sequence is ignored (and starts the unlock
// sequence over), as a real part does: counted and traced, not a violation.
class MappedFlashPart : public Device {
 public:
  enum class Method { UnlockSequence = 0, SingleCommand = 1 };
  // Maps [base, base + size) and fills the array with 0xFF.
  MappedFlashPart(Platform& platform, Method method, uint64_t base, uint64_t size, uint16_t idWord,
                  uint64_t idAddress, uint64_t commandAddress1, uint64_t commandAddress2);
  ~MappedFlashPart() override;
  const Method method;
  const uint64_t base, size;
  uint16_t idWord;
  uint64_t idAddress, commandAddress1, commandAddress2;
  std::vector<uint8_t> array;
  bool InIdMode() const { return idMode_; }
  unsigned idEntries = 0, idExits = 0, idReads = 0, ignoredWrites = 0;

  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;
  void OnBootStart(unsigned boot) override;

 private:
  Platform& platform_;
  bool idMode_ = false;
  int unlockStep_ = 0;  // command bytes of the unlock sequence seen so far
  void Ignore(uint64_t address, int width, uint32_t value);
};

// ---------------------------------------------------------------- PM1 control
// The ACPI PM1 control register (32-bit I/O, 4 ports). Bit 0 is SCI_EN, set
// by the firmware when the system runs in ACPI mode. Reading is harmless; a
// write is a platform violation (SLP_EN would put the machine to sleep).
class Pm1Control : public Device {
 public:
  explicit Pm1Control(Platform& platform);
  uint32_t value = 0;
  uint64_t reads = 0;
  void SetPort(uint16_t port);  // maps ports port..port+3 (unmaps the old ones)
  uint16_t Port() const { return port_; }
  uint32_t PortRead(uint16_t port, int width) override;
  void PortWrite(uint16_t port, int width, uint32_t value) override;

 private:
  Platform& platform_;
  uint16_t port_ = 0;
};

// ---------------------------------------------------------------- PCI configuration
// Configuration space of bus 0 device 0 function 0 (the host bridge), 4 KiB
// at 0xF8000000. Offsets 0xB8 (index) and 0xBC (data) reach the internal
// registers: write an address to the index, read or write its value through
// the data register. Internal registers not in `internal` read 0. Writing
// the data register while the index names the flash-lock window register is
// a violation (the window is not the driver's to move).
class HostBridge : public Device {
 public:
  explicit HostBridge(Platform& platform);
  std::array<uint8_t, 0x1000> config{};
  std::map<uint32_t, uint32_t> internal;
  uint32_t protectedRegister = 0;  // the window register; 0: none
  struct Access {
    unsigned boot;
    bool write;
    uint32_t index;
    uint32_t value;
  };
  std::vector<Access> dataAccesses;  // reads and writes of the data register
  uint32_t Index() const;
  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;

 private:
  Platform& platform_;
};

// ---------------------------------------------------------------- flash lock peer
// The other agent of the two-party (Peterson) flash lock, on the page of the
// lock window that holds the lock words: HostFlag (the driver's flag),
// PeerFlag (this agent's) and Turn (1: the agent's turn). Modes:
//   Idle:  never wants the lock (PeerFlag stays 0).
//   Holds: is inside the lock when the driver comes for it: the first
//          `holdTimes` times in a boot the driver raises HostFlag, PeerFlag
//          reads 1 (and Turn 1) until `holdNs` later; then the agent leaves.
//   Never: inside and never leaves (PeerFlag 1 for ever).
// The driver may write HostFlag (0 or 1) and Turn (1, giving the turn away);
// writing PeerFlag, another value, another width or another address of the
// page is a violation. Every HostFlag change and every agent move is traced
// (kind "FlashLock").
class FlashLockPeer : public Device {
 public:
  enum class Mode { Idle, Holds, Never };
  explicit FlashLockPeer(Platform& platform);
  Mode mode = Mode::Idle;
  uint64_t holdNs = 5000;
  unsigned holdTimes = 1;
  uint32_t hostFlag = 0, peerFlag = 0, turn = 0;
  unsigned acquisitions = 0;  // HostFlag 0 -> 1
  unsigned releases = 0;      // HostFlag 1 -> 0
  uint64_t peerFlagReads = 0, turnReads = 0;
  // The agent is inside its critical section (the driver must not change the
  // flash registers now).
  bool PeerInside() const { return peerFlag != 0; }
  // Maps the lock-word page of the window at `windowBase` (0 unmaps).
  void SetWindow(uint32_t windowBase);
  uint32_t WindowBase() const { return window_; }
  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;
  void OnBootStart(unsigned boot) override;

 private:
  Platform& platform_;
  uint32_t window_ = 0;
  unsigned heldThisBoot_ = 0;
  uint64_t generation_ = 0;
  std::array<uint8_t, 0x1000> page_{};  // the rest of the page, plain memory
};

// ---------------------------------------------------------------- CPUID
// Makes CPUID leaf 0x80000001 answer `eax` (the processor signature); other
// leaves keep the answers of the function installed before.
void SetProcessorSignature(Platform& platform, uint32_t eax);

// ---------------------------------------------------------------- flash device map
struct FdmEntrySpec {
  EFI_GUID type{};
  EFI_GUID area{};
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t attributes = 0;
};
struct FdmLayout {
  uint32_t entriesOffset = 32;  // entries follow the 28 header bytes, 8-byte aligned
  uint32_t entrySize = 52;
  std::optional<uint32_t> length;  // default: entriesOffset + entries x entrySize
  uint8_t headerSum = 0;           // what the 28 header bytes add up to (0: a sound checksum)
};
// A flash device map: "HFDM", Length, EntriesOffset, EntrySize, the checksum
// byte at offset 16 (the 28 header bytes add up to 0), FlashBase, then the
// entries (TypeGuid, AreaGuid, Offset, Size, Attributes: 52 bytes each, at
// EntrySize stride: with a shorter stride each entry overwrites the tail of
// the one before). The bytes hold the header and every entry whatever Length
// says, and at least Length bytes.
std::vector<uint8_t> BuildFlashDeviceMap(uint64_t flashBase, const std::vector<FdmEntrySpec>& entries,
                                         const FdmLayout& layout = {});
// Sets the checksum byte (offset 16) so that the 28 header bytes add up to 0.
void FixFlashDeviceMapChecksum(std::vector<uint8_t>& map);

// ---------------------------------------------------------------- flash PCD tokens
extern const EFI_GUID kFdmTokenSpace;          // C51F1883-DF00-4F6A-08A0-369F6098FDAF
extern const EFI_GUID kFlashDeviceTokenSpace;  // CBDEF572-719D-426E-8A43-75AE913CFFB2
extern const EFI_GUID kFlashParamTokenSpace;   // EC17A54E-FEC1-431B-AD9C-B4F0BC6E2E56
extern const EFI_GUID kFlashInfo1TokenSpace;   // 2F779836-610C-4615-A462-54E73EF16192
extern const EFI_GUID kFlashInfo2TokenSpace;   // E9A68F2A-13F1-4505-B6A1-E182188AC49A
constexpr uint64_t kFdmAddressToken = 0x30000017;
constexpr uint64_t kFlashSelectorToken = 0x20000001;
constexpr uint32_t kFlashDeviceGeneric = 0x12345678;

// A device entry: Kind, three bytes, DeviceId, Aux, SizeFactor1, SizeFactor2
// (16 bytes, little-endian).
struct FlashDeviceEntrySpec {
  uint8_t kind = 3;
  uint32_t deviceId = 0;
  uint32_t aux = 0;
  uint16_t sizeFactor1 = 0;
  uint16_t sizeFactor2 = 0;
};
std::vector<uint8_t> EncodeFlashDeviceEntry(const FlashDeviceEntrySpec& entry);
// Raw parameters of a memory-mapped part (kinds 0 to 2): four bytes, then
// IdAddress, CommandAddress1, CommandAddress2 (u64 each): 28 bytes.
std::vector<uint8_t> EncodeMappedFlashParams(uint64_t idAddress, uint64_t commandAddress1,
                                             uint64_t commandAddress2);
// Raw parameters of an SPI part (kind 3), 40 bytes: bytes 4..15 the
// parameter bytes (4 the read-identification opcode, 5 the erase opcode),
// bytes 16..22 one flag source each (20: the identification byte count),
// 24..27 carried bytes, 32 the erase block size, 36 Aux2.
struct SpiParamsSpec {
  uint8_t readIdOpcode = 0x9F;
  uint8_t eraseOpcode = 0x20;
  std::array<uint8_t, 10> carried{};     // raw bytes 6..15
  std::array<uint8_t, 7> flagSources{};  // raw bytes 16..22
  std::array<uint8_t, 4> carried2{};     // raw bytes 24..27
  uint32_t eraseBlockSize = 0;
  uint32_t aux2 = 0;
  SpiParamsSpec& IdBytes(uint8_t n) {
    flagSources[4] = n;
    return *this;
  }
};
std::vector<uint8_t> EncodeSpiFlashParams(const SpiParamsSpec& params);

// Declares one device token: its entry in the device space, its raw
// parameters in the parameter space and the information blocks, each only
// when given (a missing value is a token without value). Tokens of a space
// are enumerated in declaration order.
void DeclareFlashDevice(PcdDatabase& pcd, uint64_t token, std::optional<std::vector<uint8_t>> entry,
                        std::optional<std::vector<uint8_t>> params,
                        std::optional<std::vector<uint8_t>> info1 = std::nullopt,
                        std::optional<std::vector<uint8_t>> info2 = std::nullopt);
// The selector token (32-bit) in the device space.
void DeclareFlashSelector(PcdDatabase& pcd, uint32_t token);

// ---------------------------------------------------------------- the aggregate
// The flash hardware next to a Notebook: the SPI controller (mapped) with no
// part attached, the host bridge, the PM1 control port at the address FCH
// register 0xFED80362 holds, the lock peer (unmapped until a window is set)
// and the FCH flash registers 0xFED80298 and 0xFED802A8 in the notebook's
// FCH register page (which the IMC gate at 0xFED80E80 shares). Writes to the
// flash registers are traced (kind "FlashRegister"); changing them while the
// lock peer is inside its critical section, or writing 0xFED80362, is a
// violation.
class FlashPlatform {
 public:
  FlashPlatform(Platform& platform, Notebook& notebook);
  ~FlashPlatform();
  FlashPlatform(const FlashPlatform&) = delete;
  FlashPlatform& operator=(const FlashPlatform&) = delete;

  Platform& platform;
  Notebook& notebook;
  SpiController spi;
  HostBridge hostBridge;
  Pm1Control pm1;
  FlashLockPeer peer;
  std::vector<std::unique_ptr<MappedFlashPart>> mappedParts;

  void AttachSpiPart(SpiNorPart part);
  void DetachSpiPart();
  const SpiNorPart* SpiPart() const { return part_.get(); }
  void SetSciEnabled(bool enabled);
  void SetPm1Port(uint16_t port);  // FCH 0xFED80362 and the port the PM1 register answers on
  // CPUID leaf 0x80000001 EAX; also decides which internal register of the
  // host bridge holds the lock window (0x13E102E0 for the signatures
  // 0x00870F00, 0x00830F00 and 0x00A20F00 after masking with 0x0FFF0F00,
  // 0x13B102E0 otherwise).
  void SetProcessorSignature(uint32_t eax);
  // The value the window register answers; the lock peer lives at its bits
  // 31..20 (no peer when they are 0).
  void SetLockWindow(uint32_t value);
  uint32_t WindowRegisterAddress() const;
  MappedFlashPart& AddMappedPart(MappedFlashPart::Method method, uint64_t base, uint64_t size,
                                 uint16_t idWord, uint64_t idAddress, uint64_t commandAddress1,
                                 uint64_t commandAddress2);
  uint32_t FchRegister(uint32_t offset) const;  // 32-bit value in the FCH page
  void SetFchRegister(uint32_t offset, uint32_t value);
  // Keeps `map` in simulator memory and declares its address in the FDM
  // address token. Returns the address.
  uint64_t PublishDeviceMap(PcdDatabase& pcd, std::vector<uint8_t> map);
  const std::vector<uint8_t>& DeviceMap() const { return map_; }

 private:
  std::unique_ptr<SpiNorPart> part_;
  uint32_t signature_ = 0;
  uint32_t window_ = 0;
  std::vector<uint8_t> map_;
  std::function<void(const RegisterPage::Access&)> previousHook_;
  void PlaceWindow();
  void OnFchAccess(const RegisterPage::Access& access);
};

// ---------------------------------------------------------------- identification result (debug view)
// What SPI identification settled on, as a debugger attached to the
// notebook would read it: no platform interface shows the descriptor the
// driver built (only the selector token it writes and the commands it sends).
// When the driver writes the selector token 0x20000001, the last step of the
// device walk whether or not an entry was accepted, the view reads the
// descriptor that the loaded image's CurrentFlashDevice names, its parameter
// block and the SFDP results kept beside it (FlashDevice), through the
// symbols the host image exports for this view only, and traces them decoded
// (kind "FlashDescriptor"; fields in sim/devices/flash_view.cpp). Nothing is traced
// for driver code run outside RunBoot (no loaded image).
void WatchFlashIdentification(Platform& platform, PcdDatabase& pcd);

}  // namespace sim
