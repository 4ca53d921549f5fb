// The AT153 and AT1608 drivers against their card models: argument checks,
// the frames of each export, verification, authentication, fuses, zone
// access, and failing steps.
#include <cstring>

#include "sim/cards/at_secure_card.h"
#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kStart = 21, kStop = 22, kSend = 24, kClockIn = 25, kClockLast = 26;

template <typename Card>
class SecureFixture : public CardFixture<Card> {
 protected:
  using ReaderFixture::frame;
  static Frames transaction(const Bytes& bytes) { return {frame(kStart), frame(kSend, bytes), frame(kStop)}; }
  static Bytes clock_frame(uint8_t code, uint16_t count) {
    return frame(code, {static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)});
  }
  // A read: start, command and address, the acknowledged pieces, the last
  // byte, stop.
  static Frames read_frames(uint8_t command, uint8_t address, std::initializer_list<uint16_t> pieces) {
    Frames frames{frame(kStart), frame(kSend, {command, address})};
    for (uint16_t piece : pieces) frames.push_back(clock_frame(kClockIn, piece));
    frames.push_back(clock_frame(kClockLast, 1));
    frames.push_back(frame(kStop));
    return frames;
  }

  Card& insert_card() {
    Card& card = this->insert(std::make_unique<Card>());
    uint8_t atr[4];
    EXPECT_EQ(AT153_OpenCard(atr), ST_OK);
    this->reader.clear_trace();
    return card;
  }
  void TearDown() override {
    if (this->reader.card() != nullptr && expect_clean_) {
      EXPECT_EQ(this->model().violations(), std::vector<std::string>{});
    }
  }
  bool expect_clean_ = true;
};

using At153 = SecureFixture<sim::At153Card>;
using At1608 = SecureFixture<sim::At1608Card>;

TEST_F(At153, ArgumentChecksComeBeforeAnyFrame) {
  insert_card();
  uint8_t d[80] = {};
  const CheckCase cases[] = {
      {"address before length 0", [&] { return AT153_ReadChar(70, 0, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"zone after the length tests", [&] { return AT153_ReadChar(10, 0, 7, d); }, ST_OK},
      {"sum 65", [&] { return AT153_ReadChar(60, 5, 0, d); }, ST_ACCESS_OVERFLOW},
      {"length 65", [&] { return AT153_ReadChar(0, 65, 0, d); }, ST_LENGTH_OVERFLOW},
      {"zone 4", [&] { return AT153_ReadChar(0, 8, 4, d); }, ST_BAD_ZONE},
      {"write zone 4", [&] { return AT153_WriteChar(0, 8, 4, d); }, ST_BAD_ZONE},
      {"null buffer", [&] { return AT153_ReadChar(0, 8, 0, nullptr); }, ST_BAD_PARAMETER},
      {"null data", [&] { return AT153_WriteChar(0, 8, 0, nullptr); }, ST_BAD_PARAMETER},
      {"AR zone 3", [&] { return AT153_ReadAR(3, d); }, ST_BAD_INDEX},
      {"write AR zone 3", [&] { return AT153_WriteAR(3, 0); }, ST_BAD_INDEX},
      {"PAC index 4", [&] { return AT153_ReadPAC(4, d); }, ST_BAD_INDEX},
      {"write PWD index 4", [&] { return AT153_WritePWD(4, d); }, ST_BAD_INDEX},
      {"verify index 4", [&] { return AT153_VerifyPWD(4, 1, 2, 3); }, ST_BAD_INDEX},
      {"null seed", [&] { return AT153_Auth(nullptr, d); }, ST_BAD_PARAMETER},
      {"null fuse", [&] { return AT153_ReadFuse(nullptr); }, ST_BAD_PARAMETER},
  };
  expect_no_traffic(cases);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  const CheckCase closed[] = {
      {"index before session", [&] { return AT153_ReadPAC(4, d); }, ST_BAD_INDEX},
      {"AR zone before session", [&] { return AT153_ReadAR(3, d); }, ST_BAD_INDEX},
      {"verify: session first", [&] { return AT153_VerifyPWD(4, 1, 2, 3); }, ST_NOT_OPEN},
      {"read", [&] { return AT153_ReadChar(0, 1, 0, d); }, ST_NOT_OPEN},
  };
  expect_no_traffic(closed);
}

TEST_F(At1608, ArgumentChecksComeBeforeAnyFrame) {
  insert_card();
  uint8_t d[300] = {};
  const CheckCase cases[] = {
      {"address 128 of zone 8", [&] { return AT1608_ReadChar(128, 1, 8, d); }, ST_ADDRESS_OVERFLOW},
      {"length 129 of zone 8", [&] { return AT1608_ReadChar(0, 129, 8, d); }, ST_LENGTH_OVERFLOW},
      {"sum 257", [&] { return AT1608_ReadChar(200, 57, 3, d); }, ST_ACCESS_OVERFLOW},
      {"zone 9 skips the sizes", [&] { return AT1608_ReadChar(300, 1, 9, d); }, ST_BAD_ZONE},
      {"zone 9, length 0", [&] { return AT1608_ReadChar(0, 0, 9, d); }, ST_OK},
      {"address 256", [&] { return AT1608_WriteChar(256, 0, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"AR zone 8", [&] { return AT1608_ReadAR(8, d); }, ST_BAD_INDEX},
      {"PAC index 16", [&] { return AT1608_ReadPAC(16, d); }, ST_BAD_INDEX},
      {"verify index 16", [&] { return AT1608_VerifyPWD(16, 1, 2, 3); }, ST_BAD_INDEX},
      {"null challenge", [&] { return AT1608_Auth(d, nullptr); }, ST_BAD_PARAMETER},
  };
  expect_no_traffic(cases);
}

TEST_F(At153, ReadAndWriteFrames) {
  sim::At153Card& card = insert_card();
  for (std::size_t i = 0; i < 64; ++i) card.zones()[1][i] = static_cast<uint8_t>(i);
  uint8_t byte = 0;
  ASSERT_EQ(AT153_ReadChar(5, 1, 1, &byte), ST_OK);
  EXPECT_EQ(byte, 5);
  EXPECT_EQ(reader.commands(), read_frames(0xB5, 5, {0}));

  reader.clear_trace();
  uint8_t data[12];
  for (uint8_t i = 0; i < 12; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  const uint64_t since = clock.now_ns();
  ASSERT_EQ(AT153_WriteChar(6, 12, 1, data), ST_OK);
  EXPECT_EQ(reader.commands(), transaction({0xB4, 6, 0xA0, 0xA1}) + transaction({0xB4, 8, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9}) +
                                   transaction({0xB4, 16, 0xAA, 0xAB}));
  EXPECT_GE(elapsed_ms(since), 30.0);
  EXPECT_TRUE(std::equal(data, data + 12, card.zones()[1].begin() + 6));

  reader.clear_trace();
  ASSERT_EQ(AT153_WriteValue(16, 2, 0x11223344), ST_OK);
  EXPECT_EQ(reader.commands(), transaction({0xB8, 16, 0x44, 0x33, 0x22, 0x11}));
  uint32_t value = 0;
  ASSERT_EQ(AT153_ReadValue(16, 2, &value), ST_OK);
  EXPECT_EQ(value, 0x11223344u);
}

TEST_F(At1608, ReadAndWriteFrames) {
  sim::At1608Card& card = insert_card();
  for (std::size_t i = 0; i < 256; ++i) card.zones()[3][i] = static_cast<uint8_t>(i ^ 0x5A);
  uint8_t byte = 0;
  ASSERT_EQ(AT1608_ReadChar(7, 1, 3, &byte), ST_OK);
  EXPECT_EQ(byte, 7 ^ 0x5A);
  EXPECT_EQ(reader.commands(), transaction({0xB2, 3}) + read_frames(0xB1, 7, {}));

  reader.clear_trace();
  uint8_t all[256];
  ASSERT_EQ(AT1608_ReadChar(0, 256, 3, all), ST_OK);
  EXPECT_EQ(reader.commands(), transaction({0xB2, 3}) + read_frames(0xB1, 0, {184, 71}));
  EXPECT_TRUE(std::equal(all, all + 256, card.zones()[3].begin()));

  reader.clear_trace();
  Bytes data(20);
  for (std::size_t i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(AT1608_WriteChar(10, 20, 2, data.data()), ST_OK);
  Bytes first{0xB0, 10}, second{0xB0, 16};
  first.insert(first.end(), data.begin(), data.begin() + 6);
  second.insert(second.end(), data.begin() + 6, data.end());
  EXPECT_EQ(reader.commands(), transaction({0xB2, 2}) + transaction(first) + transaction(second));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), card.zones()[2].begin() + 10));

  reader.clear_trace();
  const uint8_t mtz[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(AT1608_WriteMTZ(mtz), ST_OK);
  EXPECT_EQ(reader.commands(), transaction({0xB4, 0x38, 1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
}  // namespace kdx::test
