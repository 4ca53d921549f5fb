// Answer to reset: when it counts as complete, what is handed over, and how
// CPU_Open gives a card a second chance.
#include <cstring>

#include "link/velmor_state.h"
#include "velmor/cpu_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kUntouched = 0xEE;

Bytes with_tail(Bytes bytes, std::size_t extra) {
  for (std::size_t i = 0; i < extra; ++i) bytes.push_back(static_cast<uint8_t>(0x80 + i));
  return bytes;
}

// The longest ATR the rule can measure: T0 FF (TA1 TB1 TC1 TD1, 15
// historical bytes), TD1 F1 (TA2 TB2 TC2 TD2, T=1 so TCK), TD2 F0 (TA3 TB3
// TC3 TD3); TD3 1F announces TA4, which is not counted. 31 bytes on the
// line, 30 counted.
Bytes longest_atr() {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xF1, 0x22, 0x00, 0x00, 0xF0, 0x33, 0x00, 0x00, 0x1F, 0x44};
  for (uint8_t i = 0; i < 15; ++i) atr.push_back(static_cast<uint8_t>('a' + i));
  atr.push_back(0x99);  // TCK
  return atr;
}

class CpuAtr : public CpuFixture {};

TEST_F(CpuAtr, CompletenessTable) {
  struct Case {
    const char* name;
    Bytes card_sends;
    StatusCode status;
    std::size_t length;  // bytes written on success
    uint8_t protocol;    // CardProtocol afterwards
  };
  const Case cases[] = {
      {"TS and T0 only", {0x3B, 0x00}, ST_OK, 2, 0},
      {"bytes after a complete ATR are not taken", {0x3B, 0x00, 0x90, 0x00}, ST_OK, 2, 0},
      {"TB1 TC1 and 8 historical", {0x3B, 0x68, 0x00, 0x00, 'K', 'D', 'X', '-', 'C', 'P', 'U', '1'}, ST_OK, 12, 0},
      {"historical bytes missing", {0x3B, 0x68, 0x00, 0x00, 'K', 'D', 'X'}, ST_NO_ATR, 0, 0},
      {"one byte", {0x3B}, ST_NO_ATR, 0, 0},
      {"TD1 names T=1, with TCK", {0x3B, 0x80, 0x01, 0x81}, ST_OK, 4, 1},
      {"TD1 names T=1, TCK missing", {0x3B, 0x80, 0x01}, ST_NO_ATR, 0, 1},
      {"T=1 named only in TD2: no TCK counted", {0x3B, 0x80, 0x80, 0x01, 0x01}, ST_OK, 4, 0},
      {"TA2 TB2 announced by TD1", {0x3B, 0x80, 0x30, 0x11, 0x22}, ST_OK, 5, 0},
      {"the longest countable ATR", longest_atr(), ST_OK, 30, 1},
      {"TS 3F refused", {0x3F, 0x00}, ST_BAD_ATR, 0, 0},
      {"TS 3F refused only once complete", {0x3F, 0x01, 0x55}, ST_BAD_ATR, 0, 0},
      {"a whole ISO buffer behind a short ATR", with_tail({0x3B, 0x00}, 193), ST_OK, 2, 0},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    insert_card(c.card_sends, c.card_sends);
    ASSERT_EQ(Power(kPowerCode, 1), ST_OK);
    reader.clear_trace();
    const uint64_t start = clock.now_ns();
    uint8_t atr[64];
    std::memset(atr, kUntouched, sizeof atr);
    EXPECT_EQ(CPU_AnalyseATR(atr), c.status);
    EXPECT_EQ(velmor::g_velmor.CardProtocol, c.protocol);
    if (c.status == ST_OK) {
      EXPECT_EQ(Bytes(atr, atr + c.length), Bytes(c.card_sends.begin(), c.card_sends.begin() + c.length));
      EXPECT_EQ(sequence(), (std::vector<std::string>{"60*", "61"}));
    } else {
      EXPECT_EQ(sequence(), std::vector<std::string>{"60*"});  // the ISO buffer is left as it is
    }
    EXPECT_EQ(atr[c.length], kUntouched);
    if (c.status == ST_NO_ATR) {
      // The reads go on without pause until 4000 ms have passed.
      EXPECT_GE(elapsed_ms(start), 4000);
      EXPECT_LT(elapsed_ms(start), 4050);
      EXPECT_GT(times_of(kReadIsoCode).size(), 100u);
    }
  }
}

// Inverse-convention cards as the reader delivers them (each byte of the
// card's ATR with its bits reversed and complemented; TS 3F reads as 03).
// The length comes from the decoded T0 and TD1, the bytes go out as read.
TEST_F(CpuAtr, InverseConventionLengthFromDecodedBytes) {
  struct Case {
    const char* name;
    Bytes card_sends;
    std::size_t length;
    uint8_t protocol;
  };
  const Case cases[] = {
      // 3F 65 25 00 2C 09 69 90 00: TB1 TC1, 5 historical. Read literally,
      // T0 59 would ask for 13 bytes and never be complete.
      {"TB1 TC1 and 5 historical", {0x03, 0x59, 0x5B, 0xFF, 0xCB, 0x6F, 0x69, 0xF6, 0xFF}, 9, 0},
      // 3F 2F 00 and 15 historical bytes 41..4F. Read literally, T0 0B would
      // cut the ATR at 13 bytes.
      {"15 historical",
       {0x03, 0x0B, 0xFF, 0x7D, 0xBD, 0x3D, 0xDD, 0x5D, 0x9D, 0x1D, 0xED, 0x6D, 0xAD, 0x2D, 0xCD, 0x4D, 0x8D, 0x0D},
       18, 0},
      // 3F 80 01 81: TD1 names T=1, so TCK belongs to it.
      {"T=1 with TCK", {0x03, 0xFE, 0x7F, 0x7E}, 4, 1},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    insert_card(c.card_sends, c.card_sends);
    uint8_t atr[64];
    std::memset(atr, kUntouched, sizeof atr);
    const uint64_t start = clock.now_ns();
    ASSERT_EQ(CPU_Open(atr), ST_OK);
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_EQ(Bytes(atr, atr + c.length), c.card_sends);
    EXPECT_EQ(atr[c.length], kUntouched);
    EXPECT_EQ(velmor::g_velmor.CardProtocol, c.protocol);
  }
}

TEST_F(CpuAtr, OpenWarmResetsWhenPowerOnBringsNoAtr) {
  const Bytes atr_bytes = {0x3B, 0x00};
  insert_card(std::nullopt, atr_bytes);
  open();
  uint8_t atr[30] = {};
  EXPECT_EQ(CPU_Open(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 2), atr_bytes);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"58:01", "60*", "59", "60*", "61"}));
  // The warm reset comes once the first analysis has waited its 4000 ms.
  const double waited = ms_between(times_of(kPowerCode)[0], times_of(kWarmResetCode)[0]);
  EXPECT_GE(waited, 4000);
  EXPECT_LT(waited, 4100);
  EXPECT_TRUE(card_->powered());
}

TEST_F(CpuAtr, OpenSwitchesOffACardThatNeverAnswersProperly) {
  struct Case {
    const char* name;
    std::optional<Bytes> power_on, warm_reset;
    StatusCode status;
    double min_ms, max_ms;
  };
  const Case cases[] = {
      {"silent", std::nullopt, std::nullopt, ST_NO_ATR, 8000, 8200},
      {"wrong TS twice", Bytes{0x3F, 0x00}, Bytes{0x3F, 0x00}, ST_BAD_ATR, 0, 200},
      {"wrong TS, then silent", Bytes{0x3F, 0x00}, std::nullopt, ST_NO_ATR, 4000, 4200},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    insert_card(c.power_on, c.warm_reset);
    reader.clear_trace();
    const uint64_t start = clock.now_ns();
    uint8_t atr[30];
    std::memset(atr, kUntouched, sizeof atr);
    EXPECT_EQ(CPU_Open(atr), c.status);
    EXPECT_GE(elapsed_ms(start), c.min_ms);
    EXPECT_LT(elapsed_ms(start), c.max_ms);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"58:01", "60*", "59", "60*", "58:00"}));
    EXPECT_FALSE(card_->powered());
    EXPECT_EQ(atr[0], kUntouched);
  }
}

TEST_F(CpuAtr, OpenAfterABadAtrSucceedsOnTheWarmReset) {
  const Bytes good = {0x3B, 0x00};
  insert_card(Bytes{0x3F, 0x00}, good);
  open();
  uint8_t atr[30] = {};
  EXPECT_EQ(CPU_Open(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 2), good);
  // The refused ATR is not cleared by the host; the reset empties the buffer.
  EXPECT_EQ(sequence(), (std::vector<std::string>{"58:01", "60*", "59", "60*", "61"}));
}

TEST_F(CpuAtr, OpenTreatsALinkFailureWhileReadingAsAFailedAttempt) {
  insert_card(Bytes{0x3B, 0x00}, Bytes{0x3B, 0x00});
  open();
  reader.corrupt_response_bcc(1);  // the first read of the ISO buffer
  uint8_t atr[30] = {};
  EXPECT_EQ(CPU_Open(atr), ST_OK);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"58:01", "60*", "59", "60*", "61"}));
}

TEST_F(CpuAtr, LinkFailureOfThePowerCommandIsReturnedAtOnce) {
  insert_card(Bytes{0x3B, 0x00}, Bytes{0x3B, 0x00});
  open();
  reader.nak_frames(3);
  uint8_t atr[30] = {};
  EXPECT_EQ(CPU_Open(atr), ST_COMM_ERROR);
  EXPECT_TRUE(reader.commands().empty());  // no switch-off attempted
}

TEST_F(CpuAtr, ResetAndClose) {
  const Bytes first = {0x3B, 0x00};
  const Bytes second = {0x3B, 0x01, 0x77};
  insert_card(first, second);
  open();
  uint8_t atr[30] = {};
  ASSERT_EQ(CPU_Open(atr), ST_OK);
  reader.clear_trace();
  EXPECT_EQ(CPU_Reset(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 3), second);
  EXPECT_EQ(CPU_Close(), ST_OK);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"59", "60*", "61", "58:00"}));
  EXPECT_FALSE(card_->powered());
}

TEST_F(CpuAtr, RefusedWithoutAPortOrABuffer) {
  uint8_t atr[30] = {};
  char response[391] = {};
  EXPECT_EQ(CPU_Open(atr), ST_NOT_OPEN);
  EXPECT_EQ(CPU_Close(), ST_NOT_OPEN);
  EXPECT_EQ(CPU_Reset(atr), ST_NOT_OPEN);
  EXPECT_EQ(CPU_AnalyseATR(atr), ST_NOT_OPEN);
  EXPECT_EQ(CPU_IsoAPDU("00A4000000", response), ST_NOT_OPEN);
  open();
  EXPECT_EQ(CPU_Open(nullptr), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_Reset(nullptr), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_AnalyseATR(nullptr), ST_BAD_PARAMETER);
  EXPECT_TRUE(reader.commands().empty());
}

}  // namespace
}  // namespace kdx::test
