// Host backend of the hardware seam and the device bus behind it. Ports and
// device registers go to the mapped device models; unclaimed ones float high.
// The processor functions follow Platform::cpu and its virtual clock.
#include <algorithm>

#include "sim/platform_impl.h"
#include "support/base/hw.h"

namespace sim {

namespace {

uint32_t AllOnes(int width) {
  switch (width) {
    case 1:
      return 0xFFu;
    case 2:
      return 0xFFFFu;
    default:
      return 0xFFFFFFFFu;
  }
}

// Kept out of the access functions: its strings would give every access a
// large stack frame to set up.
[[gnu::noinline]] void TracePort(Platform& platform, bool write, uint16_t port, int width, uint32_t value) {
  const std::string bits = std::to_string(width * 8);
  if (write) {
    platform.Trace("PortOut", "PortOut" + bits + "(" + Hex(port) + ", " + Hex(value) + ")",
                   {{"port", Hex(port)}, {"width", std::to_string(width)}, {"value", Hex(value)}});
  } else {
    platform.Trace("PortIn", "PortIn" + bits + "(" + Hex(port) + ") = " + Hex(value),
                   {{"port", Hex(port)}, {"width", std::to_string(width)}, {"value", Hex(value)}});
  }
}

}  // namespace

uint32_t Device::PortRead(uint16_t, int width) { return AllOnes(width); }
void Device::PortWrite(uint16_t, int, uint32_t) {}
uint32_t Device::MmioRead(uint64_t, int width) { return AllOnes(width); }
void Device::MmioWrite(uint64_t, int, uint32_t) {}
CostKind Device::PortCost(uint16_t, bool) const { return CostKind::LpcIo; }

Device* Platform::Impl::Lookup(const std::map<uint64_t, DeviceRange>& map, uint64_t address) {
  auto it = map.upper_bound(address);
  if (it == map.begin()) return nullptr;
  --it;
  return address - it->first < it->second.size ? it->second.device : nullptr;
}

void Platform::Impl::Map(std::map<uint64_t, DeviceRange>& map, uint64_t base, uint64_t size, Device* device,
                         const char* what) {
  if (size == 0) Fatal(std::string(what) + ": empty range at " + Hex(base));
  const uint64_t last = base + size - 1;
  if (last < base) Fatal(std::string(what) + ": range at " + Hex(base) + " wraps");
  for (auto it = map.begin(); it != map.end();) {
    const bool overlaps = it->first <= last && base <= it->first + it->second.size - 1;
    if (overlaps && device) {
      Fatal(std::string(what) + ": " + Hex(base) + "+" + Hex(size) + " overlaps the mapping at " +
            Hex(it->first));
    }
    it = overlaps ? map.erase(it) : std::next(it);
  }
  if (device) map[base] = DeviceRange{size, device};
}

void Platform::MapPorts(uint16_t first, uint16_t count, Device* device) {
  if (static_cast<uint32_t>(first) + count > 0x10000u) Fatal("MapPorts: range beyond port 0xFFFF");
  Impl::Map(impl->ports, first, count, device, "MapPorts");
  impl->portCache.fill(Impl::PortSlot{});
}

void Platform::MapMmio(uint64_t base, uint64_t size, Device* device) {
  Impl::Map(impl->mmio, base, size, device, "MapMmio");
}

// Every access takes its time on the clock first: a device sees the state
// it reached by the moment the access completes.
void Platform::Impl::Elapse(uint64_t ns) {
  Activity();
  owner->clock.Advance(ns);
  CheckWatchdog();
}

void Platform::Impl::Account(CostKind kind, uint64_t ns) {
  if (kind == CostKind::Wait) {
    owner->cost[waitedOn].ns += ns;
    return;
  }
  waitedOn = kind;
  CostLine& line = owner->cost[kind];
  ++line.count;
  line.ns += ns;
}

void Platform::Impl::Spend(CostKind kind, uint64_t ns) {
  Account(kind, ns);
  Elapse(ns);
}

void Platform::Impl::AccountRepeated(CostKind kind, uint64_t ns, uint64_t count) {
  if (kind == CostKind::Wait) {
    owner->cost[waitedOn].ns += ns * count;
    return;
  }
  waitedOn = kind;
  CostLine& line = owner->cost[kind];
  line.count += count;
  line.ns += ns * count;
}

uint64_t Platform::Impl::SkipPollIterations(uint16_t statusPort, uint16_t delayPort, unsigned delayReads,
                                            uint64_t left, uint64_t dueAtRead) {
  const uint64_t now = owner->clock.Now();
  if (owner->tracePorts || left == 0 || dueAtRead <= now) return 0;
  Device* status = PortDevice(statusPort);
  Device* delay = delayReads ? PortDevice(delayPort) : nullptr;
  if ((status && !status->SteadyRead(statusPort)) || (delay && !delay->SteadyRead(delayPort))) return 0;
  // Every iteration reads the same values as the one just made as long as
  // nothing on the clock falls due: an iteration is taken when its last
  // read completes before the next action and within the watchdog.
  const uint64_t portNs = owner->clock.costs.portIo;
  const uint64_t iterationNs = portNs * (1 + delayReads);
  const uint64_t due = dueAtRead;
  uint64_t n = left;
  if (due != UINT64_MAX) n = std::min(n, due > now ? (due - now - 1) / iterationNs : 0);
  const uint64_t deadline = bootStartNs + owner->watchdogNs;
  n = std::min(n, deadline > now ? (deadline - now) / iterationNs : 0);
  if (n == 0) return 0;
  owner->counters.portReads += n * (1 + delayReads);
  AccountRepeated(status ? status->PortCost(statusPort, false) : CostKind::LpcIo, portNs, n);
  if (delayReads)
    AccountRepeated(delay ? delay->PortCost(delayPort, false) : CostKind::LpcIo, portNs, n * delayReads);
  Elapse(n * iterationNs);
  if (status) status->RepeatedReads(statusPort, n);
  if (delay) delay->RepeatedReads(delayPort, n * delayReads);
  return n;
}

uint32_t Platform::SeamPortRead(uint16_t port, int width) {
  ++counters.portReads;
  Device* d = impl->PortDevice(port);
  impl->Spend(d ? d->PortCost(port, false) : CostKind::LpcIo, clock.costs.portIo);
  const uint32_t value = (d ? d->PortRead(port, width) : AllOnes(width)) & AllOnes(width);
  if (tracePorts) TracePort(*this, false, port, width, value);
  return value;
}

void Platform::SeamPortWrite(uint16_t port, int width, uint32_t value) {
  ++counters.portWrites;
  Device* d = impl->PortDevice(port);
  impl->Spend(d ? d->PortCost(port, true) : CostKind::LpcIo, clock.costs.portIo);
  value &= AllOnes(width);
  if (tracePorts) TracePort(*this, true, port, width, value);
  if (d) d->PortWrite(port, width, value);
}

uint32_t Platform::SeamMmioRead(uint64_t address, int width) {
  ++counters.mmioReads;
  impl->Spend(CostKind::DeviceRegister, clock.costs.deviceRegister);
  Device* d = Impl::Lookup(impl->mmio, address);
  return (d ? d->MmioRead(address, width) : AllOnes(width)) & AllOnes(width);
}

void Platform::SeamMmioWrite(uint64_t address, int width, uint32_t value) {
  ++counters.mmioWrites;
  impl->Spend(CostKind::DeviceRegister, clock.costs.deviceRegister);
  if (Device* d = Impl::Lookup(impl->mmio, address)) d->MmioWrite(address, width, value & AllOnes(width));
}

}  // namespace sim

namespace {

sim::Platform& Seam() {
  sim::Platform* p = sim::Platform::Current();
  if (!p) sim::Fatal("hardware access while no sim::Platform exists");
  return *p;
}

}  // namespace

extern "C" {

uint8_t PortIn8(uint16_t port) { return static_cast<uint8_t>(Seam().SeamPortRead(port, 1)); }
uint16_t PortIn16(uint16_t port) { return static_cast<uint16_t>(Seam().SeamPortRead(port, 2)); }
uint32_t PortIn32(uint16_t port) { return Seam().SeamPortRead(port, 4); }

uint8_t PortOut8(uint16_t port, uint8_t value) {
  Seam().SeamPortWrite(port, 1, value);
  return value;
}

uint16_t PortOut16(uint16_t port, uint16_t value) {
  Seam().SeamPortWrite(port, 2, value);
  return value;
}

uint32_t PortOut32(uint16_t port, uint32_t value) {
  Seam().SeamPortWrite(port, 4, value);
  return value;
}

// The same reads as the loop of the x86 backend. After an iteration that
// missed without a drain, the iterations that can only repeat it (nothing
// on the clock falls due before they end) are taken at once: a wait on a
// silent EC costs microseconds of host time, with the counts, the ledger,
// the clock and the outcome of reading it out.
uint8_t PortPoll8(uint16_t statusPort, uint8_t mask, uint8_t want, uint32_t bound, uint16_t drainPort,
                  uint8_t drainMask, uint16_t delayPort, uint8_t delayReads) {
  sim::Platform& p = Seam();
  uint8_t status = 0;
  for (uint32_t i = 0; i < bound; i++) {
    status = static_cast<uint8_t>(p.SeamPortRead(statusPort, 1));
    if ((status & mask) == want) return status;
    const uint64_t dueAtRead = p.clock.NextDue();
    const bool drained = (status & drainMask) != 0;
    if (drained) p.SeamPortRead(drainPort, 1);
    for (uint8_t d = 0; d < delayReads; d++) p.SeamPortRead(delayPort, 1);
    if (!drained)
      i += static_cast<uint32_t>(
          p.impl->SkipPollIterations(statusPort, delayPort, delayReads, bound - i - 1, dueAtRead));
  }
  return status;
}

uint8_t MmioRead8(uint64_t address) { return static_cast<uint8_t>(Seam().SeamMmioRead(address, 1)); }
uint16_t MmioRead16(uint64_t address) { return static_cast<uint16_t>(Seam().SeamMmioRead(address, 2)); }
uint32_t MmioRead32(uint64_t address) { return Seam().SeamMmioRead(address, 4); }

uint8_t MmioWrite8(uint64_t address, uint8_t value) {
  Seam().SeamMmioWrite(address, 1, value);
  return value;
}

uint16_t MmioWrite16(uint64_t address, uint16_t value) {
  Seam().SeamMmioWrite(address, 2, value);
  return value;
}

uint32_t MmioWrite32(uint64_t address, uint32_t value) {
  Seam().SeamMmioWrite(address, 4, value);
  return value;
}

uint64_t ReadMsr(uint32_t index) {
  sim::Platform& p = Seam();
  ++p.counters.msrReads;
  p.impl->Spend(sim::CostKind::Processor, p.clock.costs.msr);
  auto it = p.cpu.msrs.find(index);
  return it == p.cpu.msrs.end() ? 0 : it->second;
}

void CpuidLeaf(uint32_t leaf, uint32_t regs[4]) {
  sim::Platform& p = Seam();
  ++p.counters.cpuids;
  p.impl->Spend(sim::CostKind::Processor, p.clock.costs.cpuid);
  regs[0] = regs[1] = regs[2] = regs[3] = 0;
  if (p.cpu.cpuid) p.cpu.cpuid(leaf, regs);
}

uint16_t CpuidSiProbe(uint32_t eax, uint32_t ebx) {
  sim::Platform& p = Seam();
  ++p.counters.cpuids;
  p.impl->Spend(sim::CostKind::Processor, p.clock.costs.cpuid);
  return p.cpu.siProbe ? p.cpu.siProbe(eax, ebx) : 0;
}

uint64_t ReadTsc(void) {
  sim::Platform& p = Seam();
  ++p.counters.tscReads;
  p.impl->Spend(sim::CostKind::Processor, p.clock.costs.tscRead);
  const uint64_t now = p.cpu.tsc;
  p.cpu.tsc += p.cpu.tscStep;
  return now;
}

void SpinPause(void) {
  sim::Platform& p = Seam();
  ++p.counters.pauses;
  p.cpu.tsc += p.cpu.pauseTicks;
  p.impl->Account(sim::CostKind::Wait, p.clock.costs.pause);  // part of the wait it paces
  p.clock.Advance(p.clock.costs.pause);
  p.impl->CheckWatchdog();
  p.impl->Spin();
}
}
