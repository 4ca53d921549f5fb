// The port session.
//
// KDX_InitComm obtains, in order: the PortRecord, the CardRecord, the port,
// its line settings; a failure releases what came before it and leaves no
// session. The records are published as soon as both exist, so that the
// device test runs on the session like any export. KDX_ExitComm releases in
// reverse; a step that fails leaves the session in place with what is
// already released marked as such, so a later call continues from there.
#include "serial_iso/port_session.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "serial_iso/presence_monitor.h"

namespace kdx::tarsk::session {
namespace {

constexpr uint8_t kMaxPortIndex = 3;
constexpr uint32_t kMinBaud = 300;
constexpr uint32_t kMaxBaud = 115200;
constexpr uint8_t kDataBits = 8;
constexpr uint32_t kQueueSize = 1024;

constexpr platform::Timeouts kOpeningTimeouts{
    1000,  // read interval
    0,     // read total multiplier
    3000,  // read total constant
    0,     // write total multiplier
    0,     // write total constant
};

// Sent while RTS holds the card in reset: the data loop gives it back.
constexpr uint8_t kTestPattern[] = {'K', 'D', 'X', '-', 'T', 'E', 'S', 'T'};
constexpr uint32_t kRetryWaitMs = 200;
// After the card is let out of reset: whatever it starts sending is purged.
constexpr uint32_t kAfterEchoWaitMs = 85;

// Read time-outs for the card: T=1 allows this much beyond the character
// waiting time between two bytes; no time-out is ever 0 (which would mean
// none).
constexpr uint32_t kT1IntervalMarginMs = 12;
constexpr uint32_t kShortestReadTimeoutMs = 1;

template <typename Record>
Record* obtain_record() {
  static_assert(std::is_trivially_destructible_v<Record>, "records are released without destruction");
  void* block = platform::local_alloc_zeroed(sizeof(Record));
  return block == nullptr ? nullptr : new (block) Record{};
}

PortRecord& port_record() { return *g_tarsk.session.port; }
platform::Port& open_port() { return *port_record().port_handle; }

// Undoes a failed opening: closes the port when it was opened and releases
// both records. The session is gone whatever these steps report.
void discard_session() {
  SerialCardSession& session = g_tarsk.session;
  if (session.port != nullptr) {
    if (session.port->port_handle != nullptr) platform::close_port(session.port->port_handle);
    platform::local_free(session.port);
    session.port = nullptr;
  }
  if (session.card != nullptr) {
    platform::local_free(session.card);
    session.card = nullptr;
  }
}

// The line set-up written at open, on top of what the port reports: the
// record's framing, DTR on (the device returns it on DSR), RTS off, output
// held and input dropped while DSR is off.
void apply_opening_setup(const PortRecord& record, platform::LineSettings& line) {
  line.baud_rate = record.baud_rate;
  line.byte_size = record.data_bits;
  line.parity = record.parity;
  line.stop_bits = record.stop_bits;
  line.parity_check = record.parity != KDX_PARITY_NONE ? 1 : 0;
  line.dtr_control = KDX_LINE_CONTROL_ENABLE;
  line.rts_control = KDX_LINE_CONTROL_DISABLE;
  line.out_dsr_flow = 1;
  line.out_cts_flow = 0;
  line.dsr_sensitivity = 1;
}

bool dsr_on() { return (modem_lines(open_port()) & KDX_MODEM_DSR_ON) != 0; }

// Lets the card out of reset after a failed echo transfer; the transfer's
// status stands unless that fails too.
StatusCode release_reset(platform::LineSettings& line, StatusCode status) {
  const StatusCode released = write_control(line, ControlLine::rts, false);
  return released != ST_OK ? released : status;
}

// The device test on the open session: DSR follows DTR off and on, then the
// test pattern comes back unchanged while the card is held in reset.
StatusCode run_device_test() {
  if (!dsr_on()) return ST_NO_DEVICE;
  platform::LineSettings line{};
  StatusCode status = read_line_settings(line);
  if (status != ST_OK) return status;
  status = write_control(line, ControlLine::dtr, false);
  if (status != ST_OK) return status;
  if (dsr_on()) return ST_NO_DEVICE;
  status = write_control(line, ControlLine::dtr, true);
  if (status != ST_OK) return status;
  if (!dsr_on()) return ST_NO_DEVICE;

  status = write_control(line, ControlLine::rts, true);
  if (status != ST_OK) return status;
  status = send_data(kTestPattern, sizeof kTestPattern);
  if (status != ST_OK) return release_reset(line, status);
  uint8_t echo[sizeof kTestPattern] = {};
  status = receive_data(echo, sizeof echo);
  if (status != ST_OK) return release_reset(line, status);
  const bool echoed = std::memcmp(echo, kTestPattern, sizeof kTestPattern) == 0;
  status = write_control(line, ControlLine::rts, false);
  if (status != ST_OK) return status;
  platform::sleep_ms(kAfterEchoWaitMs);
  purge_both_directions();
  return echoed ? ST_OK : ST_NO_DEVICE;
}

uint32_t at_least_shortest(uint32_t milliseconds) {
  return milliseconds == 0 ? kShortestReadTimeoutMs : milliseconds;
}

// One blocking transfer of `count` bytes by `move`, its count kept in the
// record field `last_count`: 0 only when all of them were moved.
template <typename Move>
StatusCode transfer(bool has_buffer, uint32_t count, uint32_t PortRecord::*last_count, Move move) {
  if (!is_open()) return ST_NOT_OPEN;
  if (!has_buffer && count != 0) return ST_BAD_PARAMETER;
  PortRecord& record = port_record();
  uint32_t moved = 0;
  const bool ok = count == 0 || move(*record.port_handle, moved);
  record.*last_count = moved;
  return ok && moved == count ? ST_OK : ST_COMM_ERROR;
}

}  // namespace

bool is_open() {
  const SerialCardSession& session = g_tarsk.session;
  return session.port != nullptr && session.port->port_handle != nullptr && session.card != nullptr;
}

uint32_t modem_lines(platform::Port& port) {
  uint32_t lines = 0;
  return port.modem_status(lines) ? lines : 0;
}

void purge_both_directions() { open_port().purge(platform::kPurgeAll); }

StatusCode read_line_settings(platform::LineSettings& settings) {
  return open_port().get_settings(settings) ? ST_OK : ST_GET_STATE_FAILED;
}

StatusCode write_control(platform::LineSettings& settings, ControlLine line, bool on) {
  const uint8_t control = on ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
  if (line == ControlLine::dtr) {
    settings.dtr_control = control;
  } else {
    settings.rts_control = control;
  }
  return open_port().set_settings(settings) ? ST_OK : ST_SET_STATE_FAILED;
}

StatusCode init_comm(uint8_t port, uint32_t baud) {
  SerialCardSession& session = g_tarsk.session;
  if (session.port != nullptr || session.card != nullptr) return ST_ALREADY_OPEN;
  if (port > kMaxPortIndex || baud < kMinBaud || baud > kMaxBaud) return ST_BAD_PARAMETER;

  PortRecord* record = obtain_record<PortRecord>();
  if (record == nullptr) return ST_ALLOC_FAILED;
  CardRecord* card = obtain_record<CardRecord>();
  if (card == nullptr) {
    platform::local_free(record);
    return ST_ALLOC_FAILED;
  }
  record->port_index = port;
  record->baud_rate = kOpeningBaud;
  record->data_bits = kDataBits;
  record->parity = KDX_PARITY_EVEN;
  record->stop_bits = KDX_STOPBITS_TWO;
  session.port = record;
  session.card = card;

  record->port_handle = platform::open_port(port, platform::OpenMode::blocking);
  if (record->port_handle == nullptr) {
    discard_session();
    return ST_PORT_INIT_FAILED;
  }
  platform::Port& device = *record->port_handle;
  device.set_event_mask(KDX_EVENT_RXCHAR);
  device.setup_queues(kQueueSize, kQueueSize);
  device.purge(platform::kPurgeAll);
  device.set_timeouts(kOpeningTimeouts);

  platform::LineSettings line{};
  if (!device.get_settings(line)) {
    discard_session();
    return ST_GET_STATE_FAILED;
  }
  apply_opening_setup(*record, line);
  if (!device.set_settings(line)) {
    discard_session();
    return ST_SET_STATE_FAILED;
  }

  if (run_device_test() == ST_OK) return ST_OK;
  platform::sleep_ms(kRetryWaitMs);
  purge_both_directions();
  const StatusCode status = run_device_test();
  if (status != ST_OK) exit_comm();
  return status;
}

StatusCode exit_comm() {
  SerialCardSession& session = g_tarsk.session;
  if (PortRecord* record = session.port; record != nullptr) {
    if (record->port_handle != nullptr) {
      purge_both_directions();
      if (record->card_active.load() != 0) close_card();
    }
    monitor::stop(*record);
    if (record->port_handle != nullptr) {
      if (!platform::close_port(record->port_handle)) return ST_PORT_CLOSE_FAILED;
      record->port_handle = nullptr;
    }
    if (!platform::local_free(record)) return ST_FREE_FAILED;
    session.port = nullptr;
  }
  if (session.card != nullptr) {
    if (!platform::local_free(session.card)) return ST_FREE_FAILED;
    session.card = nullptr;
  }
  return ST_OK;
}

StatusCode test_device() {
  if (!is_open()) return ST_NOT_OPEN;
  return run_device_test();
}

StatusCode test_door() {
  if (!is_open()) return ST_NOT_OPEN;
  if ((modem_lines(open_port()) & KDX_MODEM_CTS_ON) != 0) return ST_OK;
  port_record().card_active.store(0);
  return ST_NO_CARD;
}

StatusCode configure_serial_port() {
  if (!is_open()) return ST_NOT_OPEN;
  PortRecord& record = port_record();
  const CardRecord& card = *g_tarsk.session.card;
  record.parity = card.inverse_convention != 0 ? KDX_PARITY_ODD : KDX_PARITY_EVEN;
  purge_both_directions();

  platform::Timeouts timeouts{};
  if (card.protocol == kProtocolT1) {
    timeouts.read_interval = card.character_waiting_time + kT1IntervalMarginMs;
    timeouts.read_total_constant = card.block_waiting_time;
  } else {
    timeouts.read_interval = card.work_waiting_time;
    timeouts.read_total_constant = card.work_waiting_time;
  }
  timeouts.read_interval = at_least_shortest(timeouts.read_interval);
  timeouts.read_total_constant = at_least_shortest(timeouts.read_total_constant);
  open_port().set_timeouts(timeouts);

  platform::LineSettings line{};
  const StatusCode status = read_line_settings(line);
  if (status != ST_OK) return status;
  line.baud_rate = record.baud_rate;
  line.parity = record.parity;
  line.stop_bits = record.stop_bits;
  line.parity_check = record.parity != KDX_PARITY_NONE ? 1 : 0;
  return open_port().set_settings(line) ? ST_OK : ST_SET_STATE_FAILED;
}

StatusCode send_data(const uint8_t* buffer, uint32_t count) {
  return transfer(buffer != nullptr, count, &PortRecord::last_write_count,
                  [&](platform::Port& port, uint32_t& written) { return port.write(buffer, count, nullptr, written); });
}

StatusCode receive_data(uint8_t* buffer, uint32_t count) {
  return transfer(buffer != nullptr, count, &PortRecord::last_read_count,
                  [&](platform::Port& port, uint32_t& received) { return port.read(buffer, count, nullptr, received); });
}

StatusCode close_card() {
  if (!is_open()) return ST_NOT_OPEN;
  PortRecord& record = port_record();
  monitor::stop(record);
  platform::LineSettings line{};
  StatusCode status = read_line_settings(line);
  if (status != ST_OK) return status;
  status = write_control(line, ControlLine::rts, true);
  if (status != ST_OK) return status;
  record.card_active.store(0);
  purge_both_directions();
  return ST_OK;
}

}  // namespace kdx::tarsk::session

using namespace kdx::tarsk;

extern "C" {

KDX_API StatusCode KDX_CALL KDX_InitComm(uint32_t port, uint32_t baud) {
  return session::init_comm(static_cast<uint8_t>(port & 0xFF), baud);
}

KDX_API StatusCode KDX_CALL KDX_ExitComm(void) { return session::exit_comm(); }

KDX_API StatusCode KDX_CALL IsCommOpened(void) { return session::is_open() ? ST_OK : ST_NOT_OPEN; }

KDX_API StatusCode KDX_CALL KDX_TestDevice(void) { return session::test_device(); }

KDX_API StatusCode KDX_CALL KDX_TestDoor(void) { return session::test_door(); }

KDX_API StatusCode KDX_CALL KDX_ConfigureSerialPort(void) { return session::configure_serial_port(); }

KDX_API StatusCode KDX_CALL SendData(const uint8_t* buffer, uint32_t count) {
  return session::send_data(buffer, count);
}

KDX_API StatusCode KDX_CALL ReceiveData(uint8_t* buffer, uint32_t count) {
  return session::receive_data(buffer, count);
}

}  // extern "C"
