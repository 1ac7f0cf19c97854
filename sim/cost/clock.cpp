#include "sim/cost/clock.h"

#include <algorithm>

namespace sim {

void Clock::RunDueUntil(uint64_t target) {
  while (!queue_.empty() && queue_.front().due <= target) {
    now_ = queue_.front().due;
    Action action = std::move(queue_.front().action);
    queue_.erase(queue_.begin());
    action();  // may schedule more, also at `now_`
  }
  now_ = target;
}

Clock::Ticket Clock::Schedule(uint64_t delay, Action action) {
  const Ticket ticket = ++next_;
  const uint64_t due = now_ + delay;
  // After every action due at or before the same time: tickets only grow.
  auto at = std::upper_bound(queue_.begin(), queue_.end(), due,
                             [](uint64_t time, const Entry& e) { return time < e.due; });
  queue_.insert(at, Entry{due, ticket, std::move(action)});
  return ticket;
}

void Clock::Cancel(Ticket ticket) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->ticket == ticket) {
      queue_.erase(it);
      return;
    }
  }
}

void Clock::CancelAll() { queue_.clear(); }

}  // namespace sim
