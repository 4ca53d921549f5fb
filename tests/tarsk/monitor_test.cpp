// The presence monitor: it notices a pulled card within one poll period,
// stops on request within the grace time and is always joined before the
// session is released, also over many open and close cycles.
#include "serial_iso/port_session.h"
#include "serial_iso/presence_monitor.h"
#include "tarsk/line_fixture.h"

namespace kdx::test {
namespace {

using kdx::platform::faults::Point;
namespace monitor = kdx::tarsk::monitor;

class Monitor : public LineFixture {
 protected:
  // An open session with an active card watched by the monitor.
  void activate() {
    ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);
    record().card_active.store(1);
    ASSERT_EQ(monitor::start(record()), ST_OK);
    EXPECT_NE(record().monitor_thread_id.load(), 0u);
    EXPECT_EQ(record().monitor_enable.load(), 1u);
  }

  // Sleeps in 1 ms steps until card active drops, at most `limit_ms`;
  // returns the time it dropped.
  uint64_t wait_for_inactive(uint32_t limit_ms) {
    for (uint32_t i = 0; i < limit_ms && record().card_active.load() != 0; ++i) clock.sleep_ms(1);
    return clock.now_ns();
  }
};

TEST_F(Monitor, SeesAPulledCardWithinOnePollPeriod) {
  for (const uint32_t pull_after_ms : {0u, 1u, 50u, 99u, 100u, 101u, 250u, 1234u}) {
    SCOPED_TRACE(pull_after_ms);
    insert_card();
    activate();
    const uint64_t pulled = clock.now_ns() + pull_after_ms * sim::kNsPerMs;
    clock.schedule(pulled, [this] { device.remove(); });
    if (pull_after_ms != 0) {
      clock.sleep_ms(pull_after_ms - 1);
      EXPECT_EQ(record().card_active.load(), 1u);
      clock.sleep_ms(1);
    }
    const uint64_t noticed = wait_for_inactive(200);
    EXPECT_EQ(record().card_active.load(), 0u);
    // One poll period, and the 1 ms step in which this thread looks.
    EXPECT_LE(noticed - pulled, (monitor::kPollPeriodMs + 1) * sim::kNsPerMs);
    clock.sleep_ms(1);  // the monitor has ended: it would otherwise be waiting on the clock
    EXPECT_EQ(record().monitor_thread_id.load(), 0u);
    EXPECT_EQ(clock.participants(), 1);
    EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Monitor, NoticesTheCardPulledWhileTheCallerIsInARead) {
  insert_card();
  activate();
  const uint64_t start = clock.now_ns();
  clock.schedule_in(500 * sim::kNsPerMs, [this] { device.remove(); });
  uint8_t byte = 0;
  EXPECT_EQ(ReceiveData(&byte, 1), ST_COMM_ERROR);  // the 3000 ms read runs to its end
  EXPECT_NEAR(elapsed_ms(start), 3000, 0.01);
  EXPECT_EQ(record().card_active.load(), 0u);
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
}

TEST_F(Monitor, StopsOnRequestWithinTheGraceTime) {
  for (const uint32_t run_ms : {0u, 30u, 100u, 150u, 777u}) {
    SCOPED_TRACE(run_ms);
    insert_card();
    activate();
    clock.sleep_ms(run_ms);
    const uint64_t asked = clock.now_ns();
    monitor::stop(record());
    EXPECT_LE(elapsed_ms(asked), monitor::kStopGraceMs);
    EXPECT_EQ(record().monitor_thread, nullptr);
    EXPECT_EQ(record().monitor_thread_id.load(), 0u);
    EXPECT_EQ(record().monitor_enable.load(), 0u);
    EXPECT_EQ(record().card_active.load(), 1u);  // a stop request changes nothing else
    EXPECT_EQ(clock.participants(), 1);
    monitor::stop(record());  // no handle: nothing to do
    ASSERT_EQ(monitor::start(record()), ST_OK);  // and it can be started again
    record().card_active.store(0);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Monitor, ThreadThatCannotBeCreated) {
  insert_card();
  ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);
  platform::faults::arm(Point::create_thread);
  EXPECT_EQ(monitor::start(record()), ST_THREAD_FAILED);
  EXPECT_EQ(record().monitor_thread, nullptr);
  EXPECT_EQ(record().monitor_thread_id.load(), 0u);
  EXPECT_EQ(record().monitor_enable.load(), 0u);
  EXPECT_EQ(clock.participants(), 1);
  EXPECT_EQ(monitor::start(record()), ST_OK);
  EXPECT_EQ(clock.participants(), 2);
}

TEST_F(Monitor, ExitCommDeactivatesTheCardAndJoinsTheMonitor) {
  TalkingCard& card = insert_card();
  activate();
  clock.sleep_ms(250);
  const unsigned resets = card.resets();
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(card.resets(), resets + 1);  // held in reset before the port closed
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(clock.participants(), 1);
  EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
}

TEST_F(Monitor, DeactivationHoldsTheCardInReset) {
  TalkingCard& card = insert_card();
  activate();
  ASSERT_EQ(tarsk::session::close_card(), ST_OK);
  EXPECT_TRUE(card.held());
  EXPECT_TRUE(device.rts_on());
  EXPECT_EQ(record().card_active.load(), 0u);
  EXPECT_EQ(record().monitor_thread, nullptr);
  EXPECT_EQ(clock.participants(), 1);
  EXPECT_EQ(IsCommOpened(), ST_OK);  // the port stays open
}

TEST_F(Monitor, RepeatedSessionsLeaveNoThreadBehind) {
  for (unsigned cycle = 0; cycle < 40; ++cycle) {
    SCOPED_TRACE(cycle);
    if (!device.card_present()) insert_card();
    activate();
    if (cycle % 3 == 1) clock.schedule_in((cycle * 11 % 170) * sim::kNsPerMs, [this] { device.remove(); });
    clock.sleep_ms(cycle * 13 % 230);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(clock.participants(), 1);
  }
  EXPECT_EQ(port.open_count(), 40u);
}

}  // namespace
}  // namespace kdx::test
