// sim/cost/: the virtual clock every device and the processor run on, and
// the cost model that charges each effect of the driver to it. Records no
// violations; a boot whose virtual time passes the watchdog is stopped as
// hung by the boot runner.
//
// What a boot costs in firmware time: the cost of each kind of effect the
// driver has on the platform, and a per-boot ledger of the time it spent on
// each kind. Every cost is charged on the platform's virtual clock, so the
// devices see the time pass as well.
//
// Where the figures come from:
// - LPC I/O cycle: 1 us a port access (the classic port-0x80 delay); the EC
//   handshake is made of such accesses: per byte the host reads the status
//   port until IBF is clear (ACPI EC interface), writes the byte, and for a
//   read waits for OBF; the EC model takes a byte 2 us after it is written
//   and answers 3 us after the address, so one EC byte costs a few
//   microseconds of polling.
// - FCH register access: 250 ns through the fabric. MSR read and CPUID: 100
//   ns; TSC read 10 ns; PAUSE 20 ns. Stall: its argument.
// - Variable services on an SPI-flash-backed store (VariableStoreCosts):
//   the SPI NOR part's typical page-program, byte-program and sector-erase
//   times from the basic flash parameter table of its SFDP (JEDEC JESD216,
//   DWORDs 10 and 11), the FCH SPI controller at 33 MHz single I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The kinds of effect a boot's firmware time is split into.
enum class CostKind : unsigned {
  Ec,              // ACPI EC handshake: EC port accesses and the delays while waiting on the EC
  LpcIo,           // other port accesses (CMOS, IMC mailbox, post codes)
  DeviceRegister,  // FCH memory-mapped registers
  Processor,       // MSR reads, CPUID, TSC reads
  VariableRead,    // GetVariable
  VariableWrite,   // SetVariable: stores and deletes
  Stall,           // BootServices->Stall
  Count,
  // Not a line of the ledger: an access made only to pass time (a read of
  // the post-code port as a delay) is charged to the device the processor
  // last accessed, the one it is waiting on. So is PAUSE.
  Wait = Count,
};
const char* CostKindName(CostKind kind);  // "EC", "LPC I/O", ...

// Typical timing of an SPI NOR flash part, as its SFDP basic flash parameter
// table states it.
struct SpiFlashTiming {
  const char* part = "";
  uint32_t pageBytes = 256;
  uint64_t pageProgramNs = 0;     // programming a whole page
  uint64_t firstByteNs = 0;       // programming the first byte
  uint64_t additionalByteNs = 0;  // each further byte of the same page
  uint32_t sectorBytes = 4096;    // the smallest erase
  uint64_t sectorEraseNs = 0;
  // Time to program `bytes` bytes within one page: the first byte, then each
  // further one, never more than a whole page takes.
  uint64_t ProgramNs(uint64_t bytes) const;
};

// The parts of the SFDP collection whose tables carry timing (JESD216 rev
// 1.5 and later), in the order of their names.
const std::vector<SpiFlashTiming>& SpiFlashParts();
const SpiFlashTiming* FindSpiFlashPart(const std::string& part);

// The variable store is a log in SPI flash with an index in RAM:
// - a lookup (any call, also one that finds nothing or only reports the
//   size) costs `lookupNs` of the service's own work;
// - a read that returns data fetches the record (header, name, data) from
//   flash with one fast-read command: `commandNs` to set up the SPI
//   controller, then the command bytes and the record at the SPI clock;
// - a store appends a new record (write enable and page program, the
//   record's bytes page by page) and marks the record it replaces obsolete
//   (a one-byte program of its state); a delete only marks it obsolete;
// - every record appended is erased once when the store is reclaimed: its
//   share of the sector erase time (record bytes / sector size x sector
//   erase time) is charged when it is appended.
// Volatile variables live in RAM: only the lookup is charged.
struct VariableStoreCosts {
  SpiFlashTiming flash = *FindSpiFlashPart("W25Q256JV");
  uint64_t spiClockHz = 33000000;    // FCH SPI controller, normal read clock
  uint64_t commandNs = 1000;         // controller set-up: opcode, address, count and go (4 FCH registers)
  uint32_t readCommandBytes = 6;     // 4-byte-address fast read 0x0C: opcode, 4 address bytes, 1 dummy
  uint32_t programCommandBytes = 6;  // write enable 0x06, then page program 0x12 and 4 address bytes
  uint64_t lookupNs = 1000;          // the service finding the record in its RAM index
  uint64_t headerBytes = 60;         // a record's header in the store

  uint64_t TransferNs(uint64_t bytes) const;  // `bytes` on the SPI bus, single I/O
  // A successful read of a record with that name (bytes with terminator) and data size.
  uint64_t ReadNs(uint64_t nameBytes, uint64_t dataBytes) const;
  // Appending a record, and marking the one it replaces obsolete when there is one.
  uint64_t WriteNs(uint64_t nameBytes, uint64_t dataBytes, bool replaces) const;
  // Marking a record obsolete (without the lookup), and a whole delete.
  uint64_t ObsoleteNs() const;
  uint64_t DeleteNs() const;
};

// One boot's firmware time by kind. `count` is the number of effects of the
// kind (port accesses to the EC, other port accesses, register accesses,
// processor operations, GetVariable calls, SetVariable calls, Stall calls);
// delays and PAUSEs add time to a line but no count.
struct CostLine {
  uint64_t count = 0;
  uint64_t ns = 0;
};

struct BootCost {
  CostLine lines[static_cast<unsigned>(CostKind::Count)];
  uint64_t nvWrites = 0;  // non-volatile records written or deleted
  CostLine& operator[](CostKind kind) { return lines[static_cast<unsigned>(kind)]; }
  const CostLine& operator[](CostKind kind) const { return lines[static_cast<unsigned>(kind)]; }
  uint64_t TotalNs() const;
};

// "12.345" for 12,345 ns: microseconds with three decimals.
std::string Microseconds(uint64_t ns);

}  // namespace sim
