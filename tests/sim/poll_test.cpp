// The seam's status poll (PortPoll8) against the loop it stands for: the
// same outcome, counts, ledger, clock, device counts and trace, whether the
// EC answers late, never, holds a stale byte or the watchdog ends the wait.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "support/base/hw.h"

namespace {

// The x86 backend's loop, read port by port.
uint8_t PollByReads(uint16_t statusPort, uint8_t mask, uint8_t want, uint32_t bound, uint16_t drainPort,
                    uint8_t drainMask, uint16_t delayPort, uint8_t delayReads) {
  uint8_t status = 0;
  for (uint32_t i = 0; i < bound; i++) {
    status = PortIn8(statusPort);
    if ((status & mask) == want) return status;
    if ((status & drainMask) != 0) PortIn8(drainPort);
    for (uint8_t d = 0; d < delayReads; d++) PortIn8(delayPort);
  }
  return status;
}

struct Seen {
  int status = -1;  // -1: the wait did not return
  uint64_t portReads = 0, now = 0, ecCount = 0, ecNs = 0, statusReads = 0, dataReads = 0, delayReads = 0;
  unsigned drained = 0;
  std::vector<std::string> trace;
  std::vector<std::string> violations;
  bool operator==(const Seen& o) const {
    return status == o.status && portReads == o.portReads && now == o.now && ecCount == o.ecCount &&
           ecNs == o.ecNs && statusReads == o.statusReads && dataReads == o.dataReads &&
           delayReads == o.delayReads && drained == o.drained && trace == o.trace &&
           violations == o.violations;
  }
};

using Poll = uint8_t (*)(uint16_t, uint8_t, uint8_t, uint32_t, uint16_t, uint8_t, uint16_t, uint8_t);

struct Case {
  const char* name;
  std::function<void(sim::Platform&, sim::Notebook&)> arrange;  // before the wait
  bool waitForOutput;  // an output-full wait (else input-empty with the drain)
  uint32_t bound;
};

Seen Wait(const Case& c, Poll poll) {
  sim::Platform platform;
  sim::Notebook notebook{platform};
  platform.BeginBoot();
  c.arrange(platform, notebook);
  Seen s;
  platform.RunGuarded([&] {
    s.status = c.waitForOutput ? poll(0x66, 0x01, 0x01, c.bound, 0, 0, 0x80, 4)
                               : poll(0x66, 0x02, 0x00, c.bound, 0x62, 0x01, 0x80, 4);
  });
  s.portReads = platform.counters.portReads;
  s.now = platform.clock.Now();
  s.ecCount = platform.cost[sim::CostKind::Ec].count;
  s.ecNs = platform.cost[sim::CostKind::Ec].ns;
  s.statusReads = notebook.ec.statusReads;
  s.dataReads = notebook.ec.dataReads;
  s.delayReads = notebook.postCodes.reads;
  s.drained = notebook.ec.drainedBytes;
  for (const sim::TraceEvent& e : platform.trace) s.trace.push_back(e.kind + " " + e.text);
  s.violations = platform.violations;
  return s;
}

TEST(PortPoll, TakesTheSameReadsAsTheLoopItStandsFor) {
  const Case cases[] = {
      {"a dead EC: every one of 65,536 reads misses",
       [](sim::Platform&, sim::Notebook& n) { n.ec.behaviour.neverAnswers = true; }, false, 0x10000},
      {"a dead EC, output-full wait",
       [](sim::Platform&, sim::Notebook& n) { n.ec.behaviour.neverAnswers = true; }, true, 0x10000},
      {"busy for 700 us after the boot starts",
       [](sim::Platform&, sim::Notebook& n) { n.ec.behaviour.busyAtBootNs = 700000; }, false, 0x10000},
      {"the EC takes a written byte 2 us after the write, during the first delay reads",
       [](sim::Platform&, sim::Notebook&) { PortOut8(0x66, 0x80); }, false, 0x10000},
      {"a slow EC takes a written byte after 61 us",
       [](sim::Platform&, sim::Notebook& n) {
         n.ec.behaviour.takeNs = 61000;
         PortOut8(0x66, 0x80);
       },
       false, 0x10000},
      {"an answer 3 us after the address is taken",
       [](sim::Platform&, sim::Notebook& n) {
         n.ec.registers[0x19] = 0x5A;
         n.ec.behaviour.takeNs = 2000;
         PortOut8(0x66, 0x80);
         while (PortIn8(0x66) & 0x02) {
         }
         PortOut8(0x62, 0x19);
       },
       true, 0x10000},
      {"a stale byte drained, then a dead EC",
       [](sim::Platform&, sim::Notebook& n) {
         n.ec.behaviour.staleOutput = 0x33;
         n.ec.behaviour.neverAnswers = true;
         n.ec.OnBootStart(1);
       },
       false, 0x10000},
      {"the watchdog ends the wait after 40 ms",
       [](sim::Platform& p, sim::Notebook& n) {
         n.ec.behaviour.neverAnswers = true;
         p.watchdogNs = 40000000;
       },
       false, 0x10000},
      {"a bound of 3 reads", [](sim::Platform&, sim::Notebook& n) { n.ec.behaviour.neverAnswers = true; },
       false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Seen byReads = Wait(c, PollByReads);
    const Seen polled = Wait(c, PortPoll8);
    EXPECT_TRUE(polled == byReads) << "status " << polled.status << " / " << byReads.status << ", reads "
                                   << polled.portReads << " / " << byReads.portReads << ", now " << polled.now
                                   << " / " << byReads.now << ", EC " << polled.ecCount << " " << polled.ecNs
                                   << " / " << byReads.ecCount << " " << byReads.ecNs;
  }
  // The dead EC: 65,536 status reads, each followed by four delay reads,
  // 1 us each on the clock.
  const Seen dead = Wait(cases[0], PortPoll8);
  EXPECT_EQ(dead.statusReads, 65536u);
  EXPECT_EQ(dead.delayReads, 4u * 65536u);
  EXPECT_EQ(dead.now, 5u * 65536u * 1000u);
}

}  // namespace
