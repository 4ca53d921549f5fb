// T=0 exchanges: the procedure-byte codec and command mapping as tables,
// then the four cases of ISO/IEC 7816-4 (and the status words the card
// answers instead) against every variant of the card model, in one session
// per variant so that a byte left over would break the next command; then
// cards that break the protocol, the time bounds, and the arguments.
#include "serial_iso/exchange_limits.h"
#include "serial_iso/t0_codec.h"
#include "tarsk/card_exchange.h"
#include "tarsk_apdu.h"

namespace kdx::test {
namespace {

using sim::T0Acks;
using sim::T0Behaviour;
using tarsk::t0::Procedure;

struct Exchanged {
  StatusCode status;
  Bytes response;
};

Exchanged transmit(Bytes command) {
  uint8_t response[300];
  std::fill(std::begin(response), std::end(response), 0xEE);
  uint32_t length = 0xFFFF;
  const StatusCode status = CPU_TransmitT0(command.data(), static_cast<uint32_t>(command.size()), response, &length);
  EXPECT_LE(length, 258u);
  EXPECT_EQ(response[258], 0xEE) << "written past the response";
  if (status != ST_OK) {
    EXPECT_EQ(length, 0u);
  }
  return {status, Bytes(response, response + std::min<uint32_t>(length, 258))};
}

Bytes counting(uint8_t from, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(from + i);
  return bytes;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(T0Codec, ProcedureBytes) {
  struct Row {
    uint8_t byte, ins;
    Procedure meaning;
  } const rows[] = {
      {0x60, 0xB0, Procedure::null},    {0xB0, 0xB0, Procedure::ack_all}, {0x4F, 0xB0, Procedure::ack_one},
      {0xB1, 0xB0, Procedure::ack_all}, {0x4E, 0xB0, Procedure::ack_one}, {0x90, 0xB0, Procedure::sw1},
      {0x61, 0xB0, Procedure::sw1},     {0x6F, 0xB0, Procedure::sw1},     {0x9F, 0xB0, Procedure::sw1},
      {0x00, 0xB0, Procedure::invalid}, {0x70, 0xB0, Procedure::invalid}, {0xFF, 0xB0, Procedure::invalid},
      // INS + 1 and its complement never hide NULL or SW1.
      {0x60, 0x5F, Procedure::null},    {0x5F, 0x5F, Procedure::ack_all}, {0x6F, 0x8F, Procedure::sw1},
      {0x90, 0x6F, Procedure::sw1},
      // INS 0xFF has no INS + 1 (0x00, complement 0xFF is INS itself).
      {0x00, 0xFF, Procedure::ack_one}, {0x01, 0xFF, Procedure::invalid},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(tarsk::t0::classify(r.byte, r.ins), r.meaning) << std::hex << int(r.byte) << " for INS " << int(r.ins);
  }
}

TEST(T0Codec, CommandShapes) {
  struct Row {
    const char* command;
    bool valid;
    uint32_t outgoing, incoming;
  } const rows[] = {
      {"00 A4 00 00", false, 0, 0},
      {"00 B0 00 00 08", true, 0, 8},
      {"00 B0 00 00 00", true, 0, 256},
      {"00 D6 00 00 02 11 22", true, 2, 0},
      {"00 A4 00 00 02 3F 00 00", true, 2, 0},  // trailing Le, not sent
      {"00 D6 00 00 02 11", false, 0, 0},
      {"00 D6 00 00 02 11 22 33 44", false, 0, 0},
      {"00 D6 00 00 00 11", false, 0, 0},
  };
  for (const Row& r : rows) {
    const Bytes command = hex_bytes(r.command);
    const auto shape = tarsk::t0::shape(command.data(), static_cast<uint32_t>(command.size()));
    ASSERT_EQ(shape.has_value(), r.valid) << r.command;
    if (!shape) continue;
    EXPECT_EQ(shape->outgoing, r.outgoing) << r.command;
    EXPECT_EQ(shape->incoming, r.incoming) << r.command;
  }
}

struct Variant {
  const char* name;
  T0Behaviour behaviour;
  bool inverse = false;
};

const Variant kVariants[] = {
    {"plain", {}},
    {"three NULLs before every procedure byte", {.nulls = 3}},
    {"one byte at a time", {.acks = T0Acks::one_by_one}},
    {"mixed acknowledgements", {.acks = T0Acks::mixed}},
    {"INS + 1 acknowledgements", {.acks = T0Acks::mixed, .vpp_acks = true}},
    {"slow, NULLs while it works", {.nulls = 1, .work_ms = 2500, .keepalive_ms = 400}},
    {"inverse convention", {}, true},
    {"inverse, NULLs, one byte at a time", {.nulls = 2, .acks = T0Acks::one_by_one}, true},
};

struct Case {
  const char* name;
  const char* command;
  Bytes response;
};

// The sample application's file holds byte i at offset i.
const Case kCases[] = {
    {"case 1", "00 44 00 00 00", {0x90, 0x00}},
    {"case 2", "00 B0 00 00 08", concat(counting(0, 8), {0x90, 0x00})},
    {"case 2, data that begins like NULL", "00 B0 00 60 04", concat(counting(0x60, 4), {0x90, 0x00})},
    {"case 2, P3 = 0: 256 bytes that begin like SW1", "00 B0 00 90 00", concat(counting(0x90, 256), {0x90, 0x00})},
    {"case 2, wrong Le", "00 B0 01 F0 20", {0x6C, 0x10}},
    {"case 3", "00 D6 00 10 03 AA BB CC", {0x90, 0x00}},
    {"case 3 read back", "00 B0 00 0F 05", {0x0F, 0xAA, 0xBB, 0xCC, 0x13, 0x90, 0x00}},
    {"case 3 refused after the header", "80 D6 00 00 02 11 22", {0x6E, 0x00}},
    {"case 4", "00 A4 00 00 02 3F 00", {0x61, 0x06}},
    {"GET RESPONSE", "00 C0 00 00 06", {0x62, 0x04, 0x83, 0x02, 0x3F, 0x00, 0x90, 0x00}},
    {"case 4 given with Le", "00 A4 00 00 02 00 01 00", {0x61, 0x06}},
    {"GET RESPONSE with a wrong Le", "00 C0 00 00 08", {0x6C, 0x06}},
    {"case 4, not found", "00 A4 00 00 02 12 34", {0x6A, 0x82}},
    {"INS 6X", "00 6A 00 00 00", {0x6D, 0x00}},
};

class T0Exchange : public CardExchange {};

TEST_F(T0Exchange, FourCasesOnEveryCardVariant) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    sim::Iso7816CardConfig config{v.inverse ? kInverseAtr : kPlainAtr};
    config.t0 = v.behaviour;
    sim::Iso7816Card& card = insert_iso(config);
    activate();
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.name);
      const Exchanged got = transmit(hex_bytes(c.command));
      EXPECT_EQ(got.status, ST_OK);
      EXPECT_EQ(got.response, c.response);
    }
    EXPECT_TRUE(violations(card).empty()) << violations(card).front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(T0Exchange, CommandDataAndEchoOnTheLine) {
  insert_iso({kPlainAtr});
  activate();
  Bytes command = hex_bytes("00 A4 00 00 02 3F 00 00");
  uint8_t response[258] = {};
  uint32_t length = 0;
  ASSERT_EQ(CPU_TransmitT0(command.data(), 8, response, &length), ST_OK);
  // Exactly the header and P3 data bytes went out; the buffer holds their echo.
  EXPECT_EQ(host_written(), hex_bytes("00 A4 00 00 02 3F 00"));
  EXPECT_EQ(command, hex_bytes("00 A4 00 00 02 3F 00 00"));
}

TEST_F(T0Exchange, StringMode) {
  sim::Iso7816Card& card = insert_iso({kPlainAtr});
  activate();
  ASSERT_EQ(KDX_SetStringMode(1), ST_OK);
  std::string command = "00b0000004";
  char response[2 * 258 + 1];
  std::fill(std::begin(response), std::end(response), 'x');
  uint32_t length = 0;
  EXPECT_EQ(CPU_TransmitT0(reinterpret_cast<uint8_t*>(command.data()), 5, reinterpret_cast<uint8_t*>(response), &length),
            ST_OK);
  EXPECT_EQ(length, 6u);
  EXPECT_STREQ(response, "000102039000");

  std::string bad = "00B00000G4";
  EXPECT_EQ(CPU_TransmitT0(reinterpret_cast<uint8_t*>(bad.data()), 5, reinterpret_cast<uint8_t*>(response), &length),
            ST_BAD_PARAMETER);
  KDX_SetStringMode(0);
  EXPECT_TRUE(host_written().size() == 5) << "the bad text sent nothing";
  EXPECT_TRUE(violations(card).empty());
}

TEST_F(T0Exchange, RefusedBeforeAnythingIsSent) {
  insert_iso({kPlainAtr});
  activate();
  for (const char* command : {"00 A4 00 00", "00 D6 00 00 03 11 22", "00 D6 00 00 01 11 22 33", "00 D6 00 00 00 11"}) {
    EXPECT_EQ(transmit(hex_bytes(command)).status, ST_APDU_FORMAT) << command;
  }
  EXPECT_TRUE(host_written().empty());
  Bytes command = hex_bytes("00 B0 00 00 04");
  uint32_t length = 0;
  EXPECT_EQ(CPU_TransmitT0(command.data(), 5, nullptr, &length), ST_BAD_PARAMETER);
  ASSERT_EQ(CPU_CloseCard(), ST_OK);
  EXPECT_EQ(transmit(command).status, ST_CARD_NOT_POWERED);
  EXPECT_TRUE(host_written().empty());
}

// A response as long as T=0 allows, at 9600 baud (about 320 ms on the line)
// from a card whose work waiting time is 100 ms (WI = 1): the waiting time
// bounds the gaps, not the whole transfer.
TEST_F(T0Exchange, LongResponseWithShortWaitingTime) {
  sim::Iso7816Card& card = insert_iso({{0x3B, 0x80, 0x40, 0x01}});
  activate();
  ASSERT_EQ(card_record().work_waiting_time, 100u);
  const Exchanged got = transmit(hex_bytes("00 B0 00 00 00"));
  EXPECT_EQ(got.status, ST_OK);
  EXPECT_EQ(got.response, concat(counting(0, 256), {0x90, 0x00}));
  EXPECT_TRUE(violations(card).empty());
}

// Cards that break the protocol, or bend it: each exchange ends with a
// status, and never with a made-up status word.
TEST_F(T0Exchange, ScriptedCards) {
  constexpr const char* kRead = "00 B0 00 00 02";
  constexpr const char* kWrite = "00 D6 00 00 02 11 22";
  struct Row {
    const char* name;
    const char* command;
    std::deque<ScriptCard::Reply> replies;
    StatusCode status;
    Bytes response;
  } const rows[] = {
      {"NULLs between the data and SW1", kWrite, {{5, {0xD6}}, {2, {0x60, 0x60, 0x90, 0x00}}}, ST_OK, {0x90, 0x00}},
      {"complement of INS before each byte sent", kWrite, {{5, {0x29}}, {1, {0x29}}, {1, {0x90, 0x00}}}, ST_OK,
       {0x90, 0x00}},
      {"complement of INS, then INS", kRead, {{5, {0x4F, 0x12, 0xB0, 0x34, 0x90, 0x00}}}, ST_OK,
       {0x12, 0x34, 0x90, 0x00}},
      {"SW1 right after the header", kWrite, {{5, {0x6A, 0x86}}}, ST_OK, {0x6A, 0x86}},
      {"a procedure byte outside the protocol", kRead, {{5, {0x42, 0x90, 0x00}}}, ST_COMM_ERROR, {}},
      {"NULL, then nothing", kRead, {{5, {0x60}}}, ST_COMM_ERROR, {}},
      {"a gap within the waiting time after NULL", kRead, {{5, {0x60, 0xB0, 0x12, 0x34, 0x90, 0x00}, 900}}, ST_OK,
       {0x12, 0x34, 0x90, 0x00}},
      {"an acknowledgement with nothing left", kRead, {{5, {0xB0, 0x12, 0x34, 0xB0}}}, ST_COMM_ERROR, {}},
      {"SW1 without SW2", kRead, {{5, {0x6A}}}, ST_COMM_ERROR, {}},
      {"fewer data bytes than announced", kRead, {{5, {0xB0, 0x12}}}, ST_COMM_ERROR, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    device.insert(std::make_unique<ScriptCard>(kPlainAtr, r.replies));
    activate();
    const Exchanged got = transmit(hex_bytes(r.command));
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.response, r.response);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(T0Exchange, EndlessNullsEndWithinTheExchangeLimit) {
  sim::Iso7816CardConfig config{kPlainAtr};
  config.t0.endless_nulls = true;
  config.t0.keepalive_ms = 300;
  insert_iso(config);
  activate();
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(transmit(hex_bytes("00 B0 00 00 04")).status, ST_COMM_ERROR);
  EXPECT_GE(elapsed_ms(start), tarsk::kExchangeTimeLimitMs);
  EXPECT_LE(elapsed_ms(start), tarsk::kExchangeTimeLimitMs + 1000.0);
}

TEST_F(T0Exchange, CardPulledDuringTheExchange) {
  sim::Iso7816CardConfig config{kPlainAtr};
  config.t0.work_ms = 800;
  insert_iso(config);
  activate();
  clock.schedule_in(200 * sim::kNsPerMs, [this] { device.remove(); });
  EXPECT_EQ(transmit(hex_bytes("00 B0 00 00 04")).status, ST_COMM_ERROR);
  EXPECT_EQ(transmit(hex_bytes("00 B0 00 00 04")).status, ST_NO_CARD);
}

}  // namespace
}  // namespace kdx::test

namespace kdx::test {
namespace {

// CPU_IsoAPDU runs T=0 for a T=0 card; CPU_IsoAPDUEx never writes past the
// room it is given.
TEST_F(CardExchange, DispatchToT0) {
  sim::Iso7816Card& card = insert_iso({kPlainAtr});
  activate();
  Bytes command = hex_bytes("00 B0 00 00 04");
  uint8_t response[16] = {};
  uint32_t length = 0;
  ASSERT_EQ(CPU_IsoAPDU(command.data(), 5, response, &length), ST_OK);
  EXPECT_EQ(Bytes(response, response + length), hex_bytes("00 01 02 03 90 00"));
  command = hex_bytes("00 B0 00 00 08");
  std::fill(std::begin(response), std::end(response), 0xEE);
  EXPECT_EQ(CPU_IsoAPDUEx(command.data(), 5, response, 4, &length), ST_BAD_RESPONSE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(response[0], 0xEE);
  command = hex_bytes("00 B0 00 00 02");
  ASSERT_EQ(CPU_IsoAPDU(command.data(), 5, response, &length), ST_OK);
  EXPECT_EQ(Bytes(response, response + length), hex_bytes("00 01 90 00"));
  EXPECT_TRUE(violations(card).empty());
}

}  // namespace
}  // namespace kdx::test
