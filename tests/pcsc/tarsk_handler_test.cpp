// The Tarsk reader through the IFDH functions: APDUs on both protocols,
// protocol selection, a card pulled mid-exchange, an answer too big for the
// caller's buffer.
#include <numeric>

#include "pcsc/handler_fixture.h"

namespace kdx::ifd {
namespace {

const Bytes kOk = {0x90, 0x00};
const Bytes kT0Atr = {0x3B, 0x02, 0x14, 0x50};
const Bytes kDualAtr = {0x3B, 0xD3, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x80, 0x31, 0xC0, 0x22};

// Bytes first, first + 1, ... (count of them), then SW1 SW2.
Bytes run(uint8_t first, std::size_t count, const Bytes& sw) {
  Bytes bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  bytes.insert(bytes.end(), sw.begin(), sw.end());
  return bytes;
}

DWORD current_protocol() {
  DWORD protocol = 0;
  DWORD length = sizeof protocol;
  if (IFDHGetCapabilities(kLun, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &length, reinterpret_cast<PUCHAR>(&protocol)) !=
      IFD_SUCCESS) {
    return 0;
  }
  return protocol;
}

struct Step {
  const char* what;
  Bytes apdu;
  Bytes response;
};

class TarskHandlerTest : public HandlerTest {
 protected:
  void run_steps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      EXPECT_EQ(transmit(step.apdu), step.response);
      EXPECT_EQ(last, IFD_SUCCESS);
    }
  }
};

// The T=0 card's file holds byte i = i mod 256 over 512 bytes.
TEST_F(TarskHandlerTest, T0ApdusGetTheCaseMapping) {
  ASSERT_EQ(open("sim:tarsk?card=t0"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), kT0Atr);
  ASSERT_EQ(current_protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T0));
  run_steps({
      {"case 1", {0x00, 0x44, 0x00, 0x00}, kOk},
      {"case 4 SELECT: the card's 61 06 fetched with GET RESPONSE", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00},
       {0x62, 0x04, 0x83, 0x02, 0x00, 0x01, 0x90, 0x00}},
      {"case 3 SELECT leaves 61xx to the application", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}, {0x61, 0x06}},
      {"case 2", {0x00, 0xB0, 0x00, 0x10, 0x04}, run(0x10, 4, kOk)},
      {"case 2 Le 00 near the end: the card's 6C80 resent with Le 80", {0x00, 0xB0, 0x01, 0x80, 0x00}, run(0x80, 128, kOk)},
      {"case 3 UPDATE BINARY", {0x00, 0xD6, 0x00, 0x10, 0x02, 0xAB, 0xCD}, kOk},
      {"read back", {0x00, 0xB0, 0x00, 0x10, 0x03}, {0xAB, 0xCD, 0x12, 0x90, 0x00}},
  });
  EXPECT_TRUE(slot().violations().empty());
}

// The T=1 card's application: EF 0101 of 600 bytes (i mod 251), EF 0102 of
// 16 (00 to 0F), an echo.
TEST_F(TarskHandlerTest, T1ApdusGoWholeThroughTheBlockProtocol) {
  ASSERT_EQ(open("sim:tarsk?card=t1"), IFD_SUCCESS);
  ASSERT_FALSE(power_up().empty());
  ASSERT_EQ(current_protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
  run_steps({
      {"case 3 SELECT", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02}, kOk},
      {"case 2", {0x00, 0xB0, 0x00, 0x02, 0x04}, run(0x02, 4, kOk)},
      {"case 2 Le 00: the file ends first", {0x00, 0xB0, 0x00, 0x00, 0x00}, run(0x00, 16, {0x62, 0x82})},
      {"case 4 echo", {0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00}, {0x01, 0x02, 0x03, 0x90, 0x00}},
      {"case 3 UPDATE BINARY", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAB, 0xCD}, kOk},
      {"read back", {0x00, 0xB0, 0x00, 0x00, 0x03}, {0xAB, 0xCD, 0x02, 0x90, 0x00}},
      {"SELECT 0101, 600 bytes", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}, kOk},
      {"256 bytes chained over blocks of IFSD", {0x00, 0xB0, 0x00, 0x00, 0x00}, [] {
         Bytes bytes(256);
         for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
         bytes.insert(bytes.end(), kOk.begin(), kOk.end());
         return bytes;
       }()},
  });
  EXPECT_TRUE(slot().violations().empty());
}

// Commands both of the cards' applications answer alike: an application
// sees one answer whichever protocol carries it.
TEST_F(TarskHandlerTest, SameAnswersOnBothProtocols) {
  const std::vector<Step> steps = {
      {"SELECT of an absent file, case 3", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x77, 0x77}, {0x6A, 0x82}},
      {"SELECT of an absent file, case 4", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x77, 0x77, 0x00}, {0x6A, 0x82}},
      {"SELECT with a one-byte identifier", {0x00, 0xA4, 0x00, 0x00, 0x01, 0x3F}, {0x67, 0x00}},
      {"other instruction", {0x00, 0xCA, 0x00, 0x00, 0x00}, {0x6D, 0x00}},
      {"other class", {0xA0, 0xB0, 0x00, 0x00, 0x01}, {0x6E, 0x00}},
      {"SELECT with the file's control information", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02, 0x00},
       {0x62, 0x04, 0x83, 0x02, 0x01, 0x02, 0x90, 0x00}},
      {"READ BINARY", {0x00, 0xB0, 0x00, 0x04, 0x08}, run(0x04, 8, kOk)},
      {"case 4 echo", {0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00}, {0x01, 0x02, 0x03, 0x90, 0x00}},
  };
  for (const char* card : {"sim:tarsk?card=t0", "sim:tarsk?card=t1"}) {
    SCOPED_TRACE(card);
    ASSERT_EQ(open(card), IFD_SUCCESS);
    ASSERT_FALSE(power_up().empty());
    run_steps(steps);
    EXPECT_TRUE(slot().violations().empty());
    EXPECT_EQ(close(), IFD_SUCCESS);
  }
}

// The dual card starts in T=0 and offers T=1: PPS through
// IFDHSetProtocolParameters, then T=1 exchanges.
TEST_F(TarskHandlerTest, PpsSelectsT1OnADualProtocolCard) {
  ASSERT_EQ(open("sim:tarsk?card=dual"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), kDualAtr);
  EXPECT_EQ(current_protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T0));
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00}), (Bytes{0x62, 0x04, 0x83, 0x02, 0x00, 0x01, 0x90, 0x00}));
  // PPS is taken only as the first bytes after the ATR: a fresh reset first.
  ASSERT_EQ(power_up(kLun, IFD_RESET), kDualAtr);
  ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(current_protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
  run_steps({
      {"case 3 SELECT in T=1", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02}, kOk},
      {"case 2 in T=1", {0x00, 0xB0, 0x00, 0x00, 0x10}, run(0x00, 16, kOk)},
      {"case 4 in T=1", {0x80, 0xEE, 0x00, 0x00, 0x01, 0x5A, 0x00}, {0x5A, 0x90, 0x00}},
  });
  EXPECT_TRUE(slot().violations().empty());
}

TEST_F(TarskHandlerTest, CardPulledMidExchangeIsReportedAbsent) {
  const struct {
    const char* name;
    Bytes prepare;
    Bytes slow;  // takes the card longer than the 50 ms before the pull
  } cases[] = {
      // 256 data bytes at 9600 bit/s: about 300 ms on the line.
      {"sim:tarsk?card=t0", {0x00, 0x44, 0x00, 0x00}, {0x00, 0xB0, 0x00, 0x00, 0x00}},
      // 80 F0: the card works 500 ms (01 F4) before it answers.
      {"sim:tarsk?card=t1", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02}, {0x80, 0xF0, 0x01, 0xF4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open(c.name), IFD_SUCCESS);
    ASSERT_FALSE(power_up().empty());
    ASSERT_EQ(transmit(c.prepare), kOk);
    slot().remove_in(50);
    EXPECT_TRUE(transmit(c.slow).empty());
    EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_TRUE(transmit(c.prepare).empty());
    EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(close(), IFD_SUCCESS);
  }
}

TEST_F(TarskHandlerTest, AnswerLargerThanTheCallersBufferIsRefused) {
  const struct {
    const char* name;
    Bytes prepare;
  } cases[] = {
      {"sim:tarsk?card=t0", {0x00, 0x44, 0x00, 0x00}},
      {"sim:tarsk?card=t1", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}},
  };
  const Bytes read_256 = {0x00, 0xB0, 0x00, 0x00, 0x00};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open(c.name), IFD_SUCCESS);
    ASSERT_FALSE(power_up().empty());
    ASSERT_EQ(transmit(c.prepare), kOk);
    // 258 bytes of answer: the fixture checks that nothing lands past `room`.
    EXPECT_TRUE(transmit(read_256, kLun, 257).empty());
    EXPECT_EQ(last, IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(transmit(read_256, kLun, 258).size(), 258u);
    EXPECT_TRUE(slot().violations().empty());
    EXPECT_EQ(close(), IFD_SUCCESS);
  }
}

}  // namespace
}  // namespace kdx::ifd
