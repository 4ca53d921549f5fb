// The AT24C driver against the AT24C card model: argument checks, the bus
// frames of each type, the pieces of reads and writes, failing steps, the
// type byte, and round trips on every type.
#include "sim/cards/at24c.h"

#include <cstdio>
#include <cstring>
#include <numeric>

#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kPower = 19, kStart = 21, kStop = 22, kSend = 24, kReceive = 25, kReceiveLast = 26;
constexpr std::size_t kCapacity[] = {0, 128, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};

Bytes pattern(std::size_t size, uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return bytes;
}

class At24c : public CardFixture<sim::At24cCard> {
 protected:
  ~At24c() override { AT24C_CloseCard(); }

  sim::At24cCard& insert_card(uint8_t type, Bytes memory = {}) {
    if (memory.empty()) memory = pattern(kCapacity[type], 0x40);
    sim::At24cCard& card = insert(std::make_unique<sim::At24cCard>(type, memory));
    EXPECT_EQ(AT24C_OpenCard(type), ST_OK);
    reader.clear_trace();
    return card;
  }
  static Bytes receive(uint16_t count) {
    return frame(count == 1 ? kReceiveLast : kReceive, {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)});
  }
  // The frames of a page write: start, one send, stop.
  static Frames page_write(const Bytes& header, const Bytes& data) {
    Bytes sent = header;
    sent.insert(sent.end(), data.begin(), data.end());
    return {frame(kStart), frame(kSend, sent), frame(kStop)};
  }
  std::vector<uint8_t> codes() const {
    std::vector<uint8_t> result;
    for (const Bytes& command : reader.commands()) result.push_back(command[0]);
    return result;
  }
};

TEST_F(At24c, ArgumentChecksComeBeforeAnyFrame) {
  uint8_t d[300] = {};
  uint32_t value = 0;
  insert_card(3);
  const CheckCase on_type_3[] = {
      {"length 0 before the address", [&] { return AT24C_ReadChar(300, 0, d); }, ST_OK},
      {"write of length 0, no buffer", [&] { return AT24C_WriteChar(0xFFFF, 0, nullptr); }, ST_OK},
      {"address 256", [&] { return AT24C_ReadChar(256, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"address 200, length 57", [&] { return AT24C_WriteChar(200, 57, d); }, ST_ACCESS_OVERFLOW},
      {"length 257", [&] { return AT24C_ReadChar(0, 257, d); }, ST_LENGTH_OVERFLOW},
      {"address in the high 16 bits only", [&] { return AT24C_ReadChar(0x10100, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"no read buffer", [&] { return AT24C_ReadChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"no write buffer", [&] { return AT24C_WriteChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"no value", [&] { return AT24C_ReadValue(0, nullptr); }, ST_BAD_PARAMETER},
      {"value past the end", [&] { return AT24C_ReadValue(253, &value); }, ST_ACCESS_OVERFLOW},
      {"value write past the end", [&] { return AT24C_WriteValue(254, 1); }, ST_ACCESS_OVERFLOW},
      {"type 11", [] { return AT24C_OpenCard(11); }, ST_WRONG_CARD_TYPE},
      {"type 0", [] { return AT24C_OpenCard(0); }, ST_WRONG_CARD_TYPE},
      {"type 0x100", [] { return AT24C_OpenCard(0x100); }, ST_WRONG_CARD_TYPE},
  };
  expect_no_traffic(on_type_3);
  ASSERT_EQ(AT24C_OpenCard(10), ST_OK);
  const CheckCase on_type_10[] = {
      {"address with bit 15", [&] { return AT24C_ReadChar(0x8000, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"address 0x7FFF, length 2", [&] { return AT24C_ReadChar(0x7FFF, 2, d); }, ST_ACCESS_OVERFLOW},
  };
  expect_no_traffic(on_type_10);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  const CheckCase without_session[] = {
      {"read", [&] { return AT24C_ReadChar(0, 1, d); }, ST_NOT_OPEN},
      {"open", [] { return AT24C_OpenCard(3); }, ST_NOT_OPEN},
      {"close", [] { return AT24C_CloseCard(); }, ST_NOT_OPEN},
      {"after close, length 0", [&] { return AT24C_ReadChar(0, 0, d); }, ST_NOT_OPEN},
  };
  expect_no_traffic(without_session);
}

// The address phase of each way of addressing, for a read and a write of
// one byte; the model takes both.
TEST_F(At24c, AddressPhaseOfEachType) {
  struct Case {
    uint8_t type;
    uint16_t address;
    Bytes read_phase;  // the sends before the data, each after a start
    Bytes second_send;
    Bytes write_header;
  };
  const Case cases[] = {
      {1, 0x10, {0x21}, {}, {0x20}},
      {1, 0x7F, {0xFF}, {}, {0xFE}},
      {3, 0xC3, {0xA0, 0xC3}, {0xA1}, {0xA0, 0xC3}},
      {4, 0x1F0, {0xA2, 0xF0}, {0xA3}, {0xA2, 0xF0}},
      {6, 0x7FF, {0xAE, 0xFF}, {0xAF}, {0xAE, 0xFF}},
      {10, 0x1234, {0xA0, 0x12, 0x34}, {0xA1}, {0xA0, 0x12, 0x34}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " address " << c.address);
    sim::At24cCard& card = insert_card(c.type);
    uint8_t byte = 0;
    ASSERT_EQ(AT24C_ReadChar(c.address, 1, &byte), ST_OK);
    EXPECT_EQ(byte, card.memory()[c.address]);
    Frames expected{frame(kStart), frame(kSend, c.read_phase)};
    if (!c.second_send.empty()) expected = expected + Frames{frame(kStart), frame(kSend, c.second_send)};
    expected = expected + Frames{receive(1), frame(kStop)};
    EXPECT_EQ(reader.commands(), expected);

    reader.clear_trace();
    const uint8_t data = 0x5C;
    ASSERT_EQ(AT24C_WriteChar(c.address, 1, &data), ST_OK);
    EXPECT_EQ(reader.commands(), page_write(c.write_header, {data}));
    EXPECT_EQ(card.memory()[c.address], data);
    EXPECT_TRUE(card.violations().empty()) << card.violations().front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At24c, WritesGoOutOnePagePerTransaction) {
  {
    SCOPED_TRACE("type 3: 20 bytes at 5 in pages of 8");
    sim::At24cCard& card = insert_card(3);
    const Bytes data = pattern(20);
    ASSERT_EQ(AT24C_WriteChar(5, 20, data.data()), ST_OK);
    const Bytes::const_iterator d = data.begin();
    EXPECT_EQ(reader.commands(), page_write({0xA0, 5}, {d, d + 3}) + page_write({0xA0, 8}, {d + 3, d + 11}) +
                                     page_write({0xA0, 16}, {d + 11, d + 19}) + page_write({0xA0, 24}, {d + 19, d + 20}));
    EXPECT_EQ(Bytes(card.memory().begin() + 5, card.memory().begin() + 25), data);
    EXPECT_TRUE(card.violations().empty());
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
  {
    SCOPED_TRACE("type 1: 8 bytes at 0 in pages of 4, stored whole");
    sim::At24cCard& card = insert_card(1);
    const Bytes data = pattern(8);
    ASSERT_EQ(AT24C_WriteChar(0, 8, data.data()), ST_OK);
    EXPECT_EQ(reader.commands(), page_write({0x00}, {data.begin(), data.begin() + 4}) +
                                     page_write({0x08}, {data.begin() + 4, data.end()}));
    EXPECT_EQ(Bytes(card.memory().begin(), card.memory().begin() + 8), data);
    EXPECT_TRUE(card.violations().empty());
    reader.clear_trace();
    ASSERT_EQ(AT24C_WriteChar(0x7C, 4, data.data()), ST_OK);
    EXPECT_EQ(reader.commands(), page_write({0xF8}, {data.begin(), data.begin() + 4}));
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
  {
    SCOPED_TRACE("type 4: a write across address 256 changes the device byte");
    insert_card(4);
    const Bytes data = pattern(4);
    ASSERT_EQ(AT24C_WriteChar(0xFE, 4, data.data()), ST_OK);
    EXPECT_EQ(reader.commands(), page_write({0xA0, 0xFE}, {data.begin(), data.begin() + 2}) +
                                     page_write({0xA2, 0x00}, {data.begin() + 2, data.end()}));
  }
}

TEST_F(At24c, ReadsComeInPiecesOf184AndEndWithoutAcknowledge) {
  struct Case {
    uint16_t length;
    std::vector<uint16_t> pieces;
  };
  const Case cases[] = {{1, {1}}, {2, {1, 1}}, {185, {184, 1}}, {186, {184, 1, 1}}, {400, {184, 184, 31, 1}}};
  sim::At24cCard& card = insert_card(10);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    reader.clear_trace();
    Bytes d(c.length + 1, 0xEE);
    ASSERT_EQ(AT24C_ReadChar(0x7000, c.length, d.data()), ST_OK);
    EXPECT_EQ(Bytes(d.begin(), d.end() - 1), Bytes(card.memory().begin() + 0x7000, card.memory().begin() + 0x7000 + c.length));
    EXPECT_EQ(d.back(), 0xEE);
    Frames expected{frame(kStart), frame(kSend, {0xA0, 0x70, 0x00}), frame(kStart), frame(kSend, {0xA1})};
    for (std::size_t i = 0; i + 1 < c.pieces.size(); ++i) expected.push_back(frame(kReceive, {static_cast<uint8_t>(c.pieces[i]), 0}));
    expected.push_back(receive(1));
    expected.push_back(frame(kStop));
    EXPECT_EQ(reader.commands(), expected);
  }
  EXPECT_TRUE(card.violations().empty());
}

TEST_F(At24c, AFailingStepEndsTheOperationWithItsStatus) {
  const Bytes data = pattern(20);
  const Bytes original = pattern(256, 0x40);
  uint8_t d[64];
  const FaultCase cases[] = {
      // a page is start, send, stop: the second page's start fails
      {"write: NAK at the second page", false, 3, true, [&] { return AT24C_WriteChar(5, 20, data.data()); },
       ST_COMM_ERROR,
       [&](const sim::At24cCard& card) {
         EXPECT_EQ(Bytes(card.memory().begin() + 5, card.memory().begin() + 8), Bytes(data.begin(), data.begin() + 3));
         EXPECT_EQ(card.memory()[8], original[8]);
       }},
      {"write: NAK at the third send", false, 7, true, [&] { return AT24C_WriteChar(5, 20, data.data()); },
       ST_COMM_ERROR,
       [&](const sim::At24cCard& card) {
         EXPECT_EQ(Bytes(card.memory().begin() + 5, card.memory().begin() + 16), Bytes(data.begin(), data.begin() + 11));
         EXPECT_EQ(card.memory()[16], original[16]);
       }},
      {"read: NAK at the repeated start", false, 2, true, [&] { return AT24C_ReadChar(0, 40, d); }, ST_COMM_ERROR,
       [](const sim::At24cCard&) {}},
      {"read: reader status at the acknowledged piece", false, 4, false, [&] { return AT24C_ReadChar(0, 40, d); },
       kFaultStatus, [](const sim::At24cCard&) {}},
      {"read: reader status at the last byte", false, 5, false, [&] { return AT24C_ReadChar(0, 40, d); },
       kFaultStatus, [](const sim::At24cCard&) {}},
      {"open: reader status at the door switch", false, 0, false, [] { return AT24C_OpenCard(3); }, kFaultStatus,
       [](const sim::At24cCard&) {}},
      {"open: NAK at the stop", false, 2, true, [] { return AT24C_OpenCard(3); }, ST_COMM_ERROR,
       [](const sim::At24cCard&) {}},
  };
  run_fault_cases(cases, [&](bool) { insert_card(3, original); });
}

// A read answered with another count than asked fails; nothing lands past
// the request.
TEST_F(At24c, AnswersOfTheWrongLengthFailTheRead) {
  for (std::size_t answer : {std::size_t{0}, std::size_t{3}, std::size_t{195}}) {
    SCOPED_TRACE(testing::Message() << answer << " bytes an answer");
    reader.insert(std::make_unique<FixedLengthCard>(answer));
    open();
    ASSERT_EQ(AT24C_OpenCard(3), ST_OK);
    uint8_t d[5];
    for (uint16_t length : {1, 4}) {
      std::memset(d, 0xEE, sizeof d);
      EXPECT_EQ(AT24C_ReadChar(0, length, d), ST_COMM_ERROR);
      EXPECT_EQ(d[length], 0xEE);
    }
    uint32_t value = 0x12345678;
    EXPECT_EQ(AT24C_ReadValue(0, &value), ST_COMM_ERROR);
    EXPECT_EQ(value, 0x12345678u);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At24c, TheTypeIsSetByAnOpenAndClearedByItsClose) {
  sim::At24cCard& card = insert_card(3);
  uint8_t byte = 0;
  // A refused reopen keeps type 3: still one address byte.
  EXPECT_EQ(AT24C_OpenCard(11), ST_WRONG_CARD_TYPE);
  reader.override_status(1, 16);  // the door switch read fails
  EXPECT_EQ(AT24C_OpenCard(10), 16);
  reader.clear_trace();
  ASSERT_EQ(AT24C_ReadChar(0x20, 1, &byte), ST_OK);
  EXPECT_EQ(reader.commands()[1], frame(kSend, {0xA0, 0x20}));
  // The card stays powered across a port reopen, and so does the type.
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  open();
  ASSERT_EQ(AT24C_ReadChar(0x20, 1, &byte), ST_OK);
  EXPECT_EQ(byte, card.memory()[0x20]);
  reader.clear_trace();
  ASSERT_EQ(AT24C_CloseCard(), ST_OK);
  EXPECT_EQ(reader.commands(), Frames{frame(kPower, {0})});
  const CheckCase after_close[] = {
      {"read", [&] { return AT24C_ReadChar(0, 1, &byte); }, ST_WRONG_CARD_TYPE},
      {"write", [&] { return AT24C_WriteChar(0, 1, &byte); }, ST_WRONG_CARD_TYPE},
      {"value", [] { return AT24C_WriteValue(0, 1); }, ST_WRONG_CARD_TYPE},
  };
  expect_no_traffic(after_close);
  // A close without a session clears the type too.
  ASSERT_EQ(AT24C_OpenCard(3), ST_OK);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(AT24C_CloseCard(), ST_NOT_OPEN);
  open();
  EXPECT_EQ(AT24C_ReadChar(0, 1, &byte), ST_WRONG_CARD_TYPE);
}

TEST_F(At24c, OpenPowersTheCardAndLeavesTheBusIdle) {
  insert(std::make_unique<sim::At24cCard>(5));
  ASSERT_EQ(AT24C_OpenCard(0x105), ST_OK);  // low 8 bits: type 5
  const Frames expected{frame(18, {178}), frame(kPower, {1}), frame(kStop)};
  EXPECT_EQ(reader.commands(), expected);
  reader.remove();
  EXPECT_EQ(AT24C_OpenCard(5), ST_NO_CARD);
}

// Every type: a write across pages (and, on types 4 to 6, across a block of
// 256) reads back whole, and values go least significant byte first.
TEST_F(At24c, RoundTripsOnEveryType) {
  for (uint8_t type = 1; type <= 10; ++type) {
    SCOPED_TRACE(testing::Message() << "type " << int(type));
    sim::At24cCard& card = insert_card(type);
    const std::size_t capacity = kCapacity[type];
    const auto address = static_cast<uint16_t>(capacity / 2 - 5);
    const Bytes data = pattern(std::min<std::size_t>(capacity / 2, 150), type);
    ASSERT_EQ(AT24C_WriteChar(address, static_cast<uint16_t>(data.size()), data.data()), ST_OK);
    Bytes back(data.size());
    ASSERT_EQ(AT24C_ReadChar(address, static_cast<uint16_t>(back.size()), back.data()), ST_OK);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Bytes(card.memory().begin() + address, card.memory().begin() + address + data.size()), data);

    const auto last = static_cast<uint16_t>(capacity - 4);
    ASSERT_EQ(AT24C_WriteValue(last, 0x11223344), ST_OK);
    EXPECT_EQ(Bytes(card.memory().end() - 4, card.memory().end()), (Bytes{0x44, 0x33, 0x22, 0x11}));
    uint32_t value = 0;
    ASSERT_EQ(AT24C_ReadValue(last, &value), ST_OK);
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_TRUE(card.violations().empty()) << card.violations().front();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// One send per page: the whole of a 32 KiB card goes out in 512
// transactions, about 50 s of line time at 9600 baud.
TEST_F(At24c, AWholeType10CardIsWrittenInAboutFiftySeconds) {
  sim::At24cCard& card = insert_card(10);
  const Bytes data = pattern(32768, 9);
  const uint64_t start = clock.now_ns();
  ASSERT_EQ(AT24C_WriteChar(0, 32768, data.data()), ST_OK);
  const double seconds = elapsed_ms(start) / 1000;
  EXPECT_GT(seconds, 40);
  EXPECT_LT(seconds, 60);
  EXPECT_EQ(reader.commands().size(), 3u * 512);
  EXPECT_EQ(card.memory(), data);
  EXPECT_EQ(card.transactions(), 512u);
  EXPECT_TRUE(card.violations().empty());
  std::printf("32 KiB written in %.1f s of line time\n", seconds);
}

}  // namespace
}  // namespace kdx::test
