// The T=0 exchange. After the header, every turn begins with one procedure
// byte: NULL waits, INS moves all remaining data, its complement one byte,
// SW1 and SW2 end the exchange; the direction of the data is that of the
// command (to the card for a command with data, from it for a header-only
// one). Each read may take its bytes' character times plus the work waiting
// time; the whole exchange is bounded by kExchangeTimeLimitMs.
#include "serial_iso/t0_exchange.h"

#include <algorithm>
#include <cstring>

#include "serial_iso/card_parameters.h"
#include "serial_iso/exchange_limits.h"
#include "serial_iso/port_session.h"

namespace kdx::tarsk::t0 {
namespace {

constexpr uint32_t kShortestTimeoutMs = 1;

// Bits of one character besides its parity and stop bits: start and 8 data.
constexpr uint32_t kStartAndDataBits = 9;
constexpr uint32_t kMsPerSecond = 1000;

// Milliseconds one character takes at the port's settings, rounded up.
uint32_t character_ms(const PortRecord& port) {
  const uint32_t bits = kStartAndDataBits + (port.parity != KDX_PARITY_NONE ? 1 : 0) +
                        (port.stop_bits == KDX_STOPBITS_ONE ? 1 : 2);
  const uint32_t baud = std::max<uint32_t>(port.baud_rate, 1);
  return (bits * kMsPerSecond + baud - 1) / baud;
}

class Exchange {
 public:
  Exchange(PortRecord& port, const CardRecord& card)
      : port_(port),
        inverse_(card.inverse_convention != 0),
        waiting_ms_(std::max(card.work_waiting_time, kShortestTimeoutMs)),
        character_ms_(character_ms(port)),
        start_ms_(platform::tick_count()) {}

  ~Exchange() {
    // Left as the card's parameters set them, for raw transfers after us.
    port_.port_handle->set_timeouts(platform::Timeouts{waiting_ms_, 0, waiting_ms_, 0, 0});
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  StatusCode run(uint8_t* command, uint32_t length, const CommandShape& shape, uint8_t* response,
                 uint32_t& response_length) {
    const uint8_t ins = command[kInsAt];
    if (inverse_) {
      for (uint32_t i = 0; i < length; ++i) command[i] = card::inverse_transform(command[i]);
    }
    StatusCode status = send(command, kHeaderSize);
    if (status != ST_OK) return status;
    uint8_t* data_out = command + kHeaderSize;
    uint32_t sent = 0;
    uint32_t received = 0;
    bool after_null = false;
    for (;;) {
      uint8_t procedure = 0;
      status = receive(&procedure, 1);
      // A card that has just sent NULL gets one more waiting time.
      if (status != ST_OK && after_null) status = receive(&procedure, 1);
      if (status != ST_OK) return status;
      after_null = false;
      const Procedure meaning = classify(procedure, ins);
      switch (meaning) {
        case Procedure::null:
          after_null = true;
          break;
        case Procedure::sw1:
          response[received] = procedure;
          status = receive(response + received + 1, 1);
          if (status != ST_OK) return status;
          response_length = received + kStatusWordSize;
          return ST_OK;
        case Procedure::ack_all:
        case Procedure::ack_one: {
          const bool outgoing = shape.outgoing != 0;
          const uint32_t left = outgoing ? shape.outgoing - sent : shape.incoming - received;
          // An acknowledgement with nothing left to move is outside the protocol.
          if (left == 0) return ST_COMM_ERROR;
          const uint32_t count = meaning == Procedure::ack_all ? left : 1;
          status = outgoing ? send(data_out + sent, count) : receive(response + received, count);
          if (status != ST_OK) return status;
          (outgoing ? sent : received) += count;
          break;
        }
        case Procedure::invalid:
          return ST_COMM_ERROR;
      }
    }
  }

 private:
  uint32_t remaining_ms() const {
    const uint32_t elapsed = platform::tick_count() - start_ms_;
    return elapsed >= kExchangeTimeLimitMs ? 0 : kExchangeTimeLimitMs - elapsed;
  }

  // Up to `count` bytes in `count` character times plus the waiting time,
  // the gap between two of them at most the waiting time, and never past
  // the exchange's limit.
  bool time_read(uint32_t count) {
    const uint32_t left = remaining_ms();
    if (left == 0) return false;
    platform::Timeouts timeouts{std::min(waiting_ms_, left), character_ms_, waiting_ms_, 0, 0};
    if (static_cast<uint64_t>(character_ms_) * count + waiting_ms_ > left) {
      timeouts.read_total_multiplier = 0;
      timeouts.read_total_constant = left;
    }
    return port_.port_handle->set_timeouts(timeouts);
  }

  // Card bytes, in logical form.
  StatusCode receive(uint8_t* into, uint32_t count) {
    if (!time_read(count)) return ST_COMM_ERROR;
    const StatusCode status = session::receive_data(into, count);
    if (status != ST_OK) return status;
    if (inverse_) {
      for (uint32_t i = 0; i < count; ++i) into[i] = card::inverse_transform(into[i]);
    }
    return ST_OK;
  }

  // Bytes as they go on the line; each comes back on the receive side and
  // takes its place. An echo that differs means the line was not ours.
  StatusCode send(uint8_t* bytes, uint32_t count) {
    StatusCode status = session::send_data(bytes, count);
    if (status != ST_OK) return status;
    uint8_t echo[kMaxCommand] = {};
    if (!time_read(count)) return ST_COMM_ERROR;
    status = session::receive_data(echo, count);
    if (status != ST_OK) return status;
    const bool same = std::memcmp(echo, bytes, count) == 0;
    std::memcpy(bytes, echo, count);
    return same ? ST_OK : ST_COMM_ERROR;
  }

  PortRecord& port_;
  const bool inverse_;
  const uint32_t waiting_ms_;
  const uint32_t character_ms_;
  const uint32_t start_ms_;
};

}  // namespace

StatusCode engine(SerialCardSession& session, std::span<const uint8_t> command, std::span<uint8_t> response,
                  std::size_t& length) {
  length = 0;
  const uint32_t count = static_cast<uint32_t>(std::min<std::size_t>(command.size(), kMaxCommand + 1));
  const std::optional<CommandShape> mapped = shape(command.data(), count);
  if (!mapped) return ST_APDU_FORMAT;
  // The exchange transforms and overwrites what it sends, and may receive
  // more than a caller of CPU_IsoAPDUEx has room for.
  uint8_t sent[kMaxCommand] = {};
  std::copy(command.begin(), command.end(), sent);
  uint8_t received[kMaxResponse] = {};
  uint32_t received_count = 0;
  StatusCode status = ST_OK;
  {
    Exchange exchange(*session.port, *session.card);
    status = exchange.run(sent, count, *mapped, received, received_count);
  }
  if (status != ST_OK) return status;
  if (received_count > response.size()) return ST_BAD_RESPONSE;
  std::copy(received, received + received_count, response.begin());
  length = received_count;
  return ST_OK;
}

}  // namespace kdx::tarsk::t0
