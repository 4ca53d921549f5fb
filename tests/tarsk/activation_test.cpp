// Card activation against the ISO/IEC 7816-3 card model: a table of ATRs
// (each activated end to end, the derived parameters compared with figures
// worked out by hand, and one byte sent to the card at the programmed
// settings, which the card understands only when the port was programmed
// right), the factor indices, ATRs in pieces, silent and over-long answers,
// the failures before the ATR, string mode, deactivation and the protocol.
#include <cstring>

#include "platform/fault_points.h"
#include "sim/cards/iso7816_card.h"
#include "tarsk/line_fixture.h"

namespace kdx::test {
namespace {

using kdx::platform::faults::Point;
using sim::AtrPause;
using sim::Iso7816Card;
using sim::PortOp;

constexpr uint32_t T0 = tarsk::kProtocolT0;
constexpr uint32_t T1 = tarsk::kProtocolT1;
constexpr uint32_t kBoth = T0 | T1;
constexpr uint8_t kTwo = KDX_STOPBITS_TWO;
constexpr uint8_t kOne = KDX_STOPBITS_ONE;

// Opening the port again costs the echo of "KDX-TEST" (8 characters of
// 1.25 ms) and the 85 ms after it; then the 12 ms reset pulse.
constexpr double kReopenAndPulseMs = 8 * 1.25 + 85 + 12;
constexpr double kAtrReadMs = 50;
constexpr uint8_t kProbe = 0xA4;

class Activation : public LineFixture {
 protected:
  Iso7816Card& insert_iso(Bytes atr, std::vector<AtrPause> pauses = {}) {
    auto card = std::make_unique<Iso7816Card>(sim::Iso7816CardConfig{std::move(atr), std::nullopt, std::move(pauses)});
    Iso7816Card& inserted = *card;
    device.insert(std::move(card));
    return inserted;
  }

  // CPU_OpenCard on an open session; the ATR it returned in `atr`.
  StatusCode activate(Bytes& atr) {
    uint8_t buffer[32] = {};
    uint16_t length = 0xFFFF;
    const StatusCode status = CPU_OpenCard(buffer, &length);
    atr.clear();
    if (status == ST_OK) atr.assign(buffer, buffer + std::min<std::size_t>(length, sizeof buffer));
    return status;
  }

  // Sends one byte in the card's convention; true when the card understood it.
  bool card_understands_a_byte(Iso7816Card& card, bool inverse) {
    const std::size_t before = heard(card).size();
    const uint8_t on_wire = inverse ? Iso7816Card::inverse(kProbe) : kProbe;
    if (SendData(&on_wire, 1) != ST_OK) return false;
    clock.sleep_ms(1);
    const Bytes now = heard(card);
    return now.size() == before + 1 && now.back() == kProbe;
  }
  Bytes heard(const Iso7816Card& card) {
    auto held = clock.lock();
    return card.heard();
  }
};

struct Row {
  const char* name;
  Bytes atr;
  StatusCode status = ST_OK;
  uint32_t protocol = T0;
  uint32_t offered = T0;
  uint8_t fi = 1, di = 1, n = 0, wi = 10;
  uint32_t wwt = 1000;
  uint8_t ifsc = 32, cwi = 0, bwi = 0;
  uint32_t cwt = 0, bwt = 0;
  uint8_t edc = 0;
  uint32_t baud = 9600;
  uint8_t stop_bits = kTwo;
  Bytes historical{};
  bool tck = false;
};

// Waiting times worked out by hand: work waiting time WI x Di x 960000 /
// baud; character waiting time (2^CWI + 11) x 1000 / baud; block waiting
// time (2^BWI x 357120 x Di / Fi + 11) x 1000 / baud, each truncated.
const Row kRows[] = {
    {.name = "plain T=0", .atr = {0x3B, 0x02, 0x14, 0x50}, .historical = {0x14, 0x50}},
    {.name = "T=0, TA1 only: the port stays at 9600",
     .atr = {0x3B, 0x13, 0x13, 0x41, 0x42, 0x43},
     .di = 3,
     .wwt = 10 * 4 * 960000 / 9600,
     .historical = {0x41, 0x42, 0x43}},
    {.name = "T=0 in specific mode: 4 x 3571200 / 372 = 38400",
     .atr = {0x3B, 0x92, 0x13, 0x10, 0x00, 0x41, 0x42},
     .di = 3,
     .wwt = 10 * 4 * 960000 / 38400,
     .baud = 38400,
     .historical = {0x41, 0x42}},
    {.name = "specific mode, DI 8: 12 x 3571200 / 372 = 115200",
     .atr = {0x3B, 0x92, 0x18, 0x10, 0x00, 0x41, 0x42},
     .di = 8,
     .wwt = 10 * 12 * 960000 / 115200,
     .baud = 115200,
     .historical = {0x41, 0x42}},
    {.name = "specific mode, FI 0 (Fi 372): 9600",
     .atr = {0x3B, 0x92, 0x01, 0x10, 0x00, 0x41, 0x42},
     .fi = 0,
     .historical = {0x41, 0x42}},
    {.name = "specific mode, 8 x 3571200 / 512 = 55800 matches no speed",
     .atr = {0x3B, 0x92, 0x94, 0x10, 0x00, 0x41, 0x42},
     .status = ST_BAUD_UNSUPPORTED},
    {.name = "specific mode, 16 x 3571200 / 512 = 111600 matches no speed",
     .atr = {0x3B, 0x92, 0x95, 0x10, 0x00, 0x41, 0x42},
     .status = ST_BAUD_UNSUPPORTED},
    {.name = "negotiable, DI 6 (Di 32)",
     .atr = {0x3B, 0x16, 0x96, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46},
     .fi = 9,
     .di = 6,
     .wwt = 10 * 32 * 960000 / 9600,
     .historical = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46}},
    {.name = "negotiable, DI 7 (Di 64) with WI 255: a product beyond 32 bits",
     .atr = {0x3B, 0x92, 0x97, 0x40, 0xFF, 0x41, 0x42},
     .fi = 9,
     .di = 7,
     .wi = 255,
     .wwt = static_cast<uint32_t>(255ull * 64 * 960000 / 9600),
     .historical = {0x41, 0x42}},
    {.name = "T=1: IFSC 254, CWI 5, BWI 4",
     .atr = {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B},
     .protocol = T1,
     .offered = T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = (32 + 11) * 1000 / 9600,
     .bwt = (16 * 357120 / 372 + 11) * 1000 / 9600,
     .tck = true},
    {.name = "T=1 with CRC (TC3)",
     .atr = {0x3B, 0x81, 0x81, 0x71, 0xFE, 0x45, 0x01, 0x4A, 0x81},
     .protocol = T1,
     .offered = T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = 4,
     .bwt = 1601,
     .edc = 1,
     .historical = {0x4A},
     .tck = true},
    {.name = "T=1, N = 255 with CWI 5: the shortest guard time, one stop bit",
     .atr = {0x3B, 0xE0, 0x00, 0xFF, 0x81, 0x31, 0xFE, 0x45, 0x14},
     .protocol = T1,
     .offered = T1,
     .n = 255,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = 4,
     .bwt = 1601,
     .stop_bits = kOne,
     .tck = true},
    {.name = "T=1, N = 255 with CWI 8",
     .atr = {0x3B, 0xC0, 0xFF, 0x81, 0x31, 0xFE, 0x48, 0x39},
     .protocol = T1,
     .offered = T1,
     .n = 255,
     .ifsc = 254,
     .cwi = 8,
     .bwi = 4,
     .cwt = (256 + 11) * 1000 / 9600,
     .bwt = 1601,
     .stop_bits = kOne,
     .tck = true},
    {.name = "T=1, N = 127 with CWI 7: 2^7 = N + 1",
     .atr = {0x3B, 0xC0, 0x7F, 0x81, 0x31, 0xFE, 0x47, 0xB6},
     .protocol = T1,
     .offered = T1,
     .n = 127,
     .ifsc = 254,
     .cwi = 7,
     .bwi = 4,
     .cwt = (128 + 11) * 1000 / 9600,
     .bwt = 1601,
     .tck = true},
    {.name = "T=1, N = 128 with CWI 7: 2^7 <= N",
     .atr = {0x3B, 0xC0, 0x80, 0x81, 0x31, 0xFE, 0x47, 0x49},
     .status = ST_BAD_ATR},
    {.name = "T=1, N = 254 with CWI 7",
     .atr = {0x3B, 0xC0, 0xFE, 0x81, 0x31, 0xFE, 0x47, 0x37},
     .status = ST_BAD_ATR},
    {.name = "T=1 with BWI 10", .atr = {0x3B, 0x80, 0x81, 0x31, 0xFE, 0xA5, 0x6B}, .status = ST_BAD_ATR},
    {.name = "T=1 without TB3: CWI 13, BWI 4",
     .atr = {0x3B, 0x81, 0x01, 0x41, 0xC1},
     .protocol = T1,
     .offered = T1,
     .cwi = 13,
     .bwi = 4,
     .cwt = (8192 + 11) * 1000 / 9600,
     .bwt = 1601,
     .historical = {0x41},
     .tck = true},
    {.name = "T=0 first, T=1 offered: its T=1 waiting times too",
     .atr = {0x3B, 0x80, 0x80, 0x31, 0xFE, 0x45, 0x8A},
     .offered = kBoth,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = 4,
     .bwt = 1601,
     .tck = true},
    {.name = "T=0 first, T=1 offered with BWI 10: not refused",
     .atr = {0x3B, 0x80, 0x80, 0x31, 0xFE, 0xA5, 0x6A},
     .offered = kBoth,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 10,
     .cwt = 4,
     .bwt = (1024 * 357120 / 372 + 11) * 1000 / 9600,
     .tck = true},
    {.name = "T=0 first, T=1 offered without TB3",
     .atr = {0x3B, 0x80, 0x80, 0x01, 0x01},
     .offered = kBoth,
     .cwi = 13,
     .bwi = 4,
     .cwt = 854,
     .bwt = 1601,
     .tck = true},
    {.name = "T=1 first, T=0 offered",
     .atr = {0x3B, 0x80, 0x81, 0x00, 0x01},
     .protocol = T1,
     .offered = kBoth,
     .cwi = 13,
     .bwi = 4,
     .cwt = 854,
     .bwt = 1601,
     .tck = true},
    {.name = "inverse convention, TA1 only",
     .atr = {0x3F, 0x13, 0x13, 0x41, 0x42, 0x43},
     .di = 3,
     .wwt = 4000,
     .historical = {0x41, 0x42, 0x43}},
    {.name = "TD2 announces T=15 global bytes: TA3 stored by its position",
     .atr = {0x3B, 0x82, 0x80, 0x1F, 0xC3, 0x4B, 0x4C, 0xD9},
     .ifsc = 0xC3,
     .historical = {0x4B, 0x4C},
     .tck = true},
    {.name = "level 4 (TD3 announces TA4), T=0 first with T=1 offered, DI 6",
     .atr = {0x3B, 0xD3, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x41, 0x42, 0x43, 0x13},
     .offered = kBoth,
     .fi = 9,
     .di = 6,
     .wwt = 10 * 32 * 960000 / 9600,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = 4,
     .bwt = (16 * 357120 * 32 / 512 + 11) * 1000 / 9600,
     .historical = {0x41, 0x42, 0x43},
     .tck = true},
    {.name = "level 4, T=1 first",
     .atr = {0x3B, 0x81, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x03, 0x41, 0x57},
     .protocol = T1,
     .offered = T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .cwt = 4,
     .bwt = 1601,
     .historical = {0x41},
     .tck = true},
    {.name = "TS 3C", .atr = {0x3C, 0x02, 0x14, 0x50}, .status = ST_BAD_ATR},
    {.name = "TD1 names T=14", .atr = {0x3B, 0x80, 0x0E, 0x8E}, .status = ST_PROTOCOL_UNSUPPORTED, .protocol = 0},
    {.name = "fewer bytes than announced", .atr = {0x3B, 0x0F, 0x41}, .status = ST_ATR_INCOMPLETE},
    {.name = "TS alone", .atr = {0x3B}, .status = ST_ATR_INCOMPLETE},
};

TEST_F(Activation, AtrTable) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    Iso7816Card& card = insert_iso(r.atr);
    open();
    Bytes atr;
    ASSERT_EQ(activate(atr), r.status);
    const CardRecord& c = card_record();
    if (r.status != ST_OK) {
      EXPECT_EQ(record().card_active.load(), 0u);
      uint32_t protocol = 99;
      EXPECT_EQ(CPU_GetProtocol(&protocol), ST_CARD_NOT_POWERED);
      if (r.status == ST_PROTOCOL_UNSUPPORTED) {
        EXPECT_EQ(c.protocol, r.protocol);
      }
      ASSERT_EQ(KDX_ExitComm(), ST_OK);
      continue;
    }
    const bool inverse = r.atr[0] == 0x3F;
    EXPECT_EQ(atr, r.atr);
    EXPECT_EQ(c.atr_length, r.atr.size());
    EXPECT_EQ(Bytes(c.atr, c.atr + c.atr_length), r.atr);
    EXPECT_EQ(c.inverse_convention != 0, inverse);
    EXPECT_EQ(c.protocol, r.protocol);
    EXPECT_EQ(c.offered_protocols, r.offered);
    EXPECT_EQ(c.fi_index, r.fi);
    EXPECT_EQ(c.di_index, r.di);
    EXPECT_EQ(c.extra_guard_time, r.n);
    EXPECT_EQ(c.wi, r.wi);
    EXPECT_EQ(c.work_waiting_time, r.wwt);
    EXPECT_EQ(c.ifsc, r.ifsc);
    EXPECT_EQ(c.cwi, r.cwi);
    EXPECT_EQ(c.bwi, r.bwi);
    EXPECT_EQ(c.character_waiting_time, r.cwt);
    EXPECT_EQ(c.block_waiting_time, r.bwt);
    EXPECT_EQ(c.edc_kind, r.edc);
    EXPECT_EQ(Bytes(c.historical, c.historical + c.historical_count), r.historical);
    EXPECT_EQ(c.tck.present != 0, r.tck);
    if (r.tck) {
      EXPECT_EQ(c.tck.value, r.atr.back());
    }

    const uint8_t parity = inverse ? KDX_PARITY_ODD : KDX_PARITY_EVEN;
    EXPECT_EQ(record().baud_rate, r.baud);
    EXPECT_EQ(record().stop_bits, r.stop_bits);
    EXPECT_EQ(record().parity, parity);
    const KDX_LineSettings line = port.settings();
    EXPECT_EQ(line.baud_rate, r.baud);
    EXPECT_EQ(line.stop_bits, r.stop_bits);
    EXPECT_EQ(line.parity, parity);
    const KDX_Timeouts t = port.timeouts();
    EXPECT_EQ(t.read_interval, r.protocol == T1 ? r.cwt + 12 : r.wwt);
    EXPECT_EQ(t.read_total_constant, r.protocol == T1 ? r.bwt : r.wwt);

    EXPECT_EQ(record().card_active.load(), 1u);
    uint32_t protocol = 0;
    EXPECT_EQ(CPU_GetProtocol(&protocol), ST_OK);
    EXPECT_EQ(protocol, r.protocol);
    EXPECT_TRUE(card_understands_a_byte(card, inverse));
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// Every TA1 of a card in negotiable mode: refused exactly for the FI and DI
// that ISO/IEC 7816-3 leaves without a factor.
TEST_F(Activation, FactorIndices) {
  const double di_factor[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0.5, 0.25, 0.125, 0.0625, 0.03125, 0.015625};
  open();
  for (unsigned ta1 = 0; ta1 < 256; ++ta1) {
    const uint8_t fi = static_cast<uint8_t>(ta1 >> 4);
    const uint8_t di = static_cast<uint8_t>(ta1 & 15);
    SCOPED_TRACE(testing::Message() << "TA1 " << std::hex << ta1);
    insert_iso({0x3B, 0x10, static_cast<uint8_t>(ta1)});
    Bytes atr;
    const bool reserved = fi == 7 || fi == 8 || fi == 14 || fi == 15 || di == 0;
    ASSERT_EQ(activate(atr), reserved ? ST_BAD_ATR : ST_OK);
    EXPECT_EQ(card_record().fi_index, fi);
    EXPECT_EQ(card_record().di_index, di);
    if (!reserved) {
      EXPECT_EQ(card_record().work_waiting_time, static_cast<uint32_t>(10 * di_factor[di] * 960000) / 9600);
      EXPECT_EQ(port.settings().baud_rate, 9600u);
    }
  }
}

TEST_F(Activation, AtrInPieces) {
  const Bytes level4 = {0x3B, 0xD3, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x41, 0x42, 0x43, 0x13};
  // T0 FF, TD1 F1, TD2 F1, TD3 F1: 34 bytes announced.
  Bytes too_long = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xF1, 0x00, 0x00, 0x00, 0xF1, 0xFE, 0x45, 0x00, 0xF1};
  too_long.resize(34, 0x41);
  struct Case {
    const char* name;
    Bytes atr;
    std::vector<AtrPause> pauses;
    StatusCode status;
    std::size_t length;  // of the ATR reported
  } const cases[] = {
      {"two chunks", {0x3B, 0x02, 0x14, 0x50}, {{2, 100}}, ST_OK, 4},
      {"three chunks", {0x3B, 0x02, 0x14, 0x50}, {{1, 70}, {3, 300}}, ST_OK, 4},
      {"level 4, the historical bytes later", level4, {{10, 200}}, ST_OK, 14},
      {"T=1, TCK later", {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B}, {{6, 200}}, ST_OK, 7},
      {"a pause of 1000 ms", {0x3B, 0x02, 0x14, 0x50}, {{3, 1000}}, ST_OK, 4},
      {"a pause of 1500 ms", {0x3B, 0x02, 0x14, 0x50}, {{3, 1500}}, ST_ATR_INCOMPLETE, 0},
      {"34 bytes, in two chunks", too_long, {{20, 100}}, ST_BAD_ATR, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    insert_iso(c.atr, c.pauses);
    open();
    Bytes atr;
    ASSERT_EQ(activate(atr), c.status);
    EXPECT_EQ(atr, Bytes(c.atr.begin(), c.atr.begin() + static_cast<std::ptrdiff_t>(c.length)));
    if (c.status == ST_OK) {
      const std::size_t k = c.atr[1] & 15;
      EXPECT_EQ(card_record().historical_count, k);
    }
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// How long the card is waited for: one read after the reset pulse, then the
// count of 25 empty reads in a row, which bytes start again.
TEST_F(Activation, RetryBudget) {
  Bytes thirty_three(33, 0x41);
  thirty_three[0] = 0x3B;
  thirty_three[1] = 0x0F;
  struct Case {
    const char* name;
    Bytes atr;
    std::vector<AtrPause> pauses;
    StatusCode status;
    double elapsed_ms;  // from the end of the reset pulse; reads end after 50 ms unless all 33 bytes came
  } const cases[] = {
      {"silent card", {}, {}, ST_NO_ATR, 26 * kAtrReadMs},
      {"TS 3C: at once", {0x3C, 0x02}, {}, ST_BAD_ATR, kAtrReadMs},
      {"33 bytes: at once", thirty_three, {}, ST_BAD_ATR, 2.8 + 33 * 1.25},
      // The read that brought bytes, then 26 empty ones.
      {"3 of 4 bytes: incomplete", {0x3B, 0x02, 0x14}, {}, ST_ATR_INCOMPLETE, 27 * kAtrReadMs},
      {"TS alone", {0x3B}, {}, ST_ATR_INCOMPLETE, 27 * kAtrReadMs},
      {"a byte every 1000 ms: the count starts again",
       {0x3B, 0x02, 0x14, 0x50},
       {{1, 1000}, {2, 1000}, {3, 1000}},
       ST_OK,
       61 * kAtrReadMs},  // the last byte arrives in the 61st read, which runs to its end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    insert_iso(c.atr, c.pauses);
    open();
    Bytes atr;
    const uint64_t start = clock.now_ns();
    ASSERT_EQ(activate(atr), c.status);
    EXPECT_NEAR(elapsed_ms(start) - kReopenAndPulseMs, c.elapsed_ms, 0.01);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Activation, FailuresBeforeTheAtr) {
  uint8_t atr[32] = {};
  uint16_t length = 0;
  EXPECT_EQ(CPU_OpenCard(atr, &length), ST_NOT_OPEN);
  EXPECT_EQ(CPU_Reset(atr, &length), ST_NOT_OPEN);
  EXPECT_EQ(CPU_CloseCard(), ST_NOT_OPEN);
  EXPECT_EQ(CPU_UpdateCardCapabilities(), ST_NOT_OPEN);
  uint32_t protocol = 0;
  EXPECT_EQ(CPU_GetProtocol(&protocol), ST_NOT_OPEN);

  open();
  EXPECT_EQ(CPU_OpenCard(atr, &length), ST_NO_CARD);
  EXPECT_EQ(CPU_GetProtocol(&protocol), ST_NO_CARD);
  insert_iso({0x3B, 0x02, 0x14, 0x50});
  EXPECT_EQ(CPU_OpenCard(nullptr, &length), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_OpenCard(atr, nullptr), ST_BAD_PARAMETER);
  EXPECT_EQ(CPU_GetProtocol(nullptr), ST_BAD_PARAMETER);
  EXPECT_EQ(port.open_count(), 1u);  // nothing was done
  EXPECT_EQ(CPU_UpdateCardCapabilities(), ST_ATR_INCOMPLETE);  // no ATR yet

  struct Case {
    const char* name;
    std::function<void()> fault;
    StatusCode status;
    bool session_left;
  } const cases[] = {
      {"the port does not open again", [this] { port.fail(PortOp::open); }, ST_PORT_INIT_FAILED, false},
      {"no monitor thread", [] { platform::faults::arm(Point::create_thread); }, ST_THREAD_FAILED, true},
      // The reopening reads the settings twice and writes them five times.
      {"settings not read for the pulse", [this] { port.fail(PortOp::get_settings, 3); }, ST_GET_STATE_FAILED, true},
      {"RTS on not written", [this] { port.fail(PortOp::set_settings, 6); }, ST_SET_STATE_FAILED, true},
      {"RTS off not written", [this] { port.fail(PortOp::set_settings, 7); }, ST_SET_STATE_FAILED, true},
      // The ATR is complete, but the port cannot be programmed for it.
      {"port not programmed", [this] { port.fail(PortOp::get_settings, 4); }, ST_GET_STATE_FAILED, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (IsCommOpened() != ST_OK) open();
    c.fault();
    EXPECT_EQ(CPU_OpenCard(atr, &length), c.status);
    EXPECT_EQ(IsCommOpened(), c.session_left ? ST_OK : ST_NOT_OPEN);
    if (c.session_left) {
      EXPECT_EQ(record().card_active.load(), 0u);
      EXPECT_EQ(CPU_GetProtocol(&protocol), ST_CARD_NOT_POWERED);
    }
  }
  platform::faults::disarm_all();
  EXPECT_EQ(CPU_OpenCard(atr, &length), ST_OK);
}

TEST_F(Activation, InverseConventionEndToEnd) {
  Iso7816Card& card = insert_iso({0x3F, 0x02, 0x14, 0x50});
  open();
  uint8_t atr[64];
  std::memset(atr, 0xEE, sizeof atr);
  uint16_t length = 0;
  ASSERT_EQ(KDX_SetStringMode(1), ST_OK);
  const StatusCode status = CPU_OpenCard(atr, &length);
  ASSERT_EQ(KDX_SetStringMode(0), ST_OK);
  ASSERT_EQ(status, ST_OK);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(atr), 8), "3F021450");
  EXPECT_EQ(atr[8], 0xEE);  // no terminator

  // What the card put on the wire and how the port took it: the raw bytes
  // at even parity, then odd parity for the card's bytes to come.
  const auto arrived = device.card_bytes();
  ASSERT_GE(arrived.size(), 4u);
  const auto last = arrived.end() - 4;
  EXPECT_EQ(last[0].received, 0x03);
  for (auto it = last; it != arrived.end(); ++it) {
    EXPECT_EQ(it->framing.parity, KDX_PARITY_ODD);
    EXPECT_TRUE(it->parity_error);
  }
  EXPECT_EQ(port.settings().parity, KDX_PARITY_ODD);
  EXPECT_EQ(card_record().atr[0], 0x3F);
  EXPECT_TRUE(card_understands_a_byte(card, true));
  EXPECT_FALSE(card_understands_a_byte(card, false));  // a byte not transformed means something else
}

TEST_F(Activation, StringModeReturnsTwiceTheLengthInCharacters) {
  insert_iso({0x3B, 0x02, 0x14, 0x50});
  open();
  uint8_t atr[64];
  std::memset(atr, 0xEE, sizeof atr);
  uint16_t length = 0;
  ASSERT_EQ(KDX_SetStringMode(1), ST_OK);
  const StatusCode status = CPU_Reset(atr, &length);
  ASSERT_EQ(KDX_SetStringMode(0), ST_OK);
  ASSERT_EQ(status, ST_OK);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(atr), 8), "3B021450");
  EXPECT_EQ(atr[8], 0xEE);
}

TEST_F(Activation, ResetReopensThePortAndDeactivationHoldsTheCard) {
  Iso7816Card& card = insert_iso({0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B});
  open();
  uint32_t protocol = 0;
  EXPECT_EQ(CPU_GetProtocol(&protocol), ST_CARD_NOT_POWERED);
  Bytes atr;
  ASSERT_EQ(activate(atr), ST_OK);
  EXPECT_EQ(port.open_count(), 2u);
  EXPECT_NE(record().monitor_thread, nullptr);
  EXPECT_EQ(clock.participants(), 2);

  uint8_t buffer[32] = {};
  uint16_t length = 0;
  ASSERT_EQ(CPU_Reset(buffer, &length), ST_OK);
  EXPECT_EQ(port.open_count(), 3u);
  EXPECT_EQ(Bytes(buffer, buffer + length), atr);
  EXPECT_EQ(clock.participants(), 2);  // the old monitor was stopped, a new one runs
  EXPECT_EQ(CPU_GetProtocol(&protocol), ST_OK);
  EXPECT_EQ(protocol, T1);
  EXPECT_EQ(CPU_UpdateCardCapabilities(), ST_OK);  // again, on the decoded ATR
  EXPECT_EQ(card_record().block_waiting_time, 1601u);

  ASSERT_EQ(CPU_CloseCard(), ST_OK);
  EXPECT_TRUE(device.rts_on());
  {
    auto held = clock.lock();
    EXPECT_EQ(card.state(), Iso7816Card::State::held_in_reset);
  }
  EXPECT_EQ(record().card_active.load(), 0u);
  EXPECT_EQ(record().monitor_thread, nullptr);
  EXPECT_EQ(clock.participants(), 1);
  EXPECT_EQ(CPU_GetProtocol(&protocol), ST_CARD_NOT_POWERED);
  EXPECT_EQ(Bytes(card_record().atr, card_record().atr + card_record().atr_length), atr);  // kept
  EXPECT_EQ(IsCommOpened(), ST_OK);
}

}  // namespace
}  // namespace kdx::test
