// T=0 exchanges through the ISO buffer: the three cases with their
// procedure bytes, deadlines and pauses on the virtual clock, and the
// refusals of bad command text.
#include <cstring>

#include "link/velmor_state.h"
#include "velmor/cpu_fixture.h"

namespace kdx::test {
namespace {

using sim::Script;

constexpr std::size_t kResponseSize = 391;
constexpr char kCanary = '#';
// Beyond a deadline: the header's exchange before it, the last poll and the
// clearing of the ISO buffer after it, some 50 ms at 9600 baud.
constexpr double kLastPollAndClearMs = 100;

class CpuApdu : public CpuFixture {
 protected:
  // A powered T=0 card whose answers the test scripts; the trace starts
  // after its opening.
  sim::ScriptedApplication& powered_card(const Bytes& atr = {0x3B, 0x00}) {
    sim::ScriptedApplication& application = insert_card(atr, atr);
    open();
    uint8_t bytes[30];
    EXPECT_EQ(CPU_Open(bytes), ST_OK);
    reader.clear_trace();
    return application;
  }

  // Runs one exchange; the response text, or "status N" on a refusal.
  std::string apdu(const char* command) {
    std::memset(response, kCanary, sizeof response);
    start = clock.now_ns();
    const StatusCode status = CPU_IsoAPDU(command, response);
    if (status != ST_OK) return "status " + std::to_string(status);
    return response;
  }

  char response[kResponseSize + 1];
  uint64_t start = 0;
};

TEST_F(CpuApdu, CaseOneTakesWhatFollowsTheNullBytes) {
  auto& card = powered_card();
  card.add({Script().nulls(2, 300).pause_ms(300).status(0x9000)});
  EXPECT_EQ(apdu("0070000000"), "9000");
  EXPECT_EQ(sequence(), (std::vector<std::string>{"62:0070000000", "60*", "61"}));
  EXPECT_EQ(card.headers(), (std::vector<Bytes>{{0x00, 0x70, 0x00, 0x00, 0x00}}));
  EXPECT_GT(elapsed_ms(start), 900);
  EXPECT_LT(elapsed_ms(start), 1000);
}

TEST_F(CpuApdu, EachNullByteMovesTheDeadline) {
  struct Case {
    unsigned nulls;
    uint32_t status_at_ms;  // after the header
    const char* response;
  } const cases[] = {
      {0, 3900, "9000"}, {0, 4200, "6F00"}, {3, 15900, "9000"}, {3, 16200, "6F00"},
  };
  auto& card = powered_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nulls << " NULL bytes, status at " << c.status_at_ms);
    const uint32_t nulls_ms = 100 * c.nulls;
    card.add({Script().nulls(c.nulls, 100).pause_ms(c.status_at_ms - nulls_ms).status(0x9000)});
    reader.clear_trace();
    EXPECT_EQ(apdu("0070000000"), c.response);
    if (std::string(c.response) == "6F00") {
      const double deadline = 4000.0 * (c.nulls + 1);
      EXPECT_GE(elapsed_ms(start), deadline);
      EXPECT_LT(elapsed_ms(start), deadline + kLastPollAndClearMs);
    }
    EXPECT_EQ(sequence().back(), "61");
  }
}

TEST_F(CpuApdu, CaseTwoReadsDataBehindTheProcedureBytes) {
  struct Case {
    const char* name;
    const char* command;
    Script card;
    const char* response;
  };
  const Case cases[] = {
      {"INS, data, status", "00B0000004", Script().send({0xB0, 1, 2, 3, 4, 0x90, 0x00}), "010203049000"},
      {"lower-case text", "00b0000004", Script().send({0xB0, 1, 2, 3, 4, 0x90, 0x00}), "010203049000"},
      {"NULL first", "00B0000002", Script().nulls(1, 500).pause_ms(500).send({0xB0, 7, 8, 0x90, 0x00}), "07089000"},
      {"INS XOR FF before each byte", "00B0000003",
       Script().send({0x4F, 0xA1, 0x4F, 0xA2, 0x4F, 0xA3, 0x90, 0x00}), "A1A2A39000"},
      {"data that arrive slowly", "00B0000002", Script().send({0xB0, 1}).pause_ms(1500).send({2, 0x90, 0x00}),
       "01029000"},
      {"status at once", "00B0000004", Script().status(0x6B00), "6B00"},
      {"wrong length, not retried", "00B0000040", Script().status(0x6C22), "6C22"},
  };
  auto& card = powered_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card.add({c.card});
    reader.clear_trace();
    EXPECT_EQ(apdu(c.command), c.response);
    const std::vector<std::string> steps = sequence();
    EXPECT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps.back(), "61");
    EXPECT_EQ(card.headers().back(), (Bytes{0x00, 0xB0, 0x00, 0x00, card.headers().back()[4]}));
  }
}

TEST_F(CpuApdu, CaseThreeSendsAllDataAfterIns) {
  auto& card = powered_card();
  card.add({Script().send({0xD6}).receive(3), Script().pause_ms(200).status(0x9000)});
  EXPECT_EQ(apdu("00D6000003AABBCC"), "9000");
  EXPECT_EQ(sequence(), (std::vector<std::string>{"62:00D6000003", "60*", "62:AABBCC", "60*", "61"}));
  EXPECT_EQ(card.data().back(), (Bytes{0xAA, 0xBB, 0xCC}));
  // The card's answer is awaited only after a 1000 ms pause.
  const std::vector<uint64_t> transmits = times_of(kTransmitCode);
  uint64_t next_read = 0;
  for (uint64_t t : times_of(kReadIsoCode)) {
    if (t > transmits[1]) {
      next_read = t;
      break;
    }
  }
  EXPECT_GE(ms_between(transmits[1], next_read), 1000);
  EXPECT_LT(ms_between(transmits[1], next_read), 1050);
}

TEST_F(CpuApdu, CaseThreeSendsOneByteAfterEachComplementedIns) {
  auto& card = powered_card();
  const Script more = Script().nulls(1, 50).send({0x29}).receive(1);
  card.add({Script().send({0x29}).receive(1), more, more, Script().status(0x9000)});
  EXPECT_EQ(apdu("00D6000003010203"), "9000");
  EXPECT_EQ(sequence(), (std::vector<std::string>{"62:00D6000003", "60*", "62:01", "60*", "62:02", "60*", "62:03",
                                                  "60*", "61"}));
  EXPECT_EQ(card.data().back(), (Bytes{1, 2, 3}));
}

TEST_F(CpuApdu, CaseThreeDataAreTheP3BytesBehindTheHeader) {
  struct Case {
    const char* command;
    Bytes sent;
  } const cases[] = {
      {"00D6000004AABB", {0xAA, 0xBB, 0x00, 0x00}},  // missing bytes go as 00
      {"00D6000002AABBCC", {0xAA, 0xBB}},            // a trailing Le is not sent
  };
  auto& card = powered_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    card.add({Script().send({0xD6}).receive(c.sent.size()), Script().status(0x9000)});
    EXPECT_EQ(apdu(c.command), "9000");
    EXPECT_EQ(card.data().back(), c.sent);
  }
}

TEST_F(CpuApdu, RefusalAfterTheHeaderSendsNoData) {
  auto& card = powered_card();
  card.add({Script().status(0x6A82)});
  EXPECT_EQ(apdu("00A40000023F00"), "6A82");
  EXPECT_EQ(sequence(), (std::vector<std::string>{"62:00A4000002", "60*", "61"}));
  EXPECT_TRUE(card.data().back().empty());
}

TEST_F(CpuApdu, StatusWordsAreReturnedAsTheyCome) {
  auto& card = powered_card();
  card.add({Script().send({0xA4}).receive(2), Script().status(0x610D)});
  EXPECT_EQ(apdu("00A40000023F00"), "610D");
  card.add({Script().status(0x6D00)});
  EXPECT_EQ(apdu("00EE000000"), "6D00");
  EXPECT_EQ(card.headers().size(), 2u);  // no GET RESPONSE of its own
}

TEST_F(CpuApdu, SilentCardGivesSixF00) {
  struct Case {
    const char* command;
    double deadline_ms;
  } const cases[] = {
      {"0070000000", 4000},
      {"00B0000004", 4000},
      {"00D6000001AA", 5000},  // the deadline, then the pause of the sending case
  };
  powered_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    reader.clear_trace();
    EXPECT_EQ(apdu(c.command), "6F00");
    EXPECT_GE(elapsed_ms(start), c.deadline_ms);
    EXPECT_LT(elapsed_ms(start), c.deadline_ms + kLastPollAndClearMs);
    EXPECT_EQ(sequence().back(), "61");
  }
}

TEST_F(CpuApdu, TextRefusedBeforeAnythingIsSent) {
  const std::string too_long = "00D60000C3" + std::string(392, 'A');  // 402 digits
  const std::string too_much_data = "00D60000C4" + std::string(2 * 0xC4, '0');
  struct Case {
    const char* name;
    std::string command;
    StatusCode status;
  };
  const Case cases[] = {
      {"odd length", "00A400000", ST_APDU_LENGTH},
      {"odd length with a non-digit", "00A40000G", ST_APDU_LENGTH},
      {"non-digit", "00A4G00000", ST_BAD_PARAMETER},
      {"space", "00 A400000", ST_BAD_PARAMETER},
      {"P3 0 with data", "0000000000FF", ST_APDU_FORMAT},
      {"more than 400 digits", too_long, ST_APDU_LENGTH},
      {"more data than a command APDU holds", too_much_data, ST_APDU_LENGTH},
  };
  powered_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(apdu(c.command.c_str()), "status " + std::to_string(c.status));
    EXPECT_EQ(response[0], kCanary);
  }
  EXPECT_EQ(CPU_IsoAPDU(nullptr, response), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_IsoAPDU("0070000000", nullptr), ST_BAD_PARAMETER);
  EXPECT_TRUE(reader.commands().empty());
}

TEST_F(CpuApdu, LargestAndSmallestCommands) {
  auto& card = powered_card();
  card.add({Script().send({0xD6}).receive(0xC3), Script().status(0x9000)});
  EXPECT_EQ(apdu(("00D60000C3" + std::string(2 * 0xC3, '5')).c_str()), "9000");
  EXPECT_EQ(card.data().back(), Bytes(0xC3, 0x55));
  card.add({Script().status(0x6E00)});
  EXPECT_EQ(apdu(""), "6E00");
  EXPECT_EQ(card.headers().back(), Bytes(5, 0x00));
}

TEST_F(CpuApdu, TOneCardIsRefused) {
  powered_card({0x3B, 0x80, 0x01, 0x81});
  EXPECT_EQ(apdu("00A400000"), "status 29");  // the text checks come first
  EXPECT_EQ(apdu("00A4000000"), "status 28");
  EXPECT_EQ(response[0], kCanary);
  EXPECT_TRUE(reader.commands().empty());
}

TEST_F(CpuApdu, ReaderStatusOfTheTransmissionIsReturnedAtOnce) {
  auto& card = powered_card();
  card.add({Script().status(0x9000)});
  reader.override_status(1, ST_NO_CARD);  // the response frame of the header's command 62
  EXPECT_EQ(apdu("0070000000"), "status 16");
  EXPECT_EQ(sequence(), std::vector<std::string>{"62:0070000000"});
  EXPECT_EQ(response[0], kCanary);
}

TEST_F(CpuApdu, LinkFailureWhilePollingLeavesTheIsoBuffer) {
  auto& card = powered_card();
  card.add({Script().nulls(1, 100)});
  // The header's exchange brings the host 9 bytes (ready, acknowledgement,
  // STX, a frame of 4 bytes, DLE ETX); the first poll gets its ready and
  // acknowledgement, and then no response frame.
  reader.go_silent_after(9 + 2);
  EXPECT_EQ(apdu("0070000000"), "status 15");
  EXPECT_EQ(sequence(), (std::vector<std::string>{"62:0070000000", "60*"}));
}

// A card that answers a sending command with one status byte, then asks for
// the data and sends a whole ISO buffer: the text stays within its 391
// characters.
TEST_F(CpuApdu, ResponseTextNeverOutgrowsTheCallersBuffer) {
  auto& card = powered_card();
  Bytes flood(195, 0x11);
  card.add({Script().send({0x6A}).pause_ms(100).send({0xD6 ^ 0xFF}).receive(1), Script().send(flood)});
  EXPECT_EQ(apdu("00D6000001AA"), "6A" + std::string(2 * 194, '1'));
  EXPECT_EQ(response[kResponseSize], kCanary);
}

}  // namespace
}  // namespace kdx::test
