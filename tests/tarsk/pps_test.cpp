// Protocol and parameter selection: the codec as tables, then the exchange
// against the card model (accepted, refused, silent, inverse convention,
// specific mode, refusals before anything is sent) and against scripted
// cards whose answers the model would not give; and the card model's log
// of a host that breaks the rules.
#include "serial_iso/pps.h"
#include "tarsk/card_exchange.h"

namespace kdx::test {
namespace {

using sim::PpsAnswer;
using tarsk::pps::Answer;

constexpr uint32_t T0 = tarsk::kProtocolT0;
constexpr uint32_t T1 = tarsk::kProtocolT1;

// T=0, TA1 0x13 (Fi 372, Di 4), negotiable.
const Bytes kNegotiableAtr = {0x3B, 0x13, 0x13, 0x4B, 0x44, 0x58};
const Bytes kInverseNegotiableAtr = {0x3F, 0x13, 0x13, 0x4B, 0x44, 0x58};
// The same in specific mode (TA2 = 0x00): at 38400 from the ATR on.
const Bytes kSpecificAtr = {0x3B, 0x93, 0x13, 0x10, 0x00, 0x4B, 0x44, 0x58};
// T=0 first, T=1 offered (TD2), TCK.
const Bytes kDualAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};

TEST(PpsCodec, Requests) {
  const auto t0 = tarsk::pps::build_request(0, 1, 3);
  EXPECT_EQ(Bytes(t0.begin(), t0.end()), hex_bytes("FF 10 13 FC"));
  const auto t1 = tarsk::pps::build_request(1, 1, 1);
  EXPECT_EQ(Bytes(t1.begin(), t1.end()), hex_bytes("FF 11 11 FF"));
  EXPECT_EQ(tarsk::pps::message_size(0x00), 3u);
  EXPECT_EQ(tarsk::pps::message_size(0x10), 4u);
  EXPECT_EQ(tarsk::pps::message_size(0x71), 6u);
}

TEST(PpsCodec, Answers) {
  const auto request = tarsk::pps::build_request(0, 1, 3);  // FF 10 13 FC
  struct Row {
    const char* answer;
    Answer meaning;
  } const rows[] = {
      {"FF 10 13 FC", Answer::accepted},  {"FF 00 FF", Answer::defaults},
      {"FF 10 13 FD", Answer::malformed},  // PCK
      {"FF 10 12 FD", Answer::malformed},  // another PPS1
      {"FF 11 13 FD", Answer::malformed},  // another protocol
      {"FF 30 13 01 ED", Answer::malformed},  // PPS2 not asked for
      {"FE 10 13 FD", Answer::malformed},
  };
  for (const Row& r : rows) {
    const Bytes answer = hex_bytes(r.answer);
    EXPECT_EQ(tarsk::pps::read_answer(request, answer.data(), answer.size()).answer, r.meaning) << r.answer;
  }
}

class Pps : public CardExchange {
 protected:
  sim::Iso7816Card& insert_card(const Bytes& atr, PpsAnswer answer = PpsAnswer::accept) {
    sim::Iso7816CardConfig config{atr};
    config.pps.answer = answer;
    return insert_iso(config);
  }
  unsigned answers(const sim::Iso7816Card& card) const {
    auto held = clock.lock();
    return card.answers();
  }
  // A T=0 command that the card must understand at the port's rate.
  void expect_exchange_works() {
    Bytes command = hex_bytes("00 B0 00 00 04");
    uint8_t response[258] = {};
    uint32_t length = 0;
    ASSERT_EQ(CPU_TransmitT0(command.data(), 5, response, &length), ST_OK);
    EXPECT_EQ(Bytes(response, response + length), hex_bytes("00 01 02 03 90 00"));
  }
};

TEST_F(Pps, AcceptedRefusedInverse) {
  struct Row {
    const char* name;
    Bytes atr;
    PpsAnswer answer;
    uint32_t protocols;
    uint8_t fi, di;
    Bytes sent;  // what went out on the line, as the card means it
    uint32_t baud;
    uint8_t record_fi, record_di;
    uint32_t wwt;
    bool reset;
  } const rows[] = {
      {"accepted", kNegotiableAtr, PpsAnswer::accept, 3, 1, 3, hex_bytes("FF 10 13 FC"), 38400, 1, 3, 1000, false},
      {"accepted by an inverse-convention card", kInverseNegotiableAtr, PpsAnswer::accept, 1, 1, 3,
       hex_bytes("FF 10 13 FC"), 38400, 1, 3, 1000, false},
      {"refused without PPS1: reset and default factors", kNegotiableAtr, PpsAnswer::refuse, 1, 1, 3,
       hex_bytes("FF 10 13 FC FF 10 11 FE"), 9600, 1, 1, 1000, true},
      {"factors the card cannot take: reset and default factors", kNegotiableAtr, PpsAnswer::accept, 1, 1, 8,
       hex_bytes("FF 10 18 F7 FF 10 11 FE"), 9600, 1, 1, 1000, true},
      {"default factors asked for", kNegotiableAtr, PpsAnswer::accept, 1, 1, 1, hex_bytes("FF 10 11 FE"), 9600, 1, 1,
       1000, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    sim::Iso7816Card& card = insert_card(r.atr, r.answer);
    activate();
    const unsigned answers_before = answers(card);
    ASSERT_EQ(CPU_SetProtocol(r.protocols, r.fi, r.di), ST_OK);
    const bool inverse = r.atr[0] == 0x3F;
    Bytes sent = host_written();
    if (inverse) {
      for (uint8_t& b : sent) b = sim::Iso7816Card::inverse(b);
    }
    // After a reset the trace also holds the reopening's test pattern.
    if (r.reset && sent.size() > 12) sent.erase(sent.begin() + 4, sent.begin() + 12);
    EXPECT_EQ(sent, r.sent);
    EXPECT_EQ(answers(card) != answers_before, r.reset);
    EXPECT_EQ(record().baud_rate, r.baud);
    EXPECT_EQ(port.settings().baud_rate, r.baud);
    EXPECT_EQ(card_record().protocol, T0);
    EXPECT_EQ(card_record().fi_index, r.record_fi);
    EXPECT_EQ(card_record().di_index, r.record_di);
    EXPECT_EQ(card_record().work_waiting_time, r.wwt);
    EXPECT_EQ(port.timeouts().read_total_constant, r.wwt);
    expect_exchange_works();
    EXPECT_TRUE(violations(card).empty()) << violations(card).front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Pps, T1PreferredAndItsWaitingTimes) {
  sim::Iso7816Card& card = insert_card(kDualAtr);
  activate();
  ASSERT_EQ(CPU_SetProtocol(3, 1, 1), ST_OK);
  EXPECT_EQ(host_written(), hex_bytes("FF 11 11 FF"));
  EXPECT_EQ(card_record().protocol, T1);
  // CWI 13, BWI 4 (no TB3), etu 372 / 3.5712 MHz: (8192 + 11) etu = 854.5 ms;
  // 11 etu + 16 x 960 x 372 / 3.5712 MHz = 1601.1 ms; both rounded up.
  EXPECT_EQ(card_record().character_waiting_time, 855u);
  EXPECT_EQ(card_record().block_waiting_time, 1602u);
  EXPECT_TRUE(violations(card).empty());
}

TEST_F(Pps, SilentCard) {
  sim::Iso7816Card& card = insert_card(kNegotiableAtr, PpsAnswer::silent);
  activate();
  EXPECT_EQ(CPU_SetProtocol(1, 1, 3), ST_COMM_ERROR);
  EXPECT_EQ(card_record().protocol, tarsk::kProtocolNone);
  EXPECT_TRUE(violations(card).empty());
}

TEST_F(Pps, NothingSent) {
  struct Row {
    const char* name;
    Bytes atr;
    uint32_t protocols, fi, di;
    StatusCode status;
  } const rows[] = {
      {"FI above 15", kNegotiableAtr, 1, 16, 1, ST_BAD_PARAMETER},
      {"DI above 15", kNegotiableAtr, 1, 1, 0x1F, ST_BAD_PARAMETER},
      {"T=1 not offered", kNegotiableAtr, 2, 1, 1, ST_PROTOCOL_UNSUPPORTED},
      {"27900 bit/s matches no speed", kNegotiableAtr, 1, 9, 4, ST_BAUD_UNSUPPORTED},
      {"reserved FI", kNegotiableAtr, 1, 7, 1, ST_BAUD_UNSUPPORTED},
      {"reserved DI 0", kNegotiableAtr, 1, 1, 0, ST_BAUD_UNSUPPORTED},
      {"specific mode, the parameters in force", kSpecificAtr, 1, 1, 3, ST_OK},
      {"specific mode, only the low 8 bits count", kSpecificAtr, 1, 0x101, 0x203, ST_OK},
      {"specific mode, other factors", kSpecificAtr, 1, 1, 1, ST_PPS_FAILED},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    sim::Iso7816Card& card = insert_card(r.atr);
    activate();
    const uint32_t baud = record().baud_rate;
    EXPECT_EQ(CPU_SetProtocol(r.protocols, r.fi, r.di), r.status);
    EXPECT_TRUE(host_written().empty());
    EXPECT_EQ(record().baud_rate, baud);
    expect_exchange_works();
    EXPECT_TRUE(violations(card).empty()) << violations(card).front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// Answers the model would not give: each ends in a status, and a refusal of
// the default factors ends it at once.
TEST_F(Pps, ScriptedAnswers) {
  struct Row {
    const char* name;
    uint32_t fi, di;
    std::deque<ScriptCard::Reply> replies;
    StatusCode status;
    uint32_t protocol;
  } const rows[] = {
      {"default factors refused", 1, 1, {{4, hex_bytes("FF 10 12 FD")}}, ST_PPS_FAILED, T0},
      {"both requests refused", 1, 3, {{4, hex_bytes("FF 00 FF")}, {4, hex_bytes("FF 10 12 FD")}}, ST_PPS_FAILED,
       tarsk::kProtocolNone},
      {"a wrong PCK, then the defaults", 1, 3, {{4, hex_bytes("FF 10 13 FD")}, {4, hex_bytes("FF 10 11 FE")}}, ST_OK,
       T0},
      {"half an answer", 1, 3, {{4, hex_bytes("FF 10")}}, ST_COMM_ERROR, tarsk::kProtocolNone},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    device.insert(std::make_unique<ScriptCard>(kNegotiableAtr, r.replies));
    activate();
    EXPECT_EQ(CPU_SetProtocol(1, r.fi, r.di), r.status);
    EXPECT_EQ(card_record().protocol, r.protocol);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// The card model notices a host that breaks the rules of PPS.
TEST_F(Pps, CardLogsHostFaults) {
  struct Row {
    const char* name;
    Bytes atr;
    Bytes request;
    const char* fault;
  } const rows[] = {
      {"wrong PCK", kNegotiableAtr, hex_bytes("FF 10 13 FD"), "wrong PCK"},
      {"specific mode", kSpecificAtr, hex_bytes("FF 10 13 FC"), "specific mode"},
      {"protocol not offered", kNegotiableAtr, hex_bytes("FF 11 11 FF"), "does not offer"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    sim::Iso7816Card& card = insert_card(r.atr);
    activate();
    ASSERT_EQ(SendData(r.request.data(), static_cast<uint32_t>(r.request.size())), ST_OK);
    clock.sleep_ms(100);
    ASSERT_EQ(violations(card).size(), 1u);
    EXPECT_NE(violations(card).front().find(r.fault), std::string::npos) << violations(card).front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }

  // A host that stays at the old rate after an accepted PPS.
  sim::Iso7816Card& card = insert_card(kNegotiableAtr);
  activate();
  ASSERT_EQ(CPU_SetProtocol(1, 1, 3), ST_OK);
  KDX_LineSettings old = port.settings();
  old.baud_rate = 9600;
  ASSERT_EQ(port.backend().set_settings(port.backend().context, &old), 0);
  const uint8_t byte = 0x00;
  ASSERT_EQ(SendData(&byte, 1), ST_OK);
  clock.sleep_ms(10);
  ASSERT_EQ(violations(card).size(), 1u);
  EXPECT_NE(violations(card).front().find("before the exchange"), std::string::npos);
}

}  // namespace
}  // namespace kdx::test
