// APDU exchanges with the T=1 card model through CPU_IsoAPDU: chaining both
// ways, IFS, WTX and ABORT, and recovery from the card's faults. Every
// positive case ends with the card's violation log empty.
#include <cstring>

#include "sim/cards/iso7816_application.h"
#include "sim/cards/iso7816_card.h"
#include "sim/cards/iso7816_t1.h"
#include "tarsk/line_fixture.h"
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

}  // namespace
}  // namespace kdx::test
