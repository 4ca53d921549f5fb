#include "sim/serial_line_device.h"

#include <algorithm>

namespace kdx::sim {
namespace {

constexpr uint64_t kPercent = 100;

// A character sampled at the wrong rate: its bits land in the wrong places.
uint8_t garbled(uint8_t byte) { return static_cast<uint8_t>((byte << 1) | 1u); }

}  // namespace

bool rates_match(uint32_t line_rate, uint32_t card_rate) {
  const uint64_t difference = line_rate > card_rate ? line_rate - card_rate : card_rate - line_rate;
  return difference * kPercent <= static_cast<uint64_t>(line_rate) * kRateTolerancePercent;
}

CardFraming framing_of(const LineSettings& settings) {
  return CardFraming{settings.baud_rate, settings.parity, settings.stop_bits};
}

uint64_t character_time_ns(const CardFraming& framing) {
  LineSettings wire{};
  wire.baud_rate = framing.baud_rate;
  wire.byte_size = 8;
  wire.parity = framing.parity;
  wire.stop_bits = framing.stop_bits;
  return character_time_ns(wire);
}

SerialLineDevice::SerialLineDevice(VirtualPort& port) : port_(port), clock_(port.clock()) {
  auto held = clock_.lock();
  settings_ = port_.settings();
  port_.attach(this);
}

SerialLineDevice::~SerialLineDevice() {
  auto held = clock_.lock();
  port_.attach(nullptr);
}

void SerialLineDevice::set_attached(bool attached) {
  auto held = clock_.lock();
  attached_ = attached;
}

void SerialLineDevice::set_dsr_stuck_on(bool stuck) {
  auto held = clock_.lock();
  dsr_stuck_on_ = stuck;
}

void SerialLineDevice::set_echo_filter(EchoFilter filter) {
  auto held = clock_.lock();
  echo_filter_ = std::move(filter);
  filtered_bytes_ = 0;
}

void SerialLineDevice::insert(std::unique_ptr<SlotCard> card) {
  auto held = clock_.lock();
  remove();
  card_ = std::move(card);
  if (card_ == nullptr) return;
  const uint64_t now = clock_.now_ns();
  card_->on_inserted(*this, now);
  card_->on_reset(rts_, now);
}

std::unique_ptr<SlotCard> SerialLineDevice::remove() {
  auto held = clock_.lock();
  if (card_ == nullptr) return nullptr;
  ++card_generation_;
  card_wire_free_ns_ = clock_.now_ns();
  card_->on_removed(clock_.now_ns());
  return std::move(card_);
}

bool SerialLineDevice::card_present() const {
  auto held = clock_.lock();
  return card_ != nullptr;
}

SlotCard* SerialLineDevice::card() const {
  auto held = clock_.lock();
  return card_.get();
}

bool SerialLineDevice::dtr_on() const {
  auto held = clock_.lock();
  return dtr_;
}

bool SerialLineDevice::rts_on() const {
  auto held = clock_.lock();
  return rts_;
}

LineSettings SerialLineDevice::line_settings() const {
  auto held = clock_.lock();
  return settings_;
}

std::vector<HostByte> SerialLineDevice::host_bytes() const {
  auto held = clock_.lock();
  return host_bytes_;
}

std::vector<SettingsWrite> SerialLineDevice::settings_writes() const {
  auto held = clock_.lock();
  return settings_writes_;
}

std::vector<CardByte> SerialLineDevice::card_bytes() const {
  auto held = clock_.lock();
  return card_bytes_;
}

void SerialLineDevice::clear_trace() {
  auto held = clock_.lock();
  host_bytes_.clear();
  settings_writes_.clear();
  card_bytes_.clear();
}

void SerialLineDevice::on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t now_ns) {
  host_bytes_.push_back(HostByte{now_ns, byte, settings, rts_});
  if (!attached_) return;
  std::optional<uint8_t> echo = byte;
  if (echo_filter_) echo = echo_filter_(byte, filtered_bytes_++);
  if (echo.has_value()) port_.deliver_at(*echo, now_ns);
  if (card_ != nullptr && !rts_) card_->on_host_byte(byte, settings, now_ns);
}

void SerialLineDevice::on_settings(const LineSettings& settings, uint64_t now_ns) {
  settings_ = settings;
  settings_writes_.push_back(SettingsWrite{now_ns, settings});
  set_lines(settings.dtr_control == KDX_LINE_CONTROL_ENABLE, settings.rts_control == KDX_LINE_CONTROL_ENABLE,
            now_ns);
}

uint32_t SerialLineDevice::modem_status(uint64_t) {
  uint32_t status = 0;
  if (dsr_stuck_on_ || (attached_ && dtr_)) status |= KDX_MODEM_DSR_ON;
  if (attached_ && card_ != nullptr) status |= KDX_MODEM_CTS_ON;
  return status;
}

void SerialLineDevice::on_port_open(uint64_t now_ns) {
  settings_ = port_.settings();
  set_lines(settings_.dtr_control == KDX_LINE_CONTROL_ENABLE, settings_.rts_control == KDX_LINE_CONTROL_ENABLE,
            now_ns);
}

// A closed port drives neither control line.
void SerialLineDevice::on_port_close(uint64_t now_ns) { set_lines(false, false, now_ns); }

void SerialLineDevice::set_lines(bool dtr, bool rts, uint64_t now_ns) {
  dtr_ = dtr;
  const bool reset_changed = rts != rts_;
  rts_ = rts;
  if (!reset_changed) return;
  if (rts_) {
    // A card put in reset stops sending: what it had not sent yet is lost.
    ++card_generation_;
    card_wire_free_ns_ = now_ns;
  }
  if (card_ != nullptr) card_->on_reset(rts_, now_ns);
}

void SerialLineDevice::send(uint8_t byte, const CardFraming& framing) {
  if (card_ == nullptr || !attached_) return;
  const uint64_t start = std::max(clock_.now_ns(), card_wire_free_ns_);
  card_wire_free_ns_ = start + character_time_ns(framing);
  const uint64_t generation = card_generation_;
  clock_.schedule(card_wire_free_ns_, [this, byte, framing, generation] {
    if (generation != card_generation_ || !attached_) return;
    CardByte arrived{clock_.now_ns(), byte, byte, framing, false, false};
    arrived.rate_mismatch = !rates_match(settings_.baud_rate, framing.baud_rate);
    if (arrived.rate_mismatch) arrived.received = garbled(byte);
    arrived.parity_error = settings_.parity_check != 0 && settings_.parity != framing.parity;
    card_bytes_.push_back(arrived);
    port_.deliver_at(arrived.received, arrived.time_ns);
  });
}

void SerialLineDevice::schedule(uint64_t at_ns, std::function<void()> action) {
  const uint64_t generation = card_generation_;
  clock_.schedule(at_ns, [this, generation, action = std::move(action)] {
    if (generation == card_generation_ && card_ != nullptr) action();
  });
}

LineSettings SerialLineDevice::host_settings() const { return settings_; }

uint64_t SerialLineDevice::now_ns() const { return clock_.now_ns(); }

}  // namespace kdx::sim
