// The virtual clock: time moves only when every participant waits, and
// then straight to the next event.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/virtual_clock.h"

namespace kdx::sim {
namespace {

TEST(VirtualClock, SleepJumpsAndScheduledActionsRunInOrder) {
  VirtualClock clock(500);
  std::vector<int> ran;
  clock.schedule(30 * kNsPerMs, [&] { ran.push_back(2); });
  clock.schedule(10 * kNsPerMs, [&] { ran.push_back(1); });
  clock.schedule(30 * kNsPerMs, [&] { ran.push_back(3); });
  clock.sleep_ms(100);
  EXPECT_EQ(clock.now_ns(), 100 * kNsPerMs);
  EXPECT_EQ(clock.tick_ms(), 600u);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(VirtualClock, WaitEndsAtTheEventThatSatisfiesIt) {
  VirtualClock clock;
  bool arrived = false;
  clock.schedule(7 * kNsPerMs, [&] { arrived = true; });
  EXPECT_TRUE(clock.wait_until(50 * kNsPerMs, [&] { return arrived; }));
  EXPECT_EQ(clock.now_ns(), 7 * kNsPerMs);
  EXPECT_FALSE(clock.wait_until(kForever, [] { return false; }));  // nothing left to happen
}

TEST(VirtualClock, TimeWaitsForEveryParticipant) {
  VirtualClock clock;
  std::atomic<int> wakeups{0};
  std::atomic<bool> stop{false};
  clock.thread_created();
  std::thread worker([&] {
    while (!stop.load()) {
      clock.sleep_ms(100);
      ++wakeups;
    }
    clock.thread_exiting();
  });
  clock.sleep_ms(1050);
  EXPECT_EQ(wakeups.load(), 10);  // woke at 100, 200, ... 1000 ms
  stop.store(true);
  clock.sleep_ms(200);
  worker.join();
  EXPECT_EQ(clock.now_ns(), 1250 * kNsPerMs);
}

}  // namespace
}  // namespace kdx::sim
