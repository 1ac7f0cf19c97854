// What the device bus and the processor functions of the hardware seam talk
// to: a device model mapped at ports or device-register addresses, and the
// processor model.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "sim/cost/cost.h"

namespace sim {

// A device model on the bus. Widths are 1, 2 or 4 bytes. Unclaimed ports and
// addresses read as all ones, like a floating bus, and ignore writes.
class Device {
 public:
  virtual ~Device() = default;
  virtual uint32_t PortRead(uint16_t port, int width);
  virtual void PortWrite(uint16_t port, int width, uint32_t value);
  virtual uint32_t MmioRead(uint64_t address, int width);
  virtual void MmioWrite(uint64_t address, int width, uint32_t value);
  // What a port access counts as in the boot's firmware time (sim/cost/cost.h):
  // LPC I/O unless the device says otherwise.
  virtual CostKind PortCost(uint16_t port, bool write) const;
  // Called at the start of every boot (after a reset or at power-on);
  // Platform::BootCause() tells which.
  virtual void OnBootStart(unsigned /*boot*/) {}
  // True when a read of `port` changes nothing but the device's own count
  // of reads, and what it returns changes only through a write, a read of
  // another port or an action on the clock: a status poll (PortPoll8) may
  // then take many such reads at once and tell the device with
  // RepeatedReads. The default is false: every read is made.
  virtual bool SteadyRead(uint16_t /*port*/) const { return false; }
  virtual void RepeatedReads(uint16_t /*port*/, uint64_t /*count*/) {}
};

// Processor model behind ReadMsr, CPUID, the time-stamp counter and PAUSE.
// The TSC follows a virtual clock: each ReadTsc advances it by TscStep ticks
// and each PAUSE by PauseTicks, so long stalls finish at once in a test.
struct Processor {
  std::map<uint32_t, uint64_t> msrs;                            // unknown MSRs read as 0
  std::function<void(uint32_t leaf, uint32_t regs[4])> cpuid;   // default: zeros
  std::function<uint16_t(uint32_t eax, uint32_t ebx)> siProbe;  // default: 0
  uint64_t tsc = 1000;
  uint64_t tscStep = 1;
  uint64_t pauseTicks = 100;
  uint64_t stallTicksPerMicrosecond = 1000;  // BootServices->Stall advances the TSC by this much per us
};

}  // namespace sim
