// The ISO/IEC 7816-3 card model behind the simulated interface device: its
// answer to reset on the wire (rate, convention, parity, chunks), its
// activation states, and its refusal of host bytes it cannot understand.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/cards/iso7816_card.h"
#include "sim/serial_line_device.h"

namespace kdx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kCharacterMs = 1.25;                     // 12 bits at 9600 baud
constexpr double kAnswerDelayMs = 10000.0 / 3571.2;       // the default 10000 clock cycles

class CardModel : public ::testing::Test {
 protected:
  CardModel() : port(clock), device(port), line(port.backend()) {
    EXPECT_EQ(line.open(line.context), 0);
    set_host(9600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO);
  }

  Iso7816Card& insert(Iso7816CardConfig config) {
    auto card = std::make_unique<Iso7816Card>(std::move(config));
    Iso7816Card& inserted = *card;
    set_reset(true);
    device.insert(std::move(card));
    return inserted;
  }
  void set_host(uint32_t baud, uint8_t parity, uint8_t stop_bits) {
    KDX_LineSettings s = port.settings();
    s.baud_rate = baud;
    s.byte_size = 8;
    s.parity = parity;
    s.parity_check = 1;
    s.stop_bits = stop_bits;
    ASSERT_EQ(line.set_settings(line.context, &s), 0);
  }
  void set_reset(bool held) {
    KDX_LineSettings s = port.settings();
    s.dtr_control = KDX_LINE_CONTROL_ENABLE;
    s.rts_control = held ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
    ASSERT_EQ(line.set_settings(line.context, &s), 0);
  }
  // Everything that arrives within `ms`.
  Bytes read_for(uint32_t ms) {
    const KDX_Timeouts t{0, 0, ms, 0, 0};
    line.set_timeouts(line.context, &t);
    Bytes bytes(64);
    const int32_t got = line.read(line.context, bytes.data(), static_cast<uint32_t>(bytes.size()));
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
  }
  void write(uint8_t byte) { ASSERT_EQ(line.write(line.context, &byte, 1), 1); }
  double ms_since(uint64_t start_ns) const { return static_cast<double>(clock.now_ns() - start_ns) / 1e6; }

  VirtualClock clock;
  VirtualPort port;
  SerialLineDevice device;
  const KDX_PortBackend& line;
};

TEST_F(CardModel, AnswersAfterResetAt9600InItsConvention) {
  struct Case {
    const char* name;
    Bytes atr;
    Bytes on_wire;
    uint8_t parity;
  } const cases[] = {
      {"direct", {0x3B, 0x02, 0x14, 0x50}, {0x3B, 0x02, 0x14, 0x50}, KDX_PARITY_EVEN},
      {"inverse", {0x3F, 0x02, 0x14, 0x50}, {0x03, 0xBF, 0xD7, 0xF5}, KDX_PARITY_ODD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Iso7816Card& card = insert({c.atr});
    EXPECT_EQ(read_for(100), Bytes{});  // held in reset: silent
    device.clear_trace();
    const uint64_t released = clock.now_ns();
    set_reset(false);
    EXPECT_EQ(card.state(), Iso7816Card::State::answering);
    EXPECT_EQ(read_for(100), c.on_wire);  // the host port at 9600, even parity
    const auto arrived = device.card_bytes();
    ASSERT_EQ(arrived.size(), c.atr.size());
    for (std::size_t i = 0; i < arrived.size(); ++i) {
      EXPECT_NEAR(static_cast<double>(arrived[i].time_ns - released) / 1e6, kAnswerDelayMs + (i + 1) * kCharacterMs, 1e-3);
      EXPECT_EQ(arrived[i].framing.baud_rate, 9600u);
      EXPECT_EQ(arrived[i].framing.parity, c.parity);
      EXPECT_EQ(arrived[i].framing.stop_bits, KDX_STOPBITS_TWO);
      EXPECT_FALSE(arrived[i].rate_mismatch);
      // Read at even parity, an inverse card's characters all fail the check.
      EXPECT_EQ(arrived[i].parity_error, c.parity != KDX_PARITY_EVEN);
    }
    EXPECT_EQ(card.state(), Iso7816Card::State::idle);
    EXPECT_EQ(card.answers(), 1u);
    device.remove();
  }
}

TEST_F(CardModel, SendsItsAtrInChunksOnTheClock) {
  Iso7816Card& card = insert({{0x3B, 0x02, 0x14, 0x50}, std::nullopt, {{1, 80}, {3, 200}}});
  device.clear_trace();
  const uint64_t released = clock.now_ns();
  set_reset(false);
  EXPECT_EQ(read_for(150), Bytes({0x3B, 0x02, 0x14}));  // the read ends at its total
  EXPECT_EQ(card.state(), Iso7816Card::State::answering);
  EXPECT_EQ(read_for(300), Bytes({0x50}));
  const auto arrived = device.card_bytes();
  ASSERT_EQ(arrived.size(), 4u);
  const double expected_ms[] = {kAnswerDelayMs + kCharacterMs, kAnswerDelayMs + 80 + 2 * kCharacterMs,
                                kAnswerDelayMs + 80 + 3 * kCharacterMs, kAnswerDelayMs + 280 + 4 * kCharacterMs};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(static_cast<double>(arrived[i].time_ns - released) / 1e6, expected_ms[i], 1e-3);
  }
  EXPECT_EQ(card.state(), Iso7816Card::State::idle);
}

TEST_F(CardModel, AResetCutsTheAnswerOffAndStartsItAgain) {
  Iso7816Card& card = insert({{0x3B, 0x04, 0x41, 0x42, 0x43, 0x44}, std::nullopt, {{2, 500}}});
  set_reset(false);
  EXPECT_EQ(read_for(100), Bytes({0x3B, 0x04}));
  set_reset(true);  // in the pause: the rest never comes
  EXPECT_EQ(card.state(), Iso7816Card::State::held_in_reset);
  EXPECT_EQ(read_for(1000), Bytes{});
  set_reset(false);
  EXPECT_EQ(read_for(100), Bytes({0x3B, 0x04}));
  EXPECT_EQ(read_for(600), Bytes({0x41, 0x42, 0x43, 0x44}));
  EXPECT_EQ(card.answers(), 2u);
  device.remove();  // pulled while idle: nothing scheduled may touch it afterwards
  EXPECT_EQ(read_for(100), Bytes{});
}

TEST_F(CardModel, AMuteCardNeverAnswers) {
  Iso7816Card& card = insert({});
  set_reset(false);
  EXPECT_EQ(card.state(), Iso7816Card::State::mute);
  EXPECT_EQ(read_for(2000), Bytes{});
  write(0x00);
  EXPECT_EQ(card.garbled(), 1u);
}

TEST_F(CardModel, UnderstandsOnlyBytesAtItsOwnRateAndFraming) {
  struct Card {
    const char* name;
    Bytes atr;
    CardFraming runs_at;
  } const cards[] = {
      {"negotiable, direct", {0x3B, 0x11, 0x13, 0x41}, {9600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}},
      {"specific mode, Fi 372 Di 4", {0x3B, 0x90, 0x13, 0x10, 0x00}, {38400, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}},
      {"inverse", {0x3F, 0x00}, {9600, KDX_PARITY_ODD, KDX_STOPBITS_TWO}},
      {"T=1 with N = 255", {0x3B, 0xC0, 0xFF, 0x01, 0x3E}, {9600, KDX_PARITY_EVEN, KDX_STOPBITS_ONE}},
      {"T=0 with N = 255", {0x3B, 0x40, 0xFF}, {9600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}},
      {"specific mode, rate 111600", {0x3B, 0x90, 0x95, 0x10, 0x00}, {111600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}},
  };
  for (const Card& c : cards) {
    SCOPED_TRACE(c.name);
    Iso7816Card& card = insert({c.atr});
    set_host(9600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO);
    set_reset(false);
    read_for(100);
    ASSERT_EQ(card.state(), Iso7816Card::State::idle);
    EXPECT_EQ(card.framing().baud_rate, c.runs_at.baud_rate);
    EXPECT_EQ(card.framing().parity, c.runs_at.parity);
    EXPECT_EQ(card.framing().stop_bits, c.runs_at.stop_bits);

    const uint8_t other_parity = c.runs_at.parity == KDX_PARITY_EVEN ? KDX_PARITY_ODD : KDX_PARITY_EVEN;
    const uint8_t other_stop_bits = c.runs_at.stop_bits == KDX_STOPBITS_TWO ? KDX_STOPBITS_ONE : KDX_STOPBITS_TWO;
    const uint32_t rate = c.runs_at.baud_rate;
    const struct {
      uint32_t baud;
      uint8_t parity, stop_bits;
    } wrong[] = {
        {rate * 104 / 100, c.runs_at.parity, c.runs_at.stop_bits},  // 4 % fast
        {rate * 96 / 100, c.runs_at.parity, c.runs_at.stop_bits},   // 4 % slow
        {rate, other_parity, c.runs_at.stop_bits},
        {rate, c.runs_at.parity, other_stop_bits},
    };
    for (const auto& w : wrong) {
      set_host(w.baud, w.parity, w.stop_bits);
      write(0xA4);
    }
    EXPECT_EQ(card.garbled(), std::size(wrong));
    EXPECT_EQ(card.heard(), Bytes{});

    const uint8_t a4_on_wire = c.runs_at.parity == KDX_PARITY_ODD ? Iso7816Card::inverse(0xA4) : 0xA4;
    set_host(rate * 102 / 100, c.runs_at.parity, c.runs_at.stop_bits);  // within 3 %
    write(a4_on_wire);
    set_host(rate, c.runs_at.parity, c.runs_at.stop_bits);
    write(a4_on_wire);
    EXPECT_EQ(card.heard(), Bytes({0xA4, 0xA4}));  // decoded
    device.remove();
  }
}

TEST_F(CardModel, HostBytesDuringTheAnswerCollideWithIt) {
  Iso7816Card& card = insert({{0x3B, 0x02, 0x14, 0x50}, std::nullopt, {{2, 100}}});
  set_reset(false);
  read_for(20);
  write(0x00);
  EXPECT_EQ(card.garbled(), 1u);
  EXPECT_EQ(card.heard(), Bytes{});
}

// A card that sends whatever it is told, with the framing it is told.
class FramedCard : public SlotCard {
 public:
  void on_inserted(CardLine& line, uint64_t) override { line_ = &line; }
  void on_removed(uint64_t) override { line_ = nullptr; }
  void say(uint8_t byte, const CardFraming& framing) { line_->send(byte, framing); }

 private:
  CardLine* line_ = nullptr;
};

TEST_F(CardModel, CardBytesReachTheHostAsItsRateAndParityAllow) {
  struct Case {
    const char* name;
    CardFraming card;
    bool rate_mismatch, parity_error;
  } const cases[] = {
      {"same framing", {9600, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}, false, false},
      {"one stop bit", {9600, KDX_PARITY_EVEN, KDX_STOPBITS_ONE}, false, false},
      {"3 % slower", {9312, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}, false, false},
      {"3.1 % faster", {9900, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}, true, false},
      {"four times as fast", {38400, KDX_PARITY_EVEN, KDX_STOPBITS_TWO}, true, false},
      {"odd parity", {9600, KDX_PARITY_ODD, KDX_STOPBITS_TWO}, false, true},
  };
  auto card = std::make_unique<FramedCard>();
  FramedCard& talking = *card;
  device.insert(std::move(card));
  set_reset(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device.clear_trace();
    {
      auto held = clock.lock();
      talking.say(0x3B, c.card);
    }
    const Bytes got = read_for(10);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0] == 0x3B, !c.rate_mismatch);
    const auto arrived = device.card_bytes();
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0].rate_mismatch, c.rate_mismatch);
    EXPECT_EQ(arrived[0].parity_error, c.parity_error);
    EXPECT_EQ(arrived[0].received, got[0]);
  }
  EXPECT_TRUE(rates_match(115200, 111744));   // the edges of the host's 115200 window
  EXPECT_TRUE(rates_match(115200, 118656));
  EXPECT_FALSE(rates_match(115200, 111600));  // 3.1 % below
}

}  // namespace
}  // namespace kdx::sim
