#include "sim/clock.h"

namespace sim {

void Clock::RunDueUntil(uint64_t target) {
  while (!queue_.empty() && queue_.begin()->first.first <= target) {
    auto it = queue_.begin();
    now_ = it->first.first;
    Action action = std::move(it->second);
    queue_.erase(it);
    action();  // may schedule more, also at `now_`
  }
  now_ = target;
}

Clock::Ticket Clock::Schedule(uint64_t delay, Action action) {
  const Ticket ticket = ++next_;
  queue_.emplace(std::make_pair(now_ + delay, ticket), std::move(action));
  return ticket;
}

void Clock::Cancel(Ticket ticket) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->first.second == ticket) {
      queue_.erase(it);
      return;
    }
  }
}

void Clock::CancelAll() { queue_.clear(); }

}  // namespace sim
