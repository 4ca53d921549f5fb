// The simulated interface device of the serial-line reader, driven through
// the port backend table the way a library drives it.
#include <gtest/gtest.h>

#include <vector>

#include "sim/serial_line_device.h"

namespace kdx::sim {
namespace {

// A card that records what it hears and answers every byte with its
// complement.
class EchoingCard : public SlotCard {
 public:
  void on_inserted(CardLine& line, uint64_t) override { line_ = &line; }
  void on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t) override {
    heard.push_back(byte);
    heard_at.push_back(settings.baud_rate);
    line_->send(static_cast<uint8_t>(~byte));
  }
  void on_reset(bool held, uint64_t) override { resets.push_back(held); }
  void speak(std::vector<uint8_t> bytes) {
    for (uint8_t b : bytes) line_->send(b);
  }
  std::vector<uint8_t> heard;
  std::vector<uint32_t> heard_at;
  std::vector<bool> resets;

 private:
  CardLine* line_ = nullptr;
};

class LineDevice : public ::testing::Test {
 protected:
  LineDevice() : port(clock), device(port), line(port.backend()) { EXPECT_EQ(line.open(line.context), 0); }

  void set(uint32_t baud, bool dtr, bool rts) {
    KDX_LineSettings s = port.settings();
    s.baud_rate = baud;
    s.parity = KDX_PARITY_EVEN;
    s.stop_bits = KDX_STOPBITS_TWO;
    s.dtr_control = dtr ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
    s.rts_control = rts ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
    ASSERT_EQ(line.set_settings(line.context, &s), 0);
  }
  uint32_t modem() {
    uint32_t status = 0;
    EXPECT_EQ(line.modem_status(line.context, &status), 0);
    return status;
  }
  std::vector<uint8_t> read(uint32_t count, uint32_t total_ms) {
    const KDX_Timeouts t{0, 0, total_ms, 0, 0};
    line.set_timeouts(line.context, &t);
    std::vector<uint8_t> bytes(count);
    const int32_t got = line.read(line.context, bytes.data(), count);
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
  }
  void write(std::vector<uint8_t> bytes) {
    ASSERT_EQ(line.write(line.context, bytes.data(), static_cast<uint32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
  }

  VirtualClock clock;
  VirtualPort port;
  SerialLineDevice device;
  const KDX_PortBackend& line;
};

TEST_F(LineDevice, ModemLinesFollowTheDeviceAndTheSlot) {
  struct Case {
    bool attached, stuck, dtr, card;
    uint32_t status;
  } const cases[] = {
      {true, false, true, false, KDX_MODEM_DSR_ON},
      {true, false, false, false, 0},
      {true, false, true, true, KDX_MODEM_DSR_ON | KDX_MODEM_CTS_ON},
      {false, false, true, true, 0},
      {true, true, false, false, KDX_MODEM_DSR_ON},
      {false, true, false, true, KDX_MODEM_DSR_ON},
  };
  for (const Case& c : cases) {
    device.set_attached(c.attached);
    device.set_dsr_stuck_on(c.stuck);
    set(9600, c.dtr, false);
    if (c.card) {
      device.insert(std::make_unique<SlotCard>());
    } else {
      device.remove();
    }
    EXPECT_EQ(modem(), c.status) << c.attached << c.stuck << c.dtr << c.card;
  }
}

TEST_F(LineDevice, EchoAndCardBytes) {
  auto card = std::make_unique<EchoingCard>();
  EchoingCard& model = *card;
  set(9600, true, true);
  device.insert(std::move(card));
  write({0x11, 0x22});  // held in reset: echoed, not heard
  EXPECT_EQ(read(2, 10), (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_TRUE(model.heard.empty());

  set(19200, true, false);  // running: echo, then the card's answer
  write({0x5A});
  EXPECT_EQ(read(2, 10), (std::vector<uint8_t>{0x5A, 0xA5}));
  EXPECT_EQ(model.heard, (std::vector<uint8_t>{0x5A}));
  EXPECT_EQ(model.heard_at, (std::vector<uint32_t>{19200}));
  EXPECT_EQ(model.resets, (std::vector<bool>{true, false}));

  // What the card has not yet sent is lost when it is reset or pulled.
  for (int pulled = 0; pulled < 2; ++pulled) {
    {
      auto held = clock.lock();
      model.speak({1, 2, 3, 4, 5, 6, 7, 8});
    }
    clock.sleep_ns(2 * character_time_ns(port.settings()) + 1);
    if (pulled == 0) {
      set(19200, true, true);
    } else {
      auto removed = device.remove();
    }
    EXPECT_EQ(read(8, 50), (std::vector<uint8_t>{1, 2})) << pulled;
    if (pulled == 0) set(19200, true, false);
  }

  device.break_data_loop();
  device.insert(std::make_unique<SlotCard>());
  write({0x33});
  EXPECT_TRUE(read(1, 10).empty());
  EXPECT_EQ(device.host_bytes().back().byte, 0x33);
  EXPECT_EQ(device.host_bytes().back().settings.baud_rate, 19200u);
}

}  // namespace
}  // namespace kdx::sim
