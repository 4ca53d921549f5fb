// The T=1 exchange. One object per call holds the blocks it works with (on
// the stack, no allocation) and walks the protocol:
//
//   host sends an I-block  -> card acknowledges a chained one with R(N(R)),
//                             or answers the last one with its I-blocks;
//   card's chained I-block -> host acknowledges with R(N(R));
//   card's S(... request)  -> host answers with the S(... response);
//   invalid block          -> host waits for the line to fall silent and
//                             sends R(N(R)) with the error code, N(R) being
//                             the N(S) it expects from the card;
//   card's R-block other   -> host sends its last block again, byte for
//   than an acknowledgement   byte.
//
// Three failed attempts in a row, a failed write or echo, a response past
// its bound or the exchange's time limit lead to resynchronisation:
// S(RESYNCH request) up to three times, after which both sides start again
// from N(S) = 0; when even that fails the card is marked inactive.
#include "serial_iso/t1_exchange.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "serial_iso/atr_interpretation.h"
#include "serial_iso/exchange_limits.h"
#include "serial_iso/port_session.h"
#include "serial_iso/t1_block.h"

namespace kdx::tarsk {
namespace {

using t1::Kind;
using t1::RError;
using t1::SKind;

constexpr int kAttempts = 3;          // tries of one block before resynchronising
constexpr int kResynchAttempts = 3;   // S(RESYNCH request)s before giving up on the card
constexpr uint8_t kSequenceBit = 0x40;  // how the CardRecord stores a sequence number
constexpr uint32_t kCharacterMarginMs = 12;  // beyond CWT before a gap counts as the block's end
constexpr uint32_t kBlockGuardEtu = 22;
constexpr uint32_t kStartAndDataBits = 9;  // start bit, 8 data bits (a parity bit follows)
constexpr uint32_t kParityBits = 1;
constexpr uint32_t kMsPerSecond = 1000;
// Line time allowed per command or response byte moved, in character times:
// the byte itself and its share of prologues, epilogues and acknowledgements.
constexpr uint32_t kLineAllowance = 2;
// A card that keeps talking while the host waits for silence is given this
// many blocks' worth of bytes, then the host goes on regardless.
constexpr std::size_t kDrainBlocks = 2;

using Buffer = std::array<uint8_t, t1::kMaxBlockSize>;

uint32_t ceil_div(uint64_t a, uint64_t b) { return static_cast<uint32_t>((a + b - 1) / b); }

enum class Outcome : uint8_t { block, silent, invalid };

class Exchange {
 public:
  Exchange(SerialCardSession& session, std::span<const uint8_t> command, std::span<uint8_t> response)
      : port_(*session.port),
        card_(*session.card),
        command_(command),
        response_(response),
        edc_(card_.edc_kind != 0 ? t1::Edc::crc : t1::Edc::lrc),
        started_ms_(platform::tick_count()) {
    const uint32_t baud = std::max<uint32_t>(port_.baud_rate, 1);
    const uint32_t stop_bits = port_.stop_bits == KDX_STOPBITS_ONE ? 1 : 2;
    const uint32_t character_bits = kStartAndDataBits + kParityBits + stop_bits;
    character_ms_ = ceil_div(uint64_t{character_bits} * kMsPerSecond, baud);
    const uint32_t guard_bits = kBlockGuardEtu > character_bits ? kBlockGuardEtu - character_bits : 0;
    guard_ms_ = std::max<uint32_t>(1, ceil_div(uint64_t{guard_bits} * kMsPerSecond, baud));
    gap_ms_ = card_.character_waiting_time + kCharacterMarginMs;
    if (card_.ifsc == 0 || card_.ifsc == atr::kReservedIfsc) card_.ifsc = atr::kDefaultIfsc;
  }

  StatusCode run();
  std::size_t appended() const { return appended_; }
  // The read time-outs the port had for T=1 before the exchange.
  void restore_timeouts() {
    if (timeouts_set_) set_timeouts(gap_ms_, 0, std::max<uint32_t>(card_.block_waiting_time, 1));
  }

 private:
  uint8_t ns() const { return card_.t1_send_sequence != 0 ? 1 : 0; }
  uint8_t nr() const { return card_.t1_receive_sequence != 0 ? 1 : 0; }
  void set_ns(uint8_t bit) { card_.t1_send_sequence = bit != 0 ? kSequenceBit : 0; }
  void set_nr(uint8_t bit) { card_.t1_receive_sequence = bit != 0 ? kSequenceBit : 0; }

  void prepare(uint8_t pcb, std::span<const uint8_t> information) {
    last_size_ = t1::build(t1::kNad, pcb, information, edc_, last_);
  }
  void prepare_next_i_block();
  void prepare_r_block(RError error) { prepare(t1::r_pcb(nr(), error), {}); }

  // The time limit, beyond the line time the bytes moved so far have needed.
  uint64_t limit_ms() const {
    return kExchangeTimeLimitMs + uint64_t{kLineAllowance} * character_ms_ * (position_ + appended_);
  }
  bool out_of_time() const { return platform::tick_count() - started_ms_ >= limit_ms(); }
  uint32_t time_left_ms() const {
    const uint64_t used = platform::tick_count() - started_ms_;
    return used >= limit_ms() ? 0 : static_cast<uint32_t>(std::min<uint64_t>(limit_ms() - used, UINT32_MAX));
  }

  void set_timeouts(uint32_t interval, uint32_t multiplier, uint32_t constant);
  StatusCode send_last();
  Outcome receive(uint32_t wait_ms);
  uint32_t block_wait_ms();
  void drain();
  bool resynchronise();
  StatusCode fail(StatusCode status);
  StatusCode after_abort();

  PortRecord& port_;
  CardRecord& card_;
  std::span<const uint8_t> command_;
  std::span<uint8_t> response_;
  t1::Edc edc_;
  uint32_t started_ms_;
  uint32_t character_ms_ = 1;
  uint32_t guard_ms_ = 1;
  uint32_t gap_ms_ = kCharacterMarginMs;

  std::size_t position_ = 0;     // command bytes already put into I-blocks
  std::size_t appended_ = 0;     // response bytes written
  bool chaining_ = false;        // the last I-block sent had the M bit
  uint8_t wtx_ = 0;              // multiplier granted for the next wait
  RError fault_code_ = RError::none;  // the code an R-block gives the last invalid block

  Buffer last_{};  // the last block built or sent, as meant (before the convention)
  std::size_t last_size_ = 0;
  Buffer wire_{};  // what goes on the line, then what comes back as echo
  Buffer received_{};
  std::size_t received_size_ = 0;
  t1::Parsed block_{};
  platform::Timeouts timeouts_{};
  bool timeouts_set_ = false;
};

void Exchange::prepare_next_i_block() {
  const std::size_t remaining = command_.size() - position_;
  const std::size_t length = std::min<std::size_t>(remaining, card_.ifsc);
  chaining_ = remaining > length;
  prepare(t1::i_pcb(ns(), chaining_), command_.subspan(position_, length));
  position_ += length;
  set_ns(ns() ^ 1);
}

void Exchange::set_timeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  const platform::Timeouts wanted{std::max<uint32_t>(interval, 1), multiplier, std::max<uint32_t>(constant, 1), 0, 0};
  if (timeouts_set_ && std::memcmp(&wanted, &timeouts_, sizeof wanted) == 0) return;
  port_.port_handle->set_timeouts(wanted);
  timeouts_ = wanted;
  timeouts_set_ = true;
}

// One write of the whole block, after the guard time that separates it from
// the card's last character, then its echo.
StatusCode Exchange::send_last() {
  // Whenever S(WTX response) goes out, sent again or not, the wait after it
  // is the one it grants.
  if (last_[1] == t1::s_pcb(SKind::wtx, true)) wtx_ = last_[t1::kPrologueSize];
  std::memcpy(wire_.data(), last_.data(), last_size_);
  if (card_.inverse_convention != 0) t1::invert(std::span(wire_).first(last_size_));
  platform::sleep_ms(guard_ms_);
  const uint32_t size = static_cast<uint32_t>(last_size_);
  StatusCode status = session::send_data(wire_.data(), size);
  if (status != ST_OK) return status;
  set_timeouts(gap_ms_, character_ms_, gap_ms_);
  status = session::receive_data(wire_.data(), size);
  if (status != ST_OK) return status;
  // An echo that differs means something else was on the line: the card
  // talking, or a lost character with the card's answer behind it.
  if (card_.inverse_convention != 0) t1::invert(std::span(wire_).first(last_size_));
  return std::memcmp(wire_.data(), last_.data(), last_size_) == 0 ? ST_OK : ST_COMM_ERROR;
}

uint32_t Exchange::block_wait_ms() {
  const uint64_t bwt = std::max<uint32_t>(card_.block_waiting_time, 1);
  const uint64_t wait = wtx_ != 0 ? bwt * wtx_ : bwt;
  wtx_ = 0;
  return static_cast<uint32_t>(std::min<uint64_t>(wait, std::max<uint32_t>(time_left_ms(), 1)));
}

// Reads one block: the prologue within `wait_ms`, then the rest with gaps
// of at most CWT. Any fault leaves its R-block code in fault_code_.
Outcome Exchange::receive(uint32_t wait_ms) {
  received_size_ = 0;
  set_timeouts(gap_ms_, character_ms_, wait_ms);
  const StatusCode prologue = session::receive_data(received_.data(), t1::kPrologueSize);
  received_size_ = std::min<std::size_t>(port_.last_read_count, t1::kPrologueSize);
  if (prologue != ST_OK) {
    fault_code_ = RError::other;
    return received_size_ == 0 ? Outcome::silent : Outcome::invalid;
  }
  // The convention first: LEN is only a count once it is decoded.
  if (card_.inverse_convention != 0) t1::invert(std::span(received_).first(t1::kPrologueSize));
  const std::size_t length = received_[2];
  if (length == t1::kReservedLen) {
    fault_code_ = RError::other;
    return Outcome::invalid;
  }
  const std::size_t rest = length + t1::epilogue_size(edc_);
  set_timeouts(gap_ms_, character_ms_, gap_ms_);
  const StatusCode body = session::receive_data(received_.data() + t1::kPrologueSize, static_cast<uint32_t>(rest));
  const std::size_t arrived = std::min<std::size_t>(port_.last_read_count, rest);
  if (card_.inverse_convention != 0) t1::invert(std::span(received_).subspan(t1::kPrologueSize, arrived));
  received_size_ = t1::kPrologueSize + arrived;
  if (body != ST_OK) {
    fault_code_ = RError::other;
    return Outcome::invalid;
  }
  block_ = t1::parse(std::span(received_).first(received_size_), edc_, kHostIfsd);
  if (block_.fault == t1::Fault::none) return Outcome::block;
  fault_code_ = block_.fault == t1::Fault::edc ? RError::edc_or_parity : RError::other;
  return Outcome::invalid;
}

// Reads until the card has been silent for longer than CWT, so that the
// host's next block does not run into the rest of a broken one.
void Exchange::drain() {
  set_timeouts(gap_ms_, 0, gap_ms_);
  for (std::size_t drained = 0; drained < kDrainBlocks * t1::kMaxBlockSize;) {
    session::receive_data(received_.data(), static_cast<uint32_t>(received_.size()));
    const std::size_t count = std::min<std::size_t>(port_.last_read_count, received_.size());
    if (count == 0) return;
    drained += count;
  }
}

bool Exchange::resynchronise() {
  prepare(t1::s_pcb(SKind::resynch, false), {});
  for (int attempt = 0; attempt < kResynchAttempts; ++attempt) {
    drain();
    if (send_last() != ST_OK) continue;
    wtx_ = 0;
    const uint32_t wait = std::max<uint32_t>(card_.block_waiting_time, 1);
    if (receive(wait) == Outcome::block && block_.kind == Kind::s && block_.s_response &&
        block_.s_kind == SKind::resynch) {
      set_ns(0);
      set_nr(0);
      // Whether the card keeps an IFSC it asked for or goes back to its ATR's,
      // blocks no longer than both suit it.
      card_.ifsc = std::min(card_.ifsc, atr::announced_ifsc(card_));
      return true;
    }
  }
  port_.card_active.store(0);
  return false;
}

// Ends an exchange that may have left the two sides out of step.
StatusCode Exchange::fail(StatusCode status) {
  resynchronise();
  return status;
}

// The card aborted: its next block (an R-block handing over the turn) shows
// where its sequence stands; anything else, or nothing, is resynchronised.
StatusCode Exchange::after_abort() {
  const Outcome outcome = receive(block_wait_ms());
  if (outcome == Outcome::block && block_.kind == Kind::r && block_.error == RError::none) {
    set_ns(block_.sequence);
    return ST_BAD_RESPONSE;
  }
  return fail(ST_BAD_RESPONSE);
}

StatusCode Exchange::run() {
  int errors = 0;
  prepare_next_i_block();
  for (;;) {
    if (out_of_time()) return fail(ST_BAD_RESPONSE);
    const StatusCode sent = send_last();
    if (sent != ST_OK) return fail(sent);
    const bool answered_abort = last_[1] == t1::s_pcb(SKind::abort, true);
    if (answered_abort) return after_abort();

    const Outcome outcome = receive(block_wait_ms());
    bool valid = outcome == Outcome::block;
    if (valid) {
      const t1::Parsed& block = block_;
      switch (block.kind) {
        case Kind::i:
          // While the host chains, the card owes an acknowledgement, not an I-block.
          if (chaining_ || block.sequence != nr()) {
            valid = false;
            break;
          }
          if (block.information.size() > response_.size() - appended_) {
            return fail(ST_BAD_RESPONSE);
          }
          if (!block.information.empty()) {
            std::memcpy(response_.data() + appended_, block.information.data(), block.information.size());
          }
          appended_ += block.information.size();
          set_nr(nr() ^ 1);
          errors = 0;
          if (!block.more) return ST_OK;
          prepare_r_block(RError::none);
          continue;
        case Kind::r:
          if (chaining_ && block.sequence == ns()) {
            errors = 0;
            prepare_next_i_block();
            continue;
          }
          // A request to send the last block again, exactly as it went.
          if (++errors >= kAttempts) return fail(ST_BAD_RESPONSE);
          continue;
        case Kind::s:
          if (block.s_response || block.s_kind == SKind::resynch) {
            valid = false;  // only the host asks for these
            break;
          }
          if (block.s_kind == SKind::ifs) card_.ifsc = block.information[0];
          prepare(t1::s_pcb(block.s_kind, true), block.information);
          continue;
      }
      fault_code_ = RError::other;
    }
    // An invalid block, or none: once the line is quiet, ask for it again.
    drain();
    if (++errors >= kAttempts) return fail(ST_BAD_RESPONSE);
    prepare_r_block(fault_code_);
  }
}

}  // namespace

StatusCode t1_transmit(SerialCardSession& session, std::span<const uint8_t> command, std::span<uint8_t> response,
                       std::size_t& length) {
  Exchange exchange(session, command, response.first(std::min(response.size(), kMaxResponseSize)));
  const StatusCode status = exchange.run();
  exchange.restore_timeouts();
  length = exchange.appended();
  return status;
}

}  // namespace kdx::tarsk
