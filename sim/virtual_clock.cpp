#include "sim/virtual_clock.h"

#include <algorithm>

namespace kdx::sim {

VirtualClock::VirtualClock(uint32_t tick_base_ms) : tick_base_ms_(tick_base_ms) {}

uint64_t VirtualClock::now_ns() const {
  auto held = lock();
  return now_ns_;
}

uint32_t VirtualClock::tick_ms() const {
  auto held = lock();
  return static_cast<uint32_t>(tick_base_ms_ + now_ns_ / kNsPerMs);
}

void VirtualClock::schedule(uint64_t at_ns, Action action) {
  auto held = lock();
  actions_.emplace(std::max(at_ns, now_ns_), std::move(action));
  changed_.notify_all();
}

void VirtualClock::sleep_ns(uint64_t duration_ns) {
  const uint64_t deadline = now_ns() + duration_ns;
  wait_until(deadline, [] { return false; });
}

void VirtualClock::thread_created() {
  auto held = lock();
  ++participants_;
}

void VirtualClock::thread_exiting() {
  auto held = lock();
  --participants_;
  changed_.notify_all();
}

int VirtualClock::participants() const {
  auto held = lock();
  return participants_;
}

bool VirtualClock::someone_can_run(const Lock&) const {
  if (static_cast<int>(waiters_.size()) < participants_) return true;
  return std::any_of(waiters_.begin(), waiters_.end(),
                     [this](const Waiter& w) { return now_ns_ >= w.deadline || (*w.ready)(); });
}

void VirtualClock::run_due_actions(const Lock&) {
  while (!actions_.empty() && actions_.begin()->first <= now_ns_) {
    Action action = std::move(actions_.begin()->second);
    actions_.erase(actions_.begin());
    action();
  }
}

bool VirtualClock::advance(const Lock& held) {
  uint64_t next = kForever;
  for (const Waiter& w : waiters_) next = std::min(next, w.deadline);
  if (!actions_.empty()) next = std::min(next, actions_.begin()->first);
  if (next == kForever) return false;
  now_ns_ = std::max(now_ns_, next);
  run_due_actions(held);
  changed_.notify_all();
  return true;
}

bool VirtualClock::wait_until(uint64_t deadline_ns, const std::function<bool()>& ready) {
  Lock held = lock();
  run_due_actions(held);
  auto self = waiters_.insert(waiters_.end(), Waiter{deadline_ns, &ready});
  bool result = false;
  for (;;) {
    if (ready()) {
      result = true;
      break;
    }
    if (now_ns_ >= deadline_ns) break;
    if (!someone_can_run(held)) {
      if (!advance(held)) break;
      continue;
    }
    changed_.wait(held);
  }
  waiters_.erase(self);
  changed_.notify_all();
  return result;
}

}  // namespace kdx::sim
