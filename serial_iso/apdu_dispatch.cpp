// CPU_IsoAPDU and its extension CPU_IsoAPDUEx: the checks every card
// operation makes, string mode on the way in and out, then the engine of
// the card's protocol.
#include "serial_iso/apdu_dispatch.h"

#include <algorithm>

#include "serial_iso/card_ready.h"
#include "serial_iso/port_session.h"
#include "serial_iso/string_mode.h"
#include "serial_iso/t0_exchange.h"
#include "serial_iso/t1_exchange.h"
#include "tarsk_apdu.h"

namespace kdx::tarsk::apdu {
namespace {

constexpr std::size_t kCharactersPerByte = 2;
constexpr std::size_t kTerminator = 1;

std::size_t byte_capacity(std::size_t capacity, bool text) {
  const std::size_t bytes = text ? (capacity < kTerminator ? 0 : (capacity - kTerminator) / kCharactersPerByte)
                                 : capacity;
  return std::min(bytes, kMaxResponseSize);
}

}  // namespace

Engine engine_for(uint32_t protocol) {
  switch (protocol) {
    case kProtocolT0:
      return &t0::engine;
    case kProtocolT1:
      return &t1_transmit;
    default:
      return nullptr;
  }
}

std::size_t default_capacity() {
  return hex::mode() != 0 ? kMaxResponseSize * kCharactersPerByte + kTerminator : kMaxResponseSize;
}

StatusCode run(Engine engine, uint8_t* command, uint32_t command_length, uint8_t* response, std::size_t capacity,
               uint32_t* response_length) {
  if (command == nullptr || response == nullptr || response_length == nullptr) return ST_BAD_PARAMETER;
  *response_length = 0;
  const StatusCode ready = card_ready();
  if (ready != ST_OK) return ready;
  if (command_length == 0) return ST_APDU_FORMAT;
  const bool text = hex::mode() != 0;
  if (text) {
    if (!hex::all_digits(reinterpret_cast<const char*>(command), std::size_t{command_length} * kCharactersPerByte)) {
      return ST_BAD_PARAMETER;
    }
    hex::decode_in_place(command, command_length);
  }
  if (engine == nullptr) engine = engine_for(g_tarsk.session.card->protocol);
  if (engine == nullptr) return ST_PROTOCOL_UNSUPPORTED;

  session::purge_both_directions();
  std::size_t length = 0;
  const StatusCode status = engine(g_tarsk.session, std::span<const uint8_t>(command, command_length),
                                   std::span<uint8_t>(response, byte_capacity(capacity, text)), length);
  *response_length = static_cast<uint32_t>(length);
  if (text && status == ST_OK) {
    hex::encode_in_place(response, length);
    response[length * kCharactersPerByte] = 0;
  }
  return status;
}

}  // namespace kdx::tarsk::apdu

using namespace kdx::tarsk;

extern "C" {

KDX_API StatusCode KDX_CALL CPU_IsoAPDU(uint8_t* command, uint32_t command_length, uint8_t* response,
                                       uint32_t* response_length) {
  return apdu::run(nullptr, command, command_length, response, apdu::default_capacity(), response_length);
}

KDX_API StatusCode KDX_CALL CPU_IsoAPDUEx(uint8_t* command, uint32_t command_length, uint8_t* response,
                                         uint32_t capacity, uint32_t* response_length) {
  return apdu::run(nullptr, command, command_length, response, capacity, response_length);
}

KDX_API StatusCode KDX_CALL CPU_TransmitT0(uint8_t* command, uint32_t command_length, uint8_t* response,
                                          uint32_t* response_length) {
  return apdu::run(&t0::engine, command, command_length, response, apdu::default_capacity(), response_length);
}

KDX_API StatusCode KDX_CALL CPU_TransmitT1(uint8_t* command, uint32_t command_length, uint8_t* response,
                                          uint32_t* response_length) {
  return apdu::run(&t1_transmit, command, command_length, response, apdu::default_capacity(), response_length);
}

}  // extern "C"
