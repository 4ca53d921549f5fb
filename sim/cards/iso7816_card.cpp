#include "sim/cards/iso7816_card.h"

#include <algorithm>

namespace kdx::sim {
namespace {

constexpr uint8_t kTsInverse = 0x3F;
constexpr uint8_t kPpss = 0xFF;
constexpr uint64_t kTurnaroundEtu = 16;
constexpr uint64_t kCharacterEtu = 12;
constexpr uint8_t kTaFollows = 0x10;
constexpr uint8_t kLowNibble = 0x0F;
constexpr unsigned kFiShift = 4;
constexpr unsigned kBytesPerLevel = 4;  // TAi, TBi, TCi, TDi
constexpr unsigned kTdPosition = 3;
constexpr unsigned kProtocolT0 = 0;
constexpr unsigned kProtocolT1 = 1;
constexpr uint8_t kShortestGuardTime = 255;
constexpr uint8_t kDataBits = 8;
constexpr uint64_t kNsPerSecond = 1'000'000'000;

constexpr const uint32_t (&kFi)[16] = kIsoFi;
constexpr const uint32_t (&kDi)[16] = kIsoDi;

// What the card's own ATR says about the way it runs.
struct OwnInterface {
  std::optional<uint8_t> ta1, tc1, ta2;
  unsigned first_protocol = 0;
  uint32_t protocols = 0;  // bit T for every protocol T a TD byte names
};

OwnInterface read_own_atr(const std::vector<uint8_t>& atr) {
  OwnInterface own;
  if (atr.size() < 2) return own;
  std::size_t index = 2;
  uint8_t indicator = atr[1];
  for (unsigned level = 1;; ++level) {
    std::optional<uint8_t> td;
    for (unsigned k = 0; k < kBytesPerLevel; ++k) {
      if ((indicator & (kTaFollows << k)) == 0) continue;
      if (index >= atr.size()) return own;
      const uint8_t value = atr[index++];
      if (level == 1 && k == 0) own.ta1 = value;
      if (level == 1 && k == 2) own.tc1 = value;
      if (level == 2 && k == 0) own.ta2 = value;
      if (k == kTdPosition) td = value;
    }
    if (!td) {
      if (level == 1) own.protocols |= 1u;  // no TD1: T=0 only
      return own;
    }
    if (level == 1) own.first_protocol = *td & kLowNibble;
    own.protocols |= 1u << (*td & kLowNibble);
    indicator = *td;
  }
}

uint32_t own_rate(const OwnInterface& own) {
  if (!own.ta1 || !own.ta2) return Iso7816Card::kInitialRate;
  const uint32_t fi = kFi[*own.ta1 >> kFiShift];
  const uint32_t di = kDi[*own.ta1 & kLowNibble];
  if (fi == 0 || di == 0) return Iso7816Card::kInitialRate;
  return static_cast<uint32_t>(static_cast<uint64_t>(di) * Iso7816Card::kClockHz / fi);
}

}  // namespace

uint8_t Iso7816Card::inverse(uint8_t byte) {
  uint8_t result = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (((byte >> bit) & 1u) == 0) result = static_cast<uint8_t>(result | (0x80u >> bit));
  }
  return result;
}

Iso7816Card::Iso7816Card(Iso7816CardConfig config) : config_(std::move(config)) {
  const bool inverse_ts = !config_.atr.empty() && config_.atr[0] == kTsInverse;
  convention_ = config_.convention.value_or(inverse_ts ? Convention::inverse : Convention::direct);
  const uint8_t parity = convention_ == Convention::inverse ? KDX_PARITY_ODD : KDX_PARITY_EVEN;
  atr_framing_ = CardFraming{kInitialRate, parity, KDX_STOPBITS_TWO};
  const OwnInterface own = read_own_atr(config_.atr);
  const bool shortest_guard = own.first_protocol == kProtocolT1 && own.tc1 == kShortestGuardTime;
  const uint8_t stop_bits = shortest_guard ? KDX_STOPBITS_ONE : KDX_STOPBITS_TWO;
  initial_framing_ = CardFraming{own_rate(own), parity, stop_bits};
  framing_ = initial_framing_;
  first_protocol_ = own.first_protocol;
  capabilities_ = PpsCapabilities{own.ta1, own.ta1.has_value() && own.ta2.has_value(), own.protocols};
  application_ = config_.application ? config_.application : std::make_shared<SampleApplication>();
  if (config_.protocol) protocol_ = config_.protocol(*this);
}

void Iso7816Card::on_inserted(CardLine& line, uint64_t) {
  line_ = &line;
  state_ = State::held_in_reset;
}

void Iso7816Card::on_removed(uint64_t) {
  line_ = nullptr;
  state_ = State::held_in_reset;
  if (protocol_) protocol_->on_reset();
}

void Iso7816Card::on_reset(bool held, uint64_t now_ns) {
  if (held) {
    state_ = State::held_in_reset;
    if (protocol_) protocol_->on_reset();
    return;
  }
  answer_to_reset(now_ns);
}

void Iso7816Card::answer_to_reset(uint64_t now_ns) {
  ++answers_;
  framing_ = initial_framing_;
  protocol_in_force_ = first_protocol_;
  first_character_ = true;
  rate_before_pps_.reset();
  pps_.reset();
  t0_ = std::make_unique<T0CardProtocol>(*this, *application_, config_.t0);
  application_->on_reset();
  if (config_.atr.empty()) {
    state_ = State::mute;
    return;
  }
  state_ = State::answering;
  const std::span<const uint8_t> atr(config_.atr);
  const uint64_t character = character_time_ns(atr_framing_);
  uint64_t at = now_ns + static_cast<uint64_t>(config_.answer_delay_clocks) * kNsPerSecond / kClockHz;
  std::size_t begin = 0;
  const auto send_chunk = [&](std::size_t end) {
    if (end <= begin) return;
    line_->schedule(at, [this, chunk = atr.subspan(begin, end - begin)] { send_characters(chunk, atr_framing_); });
    at += (end - begin) * character;
    begin = end;
  };
  for (const AtrPause& pause : config_.pauses) {
    if (pause.after <= begin || pause.after >= atr.size()) continue;
    send_chunk(pause.after);
    at += pause.ms * kNsPerMs;
  }
  send_chunk(atr.size());
  wire_busy_until_ns_ = at;
  line_->schedule(at, [this] { state_ = State::idle; });
}

bool Iso7816Card::understands(const LineSettings& settings) const {
  return settings.byte_size == kDataBits && rates_match(settings.baud_rate, framing_.baud_rate) &&
         settings.parity == framing_.parity && settings.stop_bits == framing_.stop_bits;
}

void Iso7816Card::on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t now_ns) {
  if (state_ != State::idle || !understands(settings)) {
    if (state_ == State::idle && rate_before_pps_ && rates_match(settings.baud_rate, *rate_before_pps_)) {
      log_violation("PPS: a host byte at the rate in force before the exchange");
    }
    ++garbled_;
    return;
  }
  on_character(convention_ == Convention::inverse ? inverse(byte) : byte, now_ns);
}

void Iso7816Card::on_character(uint8_t byte, uint64_t now_ns) {
  heard_.push_back(byte);
  if (first_character_ && byte == kPpss) pps_ = std::make_unique<PpsCardSide>(*this, config_.pps, capabilities_);
  first_character_ = false;
  if (pps_ && !pps_->finished()) return pps_->on_byte(byte, now_ns);
  if (protocol_in_force_ == kProtocolT0 && t0_) return t0_->on_byte(byte, now_ns);
  if (protocol_) protocol_->on_character(byte, now_ns);
}

void Iso7816Card::play(const std::vector<CardStep>& steps, uint64_t now_ns, std::function<void()> done) {
  if (line_ == nullptr) return;
  const uint64_t character = character_time_ns(framing_);
  // ISO/IEC 7816-3: at least 16 etu between a character and the next one
  // in the other direction.
  uint64_t at = std::max(now_ns + character * kTurnaroundEtu / kCharacterEtu, wire_busy_until_ns_);
  for (const CardStep& step : steps) {
    at += step.pause_ns;
    if (!step.sends) continue;
    line_->schedule(at, [this, byte = step.byte] {
      const uint8_t one[] = {byte};
      send_characters(one, framing_);
    });
    at += character;
  }
  wire_busy_until_ns_ = at;
  line_->schedule(at, std::move(done));
}

uint64_t Iso7816Card::now_ns() const { return line_ != nullptr ? line_->now_ns() : 0; }

void Iso7816Card::run_after_pps(unsigned t, std::optional<uint32_t> rate) {
  protocol_in_force_ = t;
  if (rate && *rate != framing_.baud_rate) {
    rate_before_pps_ = framing_.baud_rate;
    framing_.baud_rate = *rate;
  }
}

uint64_t Iso7816Card::transmit(std::vector<uint8_t> bytes, uint64_t at_ns) {
  if (line_ == nullptr) return at_ns;
  const uint64_t done = std::max(at_ns, line_->now_ns()) + bytes.size() * character_time_ns(framing_);
  line_->schedule(at_ns, [this, bytes = std::move(bytes)] { send_characters(bytes, framing_); });
  return done;
}

void Iso7816Card::schedule(uint64_t at_ns, std::function<void()> action) {
  if (line_ != nullptr) line_->schedule(at_ns, std::move(action));
}

uint64_t Iso7816Card::etu_ns() const { return kNsPerSecond / framing_.baud_rate; }

void Iso7816Card::send_characters(std::span<const uint8_t> bytes, const CardFraming& framing) {
  if (line_ == nullptr) return;
  for (uint8_t byte : bytes) line_->send(convention_ == Convention::inverse ? inverse(byte) : byte, framing);
}

}  // namespace kdx::sim
