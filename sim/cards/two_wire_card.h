// What the card models on the reader's two-wire bus share (AT24C, AT153,
// AT1608): the bus as the chips see it, driven by the reader's codes 19 to
// 26.
//
//   19 power       supply on (data byte 1) or off (0)
//   20 reset       the card restarts; answer_to_reset() is clocked by 23
//   21 start       start condition, also a repeated start inside a read
//   22 stop        stop condition: the chip takes a write it was sent and
//                  may start an internal write cycle
//   24 send        bytes clocked to the card: the first after a start is the
//                  device byte, which the chip acknowledges or not
//   25 receive     n bytes clocked out of the card, the reader
//                  acknowledging each
//   26 last byte   one byte clocked out without acknowledge, which ends the
//                  chip's output
//
// A chip that did not acknowledge a byte lets go of the bus until the next
// start: what follows is not taken, and reads give 0xFF (the bus's pull-up).
// So does a chip in its write cycle, for whole transactions, and an
// unpowered one for everything but power.
//
// The host's protocol faults (bytes or reads outside a transaction, a stop
// that follows an acknowledged read byte, a transaction during the write
// cycle, and what a family adds) are logged in violations(); a host that
// keeps to the protocol leaves it empty.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/reader_sim.h"

namespace kdx::sim {

class TwoWireCard : public ReaderCard {
 public:
  CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override;

  bool powered() const { return powered_; }
  // The chip is in its internal write cycle at `now_ns`.
  bool busy(uint64_t now_ns) const { return now_ns < busy_until_ns_; }
  const std::vector<std::string>& violations() const { return violations_; }
  // Transactions taken: device byte acknowledged, stop reached.
  unsigned transactions() const { return transactions_; }

  // The most data bytes the reader clocks in one response frame.
  static constexpr std::size_t kMaxResponseData = 195;

 protected:
  TwoWireCard() = default;

  // The family's part of the bus. The chip's answers to the host's bytes:
  // true acknowledges. begin() is called at every start, the transaction's
  // state is the family's to keep.
  virtual void begin() = 0;
  virtual bool device_byte(uint8_t byte) = 0;
  virtual bool data_byte(uint8_t byte) = 0;
  // The next byte the chip puts on the bus after an acknowledged device
  // byte; the family logs a read in a transaction that has no output.
  virtual uint8_t output_byte() = 0;
  // The stop of an acknowledged transaction; returns the length of the
  // write cycle it starts, 0 for none.
  virtual uint64_t end() = 0;
  virtual void powered_off() {}
  virtual std::vector<uint8_t> answer_to_reset() const { return {}; }

  void log_violation(std::string fault) { violations_.push_back(std::move(fault)); }

 private:
  enum class Bus : uint8_t {
    idle,        // after a stop or power-on
    addressed,   // after a start: the device byte comes next
    selected,    // the device byte was acknowledged
    released,    // not acknowledged, or busy: the chip ignores the rest
    output_end,  // a byte was read without acknowledge
  };

  void start(uint64_t now_ns);
  void stop(uint64_t now_ns);
  void send(std::span<const uint8_t> bytes);
  CardReply receive(uint8_t code, std::span<const uint8_t> data);

  bool powered_ = false;
  Bus bus_ = Bus::idle;
  bool acknowledged_read_ = false;  // the last byte read was acknowledged
  uint64_t busy_until_ns_ = 0;
  std::vector<uint8_t> answer_;
  std::size_t answer_position_ = 0;
  unsigned transactions_ = 0;
  std::vector<std::string> violations_;
};

}  // namespace kdx::sim
