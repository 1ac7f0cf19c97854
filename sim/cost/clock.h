// The platform's one virtual clock. Time advances only when something costs
// time: a port or device-register access, PAUSE, a TSC read, Stall. Devices
// schedule their own state changes on it (an EC taking a byte, an answer
// appearing), so what the driver sees depends on when it looks, not on
// which port it touches.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "sim/cost/cost.h"

namespace sim {

// Costs of the operations that advance the clock, in nanoseconds. An LPC I/O
// cycle is about a microsecond (the classic port-0x80 delay); an FCH
// register read goes through the fabric and takes a fraction of that; the
// processor's own operations take tens of cycles. The variable services
// cost what their SPI flash store takes (sim/cost/cost.h).
struct ClockCosts {
  uint64_t portIo = 1000;
  uint64_t deviceRegister = 250;
  uint64_t msr = 100;
  uint64_t cpuid = 100;
  uint64_t tscRead = 10;
  uint64_t pause = 20;
  VariableStoreCosts variables;
};

class Clock {
 public:
  using Action = std::function<void()>;
  using Ticket = uint64_t;

  uint64_t Now() const { return now_; }
  // Moves time forward, running every action that falls due on the way in
  // time order (actions due at the same instant run in scheduling order).
  void Advance(uint64_t ns) {
    const uint64_t target = now_ + ns;
    if (queue_.empty() || queue_.front().due > target) {
      now_ = target;  // nothing falls due on the way
      return;
    }
    RunDueUntil(target);
  }
  // Runs `action` once `delay` has passed. Returns a ticket for Cancel.
  Ticket Schedule(uint64_t delay, Action action);
  void Cancel(Ticket ticket);
  // Drops every pending action (a device that loses power forgets its work).
  void CancelAll();
  // Back to time 0 with nothing pending and the default costs, as constructed.
  void Renew() {
    queue_.clear();
    now_ = 0;
    next_ = 0;
    costs = ClockCosts{};
  }
  size_t Pending() const { return queue_.size(); }
  // When the next pending action falls due; UINT64_MAX with none pending.
  uint64_t NextDue() const { return queue_.empty() ? UINT64_MAX : queue_.front().due; }

  ClockCosts costs;

 private:
  void RunDueUntil(uint64_t target);
  uint64_t now_ = 0;
  uint64_t next_ = 0;
  // Ordered by due time, then by scheduling order (ticket). A few actions
  // are pending at a time; the vector keeps its storage from boot to boot.
  struct Entry {
    uint64_t due;
    Ticket ticket;
    Action action;
  };
  std::vector<Entry> queue_;
};

}  // namespace sim
