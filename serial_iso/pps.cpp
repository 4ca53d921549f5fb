// Protocol and parameter selection. The request goes out in the card's
// convention and its echo is read back; the answer is read by its
// structure (PPSS and PPS0 first, then the bytes PPS0 announces and PCK).
// An answer that does not confirm the factors asked for is a refusal: the
// card is reset and asked once more for the default factors. Afterwards the
// waiting times follow the factors in force and the port runs at the
// negotiated speed.
#include "serial_iso/pps.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "serial_iso/atr_interpretation.h"
#include "serial_iso/card_activation.h"
#include "serial_iso/card_parameters.h"
#include "serial_iso/card_ready.h"
#include "serial_iso/port_session.h"

namespace kdx::tarsk::pps {
namespace {

constexpr uint8_t kPps1Follows = 0x10;
constexpr uint8_t kOptionalBytes = 0x70;  // PPS1, PPS2, PPS3
constexpr uint8_t kProtocolBits = 0x0F;
constexpr unsigned kFiShift = 4;
constexpr std::size_t kPps0At = 1;
constexpr std::size_t kPps1At = 2;
constexpr unsigned kT0Number = 0;
constexpr unsigned kT1Number = 1;

// The card's answer comes within a second of the request's end; all of it
// within three.
constexpr platform::Timeouts kAnswerTimeouts{1000, 0, 3000, 0, 0};

// ISO/IEC 7816-3 waiting times, in etu and in units of the card clock.
constexpr long double kClockHz = card::kClockHz;
constexpr long double kMsPerSecond = 1000;
constexpr long double kWorkWaitingUnit = 960;         // x WI x Fi clock cycles
constexpr long double kBlockWaitingUnit = 960 * 372;  // x 2^BWI clock cycles
constexpr long double kCharacterMarginEtu = 11;

uint8_t checksum(const uint8_t* bytes, std::size_t count) {
  uint8_t pck = 0;
  for (std::size_t i = 0; i < count; ++i) pck = static_cast<uint8_t>(pck ^ bytes[i]);
  return pck;
}

uint32_t ceil_ms(long double milliseconds) { return static_cast<uint32_t>(std::ceil(milliseconds)); }

// The waiting times for the factors in force (FI, DI in the record), rounded
// up so that the host never gives the card less than its due.
void refresh_waiting_times(CardRecord& card) {
  const long double fi = card::kFi[card.fi_index];
  const long double di = card::kDi[card.di_index];
  const long double etu_ms = fi * kMsPerSecond / (di * kClockHz);
  card.work_waiting_time = ceil_ms(card.wi * kWorkWaitingUnit * fi * kMsPerSecond / kClockHz);
  if ((card.offered_protocols & kProtocolT1) == 0) return;
  card.character_waiting_time = ceil_ms((std::ldexp(1.0L, card.cwi) + kCharacterMarginEtu) * etu_ms);
  card.block_waiting_time = ceil_ms(kCharacterMarginEtu * etu_ms +
                                    std::ldexp(1.0L, card.bwi) * kBlockWaitingUnit * kMsPerSecond / kClockHz);
}

CardRecord& card_record() { return *g_tarsk.session.card; }

// Card bytes in logical form, `count` of them.
StatusCode receive(uint8_t* into, uint32_t count) {
  const StatusCode status = session::receive_data(into, count);
  if (status != ST_OK) return status;
  if (card_record().inverse_convention != 0) {
    for (uint32_t i = 0; i < count; ++i) into[i] = card::inverse_transform(into[i]);
  }
  return ST_OK;
}

// One request and its answer. ST_OK with `reading` filled in, or the status
// of a transfer that failed.
StatusCode exchange(const Request& request, Reading& reading) {
  g_tarsk.session.port->port_handle->set_timeouts(kAnswerTimeouts);
  Request wire = request;
  if (card_record().inverse_convention != 0) {
    for (uint8_t& byte : wire) byte = card::inverse_transform(byte);
  }
  StatusCode status = session::send_data(wire.data(), kRequestSize);
  if (status != ST_OK) return status;
  uint8_t echo[kRequestSize] = {};
  status = session::receive_data(echo, kRequestSize);
  if (status != ST_OK) return status;
  if (std::memcmp(echo, wire.data(), kRequestSize) != 0) return ST_COMM_ERROR;

  uint8_t answer[kMaxMessageSize] = {};
  status = receive(answer, kHeadSize);
  if (status != ST_OK) return status;
  if (answer[0] != kPpss) {
    reading = Reading{Answer::malformed, 0};
    return ST_OK;
  }
  const std::size_t size = message_size(answer[kPps0At]);
  status = receive(answer + kHeadSize, static_cast<uint32_t>(size - kHeadSize));
  if (status != ST_OK) return status;
  reading = read_answer(request, answer, size);
  return ST_OK;
}

// The refusal of a request for other factors: the card is reset, and asked
// for the default factors and the same protocol.
StatusCode fall_back(unsigned t, uint32_t& confirmed) {
  uint8_t atr[2 * kAtrCapacity] = {};  // room for the text of string mode 1
  uint16_t length = 0;
  const StatusCode reset = activation::open_card(atr, &length);
  // Without an active card (or a session) there is no one to ask.
  if (reset != ST_OK) return reset;
  Reading reading{};
  const StatusCode status = exchange(build_request(t, atr::kDefaultFi, atr::kDefaultDi), reading);
  if (status != ST_OK || reading.answer == Answer::malformed) {
    card_record().protocol = kProtocolNone;
    return status != ST_OK ? status : StatusCode{ST_PPS_FAILED};
  }
  confirmed = 1u << reading.t;
  return ST_OK;
}

}  // namespace

Request build_request(unsigned t, uint8_t fi, uint8_t di) {
  Request request{kPpss, static_cast<uint8_t>(kPps1Follows | (t & kProtocolBits)),
                  static_cast<uint8_t>((fi & kProtocolBits) << kFiShift | (di & kProtocolBits)), 0};
  request[kRequestSize - 1] = checksum(request.data(), kRequestSize - 1);
  return request;
}

std::size_t message_size(uint8_t pps0) {
  return kHeadSize + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(pps0 & kOptionalBytes))) + 1;
}

Reading read_answer(const Request& request, const uint8_t* answer, std::size_t size) {
  const Reading malformed{Answer::malformed, 0};
  if (size < kHeadSize + 1 || answer[0] != kPpss || size != message_size(answer[kPps0At])) return malformed;
  if (checksum(answer, size) != 0) return malformed;
  const uint8_t pps0 = answer[kPps0At];
  const unsigned t = pps0 & kProtocolBits;
  // Only PPS1 was asked for: PPS2 and PPS3 may not come back.
  if (t != (request[kPps0At] & kProtocolBits) || (pps0 & kOptionalBytes & ~kPps1Follows) != 0) return malformed;
  if ((pps0 & kPps1Follows) == 0) return Reading{Answer::defaults, t};
  return answer[kPps1At] == request[kPps1At] ? Reading{Answer::accepted, t} : malformed;
}

StatusCode set_protocol(uint32_t protocols, uint32_t fi_argument, uint32_t di_argument) {
  StatusCode status = card_ready();
  if (status != ST_OK) return status;
  const uint8_t fi = static_cast<uint8_t>(fi_argument & 0xFF);
  const uint8_t di = static_cast<uint8_t>(di_argument & 0xFF);
  if (fi > kHighestIndex || di > kHighestIndex) return ST_BAD_PARAMETER;

  CardRecord* card = &card_record();
  const uint32_t wanted = protocols & card->offered_protocols;
  uint32_t protocol = kProtocolNone;
  unsigned t = 0;
  if ((wanted & kProtocolT1) != 0) {
    protocol = kProtocolT1;
    t = kT1Number;
  } else if ((wanted & kProtocolT0) != 0) {
    protocol = kProtocolT0;
    t = kT0Number;
  } else {
    return ST_PROTOCOL_UNSUPPORTED;
  }
  // A card in its specific mode takes no PPS; what it runs at is all it offers.
  if (card->interface_bytes[atr::kTA2].present != 0) {
    const bool in_force = card->protocol == protocol && card->fi_index == fi && card->di_index == di;
    return in_force ? ST_OK : ST_PPS_FAILED;
  }
  card->protocol = protocol;
  if (card::fi_reserved(fi) || card::di_reserved(di)) return ST_BAUD_UNSUPPORTED;
  const std::optional<uint32_t> asked_speed = card::port_speed_for(card::rate(fi, di));
  if (!asked_speed) return ST_BAUD_UNSUPPORTED;

  const Request request = build_request(t, fi, di);
  Reading reading{};
  status = exchange(request, reading);
  if (status != ST_OK) {
    card->protocol = kProtocolNone;
    return status;
  }
  uint32_t speed = *asked_speed;
  // Default factors asked for and kept are the same thing.
  const bool defaults_asked = request[kPps1At] == kDefaultFactors;
  if (reading.answer == Answer::accepted || (reading.answer == Answer::defaults && defaults_asked)) {
    card->protocol = 1u << reading.t;
    card->fi_index = fi;
    card->di_index = di;
  } else {
    if (defaults_asked) return ST_PPS_FAILED;
    uint32_t confirmed = protocol;
    status = fall_back(t, confirmed);
    if (status != ST_OK) return status;
    card = &card_record();  // the reset made a new record
    card->protocol = confirmed;
    card->fi_index = atr::kDefaultFi;
    card->di_index = atr::kDefaultDi;
    speed = session::kOpeningBaud;
  }
  refresh_waiting_times(*card);
  g_tarsk.session.port->baud_rate = speed;
  return session::configure_serial_port();
}

}  // namespace kdx::tarsk::pps

using namespace kdx::tarsk;

extern "C" {

KDX_API StatusCode KDX_CALL CPU_SetProtocol(uint32_t protocols, uint32_t fi, uint32_t di) {
  return pps::set_protocol(protocols, fi, di);
}

}  // extern "C"
