#include "sim/cards/cpu_card.h"

#include <algorithm>

#include "link/reader_codes.h"
#include "sim/virtual_clock.h"

namespace kdx::sim {
namespace {

namespace reader = kdx::velmor::reader;

constexpr uint8_t kContactsOn = 1;
// The most data one response frame carries.
constexpr std::size_t kResponseFrameData = 195;

}  // namespace

Script& Script::send(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) {
    steps_.push_back({pause_ns_, byte});
    pause_ns_ = 0;
  }
  return *this;
}

Script& Script::pause_ms(uint32_t milliseconds) {
  pause_ns_ += milliseconds * kNsPerMs;
  return *this;
}

Script& Script::nulls(unsigned count, uint32_t gap_ms) {
  for (unsigned i = 0; i < count; ++i) pause_ms(gap_ms).send({kT0Null});
  return *this;
}

Script& Script::receive(std::size_t count) {
  receive_ = count;
  return *this;
}

CpuCard::CpuCard(CpuCardConfig config, std::unique_ptr<T0Application> application)
    : config_(std::move(config)), application_(std::move(application)) {}

void CpuCard::arrive(uint64_t now_ns) {
  while (!pending_.empty() && pending_.front().first <= now_ns) {
    if (iso_buffer_.size() < kIsoBufferCapacity) iso_buffer_.push_back(pending_.front().second);
    pending_.pop_front();
  }
}

void CpuCard::reset(const std::optional<std::vector<uint8_t>>& atr, uint64_t now_ns) {
  pending_.clear();
  iso_buffer_.clear();
  phase_ = Phase::header;
  header_.clear();
  data_.clear();
  line_free_ns_ = now_ns;
  application_->on_reset();
  if (!atr) return;
  line_free_ns_ = now_ns + config_.atr_delay_ns;
  play(Script().send(*atr), now_ns);
}

void CpuCard::play(const Script& script, uint64_t now_ns) {
  uint64_t at = std::max(now_ns, line_free_ns_);
  for (const Script::Step& step : script.steps()) {
    at += step.pause_ns + config_.character_ns;
    pending_.emplace_back(at, step.byte);
  }
  line_free_ns_ = at;
  if (script.receive_count() != 0) {
    phase_ = Phase::receiving;
    data_expected_ = data_.size() + script.receive_count();
  } else {
    phase_ = Phase::answered;
  }
}

void CpuCard::take_byte(uint8_t byte, uint64_t now_ns) {
  if (phase_ == Phase::answered) {
    // A new command: what the card had still to say is abandoned.
    pending_.clear();
    line_free_ns_ = now_ns;
    header_.clear();
    data_.clear();
    phase_ = Phase::header;
  }
  if (phase_ == Phase::header) {
    header_.push_back(byte);
    if (header_.size() == kT0HeaderSize) {
      play(application_->on_header(T0Application::Header(header_.data(), kT0HeaderSize)), now_ns);
    }
    return;
  }
  data_.push_back(byte);
  if (data_.size() == data_expected_) {
    play(application_->on_data(T0Application::Header(header_.data(), kT0HeaderSize), data_), now_ns);
  }
}

CardReply CpuCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) {
  arrive(now_ns);
  CardReply reply;
  switch (code) {
    case reader::kCpuPower:
      powered_ = !data.empty() && data[0] == kContactsOn;
      if (powered_) {
        reset(config_.power_on_atr, now_ns);
      } else {
        pending_.clear();
      }
      break;
    case reader::kCpuWarmReset:
      if (powered_) reset(config_.warm_reset_atr, now_ns);
      break;
    case reader::kGetIsoBuffer: {
      const std::size_t count = std::min(iso_buffer_.size(), kResponseFrameData);
      reply.data.assign(iso_buffer_.begin(), iso_buffer_.begin() + static_cast<std::ptrdiff_t>(count));
      break;
    }
    case reader::kClearIsoBuffer:
      iso_buffer_.clear();
      break;
    case reader::kCpuTransmit:
      iso_buffer_.clear();
      received_.emplace_back(data.begin(), data.end());
      if (powered_) {
        for (uint8_t byte : data) take_byte(byte, now_ns);
      }
      break;
    default:
      return ReaderCard::command(code, data, now_ns);
  }
  return reply;
}

void ScriptedApplication::add(std::vector<Script> parts) { commands_.push_back(std::move(parts)); }

Script ScriptedApplication::on_header(Header header) {
  headers_.emplace_back(header.begin(), header.end());
  data_.emplace_back();
  current_.clear();
  next_part_ = 0;
  if (!commands_.empty()) {
    current_ = std::move(commands_.front());
    commands_.pop_front();
  }
  return next_part_ < current_.size() ? current_[next_part_++] : Script{};
}

Script ScriptedApplication::on_data(Header, std::span<const uint8_t> data) {
  data_.back().assign(data.begin(), data.end());
  return next_part_ < current_.size() ? current_[next_part_++] : Script{};
}

}  // namespace kdx::sim
