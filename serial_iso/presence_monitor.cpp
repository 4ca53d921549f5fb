// The monitor and the caller share only the atomic fields of the PortRecord.
// The monitor reads the port handle, which the caller changes only before
// the thread is created and after it has been joined.
//
// Stopping is cooperative: the caller clears monitor_enable and waits for
// the thread id to drop to 0, the monitor's last act, and then joins the
// thread, so the record is never released under a running monitor. The
// waiting is done in short sleeps on the platform clock rather than in the
// join itself, so that a virtual clock sees the caller waiting too.
#include "serial_iso/presence_monitor.h"

#include "serial_iso/port_session.h"

namespace kdx::tarsk::monitor {
namespace {

constexpr uint32_t kStopCheckMs = 10;

uint32_t watch(void* argument) {
  PortRecord& record = *static_cast<PortRecord*>(argument);
  if (record.monitor_enable.load() != 0) {
    for (;;) {
      if ((session::modem_lines(*record.port_handle) & KDX_MODEM_CTS_ON) == 0) {
        record.card_active.store(0);
        break;
      }
      platform::sleep_ms(kPollPeriodMs);
      if (record.monitor_enable.load() == 0) break;
    }
  }
  record.monitor_thread_id.store(0);
  return 0;
}

}  // namespace

StatusCode start(PortRecord& record) {
  if (record.monitor_thread == nullptr && record.monitor_thread_id.load() == 0) {
    // Enabled before the thread exists: a monitor that ran before the flag
    // was set would otherwise end at once and never watch.
    record.monitor_enable.store(1);
    record.monitor_thread = platform::create_thread(watch, &record, record.monitor_thread_id);
    if (record.monitor_thread == nullptr) {
      record.monitor_enable.store(0);
      return ST_THREAD_FAILED;
    }
  }
  record.monitor_enable.store(1);
  return ST_OK;
}

void stop(PortRecord& record) {
  if (record.monitor_thread == nullptr) return;
  if (record.monitor_thread_id.load() != 0) {
    record.monitor_enable.store(0);
    const uint32_t asked = platform::tick_count();
    while (record.monitor_thread_id.load() != 0 && platform::tick_count() - asked < kStopGraceMs) {
      platform::sleep_ms(kStopCheckMs);
    }
  }
  // Past the grace time a monitor still running is waited for: there is no
  // safe way to end a thread from outside.
  platform::join_thread(record.monitor_thread);
  record.monitor_thread_id.store(0);
  platform::close_thread(record.monitor_thread);
  record.monitor_thread = nullptr;
}

}  // namespace kdx::tarsk::monitor
