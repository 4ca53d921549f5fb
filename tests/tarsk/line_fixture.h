// A Tarsk session against the simulated interface device on a virtual
// clock: port index 0 is served by a VirtualPort whose far end is a
// SerialLineDevice (attached, empty slot).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fault_points.h"
#include "serial_iso/tarsk_state.h"
#include "sim/serial_line_device.h"
#include "sim/virtual_port.h"
#include "tarsk.h"

namespace kdx::test {

using Bytes = std::vector<uint8_t>;

// A card that stays silent until told to speak, and counts its resets.
class TalkingCard : public sim::SlotCard {
 public:
  void on_inserted(sim::CardLine& line, uint64_t) override { line_ = &line; }
  void on_reset(bool held, uint64_t) override {
    held_ = held;
    if (held) ++resets_;
  }
  void on_removed(uint64_t) override { line_ = nullptr; }
  // Call with the clock's lock held.
  void say(const Bytes& bytes) {
    for (uint8_t b : bytes) line_->send(b);
  }
  bool held() const { return held_; }
  unsigned resets() const { return resets_; }

 private:
  sim::CardLine* line_ = nullptr;
  bool held_ = false;
  unsigned resets_ = 0;
};

class LineFixture : public ::testing::Test {
 protected:
  LineFixture() : port(clock), device(port) { EXPECT_EQ(KDX_SetPortBackend(0, &port.backend()), ST_OK); }
  ~LineFixture() override {
    kdx::platform::faults::disarm_all();
    // A test may leave a half-closed session behind; close what is left.
    for (int i = 0; i < 3 && KDX_ExitComm() != ST_OK; ++i) {
    }
    EXPECT_EQ(clock.participants(), 1) << "a library thread was left behind";
    KDX_SetPortBackend(0, nullptr);
  }

  void open() {
    ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);
    device.clear_trace();
  }

  // The session's records, while one exists.
  static PortRecord& record() { return *tarsk::g_tarsk.session.port; }
  static CardRecord& card_record() { return *tarsk::g_tarsk.session.card; }

  TalkingCard& insert_card() {
    auto card = std::make_unique<TalkingCard>();
    TalkingCard& inserted = *card;
    device.insert(std::move(card));
    return inserted;
  }

  double elapsed_ms(uint64_t since_ns) const { return static_cast<double>(clock.now_ns() - since_ns) / 1e6; }

  std::string host_text() const {
    std::string text;
    for (const auto& entry : device.host_bytes()) text.push_back(static_cast<char>(entry.byte));
    return text;
  }

  sim::VirtualClock clock;
  sim::VirtualPort port;
  sim::SerialLineDevice device;
};

}  // namespace kdx::test
