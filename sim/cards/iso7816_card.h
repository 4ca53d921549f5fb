// A microprocessor card on the serial line, seen from its contacts as
// ISO/IEC 7816-3 describes it: a card clocked at 3.5712 MHz (so its initial
// etu is 1/9600 s) that answers to reset in its convention and then waits
// for commands at the rate, parity and guard time it runs at.
//
// Activation states:
//   held_in_reset  RTS on (or just inserted while it is on); silent.
//   answering      reset released: after the answer delay the ATR goes out
//                  at 9600 baud, optionally in chunks with pauses between
//                  them; host bytes meanwhile collide with it (garbage).
//   idle           the ATR is out: the card waits for commands. Host bytes
//                  are understood only when sent at the card's rate (within
//                  3 %), with the parity of its convention, 8 data bits and
//                  its stop bits; any other byte is garbage to it.
//   mute           a card configured without an ATR: it never answers.
//
// The card's rate after the ATR: 9600 (negotiable mode), or in specific mode
// (TA2 present) Di x 3571200 / Fi of its TA1, at once. Its stop bits: one
// when its first protocol is T=1 and TC1 = 255 (guard time 11 etu), else
// two. Direct convention: bytes as they are, even parity. Inverse
// convention: every byte transformed on the wire (bit order reversed and
// levels inverted), which a UART sees as odd parity.
//
// Understood host bytes are decoded and handed to on_character(); protocol
// selection and the T=0 and T=1 protocols hang off it. A PPS request is
// taken only as the first bytes after the ATR (iso7816_pps.h); then the
// card runs the protocol in force (first the one its ATR names first), T=0
// as iso7816_t0.h describes it; T=0 and T=1 (iso7816_t1.h) carry the
// commands to one application (iso7816_application.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/cards/iso7816_application.h"
#include "sim/cards/iso7816_pps.h"
#include "sim/cards/iso7816_t0.h"
#include "sim/serial_line_device.h"

namespace kdx::sim {

enum class Convention : uint8_t { direct, inverse };

class Iso7816Card;

// What the card runs after its ATR (a transmission protocol, protocol
// selection): it receives every host character the card understood, decoded
// from the convention, and answers through the card (Iso7816Card::transmit).
// Called under the clock's lock.
class CardProtocol {
 public:
  virtual ~CardProtocol() = default;
  virtual void on_character(uint8_t byte, uint64_t now_ns) = 0;
  // The card was reset or pulled: back to the state just after the ATR.
  virtual void on_reset() {}
};
using CardProtocolFactory = std::function<std::unique_ptr<CardProtocol>(Iso7816Card& card)>;

// A pause of `ms` after the first `after` ATR bytes.
struct AtrPause {
  std::size_t after;
  uint32_t ms;
};

struct Iso7816CardConfig {
  // The ATR as the card means it (TS first: 0x3B direct, 0x3F inverse); any
  // bytes at all may stand here. Empty: a mute card.
  std::vector<uint8_t> atr{};
  // Default: inverse when TS is 0x3F, else direct.
  std::optional<Convention> convention{};
  std::vector<AtrPause> pauses{};
  // Clock cycles between the release of reset and the ATR's first bit;
  // ISO/IEC 7816-3 allows 400 to 40000.
  uint32_t answer_delay_clocks = 10000;
  // The protocol behind the ATR other than T=0 (T=0 and PPS are the card's
  // own); none: the card only records what it hears.
  CardProtocolFactory protocol{};
  T0Behaviour t0{};
  PpsBehaviour pps{};
  // Default: a SampleApplication of its own.
  std::shared_ptr<IsoApplication> application{};
};

class Iso7816Card : public SlotCard {
 public:
  enum class State : uint8_t { held_in_reset, answering, idle, mute };

  static constexpr uint32_t kClockHz = 3571200;
  static constexpr uint32_t kInitialRate = 9600;

  explicit Iso7816Card(Iso7816CardConfig config);

  // SlotCard.
  void on_inserted(CardLine& line, uint64_t now_ns) override;
  void on_reset(bool held, uint64_t now_ns) override;
  void on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t now_ns) override;
  void on_removed(uint64_t now_ns) override;
  std::string name() const override { return "ISO/IEC 7816-3 card"; }

  // Read these with the clock's lock held.
  State state() const { return state_; }
  Convention convention() const { return convention_; }
  // The framing the card sends and expects after its ATR.
  const CardFraming& framing() const { return framing_; }
  // Host bytes the card understood, decoded, since it was inserted.
  const std::vector<uint8_t>& heard() const { return heard_; }
  // Host bytes that were garbage to it (wrong rate or framing, collisions).
  std::size_t garbled() const { return garbled_; }
  unsigned answers() const { return answers_; }
  // The host's protocol faults the card noticed, in ISO/IEC 7816-3 terms, in
  // the order they happened; a host that keeps to the protocol leaves it empty.
  const std::vector<std::string>& violations() const { return violations_; }
  void log_violation(std::string fault) { violations_.push_back(std::move(fault)); }
  // The protocol in force: 0 (T=0) or 1 (T=1).
  unsigned protocol_in_force() const { return protocol_in_force_; }
  IsoApplication& application() { return *application_; }

  // For T=0 and PPS, under the clock's lock: sends the steps' bytes (as the
  // card means them) from a turnaround after `now_ns`, behind whatever the
  // card is still sending, and runs `done` when the last has reached the
  // host.
  void play(const std::vector<CardStep>& steps, uint64_t now_ns, std::function<void()> done);
  uint64_t now_ns() const;
  // Ignores the host until the next reset.
  void go_mute() { state_ = State::mute; }
  // The end of a PPS answer: protocol T in force, at `rate` when the
  // factors asked for were accepted.
  void run_after_pps(unsigned t, std::optional<uint32_t> rate);

  // The inverse-convention transform of one byte (its own inverse).
  static uint8_t inverse(uint8_t byte);

  // For the protocol: sends `bytes` (as the card means them) in its
  // convention and framing, the first one starting at `at_ns` (or when the
  // card's wire is free); returns when the last one will have arrived.
  uint64_t transmit(std::vector<uint8_t> bytes, uint64_t at_ns);
  // Runs `action` at `at_ns` unless the card is reset or pulled meanwhile.
  void schedule(uint64_t at_ns, std::function<void()> action);
  // Nanoseconds of one elementary time unit at the card's rate.
  uint64_t etu_ns() const;
  const Iso7816CardConfig& config() const { return config_; }
  CardProtocol* protocol() const { return protocol_.get(); }

 private:
  bool understands(const LineSettings& settings) const;
  // A decoded host byte, in the idle state.
  void on_character(uint8_t byte, uint64_t now_ns);
  // Bytes as the card means them, in its convention on the wire.
  void send_characters(std::span<const uint8_t> bytes, const CardFraming& framing);
  void answer_to_reset(uint64_t now_ns);

  Iso7816CardConfig config_;
  Convention convention_;
  CardFraming atr_framing_;
  CardFraming initial_framing_;  // after the ATR, before any PPS
  CardFraming framing_;
  unsigned first_protocol_ = 0;
  PpsCapabilities capabilities_;
  std::shared_ptr<IsoApplication> application_;
  unsigned protocol_in_force_ = 0;
  bool first_character_ = true;
  std::optional<uint32_t> rate_before_pps_;
  uint64_t wire_busy_until_ns_ = 0;
  std::unique_ptr<PpsCardSide> pps_;
  std::unique_ptr<T0CardProtocol> t0_;
  CardLine* line_ = nullptr;
  State state_ = State::held_in_reset;
  std::vector<uint8_t> heard_;
  std::size_t garbled_ = 0;
  unsigned answers_ = 0;
  std::vector<std::string> violations_;
  std::unique_ptr<CardProtocol> protocol_;
};

}  // namespace kdx::sim
