#include "sim/cards/sle_card.h"

#include <algorithm>

#include "link/reader_codes.h"

namespace kdx::sim {
namespace {

namespace reader = kdx::velmor::reader;

constexpr uint8_t kIdleLine = 0xFF;
// The most data bytes the reader puts in one response frame; it refuses to
// clock more at once.
constexpr std::size_t kMaxResponseData = 195;
constexpr uint8_t kStatusBadParameter = 1;

}  // namespace

SleCard::SleCard(const ReaderCodes& codes, std::size_t psc_size) : codes_(codes), psc_size_(psc_size) {}

CardReply SleCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) {
  if (code == codes_.power) {
    if (!data.empty()) power(data[0] != 0);
    return {};
  }
  if (!powered_) return ReaderCard::command(code, data, now_ns);
  if (ReaderSim::is_reading_command(code)) return clock_out(code, data);

  if (code == codes_.reset) {
    start_output(codes_.clock_in, answer_to_reset());
  } else if (code == codes_.begin) {
    mode_ = Mode::command;
    command_.clear();
  } else if (code == codes_.send) {
    if (mode_ == Mode::command) command_.assign(data.begin(), data.end());
  } else if (code == codes_.end) {
    const bool complete = mode_ == Mode::command && command_.size() == 3;
    mode_ = Mode::idle;
    if (complete) take_command(command_[0], command_[1], command_[2]);
  } else if (code == codes_.process) {
    if (mode_ == Mode::processing) clock(clocks_needed_);
  } else if (code == codes_.finish) {
    mode_ = Mode::idle;
  }
  return {};
}

void SleCard::put_line(uint8_t line, uint8_t value, uint64_t) {
  if (line == reader::kLine144) {
    const bool rising = line_144_ == 0 && value != 0;
    line_144_ = value;
    if (powered_ && rising && mode_ == Mode::processing) clock(1);
  } else if (line == reader::kLine145) {
    line_145_ = value;
    if (value != 0 && mode_ == Mode::processing) mode_ = Mode::idle;
  }
}

uint8_t SleCard::get_line(uint8_t line, uint64_t) {
  if (line == reader::kLine144) return line_144_;
  if (line == reader::kLine145) return line_145_;
  return 0;
}

void SleCard::start_output(uint8_t clock_code, std::vector<uint8_t> bytes) {
  mode_ = Mode::output;
  output_code_ = clock_code;
  output_ = std::move(bytes);
  output_position_ = 0;
}

void SleCard::start_processing(unsigned clocks, std::function<void()> action) {
  mode_ = Mode::processing;
  clocks_needed_ = clocks;
  clocks_ = 0;
  action_ = std::move(action);
}

void SleCard::write_error_counter(uint8_t& counter, uint8_t value, uint8_t bits) {
  const auto taken = static_cast<uint8_t>(unlocked_ ? value & bits : counter & value & bits);
  const bool spent = taken != counter && (taken & ~counter) == 0;
  counter = taken;
  if (!spent) return;
  unlocked_ = false;
  comparing_ = true;
  compared_ = 0;
  all_equal_ = true;
}

void SleCard::compare_psc_byte(std::size_t index, bool equal) {
  if (!comparing_ || index >= psc_size_) return;
  compared_ |= 1u << index;
  all_equal_ = all_equal_ && equal;
  if (compared_ == (1u << psc_size_) - 1) {
    unlocked_ = all_equal_;
    comparing_ = false;
  }
}

void SleCard::power(bool on) {
  if (on == powered_) return;
  powered_ = on;
  unlocked_ = false;
  comparing_ = false;
  mode_ = Mode::idle;
  output_.clear();
  action_ = nullptr;
}

void SleCard::clock(unsigned clocks) {
  clocks_ += clocks;
  if (clocks_ < clocks_needed_) return;
  mode_ = Mode::idle;
  const std::function<void()> action = std::move(action_);
  action_ = nullptr;
  if (action) action();
}

CardReply SleCard::clock_out(uint8_t code, std::span<const uint8_t> data) {
  CardReply reply;
  if (data.size() < 2) {
    reply.status = kStatusBadParameter;
    return reply;
  }
  const std::size_t count = static_cast<std::size_t>(data[0] | (data[1] << 8));
  if (count > kMaxResponseData) {
    reply.status = kStatusBadParameter;
    return reply;
  }
  reply.data.assign(count, kIdleLine);
  if (mode_ != Mode::output || code != output_code_) return reply;
  const std::size_t available = std::min(count, output_.size() - output_position_);
  std::copy_n(output_.begin() + static_cast<std::ptrdiff_t>(output_position_), available, reply.data.begin());
  output_position_ += available;
  return reply;
}

}  // namespace kdx::sim
