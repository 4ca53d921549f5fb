// A virtual clock for simulated readers: time moves only when every thread
// taking part is waiting on the clock, and then jumps straight to the next
// thing that can happen (a deadline or a scheduled action). A library read
// that would wait 750 ms for a silent reader costs no real time, and a run
// gives the same timings on every machine.
//
// Participants are the application thread that drives the library (counted
// from the start) and every library thread reported through
// thread_created()/thread_exiting() (the port backend's thread_event hook).
// The clock's lock also guards all simulated state that hangs off it: the
// ports, readers and cards call into each other only while holding it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>

namespace kdx::sim {

inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kForever = UINT64_MAX;

class VirtualClock {
 public:
  using Lock = std::unique_lock<std::recursive_mutex>;
  using Action = std::function<void()>;

  // `tick_base_ms` is what tick_ms() reads at time 0.
  explicit VirtualClock(uint32_t tick_base_ms = 1000);

  uint64_t now_ns() const;
  // The tick count a library sees: milliseconds, wrapping at 2^32.
  uint32_t tick_ms() const;

  // Blocks the calling participant until ready() holds (evaluated under the
  // clock's lock) or time reaches `deadline_ns`. Returns ready()'s last
  // value. Returns at once, false, when nothing at all is left to happen.
  bool wait_until(uint64_t deadline_ns, const std::function<bool()>& ready);
  void sleep_ns(uint64_t duration_ns);
  void sleep_ms(uint32_t milliseconds) { sleep_ns(milliseconds * kNsPerMs); }

  // Runs `action` under the clock's lock when time reaches `at_ns` (at once,
  // at the next wait, if that time has passed). Actions due at the same time
  // run in the order they were scheduled.
  void schedule(uint64_t at_ns, Action action);
  void schedule_in(uint64_t delay_ns, Action action) { schedule(now_ns() + delay_ns, std::move(action)); }

  void thread_created();
  void thread_exiting();
  // The application thread plus the library threads that have not exited.
  int participants() const;

  // Holds the lock of all simulated state; reentrant.
  Lock lock() const { return Lock(mutex_); }

 private:
  struct Waiter {
    uint64_t deadline;
    const std::function<bool()>* ready;
  };

  bool someone_can_run(const Lock&) const;
  // Moves time to the next event and runs what is due. false: nothing left.
  bool advance(const Lock&);
  void run_due_actions(const Lock&);

  mutable std::recursive_mutex mutex_;
  std::condition_variable_any changed_;
  uint64_t now_ns_ = 0;
  uint32_t tick_base_ms_;
  int participants_ = 1;
  std::list<Waiter> waiters_;
  std::multimap<uint64_t, Action> actions_;
};

}  // namespace kdx::sim
