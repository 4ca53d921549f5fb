// The port session and the device commands.
//
// KDX_InitComm acquires, in order: the ReaderSession, the read event, the
// write event, the port (overlapped), its settings, the link buffers. Every
// failure releases what came before it in that order and leaves no session.
// KDX_ExitComm releases them in reverse; a step that fails leaves the session
// in place with what is already released marked as such, so a later call
// continues where this one stopped.
#include <algorithm>
#include <cstring>
#include <new>

#include "link/frame.h"
#include "link/primitives.h"
#include "link/reader_codes.h"
#include "link/session.h"

namespace kdx::velmor::session {
namespace {

constexpr uint32_t kMinBaud = 300;
constexpr uint32_t kMaxBaud = 115200;
constexpr uint8_t kMaxPortIndex = 3;
constexpr uint32_t kQueueSize = 1024;
constexpr uint32_t kSettleMs = 10;
constexpr uint32_t kEjectPulseMs = 40;
constexpr std::size_t kVersionBufferSize = 32;

// Releases the parts of a session that InitComm got so far, in the order of
// the clean-up: port, read event, write event, record.
void release_partial(ReaderSession* record) {
  if (record->port_handle != nullptr) platform::close_port(record->port_handle);
  if (record->read_record.event != nullptr) platform::close_event(record->read_record.event);
  if (record->write_record.event != nullptr) platform::close_event(record->write_record.event);
  platform::local_free(record);
}

bool letter_is(uint8_t byte, char upper) { return byte == upper || byte == upper + ('a' - 'A'); }

}  // namespace

bool check() { return g_velmor.session != nullptr && g_velmor.session->port_handle != nullptr; }

StatusCode init_comm(uint8_t port, uint32_t baud) {
  if (g_velmor.session != nullptr) return ST_ALREADY_OPEN;
  if (port > kMaxPortIndex || baud < kMinBaud || baud > kMaxBaud) return ST_BAD_PARAMETER;

  void* block = platform::local_alloc_zeroed(sizeof(ReaderSession));
  if (block == nullptr) return ST_ALLOC_FAILED;
  auto* record = new (block) ReaderSession{};
  record->port_handle = nullptr;
  record->baud_rate = baud;
  record->byte_size = 8;
  record->parity = KDX_PARITY_NONE;
  record->stop_bits = KDX_STOPBITS_ONE;

  record->read_record.event = platform::create_event();
  if (record->read_record.event == nullptr) {
    release_partial(record);
    return ST_EVENT_FAILED;
  }
  record->write_record.event = platform::create_event();
  if (record->write_record.event == nullptr) {
    release_partial(record);
    return ST_EVENT_FAILED;
  }
  record->port_handle = platform::open_port(port, platform::OpenMode::overlapped);
  if (record->port_handle == nullptr) {
    release_partial(record);
    return ST_PORT_INIT_FAILED;
  }

  platform::Port& device = *record->port_handle;
  device.set_event_mask(KDX_EVENT_RXCHAR);
  device.setup_queues(kQueueSize, kQueueSize);
  device.purge(platform::kPurgeAll);
  device.set_timeouts(link::kLinkTimeouts);

  platform::LineSettings line{};
  if (!device.get_settings(line)) {
    release_partial(record);
    return ST_GET_STATE_FAILED;
  }
  line.baud_rate = record->baud_rate;
  line.byte_size = record->byte_size;
  line.parity = record->parity;
  line.stop_bits = record->stop_bits;
  line.parity_check = record->parity != KDX_PARITY_NONE ? 1 : 0;
  if (!device.set_settings(line)) {
    release_partial(record);
    return ST_SET_STATE_FAILED;
  }
  if (link::open_link(record) != ST_OK) {
    release_partial(record);
    return ST_ALLOC_FAILED;
  }
  g_velmor.session = record;

  platform::sleep_ms(kSettleMs);
  return test_device();
}

StatusCode exit_comm() {
  ReaderSession* record = g_velmor.session;
  if (record == nullptr) return ST_OK;
  if (record->read_record.event != nullptr) platform::set_event(record->read_record.event);
  if (record->port_handle != nullptr) {
    record->port_handle->set_event_mask(0);
    record->port_handle->purge(platform::kPurgeAll);
    if (!platform::close_port(record->port_handle)) return ST_PORT_CLOSE_FAILED;
    record->port_handle = nullptr;
  }
  if (record->read_record.event != nullptr) {
    if (!platform::close_event(record->read_record.event)) return ST_PORT_CLOSE_FAILED;
    record->read_record.event = nullptr;
  }
  if (record->write_record.event != nullptr) {
    if (!platform::close_event(record->write_record.event)) return ST_PORT_CLOSE_FAILED;
    record->write_record.event = nullptr;
  }
  link::close_link();
  if (!platform::local_free(record)) return ST_FREE_FAILED;
  g_velmor.session = nullptr;
  return ST_OK;
}

StatusCode get_version(uint8_t* destination, std::size_t capacity) {
  if (!check()) return ST_NOT_OPEN;
  if (destination == nullptr) return ST_BAD_PARAMETER;
  if (!link::build_command(reader::kGetVersion, nullptr, 0)) return ST_NOT_OPEN;
  StatusCode status = link::send_command();
  if (status != ST_OK) return status;
  status = link::receive_response();
  if (status != ST_OK) return status;
  const std::size_t length = std::min(link::response_length(), capacity);
  std::memcpy(destination, link::response_data(), length);
  return ST_OK;
}

StatusCode test_device() {
  if (!check()) return ST_NOT_OPEN;
  uint8_t version[kVersionBufferSize] = {};
  const StatusCode status = get_version(version, sizeof version);
  if (status != ST_OK) return status;
  const bool kdx = letter_is(version[0], 'K') && letter_is(version[1], 'D') && letter_is(version[2], 'X');
  return kdx ? ST_OK : ST_NO_DEVICE;
}

StatusCode green_led(bool on) {
  if (!check()) return ST_NOT_OPEN;
  return primitive::put_io(reader::kLineLedBuzzer, on ? 1 : 0);
}

StatusCode buzzer(bool on) {
  if (!check()) return ST_NOT_OPEN;
  return primitive::put_io(reader::kLineLedBuzzer, on ? 0 : 1);
}

StatusCode test_door() {
  if (!check()) return ST_NOT_OPEN;
  uint8_t door = 0;
  const StatusCode status = primitive::get_io(reader::kLineDoorSwitch, door);
  if (status != ST_OK) return status;
  return door == 0 ? ST_OK : ST_NO_CARD;
}

StatusCode push_card() {
  if (!check()) return ST_NOT_OPEN;
  const StatusCode status = primitive::put_io(reader::kLineCardEject, 1);
  if (status != ST_OK) return status;
  primitive::delay_1ms(kEjectPulseMs);
  return primitive::put_io(reader::kLineCardEject, 0);
}

}  // namespace kdx::velmor::session

using namespace kdx::velmor;

extern "C" {

KDX_API StatusCode KDX_CALL KDX_InitComm(uint32_t port, uint32_t baud) {
  return session::init_comm(static_cast<uint8_t>(port & 0xFF), baud);
}

KDX_API StatusCode KDX_CALL KDX_ExitComm(void) { return session::exit_comm(); }

KDX_API StatusCode KDX_CALL KDX_GetVersion(uint8_t* destination) {
  return session::get_version(destination, 32);
}

KDX_API StatusCode KDX_CALL KDX_GreenLED(uint32_t flag) { return session::green_led((flag & 0xFF) != 0); }

KDX_API StatusCode KDX_CALL KDX_Buzzer(uint32_t flag) { return session::buzzer((flag & 0xFF) != 0); }

KDX_API StatusCode KDX_CALL KDX_TestDoor(void) { return session::test_door(); }

KDX_API StatusCode KDX_CALL KDX_PushCard(void) { return session::push_card(); }

KDX_API StatusCode KDX_CALL KDX_TestDevice(void) { return session::test_device(); }

}  // extern "C"
