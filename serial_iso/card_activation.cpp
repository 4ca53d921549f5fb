// Card activation and deactivation.
//
// Activation starts from a newly opened port (KDX_ExitComm and KDX_InitComm)
// and a zeroed CardRecord, starts the presence monitor, pulses the reset
// line and collects the ATR in reads of at most 50 ms, interpreting it
// after every read that brought bytes, until it is complete, found wrong,
// or the card has stayed silent for the retry budget.
#include "serial_iso/card_activation.h"

#include <algorithm>
#include <cstring>

#include "serial_iso/atr_interpretation.h"
#include "serial_iso/port_session.h"
#include "serial_iso/presence_monitor.h"
#include "serial_iso/string_mode.h"

namespace kdx::tarsk::activation {
namespace {

constexpr uint32_t kResetPulseMs = 12;
// Reads of the ATR: no interval limit, each ends 50 ms after it began.
constexpr platform::Timeouts kAtrTimeouts{
    0,   // read interval
    0,   // read total multiplier
    50,  // read total constant
    0,   // write total multiplier
    0,   // write total constant
};
// An ATR that reaches this many bytes is too long for the CardRecord.
constexpr std::size_t kAtrReadLimit = kAtrCapacity + 1;
// Empty reads in a row after which the card counts as silent.
constexpr uint32_t kEmptyReadBudget = 25;

PortRecord& port_record() { return *g_tarsk.session.port; }
CardRecord& card_record() { return *g_tarsk.session.card; }

// What an activation clears of an earlier card in the record.
void reset_card_record(CardRecord& card) {
  card.protocol = kProtocolNone;
  card.inverse_convention = 0;
  card.atr_length = 0;
  card.historical_count = 0;
  for (InterfaceByte& byte : card.interface_bytes) byte.present = 0;
  card.t1_send_sequence = 0;
  card.t1_receive_sequence = 0;
}

// RTS on for the pulse, then off: the card leaves reset and answers.
StatusCode pulse_reset() {
  platform::LineSettings line{};
  StatusCode status = session::read_line_settings(line);
  if (status != ST_OK) return status;
  status = session::write_control(line, session::ControlLine::rts, true);
  if (status != ST_OK) return status;
  platform::sleep_ms(kResetPulseMs);
  return session::write_control(line, session::ControlLine::rts, false);
}

// Statuses that no further byte of the card can change.
bool final_refusal(StatusCode status) {
  return status == ST_BAD_ATR || status == ST_PROTOCOL_UNSUPPORTED || status == ST_BAUD_UNSUPPORTED;
}

// Reads and interprets until the ATR is complete. A read that brings nothing
// leaves the status of the last interpretation standing: ST_NO_ATR only
// when no byte arrived at all.
StatusCode collect_atr() {
  CardRecord& card = card_record();
  uint8_t chunk[kAtrReadLimit] = {};
  uint32_t empty_reads = 0;
  StatusCode result = ST_NO_ATR;
  for (;;) {
    const uint32_t wanted = static_cast<uint32_t>(kAtrReadLimit - card.atr_length);
    session::receive_data(chunk, wanted);  // only the count matters
    const uint32_t count = std::min(port_record().last_read_count, wanted);
    if (count != 0) {
      if (card.atr_length + count >= kAtrReadLimit) return ST_BAD_ATR;
      std::memcpy(card.atr + card.atr_length, chunk, count);
      card.atr_length = static_cast<uint8_t>(card.atr_length + count);
      result = update_card_capabilities();
      if (result == ST_OK) return ST_OK;
    } else if (card.atr_length == 0) {
      result = ST_NO_ATR;
    }
    if (empty_reads >= kEmptyReadBudget || final_refusal(result)) return result;
    empty_reads = count != 0 ? 0 : empty_reads + 1;
  }
}

}  // namespace

StatusCode update_card_capabilities() {
  if (!session::is_open()) return ST_NOT_OPEN;
  PortRecord& port = port_record();
  atr::PortParameters line{port.baud_rate, port.stop_bits};
  const StatusCode status = atr::interpret(card_record(), line);
  port.baud_rate = line.baud_rate;
  port.stop_bits = line.stop_bits;
  if (status != ST_OK) return status;
  return session::configure_serial_port();
}

StatusCode open_card(uint8_t* atr, uint16_t* length) {
  if (atr == nullptr || length == nullptr) return ST_BAD_PARAMETER;
  const uint8_t string_mode = hex::mode();
  if (g_tarsk.session.port != nullptr) port_record().card_active.store(0);
  if (!session::is_open()) return ST_NOT_OPEN;
  StatusCode status = session::test_door();
  if (status != ST_OK) return status;

  monitor::stop(port_record());
  const uint8_t port_index = port_record().port_index;
  status = session::exit_comm();
  if (status != ST_OK) return status;
  status = session::init_comm(port_index, session::kOpeningBaud);
  if (status != ST_OK) return status;

  session::purge_both_directions();
  status = monitor::start(port_record());
  if (status != ST_OK) return status;
  reset_card_record(card_record());
  port_record().port_handle->set_timeouts(kAtrTimeouts);
  status = pulse_reset();
  if (status != ST_OK) return status;
  status = collect_atr();
  if (status != ST_OK) return status;

  const CardRecord& card = card_record();
  *length = card.atr_length;
  std::memcpy(atr, card.atr, card.atr_length);
  if (string_mode == 1) hex::encode_in_place(atr, card.atr_length);
  port_record().card_active.store(1);
  return ST_OK;
}

StatusCode get_protocol(uint32_t* protocol) {
  if (protocol == nullptr) return ST_BAD_PARAMETER;
  if (!session::is_open()) return ST_NOT_OPEN;
  const StatusCode status = session::test_door();
  if (status != ST_OK) return status;
  if (port_record().card_active.load() == 0) return ST_CARD_NOT_POWERED;
  *protocol = card_record().protocol;
  return ST_OK;
}

}  // namespace kdx::tarsk::activation

using namespace kdx::tarsk;

extern "C" {

KDX_API StatusCode KDX_CALL CPU_OpenCard(uint8_t* atr, uint16_t* length) {
  return activation::open_card(atr, length);
}

KDX_API StatusCode KDX_CALL CPU_Reset(uint8_t* atr, uint16_t* length) { return activation::open_card(atr, length); }

KDX_API StatusCode KDX_CALL CPU_CloseCard(void) { return session::close_card(); }

KDX_API StatusCode KDX_CALL CPU_GetProtocol(uint32_t* protocol) { return activation::get_protocol(protocol); }

KDX_API StatusCode KDX_CALL CPU_UpdateCardCapabilities(void) { return activation::update_card_capabilities(); }

}  // extern "C"
