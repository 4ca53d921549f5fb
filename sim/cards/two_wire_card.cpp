#include "sim/cards/two_wire_card.h"

#include "cards/two_wire_codes.h"

namespace kdx::sim {
namespace {

namespace bus = kdx::velmor::two_wire;

constexpr uint8_t kIdleLine = 0xFF;
constexpr uint8_t kStatusBadParameter = 1;

std::size_t requested_count(std::span<const uint8_t> data) {
  return data.size() >= 2 ? static_cast<std::size_t>(data[0] | (data[1] << 8)) : 0;
}

}  // namespace

CardReply TwoWireCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) {
  if (code == bus::kPower) {
    if (data.empty()) return {};
    const bool on = data[0] != 0;
    if (powered_ && !on) powered_off();
    powered_ = on;
    bus_ = Bus::idle;
    acknowledged_read_ = false;
    answer_.clear();
    return {};
  }
  if (!powered_) return ReaderCard::command(code, data, now_ns);
  switch (code) {
    case bus::kReset:
      answer_ = answer_to_reset();
      answer_position_ = 0;
      bus_ = Bus::idle;
      return {};
    case bus::kStart:
      start(now_ns);
      return {};
    case bus::kStop:
      stop(now_ns);
      return {};
    case bus::kSend:
      send(data);
      return {};
    case bus::kAnswerToReset:
    case bus::kReceive:
    case bus::kReceiveLast:
      return receive(code, data);
    default:
      return ReaderCard::command(code, data, now_ns);
  }
}

void TwoWireCard::start(uint64_t now_ns) {
  if (busy(now_ns)) {
    log_violation("start during the write cycle: the transaction is ignored");
    bus_ = Bus::released;
    return;
  }
  bus_ = Bus::addressed;
  acknowledged_read_ = false;
  begin();
}

void TwoWireCard::stop(uint64_t now_ns) {
  if (acknowledged_read_) log_violation("stop after an acknowledged read byte");
  acknowledged_read_ = false;
  const bool taken = bus_ == Bus::selected || bus_ == Bus::output_end;
  bus_ = Bus::idle;
  if (!taken) return;
  ++transactions_;
  const uint64_t cycle = end();
  if (cycle != 0) busy_until_ns_ = now_ns + cycle;
}

void TwoWireCard::send(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) {
    switch (bus_) {
      case Bus::idle:
        log_violation("byte sent outside a transaction");
        return;
      case Bus::output_end:
        log_violation("byte sent after the last byte of a read");
        bus_ = Bus::released;
        return;
      case Bus::released:
        return;
      case Bus::addressed:
        bus_ = device_byte(byte) ? Bus::selected : Bus::released;
        break;
      case Bus::selected:
        if (acknowledged_read_) {
          log_violation("byte sent while the card was sending");
          bus_ = Bus::released;
          return;
        }
        if (!data_byte(byte)) bus_ = Bus::released;
        break;
    }
  }
}

CardReply TwoWireCard::receive(uint8_t code, std::span<const uint8_t> data) {
  const std::size_t count = requested_count(data);
  if (count > kMaxResponseData) return {kStatusBadParameter, {}};
  CardReply reply{0, std::vector<uint8_t>(count, kIdleLine)};
  if (code == bus::kAnswerToReset) {
    for (uint8_t& byte : reply.data) {
      if (answer_position_ < answer_.size()) byte = answer_[answer_position_++];
    }
    return reply;
  }
  if (count == 0) return reply;
  if (bus_ == Bus::idle || bus_ == Bus::addressed || bus_ == Bus::output_end) {
    log_violation(bus_ == Bus::output_end ? "read after the last byte of a read" : "read outside a transaction");
    bus_ = Bus::released;
    return reply;
  }
  if (bus_ == Bus::released) return reply;
  for (uint8_t& byte : reply.data) byte = output_byte();
  if (code == bus::kReceiveLast) {
    acknowledged_read_ = false;
    bus_ = Bus::output_end;
  } else {
    acknowledged_read_ = true;
  }
  return reply;
}

}  // namespace kdx::sim
