// The tool's T=1 trace decoder, on what the library really put on the
// simulated line: once as a real port shows it (each read returning the
// echo of the last write before the card's bytes), once as the simulated
// device records the two directions. Both must name the blocks the card
// model saw.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "kdx/t1_trace.h"
#include "sim/cards/iso7816_card.h"
#include "sim/cards/iso7816_t1.h"
#include "tarsk/card_exchange.h"
#include "tarsk_apdu.h"

namespace kdx::test {
namespace {

using tool::LineEvent;

// Hands every call to the simulated port (in its own context) and keeps
// what a traced real port keeps: writes, reads and settings writes. One at a
// time.
class RecordingPort {
 public:
  explicit RecordingPort(const KDX_PortBackend& inner) : inner_(inner), outer_(inner) {
    current_ = this;
    outer_.read = [](void* context, uint8_t* buffer, uint32_t count) {
      const int32_t done = current_->inner_.read(context, buffer, count);
      if (done > 0) current_->note(LineEvent::Kind::from_line, buffer, static_cast<uint32_t>(done), false);
      return done;
    };
    outer_.write = [](void* context, const uint8_t* buffer, uint32_t count) {
      const int32_t done = current_->inner_.write(context, buffer, count);
      if (done > 0) current_->note(LineEvent::Kind::to_card, buffer, static_cast<uint32_t>(done), false);
      return done;
    };
    outer_.set_settings = [](void* context, const KDX_LineSettings* settings) {
      current_->note(LineEvent::Kind::settings, nullptr, 0, settings->rts_control == KDX_LINE_CONTROL_ENABLE);
      return current_->inner_.set_settings(context, settings);
    };
  }
  ~RecordingPort() { current_ = nullptr; }
  RecordingPort(const RecordingPort&) = delete;
  RecordingPort& operator=(const RecordingPort&) = delete;

  const KDX_PortBackend* backend() const { return &outer_; }
  const std::vector<LineEvent>& events() const { return events_; }

 private:
  void note(LineEvent::Kind kind, const uint8_t* bytes, uint32_t count, bool rts_on) {
    const uint64_t now_ns = uint64_t{inner_.tick_count(inner_.context)} * sim::kNsPerMs;
    events_.push_back({kind, now_ns, std::vector<uint8_t>(bytes, bytes + count), rts_on, {}});
  }

  static inline RecordingPort* current_ = nullptr;
  KDX_PortBackend inner_;
  KDX_PortBackend outer_;
  std::vector<LineEvent> events_;
};

std::string no_text(const KDX_LineSettings&) { return {}; }

constexpr uint8_t kTb3 = 0x45;  // BWI 4, CWI 5
constexpr std::size_t kEchoedData = 40;

// 80 EE: the card answers with the data and 9000. 46 bytes out, 42 back.
Bytes echo_command() {
  Bytes command{0x80, 0xEE, 0x00, 0x00, static_cast<uint8_t>(kEchoedData)};
  for (std::size_t i = 0; i < kEchoedData; ++i) command.push_back(static_cast<uint8_t>(0xA0 + i));
  command.push_back(0x00);
  return command;
}

struct TraceCase {
  const char* name;
  bool crc;
  bool inverse;
  unsigned bad_edc_block;  // 0: none
  std::vector<std::pair<bool, std::string>> blocks;  // from the card?, text
};

// IFSC 32 on both sides: the command goes out in two blocks, the response
// comes back in two.
const std::vector<std::pair<bool, std::string>> kChainedBothWays = {
    {false, "I(0,M) 32 bytes"}, {true, "R(1)"}, {false, "I(1) 14 bytes"},
    {true, "I(0,M) 32 bytes"},  {false, "R(1)"}, {true, "I(1) 10 bytes"}};

// The last I-block arrives damaged and is asked for again.
const std::vector<std::pair<bool, std::string>> kThirdBlockDamaged = {
    {false, "I(0,M) 32 bytes"}, {true, "R(1)"},  {false, "I(1) 14 bytes"},         {true, "I(0,M) 32 bytes"},
    {false, "R(1)"},            {true, "I(1) 10 bytes, bad EDC"}, {false, "R(1) EDC/parity error"}, {true, "I(1) 10 bytes"}};

class T1Trace : public LineFixture, public ::testing::WithParamInterface<TraceCase> {
 protected:
  T1Trace() : recorder(port.backend()) { EXPECT_EQ(KDX_SetPortBackend(0, recorder.backend()), ST_OK); }
  // The session ends while the recorder is still there.
  ~T1Trace() override { EXPECT_EQ(KDX_ExitComm(), ST_OK); }

  sim::Iso7816Card& start(const TraceCase& c) {
    Bytes atr = sim::t1_atr(32, kTb3, c.crc, 0);
    if (c.inverse) atr[0] = 0x3F;
    sim::CardProtocolFactory protocol = sim::t1_protocol();
    if (c.bad_edc_block != 0) {
      protocol = [n = c.bad_edc_block](sim::Iso7816Card& owner) {
        auto made = sim::t1_protocol()(owner);
        static_cast<sim::Iso7816T1&>(*made).inject(sim::T1Fault::corrupt_edc, n);
        return made;
      };
    }
    auto card = std::make_unique<sim::Iso7816Card>(sim::Iso7816CardConfig{atr, std::nullopt, {}, 10000, protocol});
    sim::Iso7816Card& inserted = *card;
    device.insert(std::move(card));
    EXPECT_EQ(KDX_InitComm(0, 9600), ST_OK);
    uint8_t answer[32];
    uint16_t length = 0;
    EXPECT_EQ(CPU_OpenCard(answer, &length), ST_OK);
    return inserted;
  }

  static std::vector<std::pair<bool, std::string>> named(const tool::LineDecoding& decoding, std::size_t from) {
    std::vector<std::pair<bool, std::string>> blocks;
    for (std::size_t i = from; i < decoding.blocks.size(); ++i) {
      blocks.emplace_back(decoding.blocks[i].from_card, decoding.blocks[i].text);
    }
    return blocks;
  }

  RecordingPort recorder;
};

TEST_P(T1Trace, NamesTheBlocksOfAnExchangeFromBothKindsOfTrace) {
  const TraceCase& c = GetParam();
  sim::Iso7816Card& card = start(c);
  const std::size_t before = tool::decode_line(recorder.events(), true).blocks.size();
  std::vector<LineEvent> simulated;
  {
    auto held = clock.lock();
    simulated = tool::simulated_line_events(device, &no_text);
  }
  const std::size_t simulated_before = tool::decode_line(simulated, false).blocks.size();

  Bytes command = echo_command();
  Bytes response(300);
  uint32_t length = 0;
  ASSERT_EQ(CPU_IsoAPDU(command.data(), static_cast<uint32_t>(command.size()), response.data(), &length), ST_OK);
  EXPECT_EQ(length, kEchoedData + 2);

  const tool::LineDecoding from_port = tool::decode_line(recorder.events(), true);
  EXPECT_EQ(named(from_port, before), c.blocks);
  // Every byte written came back as its echo, and was set aside as such.
  std::size_t written = 0;
  std::size_t echoed = 0;
  for (std::size_t i = 0; i < recorder.events().size(); ++i) {
    if (recorder.events()[i].kind == LineEvent::Kind::to_card) written += recorder.events()[i].bytes.size();
    echoed += from_port.echo[i];
  }
  EXPECT_EQ(echoed, written);

  {
    auto held = clock.lock();
    simulated = tool::simulated_line_events(device, &no_text);
    EXPECT_TRUE(card.violations().empty());
  }
  EXPECT_EQ(named(tool::decode_line(simulated, false), simulated_before), c.blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, T1Trace,
    ::testing::Values(
        TraceCase{"Lrc", false, false, 0, kChainedBothWays}, TraceCase{"Crc", true, false, 0, kChainedBothWays},
        TraceCase{"InverseCrc", true, true, 0, kChainedBothWays},
        TraceCase{"InverseLrc", false, true, 0, kChainedBothWays},
        // The card's blocks: 1 R(1), 2 I(0,M), 3 I(1) (sent again as 4).
        TraceCase{"BadEdc", false, false, 3, kThirdBlockDamaged},
        TraceCase{"BadEdcInverseCrc", true, true, 3, kThirdBlockDamaged}),
    [](const auto& test) { return std::string(test.param.name); });

// Hand-made traces: what the decoder makes of lines that the simulated card
// does not produce.
struct LineCase {
  const char* name;
  std::vector<LineEvent> events;
  bool echoes;
  std::vector<std::string> texts;
};

LineEvent settings(bool rts_on) { return {LineEvent::Kind::settings, 0, {}, rts_on, {}}; }
LineEvent to_card(const std::string& text) { return {LineEvent::Kind::to_card, 0, hex_bytes(text), false, {}}; }
LineEvent from_line(const std::string& text) { return {LineEvent::Kind::from_line, 0, hex_bytes(text), false, {}}; }

// A T=1 ATR with LRC and IFSC 32: TD1 81, TD2 31, TA3 20, TB3 45, TCK.
const char* const kAtr = "3B 80 81 31 20 45 55";

// An I-block of `size` bytes with its LRC.
std::string long_i_block(std::size_t size) {
  Bytes block{0x00, 0x00, static_cast<uint8_t>(size)};
  block.resize(block.size() + size, 0x5A);
  uint8_t lrc = 0;
  for (uint8_t byte : block) lrc ^= byte;
  block.push_back(lrc);
  std::string text;
  for (uint8_t byte : block) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X ", byte);
    text += two;
  }
  return text;
}

class DecodedLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(DecodedLine, Reads) {
  const LineCase& c = GetParam();
  std::vector<std::string> texts;
  for (const auto& block : tool::decode_line(c.events, c.echoes).blocks) texts.push_back(block.text);
  EXPECT_EQ(texts, c.texts);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DecodedLine,
    ::testing::Values(
        // A line that returns no echo: the card's answer is not taken for one.
        LineCase{"NoEcho",
                 {settings(true), settings(false), from_line(kAtr), to_card("00 00 02 90 00 92"),
                  from_line("00 00 02 6A 82 EA")},
                 true,
                 {"ATR: T=1, IFSC 32, LRC", "I(0) 2 bytes", "I(0) 2 bytes"}},
        // Once the line has echoed, a damaged echo is still the echo.
        LineCase{"DamagedEcho",
                 {settings(true), settings(false), from_line(kAtr), to_card("00 00 01 11 10"), from_line("00 00 01 11 10"),
                  from_line("00 00 01 22 23"), to_card("00 40 01 33 72"), from_line("00 40 01 00 72 00 40 01 44 05")},
                 true,
                 {"ATR: T=1, IFSC 32, LRC", "I(0) 1 byte", "I(0) 1 byte", "I(1) 1 byte", "I(1) 1 byte"}},
        // A block cut short ends when the other side speaks; LEN 255, a
        // wrong NAD, an S-block of no kind, an I-block beyond IFSD.
        LineCase{"Invalid",
                 {settings(true), settings(false), from_line(kAtr), to_card("00 00 01 11 10"), from_line("00 00 05 01"),
                  to_card("00 82 00 82"), from_line("21 00 00 21"), to_card("00 82 00 82"), from_line("00 C5 00 C5"),
                  to_card("00 82 00 82"), from_line(long_i_block(33))},
                 false,
                 {"ATR: T=1, IFSC 32, LRC", "I(0) 1 byte", "incomplete block: 4 bytes", "R(0) other error",
                  "NAD 21 (not 00), invalid block", "R(0) other error",
                  "PCB C5: reserved bits or no known kind, invalid block", "R(0) other error",
                  "I-block of 33 bytes, longer than IFSD 32"}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kdx::test
