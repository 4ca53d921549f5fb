#include "sim/cards/iso7816_t1.h"

#include <algorithm>
#include <cstdio>

namespace kdx::sim {
namespace {

constexpr std::size_t kPrologue = 3;
constexpr uint8_t kNad = 0x00;
constexpr uint8_t kReservedLen = 0xFF;
constexpr uint8_t kDefaultIfs = 32;
constexpr unsigned kDefaultCwi = 13;
constexpr unsigned kDefaultBwi = 4;

// PCB.
constexpr uint8_t kIMask = 0x80;
constexpr uint8_t kTypeMask = 0xC0;
constexpr uint8_t kR = 0x80;
constexpr uint8_t kINs = 0x40;
constexpr uint8_t kIMore = 0x20;
constexpr uint8_t kIReserved = 0x1F;
constexpr uint8_t kRNr = 0x10;
constexpr uint8_t kRReserved = 0x20;
constexpr uint8_t kRCode = 0x0F;
constexpr uint8_t kSResponse = 0x20;
constexpr uint8_t kResynchRequest = 0xC0;
constexpr uint8_t kIfsRequest = 0xC1;
constexpr uint8_t kAbortRequest = 0xC2;
constexpr uint8_t kWtxRequest = 0xC3;
constexpr uint8_t kIfsResponse = kIfsRequest | kSResponse;
constexpr uint8_t kWtxResponse = kWtxRequest | kSResponse;
constexpr uint8_t kAbortResponse = kAbortRequest | kSResponse;
constexpr uint8_t kResynchResponse = kResynchRequest | kSResponse;
constexpr uint8_t kErrorNone = 0;
constexpr uint8_t kErrorEdc = 1;
constexpr uint8_t kErrorOther = 2;

constexpr uint64_t kBgtEtu = 22;
constexpr uint64_t kCharacterEtu = 11;
constexpr uint64_t kWorkEtuPerBwiUnit = 960 * 372;  // 2^BWI x 960 x Fd / f
constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint8_t kLongestWtx = 255;
// A late block begins this long after BWT.
constexpr uint64_t kLateNs = 3 * kNsPerMs;
constexpr uint16_t kWrongLength = 0x6700;  // a command APDU of none of the cases
// What a card that answers in time leaves of BWT, and of a granted wait.
constexpr unsigned kWorkShareOfBwtPercent = 50;

// ATR reading: levels 1 to 3 of the interface bytes.
struct OwnT1 {
  std::optional<uint8_t> ta3, tb3, tc3;
};
OwnT1 read_atr(const std::vector<uint8_t>& atr) {
  OwnT1 own;
  if (atr.size() < 2) return own;
  std::size_t index = 2;
  uint8_t indicator = atr[1];
  for (unsigned level = 1; level <= 3; ++level) {
    std::optional<uint8_t> td;
    for (unsigned k = 0; k < 4; ++k) {
      if ((indicator & (0x10u << k)) == 0) continue;
      if (index >= atr.size()) return own;
      const uint8_t value = atr[index++];
      if (level == 3 && k == 0) own.ta3 = value;
      if (level == 3 && k == 1) own.tb3 = value;
      if (level == 3 && k == 2) own.tc3 = value;
      if (k == 3) td = value;
    }
    if (!td) return own;
    indicator = *td;
  }
  return own;
}

uint8_t lrc(const std::vector<uint8_t>& bytes, std::size_t count) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum ^= bytes[i];
  return sum;
}

uint16_t crc(const std::vector<uint8_t>& bytes, std::size_t count) {
  uint16_t value = 0xFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    value = static_cast<uint16_t>(value ^ (bytes[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 0x8000) != 0 ? static_cast<uint16_t>((value << 1) ^ 0x1021) : static_cast<uint16_t>(value << 1);
    }
  }
  return value;
}

std::string hex(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

}  // namespace

Iso7816T1::Iso7816T1(Iso7816Card& card, T1CardConfig config)
    : card_(card), config_(config), application_(card.application()) {
  const OwnT1 own = read_atr(card.config().atr);
  if (own.ta3 && *own.ta3 != 0 && *own.ta3 != kReservedLen) atr_ifsc_ = *own.ta3;
  crc_ = own.tc3 && (*own.tc3 & 1u) != 0;
  const unsigned cwi = own.tb3 ? (*own.tb3 & 0x0Fu) : kDefaultCwi;
  const unsigned bwi = own.tb3 ? (*own.tb3 >> 4) : kDefaultBwi;
  etu_ns_ = card.etu_ns();
  character_ns_ = character_time_ns(card.framing());
  cwt_ns_ = (kCharacterEtu + (uint64_t{1} << cwi)) * etu_ns_;
  bwt_ns_ = kCharacterEtu * etu_ns_ + (uint64_t{1} << bwi) * kWorkEtuPerBwiUnit * kNsPerSecond / Iso7816Card::kClockHz;
  reset_protocol();
}

void Iso7816T1::reset_protocol() {
  ifsc_ = atr_ifsc_;
  ifsd_ = kDefaultIfs;
  ns_ = nr_ = 0;
  receiving_.clear();
  card_turn_ = false;
  last_.clear();
  last_is_i_ = chaining_ = sent_any_ = false;
  awaiting_ = Awaiting::nothing;
  command_.clear();
  response_.clear();
  response_sent_ = 0;
  work_left_ns_ = 0;
  held_.clear();
}

void Iso7816T1::on_reset() {
  reset_protocol();
  mute_ = false;
  ifs_asked_ = false;
}

void Iso7816T1::inject(T1Fault fault, unsigned nth, std::vector<uint8_t> block) {
  injected_.push_back({blocks_sent_ + nth, fault, std::move(block)});
}

void Iso7816T1::reject_host_block(unsigned nth) { rejected_.push_back(host_blocks_.size() + nth); }

void Iso7816T1::set_bit_error_rate(double probability, uint32_t seed) {
  bit_error_rate_ = probability;
  random_.seed(seed);
}

void Iso7816T1::on_character(uint8_t byte, uint64_t now_ns) {
  const uint64_t began = now_ns - character_ns_;
  if (card_turn_ || began < line_free_ns_) {
    card_.log_violation("host sent " + hex(byte) + " while the card had the turn");
    return;
  }
  if (receiving_.empty() && sent_any_ && began < line_free_ns_ - character_ns_ + kBgtEtu * etu_ns_) {
    card_.log_violation("host block began within BGT of the card's last character");
  }
  last_character_ns_ = now_ns;
  receiving_.push_back(byte);
  ++received_characters_;
  const std::size_t epilogue = crc_ ? 2 : 1;
  if (receiving_.size() >= kPrologue && receiving_[2] != kReservedLen &&
      receiving_.size() == kPrologue + receiving_[2] + epilogue) {
    std::vector<uint8_t> block;
    block.swap(receiving_);
    card_turn_ = true;
    process(block, now_ns);
    return;
  }
  check_gap(received_characters_);
}

// A host block whose next character does not begin within CWT has ended.
void Iso7816T1::check_gap(std::size_t characters) {
  const uint64_t at = last_character_ns_ - character_ns_ + cwt_ns_ + etu_ns_;
  card_.schedule(at, [this, characters, at] {
    if (received_characters_ != characters || receiving_.empty()) return;
    const bool reserved_len = receiving_.size() >= kPrologue && receiving_[2] == kReservedLen;
    receiving_.clear();
    card_turn_ = true;
    invalid(reserved_len ? "host block with LEN 255" : "host block stopped short (gap longer than CWT)", kErrorOther, at);
  });
}

uint64_t Iso7816T1::answer_time(uint64_t now_ns) const { return now_ns - character_ns_ + kBgtEtu * etu_ns_; }

bool Iso7816T1::edc_ok(const std::vector<uint8_t>& block) const {
  const std::size_t body = block.size() - (crc_ ? 2 : 1);
  if (!crc_) return lrc(block, body) == block[body];
  return crc(block, body) == static_cast<uint16_t>(block[body] << 8 | block[body + 1]);
}

void Iso7816T1::invalid(const std::string& fault, uint8_t error, uint64_t now_ns) {
  card_.log_violation(fault);
  ask_again(error, now_ns);
}

// An R-block with an error code. The block it asks for stays what the
// card's protocol state was before (its chain, its last block).
void Iso7816T1::ask_again(uint8_t error, uint64_t now_ns) {
  const std::vector<uint8_t> last = last_;
  const bool last_is_i = last_is_i_;
  send(static_cast<uint8_t>(kR | (nr_ != 0 ? kRNr : 0) | error), {}, answer_time(now_ns));
  if (!last.empty()) {
    last_ = last;
    last_is_i_ = last_is_i;
  }
}

void Iso7816T1::process(const std::vector<uint8_t>& block, uint64_t now_ns) {
  host_blocks_.push_back(block);
  if (std::find(rejected_.begin(), rejected_.end(), host_blocks_.size()) != rejected_.end()) {
    ask_again(kErrorEdc, now_ns);
    return;
  }
  if (!edc_ok(block)) return invalid("wrong EDC in a host block", kErrorEdc, now_ns);
  if (block[0] != kNad) return invalid("host block with NAD " + hex(block[0]), kErrorOther, now_ns);
  if (!held_.empty()) {
    // The host has answered an inserted block; now the real one follows.
    std::vector<uint8_t> real;
    real.swap(held_);
    send_block(std::move(real), answer_time(now_ns));
    return;
  }
  const uint8_t pcb = block[1];
  std::vector<uint8_t> information(block.begin() + kPrologue, block.begin() + kPrologue + block[2]);
  if ((pcb & kIMask) == 0) return on_i_block(pcb, std::move(information), now_ns);
  if ((pcb & kTypeMask) == kR) {
    if (!information.empty()) return invalid("R-block with LEN " + std::to_string(information.size()), kErrorOther, now_ns);
    return on_r_block(pcb, now_ns);
  }
  on_s_block(pcb, information, now_ns);
}

void Iso7816T1::on_i_block(uint8_t pcb, std::vector<uint8_t> information, uint64_t now_ns) {
  if ((pcb & kIReserved) != 0) return invalid("I-block with reserved PCB bits: " + hex(pcb), kErrorOther, now_ns);
  if (information.size() > ifsc_) {
    return invalid("I-block of " + std::to_string(information.size()) + " bytes, longer than IFSC " +
                       std::to_string(ifsc_),
                   kErrorOther, now_ns);
  }
  if (awaiting_ != Awaiting::nothing) return invalid("I-block where an S-block response was due", kErrorOther, now_ns);
  if (chaining_) return invalid("I-block while the card's chain was not acknowledged", kErrorOther, now_ns);
  const uint8_t ns = (pcb & kINs) != 0 ? 1 : 0;
  if (ns != nr_) return invalid("I-block with N(S) " + std::to_string(ns) + ", expected " + std::to_string(nr_), kErrorOther, now_ns);
  nr_ ^= 1;
  command_.insert(command_.end(), information.begin(), information.end());
  if ((pcb & kIMore) != 0) {
    send(static_cast<uint8_t>(kR | (nr_ != 0 ? kRNr : 0)), {}, answer_time(now_ns));
    return;
  }
  run_command(now_ns);
}

void Iso7816T1::on_r_block(uint8_t pcb, uint64_t now_ns) {
  if ((pcb & kRReserved) != 0 || (pcb & kRCode) > kErrorOther) {
    return invalid("R-block with reserved PCB bits: " + hex(pcb), kErrorOther, now_ns);
  }
  const uint8_t nr = (pcb & kRNr) != 0 ? 1 : 0;
  if (!sent_any_) return invalid("R-block before the card sent any block", kErrorOther, now_ns);
  if (chaining_ && nr == ns_ && (pcb & kRCode) == kErrorNone) {
    chaining_ = false;
    send_chunk(answer_time(now_ns));
    return;
  }
  // Not an acknowledgement: the host asks for the last block again. A host
  // that received nothing valid names the N(S) it expects.
  const uint8_t last_ns = static_cast<uint8_t>(ns_ ^ 1);
  const uint8_t expected = last_is_i_ ? last_ns : ns_;
  if (nr != expected) {
    card_.log_violation("R-block with N(R) " + std::to_string(nr) + ", expected " + std::to_string(expected));
  }
  send_block(last_, answer_time(now_ns));
}

void Iso7816T1::on_s_block(uint8_t pcb, const std::vector<uint8_t>& information, uint64_t now_ns) {
  const auto wants = [&](std::size_t length) { return information.size() == length; };
  switch (pcb) {
    case kResynchRequest:
      if (!wants(0)) return invalid("S(RESYNCH request) with LEN", kErrorOther, now_ns);
      reset_protocol();
      ++resynchronisations_;
      send(kResynchResponse, {}, answer_time(now_ns));
      return;
    case kIfsRequest:
      if (!wants(1) || information[0] == 0 || information[0] == kReservedLen) {
        return invalid("S(IFS request) without a valid IFSD", kErrorOther, now_ns);
      }
      ifsd_ = information[0];
      send(kIfsResponse, information, answer_time(now_ns));
      return;
    case kAbortRequest:
      if (!wants(0)) return invalid("S(ABORT request) with LEN", kErrorOther, now_ns);
      command_.clear();
      response_.clear();
      chaining_ = false;
      awaiting_ = Awaiting::nothing;
      send(kAbortResponse, {}, answer_time(now_ns));
      return;
    case kIfsResponse:
      if (awaiting_ != Awaiting::ifs_response || !wants(1) || information[0] != asked_value_) break;
      awaiting_ = Awaiting::nothing;
      ifsc_ = asked_value_;
      continue_response(answer_time(now_ns));
      return;
    case kWtxResponse:
      if (awaiting_ != Awaiting::wtx_response || !wants(1) || information[0] != asked_value_) break;
      awaiting_ = Awaiting::nothing;
      on_time_granted(now_ns);
      return;
    case kAbortResponse:
      if (awaiting_ != Awaiting::abort_response || !wants(0)) break;
      awaiting_ = Awaiting::nothing;
      // The turn goes back to the host: an R-block naming the N(S) expected.
      send(static_cast<uint8_t>(kR | (nr_ != 0 ? kRNr : 0)), {}, answer_time(now_ns));
      return;
    default:
      break;
  }
  invalid("S-block " + hex(pcb) + " the card did not expect", kErrorOther, now_ns);
}

void Iso7816T1::run_command(uint64_t now_ns) {
  commands_.push_back(command_);
  const std::optional<CommandApdu> command = parse_command(command_);
  const ResponseApdu answer = command ? application_.process(*command) : ResponseApdu{{}, kWrongLength};
  command_.clear();
  response_ = answer.bytes();
  response_sent_ = 0;
  work_left_ns_ = uint64_t{answer.work_ms} * kNsPerMs;
  continue_response(answer_time(now_ns));
}

// The steps between a command and its response: an IFS request of the
// card's own, waiting-time extensions while it works, then the response.
void Iso7816T1::continue_response(uint64_t at_ns) {
  if (config_.ifs_request && !ifs_asked_) {
    ifs_asked_ = true;
    asked_value_ = *config_.ifs_request;
    awaiting_ = Awaiting::ifs_response;
    send(kIfsRequest, {asked_value_}, at_ns);
    return;
  }
  work_or_answer(at_ns);
}

// More time asked for while the work left is more than the card may take
// of BWT; else the response once the work is done.
void Iso7816T1::work_or_answer(uint64_t at_ns) {
  if (config_.endless_wtx || work_left_ns_ > work_share_ns()) {
    ask_for_time(at_ns);
    return;
  }
  send_chunk(at_ns + work_left_ns_);
  work_left_ns_ = 0;
}

uint64_t Iso7816T1::work_share_ns() const { return bwt_ns_ * kWorkShareOfBwtPercent / 100; }

// S(WTX request) for the work left, or for as much of it as the longest
// extension covers.
void Iso7816T1::ask_for_time(uint64_t at_ns) {
  const uint64_t share = work_share_ns();
  const uint64_t wanted = work_left_ns_ / share + 1;
  const uint8_t multiplier = static_cast<uint8_t>(std::min<uint64_t>(wanted, kLongestWtx));
  grant_ns_ = std::min<uint64_t>(work_left_ns_, multiplier * share);
  if (config_.endless_wtx) grant_ns_ = multiplier * share;
  asked_value_ = multiplier;
  awaiting_ = Awaiting::wtx_response;
  send(kWtxRequest, {multiplier}, at_ns);
}

// The host granted the time: the card works through it, then asks again or
// answers.
void Iso7816T1::on_time_granted(uint64_t now_ns) {
  work_left_ns_ -= std::min(work_left_ns_, grant_ns_);
  work_or_answer(now_ns + grant_ns_);
}

void Iso7816T1::send_chunk(uint64_t at_ns) {
  if (config_.endless_chain) response_.resize(response_sent_ + ifsd_ + 1, 0xEC);
  const std::size_t left = response_.size() - response_sent_;
  const std::size_t length = std::min<std::size_t>(left, ifsd_);
  const bool more = left > length;
  std::vector<uint8_t> information(response_.begin() + static_cast<std::ptrdiff_t>(response_sent_),
                                   response_.begin() + static_cast<std::ptrdiff_t>(response_sent_ + length));
  response_sent_ += length;
  const uint8_t pcb = static_cast<uint8_t>((ns_ != 0 ? kINs : 0) | (more ? kIMore : 0));
  ns_ ^= 1;
  chaining_ = more;
  last_is_i_ = true;
  send_block(frame(pcb, information), at_ns);
}

std::vector<uint8_t> Iso7816T1::frame(uint8_t pcb, const std::vector<uint8_t>& information) const {
  std::vector<uint8_t> block(kPrologue + information.size());
  block[0] = kNad;
  block[1] = pcb;
  block[2] = static_cast<uint8_t>(information.size());
  std::copy(information.begin(), information.end(), block.begin() + kPrologue);
  if (crc_) {
    const uint16_t value = crc(block, block.size());
    block.push_back(static_cast<uint8_t>(value >> 8));
    block.push_back(static_cast<uint8_t>(value & 0xFF));
  } else {
    block.push_back(lrc(block, block.size()));
  }
  return block;
}

void Iso7816T1::send(uint8_t pcb, std::vector<uint8_t> information, uint64_t at_ns) {
  last_is_i_ = false;
  send_block(frame(pcb, information), at_ns);
}

void Iso7816T1::send_block(std::vector<uint8_t> block, uint64_t at_ns) {
  last_ = block;
  sent_any_ = true;
  const unsigned number = ++blocks_sent_;
  std::vector<uint8_t> wire = block;
  for (const Injected& fault : injected_) {
    if (fault.block != number) continue;
    switch (fault.fault) {
      case T1Fault::corrupt_edc:
        wire.back() ^= 0x01;
        break;
      case T1Fault::drop_byte:
        wire.pop_back();
        break;
      case T1Fault::late:
        at_ns += bwt_ns_ + kLateNs;
        break;
      case T1Fault::mute:
        mute_ = true;
        break;
      case T1Fault::insert_raw:
        held_ = block;
        wire = fault.bytes;
        break;
      case T1Fault::insert_block:
        wire = frame(fault.bytes.at(0), std::vector<uint8_t>(fault.bytes.begin() + 1, fault.bytes.end()));
        if (fault.bytes[0] == kAbortRequest) {
          // The card gives up its chain (the I-block it stands for never
          // goes out) and waits for the host's consent.
          if ((block[1] & kIMask) == 0) ns_ ^= 1;
          response_.clear();
          chaining_ = last_is_i_ = false;
          awaiting_ = Awaiting::abort_response;
          last_ = wire;
        } else {
          held_ = block;
        }
        break;
    }
  }
  if (bit_error_rate_ > 0) {
    std::bernoulli_distribution flip(bit_error_rate_);
    for (uint8_t& byte : wire) {
      for (unsigned bit = 0; bit < 8; ++bit) {
        if (flip(random_)) byte = static_cast<uint8_t>(byte ^ (1u << bit));
      }
    }
  }
  card_blocks_.push_back(block);
  if (mute_) {
    card_turn_ = false;
    return;
  }
  card_turn_ = true;
  const uint64_t start = std::max(at_ns, line_free_ns_);
  line_free_ns_ = card_.transmit(std::move(wire), start);
  card_.schedule(line_free_ns_, [this] { card_turn_ = false; });
}

CardProtocolFactory t1_protocol(T1CardConfig config) {
  return [config](Iso7816Card& card) -> std::unique_ptr<CardProtocol> {
    return std::make_unique<Iso7816T1>(card, config);
  };
}

std::vector<uint8_t> t1_atr(uint8_t ifsc, uint8_t tb3, bool crc, uint8_t guard, const std::vector<uint8_t>& historical) {
  constexpr uint8_t kTd = 0x80, kTc = 0x40, kTb = 0x20, kTa = 0x10, kT1 = 0x01;
  std::vector<uint8_t> atr{0x3B, static_cast<uint8_t>(kTd | (guard != 0 ? kTc : 0) | (historical.size() & 0x0F))};
  if (guard != 0) atr.push_back(guard);
  atr.push_back(kTd | kT1);                                           // TD1: TD2 follows, T=1
  atr.push_back(static_cast<uint8_t>(kTa | kTb | (crc ? kTc : 0) | kT1));  // TD2: TA3 TB3 [TC3], T=1
  atr.push_back(ifsc);
  atr.push_back(tb3);
  if (crc) atr.push_back(0x01);
  atr.insert(atr.end(), historical.begin(), historical.end());
  uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

}  // namespace kdx::sim
