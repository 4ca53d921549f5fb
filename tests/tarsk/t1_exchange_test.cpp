// APDU exchanges with the T=1 card model through CPU_IsoAPDU: chaining both
// ways, IFS, WTX and ABORT, and recovery from the card's faults. Every
// positive case ends with the card's violation log empty.
#include <algorithm>
#include <cstring>
#include <random>

#include "sim/cards/iso7816_application.h"
#include "sim/cards/iso7816_card.h"
#include "sim/cards/iso7816_t1.h"
#include "tarsk/line_fixture.h"
#include "serial_iso/exchange_limits.h"
#include "serial_iso/t1_exchange.h"
#include "tarsk_apdu.h"

namespace kdx::test {
namespace {

using sim::Iso7816Card;
using sim::Iso7816T1;
using sim::T1Fault;

constexpr uint8_t kTb3 = 0x45;  // BWI 4 (BWT 1.6 s), CWI 5
const Bytes kOk{0x90, 0x00};
const Bytes kSelectName{0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x44, 0x58};
const Bytes kSelectBigFile{0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};

struct CardKind {
  const char* name;
  uint8_t ifsc = 32;
  bool crc = false;
  bool inverse = false;
  uint8_t guard = 0;
};

class T1Exchange : public LineFixture {
 protected:
  void start(const CardKind& kind = {}, sim::T1CardConfig config = {}) {
    Bytes atr = sim::t1_atr(kind.ifsc, kTb3, kind.crc, kind.guard);
    if (kind.inverse) atr[0] = 0x3F;
    auto card = std::make_unique<Iso7816Card>(sim::Iso7816CardConfig{atr, std::nullopt, {}, 10000, sim::t1_protocol(config)});
    card_ = card.get();
    device.insert(std::move(card));
    open();
    activate();
  }
  void activate() {
    uint8_t atr[32];
    uint16_t length = 0;
    ASSERT_EQ(CPU_OpenCard(atr, &length), ST_OK);
  }
  Iso7816T1& t1() { return *static_cast<Iso7816T1*>(card_->protocol()); }

  // CPU_IsoAPDU with raw bytes.
  StatusCode apdu(Bytes command, Bytes& response) {
    response.assign(tarsk::kMaxResponseSize, 0);
    uint32_t length = 0;
    const StatusCode status = CPU_IsoAPDU(command.data(), static_cast<uint32_t>(command.size()), response.data(), &length);
    response.resize(std::min<std::size_t>(length, response.size()));
    return status;
  }
  Bytes expect_ok(const Bytes& command) {
    Bytes response;
    EXPECT_EQ(apdu(command, response), ST_OK);
    return response;
  }
  std::vector<std::string> violations() {
    auto held = clock.lock();
    return card_->violations();
  }
  // The PCBs of the host's blocks as the card received them.
  std::vector<uint8_t> host_pcbs() {
    auto held = clock.lock();
    std::vector<uint8_t> pcbs;
    for (const Bytes& block : t1().host_blocks()) pcbs.push_back(block[1]);
    return pcbs;
  }
  void inject(T1Fault fault, unsigned nth, Bytes block = {}) {
    auto held = clock.lock();
    t1().inject(fault, nth, std::move(block));
  }
  static Bytes read_binary(uint16_t offset, std::size_t le) {
    if (le <= 256) return {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), static_cast<uint8_t>(le)};
    return {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 0x00,
            static_cast<uint8_t>(le >> 8), static_cast<uint8_t>(le)};
  }
  static Bytes file_part(uint16_t id, std::size_t offset, std::size_t count) {
    const Bytes file = sim::sample_file(id);
    Bytes part(file.begin() + static_cast<std::ptrdiff_t>(offset), file.begin() + static_cast<std::ptrdiff_t>(offset + count));
    part.insert(part.end(), kOk.begin(), kOk.end());
    return part;
  }

  Iso7816Card* card_ = nullptr;
};

class T1Cards : public T1Exchange, public ::testing::WithParamInterface<CardKind> {};

// A short APDU, then a 302-byte response chained in blocks of IFSD 32, then
// an UPDATE BINARY of 40 command bytes chained at IFSC 32 and read back.
TEST_P(T1Cards, ShortChainedResponseAndChainedCommand) {
  start(GetParam());
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  EXPECT_EQ(card_record().t1_send_sequence, 0x40);
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  EXPECT_EQ(expect_ok(read_binary(0, 300)), file_part(0x0101, 0, 300));

  Bytes update{0x00, 0xD6, 0x00, 0x10, 35};
  for (uint8_t i = 0; i < 35; ++i) update.push_back(static_cast<uint8_t>(0xC0 + i));
  ASSERT_EQ(update.size(), 40u);
  EXPECT_EQ(expect_ok(update), kOk);
  Bytes back = expect_ok(read_binary(0x10, 35));
  EXPECT_EQ(Bytes(back.begin(), back.end() - 2), Bytes(update.begin() + 5, update.end()));
  EXPECT_TRUE(violations().empty()) << violations().front();
}

INSTANTIATE_TEST_SUITE_P(Cards, T1Cards,
                         ::testing::Values(CardKind{"lrc"}, CardKind{"crc", 32, true},
                                           CardKind{"inverse", 32, false, true},
                                           CardKind{"guard_255", 32, false, false, 255},
                                           CardKind{"ifsc_254_crc_inverse", 254, true, true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(T1Exchange, FortyByteCommandGoesOutAsThirtyTwoAndEight) {
  start();
  Bytes echo{0x80, 0xEE, 0x00, 0x00, 35};
  for (uint8_t i = 0; i < 35; ++i) echo.push_back(i);
  Bytes expected(echo.begin() + 5, echo.end());
  expected.insert(expected.end(), kOk.begin(), kOk.end());
  EXPECT_EQ(expect_ok(echo), expected);
  auto held = clock.lock();
  const auto& blocks = t1().host_blocks();
  ASSERT_EQ(blocks.size(), 3u);  // I(0,M) 32, I(1) 8, R(0) acknowledging the card's first 32
  EXPECT_EQ(Bytes(blocks[0].begin(), blocks[0].begin() + 3), (Bytes{0x00, 0x20, 32}));
  EXPECT_EQ(Bytes(blocks[1].begin(), blocks[1].begin() + 3), (Bytes{0x00, 0x40, 8}));
  EXPECT_EQ(blocks[2][1], 0x90);
}

TEST_F(T1Exchange, SlowCommandGetsWaitingTimeExtensions) {
  start();
  const uint64_t before = clock.now_ns();
  EXPECT_EQ(expect_ok({0x80, 0xF0, 0x0F, 0xA0}), kOk);  // 4000 ms of work
  EXPECT_GE(elapsed_ms(before), 4000);
  std::vector<uint8_t> pcbs = host_pcbs();
  EXPECT_NE(std::find(pcbs.begin(), pcbs.end(), 0xE3), pcbs.end());
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  EXPECT_TRUE(violations().empty()) << violations().front();
}

TEST_F(T1Exchange, CardAsksForItsOwnIfsc) {
  start({}, sim::T1CardConfig{.ifs_request = 0x10});
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  EXPECT_EQ(card_record().ifsc, 0x10);
  Bytes echo{0x80, 0xEE, 0x00, 0x00, 20};
  echo.resize(25, 0x33);
  EXPECT_EQ(expect_ok(echo).size(), 22u);
  auto held = clock.lock();
  for (const Bytes& block : t1().host_blocks()) {
    if ((block[1] & 0x80) == 0) {
      EXPECT_LE(block[2], 0x10);
    }
  }
  EXPECT_TRUE(card_->violations().empty()) << card_->violations().front();
}

struct Recovery {
  const char* name;
  T1Fault fault;
  unsigned nth;
  uint8_t host_answer;  // a PCB the host must have sent for it
  Bytes block{};
};

class T1Recovery : public T1Exchange, public ::testing::WithParamInterface<Recovery> {};

// One fault on a block of a chained response: the host asks again and the
// answer is whole.
TEST_P(T1Recovery, ChainedResponseSurvivesOneFault) {
  start();
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  inject(GetParam().fault, GetParam().nth, GetParam().block);
  EXPECT_EQ(expect_ok(read_binary(0, 100)), file_part(0x0101, 0, 100));
  EXPECT_EQ(expect_ok(read_binary(100, 10)), file_part(0x0101, 100, 10));
  const std::vector<uint8_t> pcbs = host_pcbs();
  EXPECT_NE(std::find(pcbs.begin(), pcbs.end(), GetParam().host_answer), pcbs.end());
  EXPECT_TRUE(violations().empty()) << violations().front();
}

INSTANTIATE_TEST_SUITE_P(Faults, T1Recovery,
                         ::testing::Values(Recovery{"corrupt_edc_first", T1Fault::corrupt_edc, 1, 0x91},
                                           Recovery{"corrupt_edc_last", T1Fault::corrupt_edc, 4, 0x81},
                                           Recovery{"dropped_byte", T1Fault::drop_byte, 2, 0x82},
                                           Recovery{"late_block", T1Fault::late, 1, 0x92},
                                           Recovery{"late_last_block", T1Fault::late, 4, 0x82},
                                           Recovery{"inserted_wtx_request", T1Fault::insert_block, 2, 0xE3, {0xC3, 0x01}},
                                           Recovery{"inserted_ifs_response", T1Fault::insert_block, 2, 0x82, {0xE1, 0x20}},
                                           Recovery{"inserted_i_block_wrong_ns", T1Fault::insert_block, 1, 0x92, {0x00}}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(T1Exchange, ThreeFaultsInARowResynchroniseAndTheNextExchangeWorks) {
  start();
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  for (unsigned n = 1; n <= 3; ++n) inject(T1Fault::corrupt_edc, n);
  Bytes response;
  EXPECT_EQ(apdu(kSelectBigFile, response), ST_BAD_RESPONSE);
  {
    auto held = clock.lock();
    EXPECT_EQ(t1().resynchronisations(), 1u);
  }
  EXPECT_EQ(card_record().t1_send_sequence, 0);
  EXPECT_EQ(card_record().t1_receive_sequence, 0);
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  EXPECT_EQ(expect_ok(read_binary(0, 5)), file_part(0x0101, 0, 5));
  EXPECT_TRUE(violations().empty()) << violations().front();
}

TEST_F(T1Exchange, TwoFaultsInARowStillRecover) {
  start();
  inject(T1Fault::corrupt_edc, 1);
  inject(T1Fault::drop_byte, 2);
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  auto held = clock.lock();
  EXPECT_EQ(t1().resynchronisations(), 0u);
}

TEST_F(T1Exchange, CardAbortingItsChainEndsWith69AndTheNextExchangeWorks) {
  start();
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  inject(T1Fault::insert_block, 2, {0xC2});
  Bytes response;
  EXPECT_EQ(apdu(read_binary(0, 100), response), ST_BAD_RESPONSE);
  EXPECT_EQ(expect_ok(read_binary(0, 3)), file_part(0x0101, 0, 3));
}


Bytes lrc_block(Bytes block) {
  uint8_t sum = 0;
  for (uint8_t b : block) sum ^= b;
  block.push_back(sum);
  return block;
}

struct BadBlock {
  const char* name;
  Bytes raw;  // on the line as is
};

class T1InvalidCardBlocks : public T1Exchange, public ::testing::WithParamInterface<BadBlock> {};

// Blocks the host must not take: each is answered by an R-block asking for
// the block again, never taken into the response.
TEST_P(T1InvalidCardBlocks, AreAnsweredByAnRBlock) {
  start();
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  inject(T1Fault::insert_raw, 1, GetParam().raw);
  EXPECT_EQ(expect_ok(read_binary(0, 40)), file_part(0x0101, 0, 40));
  const std::vector<uint8_t> pcbs = host_pcbs();
  EXPECT_NE(std::find(pcbs.begin(), pcbs.end(), 0x92), pcbs.end());  // R(1), other error
  EXPECT_TRUE(violations().empty()) << violations().front();
}

Bytes long_i_block() {
  Bytes block{0x00, 0x40, 33};  // N(S) 1, as the host expects, but 33 > IFSD
  block.resize(3 + 33, 0x77);
  return lrc_block(block);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, T1InvalidCardBlocks,
    ::testing::Values(BadBlock{"nad_not_zero", lrc_block({0x21, 0x40, 0x02, 0x90, 0x00})},
                      BadBlock{"len_255", {0x00, 0x40, 0xFF}},
                      BadBlock{"i_block_longer_than_ifsd", long_i_block()},
                      BadBlock{"wtx_with_len_2", lrc_block({0x00, 0xC3, 0x02, 0x01, 0x01})},
                      BadBlock{"ifs_request_0", lrc_block({0x00, 0xC1, 0x01, 0x00})},
                      BadBlock{"ifs_request_255", lrc_block({0x00, 0xC1, 0x01, 0xFF})},
                      BadBlock{"wtx_request_0", lrc_block({0x00, 0xC3, 0x01, 0x00})},
                      BadBlock{"resynch_response_unasked", lrc_block({0x00, 0xE0, 0x00})},
                      BadBlock{"resynch_request_from_card", lrc_block({0x00, 0xC0, 0x00})},
                      BadBlock{"unknown_s_block", lrc_block({0x00, 0xC7, 0x00})}),
    [](const auto& row) { return std::string(row.param.name); });

struct Rejection {
  const char* name;
  Bytes command;
  unsigned host_block;  // which of the exchange's host blocks the card rejects
};

class T1Retransmission : public T1Exchange, public ::testing::WithParamInterface<Rejection> {};

// The card asks for the host's block again: the host sends it byte for byte
// as before, whether it was an I-, R- or S-block, and keeps its N(S).
TEST_P(T1Retransmission, ResendsTheBlockAsItWas) {
  start();
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  std::size_t before = 0;
  {
    auto held = clock.lock();
    before = t1().host_blocks().size();
    t1().reject_host_block(GetParam().host_block);
  }
  const Bytes response = expect_ok(GetParam().command);
  ASSERT_GE(response.size(), 2u);
  EXPECT_EQ(Bytes(response.end() - 2, response.end()), kOk);
  EXPECT_EQ(expect_ok(read_binary(200, 3)), file_part(0x0101, 200, 3));
  auto held = clock.lock();
  const auto& blocks = t1().host_blocks();
  const std::size_t rejected = before + GetParam().host_block - 1;
  ASSERT_GT(blocks.size(), rejected + 1);
  EXPECT_EQ(blocks[rejected + 1], blocks[rejected]);
  EXPECT_TRUE(card_->violations().empty()) << card_->violations().front();
}

Bytes update_40() {
  Bytes update(40, 0x42);
  const Bytes header{0x00, 0xD6, 0x00, 0x00, 35};
  std::copy(header.begin(), header.end(), update.begin());
  return update;
}

INSTANTIATE_TEST_SUITE_P(Blocks, T1Retransmission,
                         ::testing::Values(Rejection{"i_block", {0x00, 0xB0, 0x00, 0x00, 0x04}, 1},
                                           Rejection{"second_chained_i_block", update_40(), 2},
                                           Rejection{"r_block_acknowledging", {0x00, 0xB0, 0x00, 0x00, 100}, 2},
                                           Rejection{"wtx_response", {0x80, 0xF0, 0x0F, 0xA0}, 2}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(T1Exchange, AnnouncedIfscOf0Or255MeansThirtyTwo) {
  for (uint8_t ta3 : {uint8_t{0}, uint8_t{255}}) {
    start(CardKind{"ta3", ta3});
    EXPECT_EQ(card_record().ifsc, 32);
    EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
    EXPECT_EQ(expect_ok(update_40()), kOk) << int{ta3};
    EXPECT_TRUE(violations().empty()) << violations().front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(T1Exchange, BadInputSendsNothing) {
  start();
  device.clear_trace();
  uint8_t command[16] = {};
  uint8_t response[64];
  uint32_t length = 7;
  EXPECT_EQ(CPU_IsoAPDU(command, 0, response, &length), ST_APDU_FORMAT);
  EXPECT_EQ(CPU_TransmitT1(command, 0, response, &length), ST_APDU_FORMAT);
  ASSERT_EQ(KDX_SetStringMode(1), ST_OK);
  char text[] = "00A4040G";
  EXPECT_EQ(CPU_IsoAPDU(reinterpret_cast<uint8_t*>(text), 4, response, &length), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_IsoAPDU(nullptr, 4, response, &length), ST_BAD_PARAMETER);
  EXPECT_TRUE(device.host_bytes().empty());

  // Lower case is accepted; the response comes back as text with a terminator.
  char select[] = "00a4040008a0000000014b4458";
  char reply[8];
  std::memset(reply, 'x', sizeof reply);
  EXPECT_EQ(CPU_IsoAPDUEx(reinterpret_cast<uint8_t*>(select), 13, reinterpret_cast<uint8_t*>(reply), sizeof reply, &length),
            ST_OK);
  EXPECT_EQ(length, 2u);
  EXPECT_STREQ(reply, "9000");
  ASSERT_EQ(KDX_SetStringMode(0), ST_OK);
}

TEST_F(T1Exchange, CheckedBeforeTheLine) {
  start();
  Bytes response;
  ASSERT_EQ(CPU_CloseCard(), ST_OK);
  EXPECT_EQ(apdu(kSelectName, response), ST_CARD_NOT_POWERED);
  activate();
  device.remove();
  EXPECT_EQ(apdu(kSelectName, response), ST_NO_CARD);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(apdu(kSelectName, response), ST_NOT_OPEN);
}

// A response that does not fit the caller's room: 69, nothing written past
// the room, and the card is resynchronised, so the next exchange works.
TEST_F(T1Exchange, ResponseBeyondTheCapacityIsRefused) {
  start();
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  for (const bool text : {false, true}) {
    ASSERT_EQ(KDX_SetStringMode(text ? 1 : 0), ST_OK);
    Bytes command = read_binary(0, 100);
    std::string hex_command = "00B0000064";
    Bytes room(300, 0xA5);
    uint32_t length = 0;
    uint8_t* argument = text ? reinterpret_cast<uint8_t*>(hex_command.data()) : command.data();
    const uint32_t capacity = text ? 2 * 50 + 1 : 50;
    EXPECT_EQ(CPU_IsoAPDUEx(argument, 5, room.data(), capacity, &length), ST_BAD_RESPONSE);
    EXPECT_LE(length, 50u);
    EXPECT_TRUE(std::all_of(room.begin() + capacity, room.end(), [](uint8_t b) { return b == 0xA5; }));
  }
  ASSERT_EQ(KDX_SetStringMode(0), ST_OK);
  EXPECT_EQ(expect_ok(read_binary(0, 3)), file_part(0x0101, 0, 3));
  EXPECT_TRUE(violations().empty()) << violations().front();
}

TEST_F(T1Exchange, LargestExtendedResponseFitsTheBound) {
  start();
  EXPECT_EQ(expect_ok({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x03}), kOk);
  const Bytes response = expect_ok(read_binary(0, 65536));
  EXPECT_EQ(response, file_part(0x0103, 0, 65536));
  EXPECT_TRUE(violations().empty()) << violations().front();
}

TEST_F(T1Exchange, EndlessChainStopsAtTheBound) {
  start({}, sim::T1CardConfig{.endless_chain = true});
  Bytes room(tarsk::kMaxResponseSize + 256, 0xA5);
  uint32_t length = 0;
  Bytes command = kSelectName;
  EXPECT_EQ(CPU_IsoAPDU(command.data(), static_cast<uint32_t>(command.size()), room.data(), &length), ST_BAD_RESPONSE);
  EXPECT_LE(length, tarsk::kMaxResponseSize);
  EXPECT_TRUE(std::all_of(room.begin() + tarsk::kMaxResponseSize, room.end(), [](uint8_t b) { return b == 0xA5; }));
  auto held = clock.lock();
  EXPECT_EQ(t1().resynchronisations(), 1u);
}

TEST_F(T1Exchange, EndlessWaitingTimeExtensionsEndAfterTheTimeLimit) {
  start({}, sim::T1CardConfig{.endless_wtx = true});
  const uint64_t before = clock.now_ns();
  Bytes response;
  EXPECT_EQ(apdu({0x80, 0xF0, 0x00, 0x10}, response), ST_BAD_RESPONSE);
  EXPECT_GE(elapsed_ms(before), tarsk::kExchangeTimeLimitMs);
  EXPECT_LE(elapsed_ms(before), tarsk::kExchangeTimeLimitMs + 10000);
}

// A card that falls silent: three R-blocks, three S(RESYNCH request)s, then
// the card counts as inactive until it is activated again.
TEST_F(T1Exchange, SilentCardIsMarkedInactive) {
  start();
  inject(T1Fault::mute, 1);
  Bytes response;
  EXPECT_EQ(apdu(kSelectName, response), ST_BAD_RESPONSE);
  EXPECT_TRUE(response.empty());
  const std::vector<uint8_t> pcbs = host_pcbs();
  EXPECT_EQ(std::count(pcbs.begin(), pcbs.end(), 0x82), 2);
  EXPECT_EQ(std::count(pcbs.begin(), pcbs.end(), 0xC0), 3);
  EXPECT_EQ(apdu(kSelectName, response), ST_CARD_NOT_POWERED);
  activate();
  EXPECT_EQ(expect_ok(kSelectName), kOk);
}

TEST_F(T1Exchange, FailedWriteOrEchoResynchronises) {
  start();
  Bytes response;
  port.fail(sim::PortOp::write);
  EXPECT_EQ(apdu(kSelectName, response), ST_COMM_ERROR);
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  device.set_echo_filter([](uint8_t byte, std::size_t index) -> std::optional<uint8_t> {
    if (index == 2) return std::nullopt;
    return byte;
  });
  EXPECT_EQ(apdu(kSelectName, response), ST_COMM_ERROR);
  device.set_echo_filter({});
  EXPECT_EQ(expect_ok(kSelectName), kOk);
  auto held = clock.lock();
  EXPECT_EQ(t1().resynchronisations(), 2u);
}

struct Noise {
  const char* name;
  bool crc;
  double bit_error_rate;
};

class T1Noise : public T1Exchange, public ::testing::WithParamInterface<Noise> {
 protected:
  void set_noise(double rate, uint32_t seed) {
    auto held = clock.lock();
    t1().set_bit_error_rate(rate, seed);
  }
};

// Under a seeded bit-error rate on everything the card sends: a status of 0
// always comes with the right bytes, and every exchange ends in bounded time.
TEST_P(T1Noise, NeverWrongDataWithStatusZero) {
  start(CardKind{"noise", 32, GetParam().crc});
  EXPECT_EQ(expect_ok(kSelectBigFile), kOk);
  set_noise(GetParam().bit_error_rate, 12);
  std::mt19937 pick(7);
  unsigned ok = 0, failed = 0;
  for (int i = 0; i < 300; ++i) {
    const uint16_t offset = static_cast<uint16_t>(pick() % 500);
    const std::size_t length = 1 + pick() % 100;
    const uint64_t before = clock.now_ns();
    Bytes response;
    const StatusCode status = apdu(read_binary(offset, length), response);
    ASSERT_LE(elapsed_ms(before), tarsk::kExchangeTimeLimitMs + 30000) << i;
    if (status == ST_OK) {
      ++ok;
      const std::size_t available = std::min<std::size_t>(length, 600 - offset);
      Bytes expected = file_part(0x0101, offset, available);
      if (available < length) expected.back() = 0x82, expected[expected.size() - 2] = 0x62;
      ASSERT_EQ(response, expected) << i;
      continue;
    }
    ++failed;
    ASSERT_TRUE(status == ST_BAD_RESPONSE || status == ST_CARD_NOT_POWERED) << status;
    if (status == ST_CARD_NOT_POWERED || record().card_active.load() == 0) {
      set_noise(0, 1);
      activate();
      set_noise(GetParam().bit_error_rate, static_cast<uint32_t>(i));
    }
    // The file is selected again after a reset; the selection may need a
    // few tries through the noise.
    Bytes selected;
    for (int tries = 0; tries < 10 && selected != kOk; ++tries) {
      if (apdu(kSelectBigFile, selected) == ST_CARD_NOT_POWERED) activate();
    }
    ASSERT_EQ(selected, kOk);
  }
  EXPECT_GT(ok, 150u);
  std::printf("%s: %u exchanges with status 0, %u failed\n", GetParam().name, ok, failed);
}

INSTANTIATE_TEST_SUITE_P(Rates, T1Noise,
                         ::testing::Values(Noise{"crc_1_in_1000", true, 1e-3}, Noise{"lrc_1_in_5000", false, 2e-4},
                                           Noise{"crc_1_in_300", true, 1.0 / 300}),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace kdx::test
