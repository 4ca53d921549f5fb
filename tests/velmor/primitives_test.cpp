// The ten reader primitives: their frames, what they copy out, and the wait
// of Delay1ms.
#include <cstring>

#include "velmor/reader_fixture.h"

namespace kdx::test {
namespace {

// A card whose reading commands answer with a fixed number of bytes (0, 1,
// 2 ...) whatever was asked, to see what the primitives copy.
class FixedAnswerCard : public sim::ReaderCard {
 public:
  explicit FixedAnswerCard(std::size_t length, uint8_t status = 0) : length_(length), status_(status) {}
  sim::CardReply command(uint8_t, std::span<const uint8_t>, uint64_t) override {
    sim::CardReply reply;
    reply.status = status_;
    for (std::size_t i = 0; i < length_; ++i) reply.data.push_back(static_cast<uint8_t>(i));
    return reply;
  }

 private:
  std::size_t length_;
  uint8_t status_;
};

class Primitives : public ReaderFixture {};

TEST_F(Primitives, FramesOfEachPrimitive) {
  const uint8_t three[] = {0xA1, 0x10, 0xB2};
  struct Case {
    const char* name;
    std::function<StatusCode()> call;
    Bytes frame;
  };
  const Case cases[] = {
      {"PutIO", [] { return PutIO(0x90, 0x01); }, frame(17, {0x90, 0x01})},
      {"PutIO low bits", [] { return PutIO(0x190, 0x201); }, frame(17, {0x90, 0x01})},
      {"Power", [] { return Power(50, 1); }, frame(50, {0x01})},
      {"SingleStep", [] { return SingleStep(52); }, frame(52)},
      {"MultiStep", [] { return MultiStep(29, 0x0123); }, frame(29, {0x23, 0x01})},
      {"OutByte", [&] { return OutByte(56, three, 3); }, frame(56, {0xA1, 0x10, 0xB2})},
      {"OutByte empty", [&] { return OutByte(56, three, 0); }, frame(56)},
      {"ClearIsoBuffer", [] { return ClearIsoBuffer(); }, frame(61)},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reader.clear_trace();
    EXPECT_EQ(c.call(), ST_OK);
    EXPECT_EQ(reader.commands(), std::vector<Bytes>{c.frame});
  }
}

TEST_F(Primitives, InByteCopiesAtMostTheCountAskedFor) {
  struct Case {
    std::size_t reader_sends;
    uint16_t asked;
    std::size_t copied;
  } const cases[] = {{184, 184, 184}, {195, 4, 4}, {2, 4, 2}, {0, 4, 0}};
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.reader_sends << " for " << c.asked);
    reader.insert(std::make_unique<FixedAnswerCard>(c.reader_sends));
    reader.clear_trace();
    uint8_t buffer[200];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(InByte(55, buffer, c.asked), ST_OK);
    EXPECT_EQ(reader.commands(), std::vector<Bytes>{frame(55, {static_cast<uint8_t>(c.asked), 0})});
    for (std::size_t i = 0; i < c.copied; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));
    EXPECT_EQ(buffer[c.copied], 0xEE);
  }
}

TEST_F(Primitives, NothingIsCopiedOnAFailure) {
  open();
  reader.insert(std::make_unique<FixedAnswerCard>(4, 21));
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(InByte(55, buffer, 4), 21);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(GetIsoBuffer(buffer), 21);
  EXPECT_EQ(buffer[0], 0xEE);
  uint8_t value = 0x5A;
  reader.override_status(1, 21);
  EXPECT_EQ(GetIO(0x90, &value), 21);
  EXPECT_EQ(value, 0x5A);
  reader.corrupt_response_bcc(1);
  EXPECT_EQ(GetIO(0x90, &value), ST_COMM_ERROR);
  EXPECT_EQ(value, 0x5A);
}

TEST_F(Primitives, GetIoReadsTheLineValue) {
  open();
  uint8_t value = 0;
  ASSERT_EQ(KDX_GreenLED(0), ST_OK);
  EXPECT_EQ(GetIO(151, &value), ST_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(reader.commands().back(), frame(18, {151}));
}

TEST_F(Primitives, GetIsoBufferCopiesTheWholeResponse) {
  open();
  reader.insert(std::make_unique<FixedAnswerCard>(195));
  uint8_t buffer[200];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(GetIsoBuffer(buffer), ST_OK);
  EXPECT_EQ(buffer[194], 194);
  EXPECT_EQ(buffer[195], 0xEE);
}

TEST_F(Primitives, OversizedOutByteSendsNothing) {
  open();
  uint8_t data[197] = {};
  EXPECT_EQ(OutByte(56, data, 197), ST_BAD_PARAMETER);
  EXPECT_EQ(OutByte(0, data, 1), ST_BAD_PARAMETER);
  EXPECT_TRUE(reader.trace().empty());
  EXPECT_EQ(OutByte(56, data, 196), ST_OK);
}

TEST_F(Primitives, Delay1msSubtractsOneHundredBitTimes) {
  struct Case {
    uint32_t baud, ms;
    uint64_t slept_ms;
  } const cases[] = {
      {9600, 40, 30}, {115200, 40, 40}, {9600, 10, 0}, {300, 333, 0}, {300, 334, 1}, {9600, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ms << " ms at " << c.baud);
    open(c.baud);
    const uint64_t start = clock.now_ns();
    Delay1ms(c.ms);
    EXPECT_EQ(clock.now_ns() - start, c.slept_ms * sim::kNsPerMs);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Primitives, WithoutASessionPrimitivesReturnNotOpen) {
  uint8_t buffer[8] = {};
  EXPECT_EQ(PutIO(151, 1), ST_NOT_OPEN);
  EXPECT_EQ(GetIO(151, buffer), ST_NOT_OPEN);
  EXPECT_EQ(InByte(55, buffer, 4), ST_NOT_OPEN);
  EXPECT_EQ(OutByte(56, buffer, 3), ST_NOT_OPEN);
  EXPECT_EQ(GetIsoBuffer(buffer), ST_NOT_OPEN);
  const uint64_t start = clock.now_ns();
  Delay1ms(5);  // no session: no allowance, the full wait
  EXPECT_EQ(clock.now_ns() - start, 5 * sim::kNsPerMs);
}

}  // namespace
}  // namespace kdx::test
