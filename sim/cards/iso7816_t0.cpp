#include "sim/cards/iso7816_t0.h"

#include <utility>

#include "sim/cards/iso7816_card.h"

namespace kdx::sim {
namespace {

constexpr uint8_t kNull = 0x60;
constexpr uint8_t kComplement = 0xFF;
constexpr uint8_t kHighNibble = 0xF0;
constexpr uint8_t kGetResponse = 0xC0;
constexpr std::size_t kHeaderSize = 5;
constexpr uint32_t kMaxLength = 256;
constexpr uint32_t kEndlessNullGapMs = 500;
constexpr unsigned kByteBits = 8;

constexpr uint16_t kResponseWaiting = 0x6100;  // | bytes waiting (00: 256)
constexpr uint16_t kWrongLe = 0x6C00;          // | the length available
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kNoResponse = 0x6985;
constexpr uint16_t kUnknownInstruction = 0x6D00;

enum Header : std::size_t { kCla, kIns, kP1, kP2, kP3 };

// An INS of 6X or 9X would be read as SW1.
bool invalid_ins(uint8_t ins) {
  const uint8_t group = ins & kHighNibble;
  return group == 0x60 || group == 0x90;
}

uint32_t length_of(uint8_t p3) { return p3 == 0 ? kMaxLength : p3; }

}  // namespace

T0CardProtocol::T0CardProtocol(Iso7816Card& card, IsoApplication& application, const T0Behaviour& behaviour)
    : card_(card), application_(application), behaviour_(behaviour) {}

void T0CardProtocol::on_byte(uint8_t byte, uint64_t now_ns) {
  switch (phase_) {
    case Phase::card:
      card_.log_violation(data_.size() < data_total_ ? "T=0: data sent before the procedure byte asked for it"
                                                     : "T=0: a byte sent while the card had the turn");
      return;
    case Phase::header:
      header_.push_back(byte);
      if (header_.size() == kHeaderSize) on_header(now_ns);
      return;
    case Phase::data:
      data_.push_back(byte);
      if (--expected_ != 0) return;
      if (data_.size() == data_total_) {
        on_data_complete(now_ns);
      } else {
        ask_for_data(now_ns);
      }
      return;
  }
}

void T0CardProtocol::on_header(uint64_t now_ns) {
  const uint8_t cla = header_[kCla];
  const uint8_t ins = header_[kIns];
  const uint8_t p3 = header_[kP3];
  data_.clear();
  data_total_ = 0;
  std::vector<Step> steps;
  if (behaviour_.endless_nulls) {
    phase_ = Phase::card;
    endless_nulls(now_ns);
    return;
  }
  std::optional<std::vector<uint8_t>> waiting = std::exchange(waiting_response_, std::nullopt);
  if (invalid_ins(ins)) {
    status(steps, kUnknownInstruction);
  } else if (ins == kGetResponse) {
    waiting_response_ = std::move(waiting);
    get_response(steps, length_of(p3));
  } else {
    using Data = IsoApplication::Data;
    const Data direction = application_.direction(cla, ins);
    if (direction == Data::to_card && p3 != 0) {
      data_total_ = p3;
      ask_for_data(now_ns);
      return;
    }
    CommandApdu command{cla, ins, header_[kP1], header_[kP2], {}, std::nullopt};
    if (direction == Data::from_card) command.le = length_of(p3);
    const ResponseApdu answer =
        direction == Data::none && p3 != 0 ? ResponseApdu{{}, kWrongLength} : application_.process(command);
    work(steps, answer.work_ms);
    if (direction != Data::from_card || answer.data.empty()) {
      status(steps, answer.sw);
    } else if (answer.data.size() != *command.le) {
      // T=0 moves exactly Le bytes: a shorter answer is a wrong Le.
      status(steps, static_cast<uint16_t>(kWrongLe | (answer.data.size() & 0xFF)));
    } else {
      response(steps, answer.data, answer.sw);
    }
  }
  play(steps, now_ns, 0);
}

void T0CardProtocol::on_data_complete(uint64_t now_ns) {
  // The card cannot tell case 3 from case 4: it answers as to the longest
  // Le and keeps any data for a GET RESPONSE.
  CommandApdu command{header_[kCla], header_[kIns], header_[kP1], header_[kP2], data_, kMaxLength};
  const ResponseApdu answer = application_.process(command);
  std::vector<Step> steps;
  work(steps, answer.work_ms);
  if (answer.data.empty()) {
    status(steps, answer.sw);
  } else {
    // Case 4: the response waits for a GET RESPONSE.
    status(steps, static_cast<uint16_t>(kResponseWaiting | (answer.data.size() & 0xFF)));
    waiting_response_ = answer.data;
  }
  play(steps, now_ns, 0);
}

void T0CardProtocol::ask_for_data(uint64_t now_ns) {
  uint8_t ack = 0;
  const std::size_t count = next_ack(data_.size(), data_total_, ack);
  std::vector<Step> steps;
  procedure(steps, ack);
  play(steps, now_ns, count);
}

std::size_t T0CardProtocol::next_ack(std::size_t moved, std::size_t total, uint8_t& byte) const {
  const uint8_t ins = behaviour_.vpp_acks ? static_cast<uint8_t>(header_[kIns] + 1) : header_[kIns];
  const bool one = behaviour_.acks == T0Acks::one_by_one || (behaviour_.acks == T0Acks::mixed && moved == 0);
  byte = one ? static_cast<uint8_t>(ins ^ kComplement) : ins;
  return one ? 1 : total - moved;
}

void T0CardProtocol::procedure(std::vector<Step>& steps, uint8_t byte) const {
  for (unsigned i = 0; i < behaviour_.nulls; ++i) steps.push_back(Step{0, kNull});
  steps.push_back(Step{0, byte});
}

// The command's work: silence, or NULLs every keepalive_ms, then the answer.
void T0CardProtocol::work(std::vector<Step>& steps, uint32_t application_ms) const {
  uint64_t left_ns = (uint64_t{behaviour_.work_ms} + application_ms) * kNsPerMs;
  if (behaviour_.keepalive_ms != 0) {
    const uint64_t gap_ns = behaviour_.keepalive_ms * kNsPerMs;
    for (; left_ns > gap_ns; left_ns -= gap_ns) steps.push_back(Step{gap_ns, kNull});
  }
  if (left_ns != 0) steps.push_back(Step{left_ns, 0, false});
}

void T0CardProtocol::status(std::vector<Step>& steps, uint16_t sw) const {
  procedure(steps, static_cast<uint8_t>(sw >> kByteBits));
  steps.push_back(Step{0, static_cast<uint8_t>(sw & 0xFF)});
}

void T0CardProtocol::response(std::vector<Step>& steps, const std::vector<uint8_t>& data, uint16_t sw) const {
  std::size_t moved = 0;
  while (moved < data.size()) {
    uint8_t ack = 0;
    const std::size_t count = next_ack(moved, data.size(), ack);
    procedure(steps, ack);
    for (std::size_t i = 0; i < count; ++i) steps.push_back(Step{0, data[moved + i]});
    moved += count;
  }
  status(steps, sw);
}

void T0CardProtocol::get_response(std::vector<Step>& steps, uint32_t le) {
  if (!waiting_response_) return status(steps, kNoResponse);
  std::vector<uint8_t>& waiting = *waiting_response_;
  if (le > waiting.size()) return status(steps, static_cast<uint16_t>(kWrongLe | (waiting.size() & 0xFF)));
  const std::vector<uint8_t> part(waiting.begin(), waiting.begin() + le);
  waiting.erase(waiting.begin(), waiting.begin() + le);
  const std::size_t left = waiting.size();
  if (left == 0) waiting_response_.reset();
  response(steps, part, left == 0 ? 0x9000 : static_cast<uint16_t>(kResponseWaiting | (left & 0xFF)));
}

void T0CardProtocol::play(const std::vector<Step>& steps, uint64_t now_ns, std::size_t allowed) {
  phase_ = Phase::card;
  card_.play(steps, now_ns, [this, allowed] {
    if (allowed != 0) {
      phase_ = Phase::data;
      expected_ = allowed;
    } else {
      phase_ = Phase::header;
      header_.clear();
    }
  });
}

void T0CardProtocol::endless_nulls(uint64_t now_ns) {
  const uint32_t gap_ms = behaviour_.keepalive_ms != 0 ? behaviour_.keepalive_ms : kEndlessNullGapMs;
  card_.play({Step{gap_ms * kNsPerMs, kNull}}, now_ns, [this] { endless_nulls(card_.now_ns()); });
}

}  // namespace kdx::sim
