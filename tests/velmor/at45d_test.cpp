// The AT45D driver against the AT45D card model: argument checks, the
// frames of each DataFlash command, the page write with its ready waits,
// failing steps, the type byte, and the flows on the chip.
#include "sim/cards/at45d.h"

#include <cstring>

#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kPower = 35, kInit = 36, kSelect = 37, kDeselect = 38, kIn = 39, kOut = 40;
constexpr uint8_t kStatusRead = 0x57;

Bytes pattern(std::size_t size, uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 3 * i);
  return bytes;
}

class At45d : public CardFixture<sim::At45dCard> {
 protected:
  ~At45d() override { AT45D_CloseCard(); }

  sim::At45dCard& insert_card(uint8_t type = '3', uint32_t baud = 9600) {
    std::vector<uint8_t> contents = pattern(4 * 264, 0x20);
    auto card = std::make_unique<sim::At45dCard>(type <= '2' ? 1024 : type <= '4' ? 2048 : 4096, contents);
    sim::At45dCard& model = *card;
    reader.insert(std::move(card));
    open(baud);
    EXPECT_EQ(AT45D_OpenCard(type), ST_OK);
    reader.clear_trace();
    return model;
  }
  static Bytes in(uint16_t count) { return frame(kIn, {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)}); }
  // One select window: the sends, then the receives.
  static Frames window(const std::vector<Bytes>& sends, const std::vector<uint16_t>& receives = {}) {
    Frames frames{frame(kSelect)};
    for (const Bytes& s : sends) frames.push_back(frame(kOut, s));
    for (uint16_t r : receives) frames.push_back(in(r));
    frames.push_back(frame(kDeselect));
    return frames;
  }
  // The opcode of each select window in the trace.
  std::vector<uint8_t> opcodes() const {
    std::vector<uint8_t> result;
    bool first_send = false;
    for (const Bytes& command : reader.commands()) {
      if (command[0] == kSelect) first_send = true;
      if (command[0] == kOut && first_send) {
        result.push_back(command[3]);
        first_send = false;
      }
    }
    return result;
  }
  std::size_t polls() const {
    std::size_t n = 0;
    for (uint8_t opcode : opcodes()) n += opcode == kStatusRead ? 1 : 0;
    return n;
  }
  static void expect_no_violations(const sim::At45dCard& card) {
    EXPECT_TRUE(card.violations().empty()) << card.violations().front();
  }
};

TEST_F(At45d, ArgumentChecksComeBeforeAnyFrame) {
  uint8_t d[300] = {};
  uint32_t value = 0;
  insert_card('1');
  const CheckCase on_type_1[] = {
      {"page 1024", [&] { return AT45D_MainMemRead(1024, 0, 1, d); }, ST_BAD_ZONE},
      {"byte 264", [&] { return AT45D_MainMemRead(0, 264, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"byte 200, length 65", [&] { return AT45D_ReadChar(0, 200, 65, d); }, ST_ACCESS_OVERFLOW},
      {"length 265", [&] { return AT45D_MainMemRead(0, 0, 265, d); }, ST_LENGTH_OVERFLOW},
      {"length 0 comes last", [&] { return AT45D_MainMemRead(0, 300, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"length 0", [&] { return AT45D_MainMemRead(0, 0, 0, nullptr); }, ST_OK},
      {"write of length 0", [&] { return AT45D_WriteChar(1023, 263, 0, nullptr); }, ST_OK},
      {"write, page 1024, length 0", [&] { return AT45D_WriteChar(1024, 0, 0, d); }, ST_BAD_ZONE},
      {"no read buffer", [&] { return AT45D_MainMemRead(0, 0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"no write data", [&] { return AT45D_WriteChar(0, 0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"no status byte", [] { return AT45D_ReadStatus(nullptr); }, ST_BAD_PARAMETER},
      {"no value", [] { return AT45D_ReadValue(0, 0, nullptr); }, ST_BAD_PARAMETER},
      {"value past the page", [&] { return AT45D_ReadValue(0, 261, &value); }, ST_ACCESS_OVERFLOW},
      {"value write past the page", [] { return AT45D_WriteValue(0, 262, 1); }, ST_ACCESS_OVERFLOW},
      {"buffer read, buffer 2", [&] { return AT45D_BufferRead(2, 300, 0, d); }, ST_BAD_ZONE},
      {"buffer write, buffer 2", [&] { return AT45D_BufferWrite(2, 0, 1, d); }, ST_BAD_ZONE},
      {"buffer write, byte 264", [&] { return AT45D_BufferWrite(1, 264, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"transfer, buffer 2", [] { return AT45D_MainMem2BufTrans(2, 0); }, ST_BAD_ZONE},
      {"compare, page 1024", [] { return AT45D_MainMem2BufComp(0, 1024); }, ST_BAD_ZONE},
      {"program, buffer 2", [] { return AT45D_Buf2MainMemE(2, 5000); }, ST_BAD_ZONE},
      {"program without erase, buffer 2", [] { return AT45D_Buf2MainMemNoE(2, 0); }, ST_BAD_ZONE},
      {"page program, buffer 2", [&] { return AT45D_MainMemWrite(2, 0, 0, 1, d); }, ST_BAD_ZONE},
      {"page program, page 1024", [&] { return AT45D_MainMemWrite(1, 1024, 0, 1, d); }, ST_BAD_ZONE},
      {"page program, byte 200, length 65", [&] { return AT45D_MainMemWrite(1, 0, 200, 65, d); }, ST_ACCESS_OVERFLOW},
      {"rewrite, buffer 2", [] { return AT45D_AutoReWrite(2, 0); }, ST_BAD_ZONE},
      {"type 6", [] { return AT45D_OpenCard('6'); }, ST_WRONG_CARD_TYPE},
      {"type 0", [] { return AT45D_OpenCard('0'); }, ST_WRONG_CARD_TYPE},
      {"type 1 in the high bits only", [] { return AT45D_OpenCard(0x100); }, ST_WRONG_CARD_TYPE},
  };
  expect_no_traffic(on_type_1);
  ASSERT_EQ(AT45D_OpenCard('3'), ST_OK);
  EXPECT_EQ(AT45D_MainMemRead(1024, 263, 1, d), ST_OK);
  EXPECT_EQ(AT45D_MainMemRead(2048, 0, 1, d), ST_BAD_ZONE);
  ASSERT_EQ(AT45D_CloseCard(), ST_OK);
  const CheckCase without_type[] = {
      {"buffer number before the type", [] { return AT45D_MainMem2BufTrans(2, 0); }, ST_BAD_ZONE},
      {"transfer", [] { return AT45D_MainMem2BufTrans(0, 0); }, ST_WRONG_CARD_TYPE},
      {"read", [&] { return AT45D_MainMemRead(0, 0, 1, d); }, ST_WRONG_CARD_TYPE},
      {"type before the byte address", [&] { return AT45D_ReadChar(0, 999, 1, d); }, ST_WRONG_CARD_TYPE},
      {"write", [&] { return AT45D_WriteChar(0, 0, 1, d); }, ST_WRONG_CARD_TYPE},
      {"value", [&] { return AT45D_ReadValue(0, 0, &value); }, ST_WRONG_CARD_TYPE},
  };
  expect_no_traffic(without_type);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  const CheckCase without_session[] = {
      {"status", [&] { return AT45D_ReadStatus(d); }, ST_NOT_OPEN},
      {"buffer read, buffer 2", [&] { return AT45D_BufferRead(2, 0, 1, d); }, ST_NOT_OPEN},
      {"open", [] { return AT45D_OpenCard('1'); }, ST_NOT_OPEN},
  };
  expect_no_traffic(without_session);
}

TEST_F(At45d, EachCommandIsOneSelectWindow) {
  const Bytes data = pattern(264, 0x90);
  uint8_t d[264];
  uint8_t status = 0;
  struct Case {
    const char* name;
    std::function<StatusCode()> call;
    Frames frames;
  };
  const Case cases[] = {
      {"page read: page 5, byte 260", [&] { return AT45D_MainMemRead(5, 260, 4, d); },
       window({{0x52, 0x00, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x00}}, {4})},
      {"page read of a whole page", [&] { return AT45D_ReadChar(2047, 0, 264, d); },
       window({{0x52, 0x0F, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x00}}, {184, 80})},
      {"buffer 2 read at 0x105", [&] { return AT45D_BufferRead(1, 0x105, 3, d); },
       window({{0x56, 0x00, 0x01, 0x05, 0x00}}, {3})},
      {"buffer 1 write", [&] { return AT45D_BufferWrite(0, 7, 2, data.data()); },
       window({{0x84, 0x00, 0x00, 0x07, data[0], data[1]}})},
      {"transfer to buffer 2, page 1023", [] { return AT45D_MainMem2BufTrans(1, 1023); },
       window({{0x55, 0x07, 0xFE, 0x00}})},
      {"compare with buffer 1", [] { return AT45D_MainMem2BufComp(0, 0x81); }, window({{0x60, 0x01, 0x02, 0x00}})},
      {"program with erase from buffer 2", [] { return AT45D_Buf2MainMemE(1, 3); }, window({{0x86, 0x00, 0x06, 0x00}})},
      {"program without erase from buffer 1", [] { return AT45D_Buf2MainMemNoE(0, 3); },
       window({{0x88, 0x00, 0x06, 0x00}})},
      {"rewrite through buffer 2", [] { return AT45D_AutoReWrite(1, 3); }, window({{0x59, 0x00, 0x06, 0x00}})},
      {"status", [&] { return AT45D_ReadStatus(&status); }, window({{0x57}}, {1})},
  };
  sim::At45dCard& card = insert_card('3');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reader.clear_trace();
    ASSERT_EQ(c.call(), ST_OK);
    EXPECT_EQ(reader.commands(), c.frames);
    // Let each internal operation finish before the next command.
    clock.sleep_ms(30);
  }
  expect_no_violations(card);

  SCOPED_TRACE("a whole page through buffer 2: 268 bytes in pieces of 184 and 84");
  reader.clear_trace();
  ASSERT_EQ(AT45D_MainMemWrite(1, 9, 0, 264, data.data()), ST_OK);
  Bytes block{0x85, 0x00, 0x12, 0x00};
  block.insert(block.end(), data.begin(), data.end());
  EXPECT_EQ(reader.commands(), window({{block.begin(), block.begin() + 184}, {block.begin() + 184, block.end()}}));
  clock.sleep_ms(30);
  EXPECT_EQ(Bytes(card.page(9).begin(), card.page(9).end()), data);
  expect_no_violations(card);
}

TEST_F(At45d, WriteCharRewritesItsPageThroughBuffer1) {
  // At 115200 baud a poll is short enough to see the programming run.
  sim::At45dCard& card = insert_card('5', 115200);
  const sim::At45dCard::Page before = card.page(2);
  const Bytes data = pattern(10, 0xA0);
  ASSERT_EQ(AT45D_WriteChar(2, 100, 10, data.data()), ST_OK);
  const std::vector<uint8_t> ops = opcodes();
  // transfer, wait, buffer write, program with erase, wait, rewrite, wait
  std::vector<uint8_t> steps;
  for (uint8_t op : ops) {
    if (op != kStatusRead || steps.empty() || steps.back() != kStatusRead) steps.push_back(op);
  }
  EXPECT_EQ(steps, (std::vector<uint8_t>{0x53, kStatusRead, 0x84, 0x83, kStatusRead, 0x58, kStatusRead}));
  EXPECT_GE(polls(), 5u) << "the programming should have kept the chip busy for some polls";
  sim::At45dCard::Page expected = before;
  std::copy(data.begin(), data.end(), expected.begin() + 100);
  EXPECT_EQ(card.page(2), expected);
  EXPECT_EQ(card.buffer(0), expected);
  expect_no_violations(card);

  uint32_t value = 0;
  ASSERT_EQ(AT45D_WriteValue(4095, 260, 0xCAFE0102), ST_OK);
  EXPECT_EQ(Bytes(card.page(4095).end() - 4, card.page(4095).end()), (Bytes{0x02, 0x01, 0xFE, 0xCA}));
  ASSERT_EQ(AT45D_ReadValue(4095, 260, &value), ST_OK);
  EXPECT_EQ(value, 0xCAFE0102u);
  expect_no_violations(card);
}

TEST_F(At45d, TheReadyWaitIsBounded) {
  struct Case {
    const char* name;
    uint32_t baud;
    bool never_ready;
    StatusCode status;
    std::size_t polls;  // in the first wait
  };
  const Case cases[] = {
      {"ready at once", 9600, false, ST_OK, 1},
      {"never ready at 9600 baud", 9600, true, ST_COMM_ERROR, 0},
      {"never ready at 300 baud: two busy polls", 300, true, ST_COMM_ERROR, 2},
      {"ready at once at 300 baud", 300, false, ST_OK, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::At45dCard& card = insert_card('3', c.baud);
    card.set_never_ready(c.never_ready);
    const sim::At45dCard::Page before = card.page(1);
    const uint8_t byte = 0;
    const uint64_t start = clock.now_ns();
    EXPECT_EQ(AT45D_WriteChar(1, 0, 1, &byte), c.status);
    const double ms = elapsed_ms(start);
    if (c.never_ready) {
      // the 1000 ms, then at most the poll under way
      const double poll_ms = c.baud == 300 ? 2500 : 60;
      EXPECT_GE(ms, 1000);
      EXPECT_LE(ms, 1000 + 2 * poll_ms);
      if (c.polls != 0) {
        EXPECT_EQ(polls(), c.polls);
      }
      EXPECT_EQ(card.page(1), before);
      EXPECT_EQ(reader.commands().back(), frame(kDeselect));
    } else {
      EXPECT_EQ(opcodes()[1], kStatusRead);
      EXPECT_NE(opcodes()[2], kStatusRead);
    }
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At45d, AFailingStepEndsTheOperationWithItsStatus) {
  const Bytes data = pattern(8, 0x77);
  uint8_t d[300];
  const FaultCase cases[] = {
      {"page read: reader status at the second piece", false, 3, false, [&] { return AT45D_ReadChar(0, 0, 264, d); },
       kFaultStatus, [](const sim::At45dCard&) {}},
      {"page read: NAK at the deselect", false, 3, true, [&] { return AT45D_ReadChar(0, 0, 8, d); }, ST_COMM_ERROR,
       [](const sim::At45dCard&) {}},
      // a window of transfer: select, send, deselect; of a poll: select, send, in, deselect
      {"write: reader status at the first poll", false, 5, false, [&] { return AT45D_WriteChar(1, 0, 8, data.data()); },
       kFaultStatus, [&](const sim::At45dCard& card) { EXPECT_EQ(card.page(1)[0], static_cast<uint8_t>(0x20 + 3 * 264)); }},
      {"write: NAK at the program", false, 10, true, [&] { return AT45D_WriteChar(1, 0, 8, data.data()); },
       ST_COMM_ERROR, [&](const sim::At45dCard& card) { EXPECT_NE(card.page(1)[0], data[0]); }},
      {"write: NAK at the rewrite", false, 17, true, [&] { return AT45D_WriteChar(1, 0, 8, data.data()); },
       ST_COMM_ERROR, [&](const sim::At45dCard& card) { EXPECT_EQ(card.page(1)[0], data[0]); }},
      {"open: NAK at the initialisation", false, 2, true, [] { return AT45D_OpenCard('1'); }, ST_COMM_ERROR,
       [](const sim::At45dCard&) {}},
  };
  run_fault_cases(cases, [&](bool) { insert_card('3'); });
}

TEST_F(At45d, AnswersOfTheWrongLengthFailTheRead) {
  for (std::size_t answer : {std::size_t{0}, std::size_t{3}, std::size_t{195}}) {
    SCOPED_TRACE(testing::Message() << answer << " bytes an answer");
    reader.insert(std::make_unique<FixedLengthCard>(answer));
    open();
    ASSERT_EQ(AT45D_OpenCard('1'), ST_OK);
    uint8_t status = 0xEE;
    EXPECT_EQ(AT45D_ReadStatus(&status), ST_COMM_ERROR);
    EXPECT_EQ(status, 0xEE);
    uint8_t d[5];
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(AT45D_MainMemRead(0, 0, 4, d), ST_COMM_ERROR);
    EXPECT_EQ(d[4], 0xEE);
    EXPECT_EQ(AT45D_BufferRead(0, 0, 4, d), ST_COMM_ERROR);
    EXPECT_EQ(d[4], 0xEE);
    EXPECT_EQ(AT45D_WriteChar(0, 0, 1, d), ST_COMM_ERROR);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At45d, TheTypeIsSetByAnOpenAndClearedByItsClose) {
  sim::At45dCard& card = insert_card('3');
  uint8_t d[4];
  EXPECT_EQ(AT45D_OpenCard('6'), ST_WRONG_CARD_TYPE);
  reader.override_status(1, ST_NO_CARD);  // the door switch read
  EXPECT_EQ(AT45D_OpenCard('1'), ST_NO_CARD);
  EXPECT_EQ(AT45D_MainMemRead(2047, 0, 4, d), ST_OK);  // still 2048 pages
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  sim::At45dCard& again = insert_card('1');
  ASSERT_EQ(AT45D_CloseCard(), ST_OK);
  EXPECT_EQ(reader.commands(), Frames{frame(kPower, {0})});
  EXPECT_EQ(AT45D_MainMemRead(0, 0, 4, d), ST_WRONG_CARD_TYPE);
  // The buffers and the status need no type; an unpowered chip reads 0xFF.
  uint8_t status = 0;
  EXPECT_EQ(AT45D_ReadStatus(&status), ST_OK);
  EXPECT_EQ(status, 0xFF);
  EXPECT_EQ(AT45D_BufferRead(0, 0, 4, d), ST_OK);
  EXPECT_EQ(AT45D_BufferWrite(0, 0, 4, d), ST_OK);
  // The type survives a port reopen.
  reader.clear_trace();
  ASSERT_EQ(AT45D_OpenCard('5'), ST_OK);
  EXPECT_EQ(reader.commands(), (Frames{frame(18, {178}), frame(kPower, {1}), frame(kInit)}));
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  open();
  EXPECT_EQ(AT45D_MainMemRead(4095, 0, 4, d), ST_OK);
  (void)card;
  (void)again;
}

// The single commands on the chip: a page program through a buffer takes
// the whole buffer, a program without erase ANDs, the compare shows in the
// status, and WriteChar keeps the rest of its page.
TEST_F(At45d, FlowsOnTheChip) {
  sim::At45dCard& card = insert_card('2');
  auto wait = [&] {
    uint8_t status = 0;
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(AT45D_ReadStatus(&status), ST_OK);
      if (status & 0x80) return;
    }
    FAIL() << "never ready";
  };
  auto page = [&](std::size_t n) { return Bytes(card.page(n).begin(), card.page(n).end()); };
  const Bytes page0 = page(0);
  const Bytes data = pattern(16, 0x0F);

  ASSERT_EQ(AT45D_MainMem2BufTrans(1, 0), ST_OK);
  wait();
  ASSERT_EQ(AT45D_MainMem2BufComp(1, 0), ST_OK);
  wait();
  uint8_t status = 0;
  ASSERT_EQ(AT45D_ReadStatus(&status), ST_OK);
  EXPECT_EQ(status & 0xC0, 0x80);
  ASSERT_EQ(AT45D_MainMem2BufComp(1, 1), ST_OK);
  wait();
  ASSERT_EQ(AT45D_ReadStatus(&status), ST_OK);
  EXPECT_EQ(status & 0xC0, 0xC0);

  // Buffer 2 holds page 0; a page program of 16 bytes puts all of it in page 3.
  ASSERT_EQ(AT45D_MainMemWrite(1, 3, 8, 16, data.data()), ST_OK);
  wait();
  Bytes expected = page0;
  std::copy(data.begin(), data.end(), expected.begin() + 8);
  EXPECT_EQ(page(3), expected);

  // Without erase, bits only clear.
  const Bytes before = page(1);
  ASSERT_EQ(AT45D_Buf2MainMemNoE(1, 1), ST_OK);
  wait();
  for (std::size_t i = 0; i < 264; ++i) expected[i] = static_cast<uint8_t>(before[i] & expected[i]);
  EXPECT_EQ(page(1), expected);

  // WriteChar keeps the page.
  const Bytes page2 = page(2);
  ASSERT_EQ(AT45D_WriteChar(2, 256, 8, data.data()), ST_OK);
  expected = page2;
  std::copy(data.begin(), data.begin() + 8, expected.begin() + 256);
  EXPECT_EQ(page(2), expected);
  uint8_t back[8];
  ASSERT_EQ(AT45D_ReadChar(2, 256, 8, back), ST_OK);
  EXPECT_EQ(Bytes(back, back + 8), Bytes(data.begin(), data.begin() + 8));
  expect_no_violations(card);
}

}  // namespace
}  // namespace kdx::test
