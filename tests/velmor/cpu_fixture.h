// A CPU card in the simulated reader, with helpers to read the command
// sequence the host sent.
#pragma once

#include <optional>
#include <string>

#include "sim/cards/cpu_card.h"
#include "velmor/reader_fixture.h"

namespace kdx::test {

inline constexpr uint8_t kPowerCode = 58;
inline constexpr uint8_t kWarmResetCode = 59;
inline constexpr uint8_t kReadIsoCode = 60;
inline constexpr uint8_t kClearIsoCode = 61;
inline constexpr uint8_t kTransmitCode = 62;

inline std::string hex_text(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

class CpuFixture : public ReaderFixture {
 protected:
  // Puts a CPU card with these answers to reset in the slot; the returned
  // application plays the scripts the test adds.
  sim::ScriptedApplication& insert_card(std::optional<Bytes> power_on_atr, std::optional<Bytes> warm_reset_atr) {
    auto application = std::make_unique<sim::ScriptedApplication>();
    sim::ScriptedApplication& scripted = *application;
    sim::CpuCardConfig config;
    config.power_on_atr = std::move(power_on_atr);
    config.warm_reset_atr = std::move(warm_reset_atr);
    auto card = std::make_unique<sim::CpuCard>(config, std::move(application));
    card_ = card.get();
    reader.insert(std::move(card));
    return scripted;
  }

  // The host's accepted frames as "58:01", "59", "60*" (one or more reads
  // of the ISO buffer in a row), "61", "62:<data in hex>".
  std::vector<std::string> sequence() const {
    std::vector<std::string> steps;
    for (const Bytes& frame : reader.commands()) {
      const Bytes data(frame.begin() + 3, frame.end() - 1);
      std::string step = std::to_string(frame[0]);
      if (frame[0] == kReadIsoCode) {
        step.push_back('*');
        if (!steps.empty() && steps.back() == step) continue;
      } else if (!data.empty()) {
        step.push_back(':');
        step.append(hex_text(data));
      }
      steps.push_back(step);
    }
    return steps;
  }

  // Virtual times of the host's accepted frames with this code.
  std::vector<uint64_t> times_of(uint8_t code) const {
    std::vector<uint64_t> times;
    for (const sim::TraceFrame& frame : reader.frames()) {
      if (frame.direction == sim::Direction::host_to_reader && frame.accepted && frame.bytes[0] == code) {
        times.push_back(frame.time_ns);
      }
    }
    return times;
  }

  static double ms_between(uint64_t from_ns, uint64_t to_ns) { return static_cast<double>(to_ns - from_ns) / 1e6; }

  sim::CpuCard* card_ = nullptr;
};

}  // namespace kdx::test
