#include "sim/cards/iso7816_pps.h"

#include <bit>

#include "sim/cards/iso7816_card.h"

namespace kdx::sim {
namespace {

constexpr uint8_t kPpss = 0xFF;
constexpr uint8_t kPps1Follows = 0x10;
constexpr uint8_t kOptionalBytes = 0x70;
constexpr uint8_t kLowNibble = 0x0F;
constexpr unsigned kFiShift = 4;
constexpr std::size_t kHeadSize = 2;
constexpr uint8_t kDefaultFactors = 0x11;

constexpr const uint32_t (&kFi)[16] = kIsoFi;
constexpr const uint32_t (&kDi)[16] = kIsoDi;
constexpr uint32_t kDefaultFi = 372;

std::size_t size_of(uint8_t pps0) {
  return kHeadSize + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(pps0 & kOptionalBytes))) + 1;
}

uint8_t xor_of(const std::vector<uint8_t>& bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum ^ b);
  return sum;
}

}  // namespace

PpsCardSide::PpsCardSide(Iso7816Card& card, PpsBehaviour behaviour, PpsCapabilities capabilities)
    : card_(card), behaviour_(behaviour), capabilities_(capabilities) {}

void PpsCardSide::on_byte(uint8_t byte, uint64_t now_ns) {
  if (finished_) return;
  request_.push_back(byte);
  if (request_.size() < kHeadSize || request_.size() < size_of(request_[1])) return;
  finished_ = true;
  on_request(now_ns);
}

bool PpsCardSide::can_run_at(uint8_t pps1) const {
  if (pps1 == kDefaultFactors) return true;
  const uint32_t fi = kFi[pps1 >> kFiShift];
  const uint32_t di = kDi[pps1 & kLowNibble];
  if (fi == 0 || di == 0 || !capabilities_.ta1) return false;
  const uint32_t own_fi = kFi[*capabilities_.ta1 >> kFiShift];
  const uint32_t own_di = kDi[*capabilities_.ta1 & kLowNibble];
  return (fi == kDefaultFi || fi == own_fi) && di <= own_di;
}

void PpsCardSide::on_request(uint64_t now_ns) {
  const uint8_t pps0 = request_[1];
  const unsigned t = pps0 & kLowNibble;
  if (capabilities_.specific_mode) {
    card_.log_violation("PPS: a request to a card in its specific mode");
    return card_.go_mute();
  }
  if (xor_of(request_) != 0) {
    card_.log_violation("PPS: a request with a wrong PCK");
    return card_.go_mute();
  }
  if (t > 1 || (capabilities_.protocols & (1u << t)) == 0) {
    card_.log_violation("PPS: a request for a protocol the card does not offer");
    return card_.go_mute();
  }
  if (behaviour_.answer == PpsAnswer::silent) return card_.go_mute();

  const bool pps1_asked = (pps0 & kPps1Follows) != 0;
  const bool accepted = behaviour_.answer == PpsAnswer::accept && pps1_asked && can_run_at(request_[2]);
  std::vector<uint8_t> answer{kPpss, static_cast<uint8_t>(t | (accepted ? kPps1Follows : 0))};
  if (accepted) answer.push_back(request_[2]);
  answer.push_back(xor_of(answer));
  std::vector<CardStep> steps;
  for (uint8_t b : answer) steps.push_back(CardStep{0, b});
  std::optional<uint32_t> rate;
  if (accepted) {
    const uint8_t pps1 = request_[2];
    rate = static_cast<uint32_t>(static_cast<uint64_t>(kDi[pps1 & kLowNibble]) * Iso7816Card::kClockHz /
                                 kFi[pps1 >> kFiShift]);
  }
  card_.play(steps, now_ns, [this, t, rate] { card_.run_after_pps(t, rate); });
}

}  // namespace kdx::sim
