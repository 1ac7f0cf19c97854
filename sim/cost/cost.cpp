// The cost model's figures and the per-boot ledger.
#include "sim/cost/cost.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

// Typical times from each part's SFDP basic flash parameter table:
// DWORD 11 gives the page size (bits 7:4), the page program time (bits
// 13:8), the first-byte (bits 18:14) and additional-byte (bits 23:19)
// program times; DWORD 10 the erase time of erase type 1, which DWORD 8
// names as the 4 KiB erase (opcode 0x20) on every part here. The rev 1.0
// tables of MX25L1606E and MX25L25635F end before DWORD 10 and carry no
// timing.
const std::vector<SpiFlashTiming> kParts = {
    // part           page  page prog   1st byte  add. byte  sector  4 KiB erase
    {"MT25Q256ABA", 256, 120000, 15000, 1000, 4096, 48000000},
    {"MX25L25645G", 256, 256000, 15000, 1000, 4096, 30000000},
    {"MX25L51245G", 256, 256000, 32000, 1000, 4096, 30000000},
    {"MX25U51245G", 256, 256000, 32000, 1000, 4096, 30000000},
    {"W25Q16JV", 256, 704000, 32000, 3000, 4096, 64000000},
    {"W25Q256JV", 256, 704000, 32000, 3000, 4096, 64000000},
};

const char* const kKindNames[] = {"EC",          "LPC I/O",     "FCH registers", "MSR/CPUID/TSC",
                                  "GetVariable", "SetVariable", "Stall"};
static_assert(sizeof kKindNames / sizeof kKindNames[0] == static_cast<unsigned>(CostKind::Count));

}  // namespace

const char* CostKindName(CostKind kind) {
  return kind < CostKind::Count ? kKindNames[static_cast<unsigned>(kind)] : "(wait)";
}

uint64_t SpiFlashTiming::ProgramNs(uint64_t bytes) const {
  if (bytes == 0) return 0;
  return std::min(pageProgramNs, firstByteNs + (bytes - 1) * additionalByteNs);
}

const std::vector<SpiFlashTiming>& SpiFlashParts() { return kParts; }

const SpiFlashTiming* FindSpiFlashPart(const std::string& part) {
  for (const SpiFlashTiming& t : kParts) {
    if (part == t.part) return &t;
  }
  return nullptr;
}

uint64_t VariableStoreCosts::TransferNs(uint64_t bytes) const {
  // Single I/O: eight clocks a byte. Rounded up to whole nanoseconds.
  return (bytes * 8 * 1000000000ull + spiClockHz - 1) / spiClockHz;
}

uint64_t VariableStoreCosts::ReadNs(uint64_t nameBytes, uint64_t dataBytes) const {
  return lookupNs + commandNs + TransferNs(readCommandBytes + headerBytes + nameBytes + dataBytes);
}

uint64_t VariableStoreCosts::WriteNs(uint64_t nameBytes, uint64_t dataBytes, bool replaces) const {
  const uint64_t record = headerBytes + nameBytes + dataBytes;
  uint64_t ns = lookupNs;
  // The record page by page: each page its own program command.
  for (uint64_t done = 0; done < record; done += flash.pageBytes) {
    const uint64_t chunk = std::min<uint64_t>(flash.pageBytes, record - done);
    ns += commandNs + TransferNs(programCommandBytes + chunk) + flash.ProgramNs(chunk);
  }
  // Its share of the erase that reclaims it later.
  ns += record * flash.sectorEraseNs / flash.sectorBytes;
  if (replaces) ns += ObsoleteNs();
  return ns;
}

uint64_t VariableStoreCosts::ObsoleteNs() const {
  // One state byte of the record's header programmed.
  return commandNs + TransferNs(programCommandBytes + 1) + flash.ProgramNs(1);
}

uint64_t VariableStoreCosts::DeleteNs() const { return lookupNs + ObsoleteNs(); }

uint64_t BootCost::TotalNs() const {
  uint64_t ns = 0;
  for (const CostLine& line : lines) ns += line.ns;
  return ns;
}

std::string Microseconds(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(ns / 1000),
                static_cast<unsigned long long>(ns % 1000));
  return text;
}

}  // namespace sim
