// The SLE4428 driver against the SLE4428 card model: argument checks, the
// frames of each export with the address bits in the control byte, failing
// steps, and the PSC flows.
#include "sim/cards/sle4428.h"

#include <cstring>
#include <functional>

#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

// The reader's SLE4428 codes.
constexpr uint8_t kPower = 41, kReset = 42, kFinish = 45, kClockIn = 46, kClockInProtection = 47, kProcess = 49;
constexpr uint8_t kCommandCodes[3] = {43, 48, 44};

// Bytes 0x150 to 0x157 hold 11 22 ... 88; PSC 12 34; nothing is protected.
sim::Sle4428Contents test_card() {
  sim::Sle4428Contents contents = sim::Sle4428Contents::fresh();
  for (std::size_t i = 0; i < 8; ++i) contents.memory[0x150 + i] = static_cast<uint8_t>(0x11 * (i + 1));
  contents.memory[1022] = 0x12;
  contents.memory[1023] = 0x34;
  return contents;
}

class Sle4428 : public CardFixture<sim::Sle4428Card> {
 protected:
  sim::Sle4428Card& insert_card(const sim::Sle4428Contents& contents = test_card()) {
    sim::Sle4428Card& card = insert(std::make_unique<sim::Sle4428Card>(contents));
    uint8_t atr[4];
    EXPECT_EQ(SLE4428_OpenCard(atr), ST_OK);
    reader.clear_trace();
    return card;
  }
  void unlock() {
    ASSERT_EQ(SLE4428_VerifyPWD(0x12, 0x34), ST_OK);
    reader.clear_trace();
  }
  const uint8_t* memory(std::size_t address) { return model().contents().memory.data() + address; }

  static Frames command(uint8_t control, uint8_t address, uint8_t data) {
    return card_command(kCommandCodes, control, address, data);
  }
  static Frames read_frames(uint8_t control, uint8_t address, uint8_t code, std::initializer_list<uint8_t> sizes) {
    Frames frames = command(control, address, 0xFF);
    for (uint8_t size : sizes) frames.push_back(frame(code, {size, 0}));
    frames.push_back(frame(kFinish));
    return frames;
  }
  static Frames counter_read() { return read_frames(0xCE, 0xFD, kClockIn, {1}); }
  // One byte written: the command and the processing.
  static Frames write_frames(uint8_t control, uint8_t address, uint8_t data) {
    Frames frames = command(control, address, data);
    frames.push_back(frame(kProcess));
    return frames;
  }
  static Frames compare_frames(uint8_t address, uint8_t psc_byte) {
    Frames frames = command(0xCD, address, psc_byte) + pulses(3);
    frames.push_back(put_io(145, 1));
    return frames;
  }
};

TEST_F(Sle4428, ArgumentChecksComeBeforeAnyFrame) {
  uint8_t d[1100] = {};
  uint32_t value = 0;
  const CheckCase cases[] = {
      {"zone before length 0", [&] { return SLE4428_Read(0, 0, 2, d); }, ST_BAD_ZONE},
      {"length 0", [&] { return SLE4428_Read(5, 0, 1, d); }, ST_OK},
      {"address 1024", [&] { return SLE4428_Read(1024, 1, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"address before length 0", [&] { return SLE4428_Write(1024, 0, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"length 1025", [&] { return SLE4428_Read(0, 1025, 0, d); }, ST_LENGTH_OVERFLOW},
      {"1000 + 25", [&] { return SLE4428_Read(1000, 25, 0, d); }, ST_ACCESS_OVERFLOW},
      {"write zone 4", [&] { return SLE4428_Write(0, 1, 4, d); }, ST_BAD_ZONE},
      {"protection write 1023 + 2", [&] { return SLE4428_PWriteChar(1023, 2, d); }, ST_ACCESS_OVERFLOW},
      {"protection read 0x10400 is 1024", [&] { return SLE4428_PReadChar(0x10400, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"value at 1021", [&] { return SLE4428_ReadValue(1021, &value); }, ST_ACCESS_OVERFLOW},
      {"value write at 1021", [&] { return SLE4428_WriteValue(1021, 1); }, ST_ACCESS_OVERFLOW},
      {"read into NULL", [&] { return SLE4428_ReadChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"write from NULL", [&] { return SLE4428_WriteChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"open into NULL", [&] { return SLE4428_OpenCard(nullptr); }, ST_BAD_PARAMETER},
      {"value into NULL", [&] { return SLE4428_ReadValue(0, nullptr); }, ST_BAD_PARAMETER},
      {"counter into NULL", [&] { return SLE4428_ReadPAC(nullptr); }, ST_BAD_PARAMETER},
      {"PSC into NULL", [&] { return SLE4428_ReadPWD(nullptr); }, ST_BAD_PARAMETER},
      {"PSC from NULL", [&] { return SLE4428_WritePWD(nullptr); }, ST_BAD_PARAMETER},
  };
  insert_card();
  expect_no_traffic(cases);
}

TEST_F(Sle4428, WithoutASessionEveryExportSaysNotOpen) {
  uint8_t d[8] = {};
  uint32_t value = 0;
  const std::function<StatusCode()> calls[] = {
      [&] { return SLE4428_OpenCard(d); },          [] { return SLE4428_CloseCard(); },
      [&] { return SLE4428_Read(0, 1, 0, d); },     [&] { return SLE4428_Write(0, 1, 0, d); },
      [&] { return SLE4428_ReadChar(0, 1, d); },    [&] { return SLE4428_WriteChar(0, 1, d); },
      [&] { return SLE4428_PReadChar(0, 1, d); },   [&] { return SLE4428_PWriteChar(0, 1, d); },
      [&] { return SLE4428_ReadValue(0, &value); }, [] { return SLE4428_WriteValue(0, 1); },
      [&] { return SLE4428_ReadPAC(d); },           [&] { return SLE4428_ReadPWD(d); },
      [&] { return SLE4428_WritePWD(d); },          [] { return SLE4428_VerifyPWD(1, 2); },
      [&] { return SLE4428_Read(5000, 0, 9, d); },  // the session check comes first
  };
  for (const auto& call : calls) EXPECT_EQ(call(), ST_NOT_OPEN);
}

TEST_F(Sle4428, OpenAndCloseCard) {
  insert(std::make_unique<sim::Sle4428Card>());
  uint8_t atr[5] = {0, 0, 0, 0, 0xEE};
  ASSERT_EQ(SLE4428_OpenCard(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 5), (Bytes{0xC9, 0x11, 0x88, 0xC8, 0xEE}));
  EXPECT_EQ(reader.commands(),
            (Frames{frame(18, {178}), frame(kPower, {1}), frame(kReset), frame(kClockIn, {4, 0}), frame(kFinish)}));
  reader.clear_trace();
  ASSERT_EQ(SLE4428_CloseCard(), ST_OK);
  EXPECT_EQ(reader.commands(), Frames{frame(kPower, {0})});
  EXPECT_FALSE(model().powered());
  reader.remove();
  EXPECT_EQ(SLE4428_OpenCard(atr), ST_NO_CARD);
}

TEST_F(Sle4428, ReadClocksOnlyTheRequestedBytes) {
  struct Case {
    uint16_t address, length;
    uint8_t zone;
    Frames frames;
    Bytes data;
  };
  const Case cases[] = {
      {0x150, 3, 0, read_frames(0x4E, 0x50, kClockIn, {3}), {0x11, 0x22, 0x33}},
      {0x2A5, 1, 0, read_frames(0x8E, 0xA5, kClockIn, {1}), {0xFF}},
      {0x2A5, 1, 1, read_frames(0x8C, 0xA5, kClockInProtection, {1}), {0x01}},
      {0, 400, 0, read_frames(0x0E, 0x00, kClockIn, {184, 184, 32}), {}},
      {1023, 1, 0, read_frames(0xCE, 0xFF, kClockIn, {1}), {0x00}},  // PSC hidden while locked
  };
  insert_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << ", " << c.length << ", zone " << int(c.zone));
    reader.clear_trace();
    uint8_t d[401];
    std::memset(d, 0xEE, sizeof d);
    ASSERT_EQ(SLE4428_Read(c.address, c.length, c.zone, d), ST_OK);
    EXPECT_EQ(reader.commands(), c.frames);
    if (!c.data.empty()) {
      EXPECT_EQ(Bytes(d, d + c.length), c.data);
    }
    EXPECT_EQ(d[c.length], 0xEE);
  }
}

TEST_F(Sle4428, WriteCarriesEachBytesOwnAddressBits) {
  insert_card();
  unlock();
  const uint8_t data[] = {0x5A, 0xA5};
  ASSERT_EQ(SLE4428_WriteChar(0x1FF, 2, data), ST_OK);
  EXPECT_EQ(reader.commands(), write_frames(0x73, 0xFF, 0x5A) + write_frames(0xB3, 0x00, 0xA5));
  EXPECT_EQ(memory(0x1FF)[0], 0x5A);
  EXPECT_EQ(memory(0x200)[0], 0xA5);
}

TEST_F(Sle4428, ProtectionWriteProtectsForGood) {
  sim::Sle4428Card& card = insert_card();
  unlock();
  const uint8_t data[] = {0x4B, 0x44};
  ASSERT_EQ(SLE4428_PWriteChar(0x3FB, 2, data), ST_OK);
  EXPECT_EQ(reader.commands(), write_frames(0xF1, 0xFB, 0x4B) + write_frames(0xF1, 0xFC, 0x44));
  uint8_t bits[4] = {};
  ASSERT_EQ(SLE4428_PReadChar(0x3FA, 4, bits), ST_OK);
  EXPECT_EQ(Bytes(bits, bits + 4), (Bytes{1, 0, 0, 1}));
  const uint8_t other[] = {0, 0};
  ASSERT_EQ(SLE4428_WriteChar(0x3FB, 2, other), ST_OK);
  EXPECT_EQ(memory(0x3FB)[0], 0x4B);
  EXPECT_EQ(memory(0x3FC)[0], 0x44);
  EXPECT_TRUE(card.contents().protected_bytes[0x3FB]);
}

TEST_F(Sle4428, ValuesAreLittleEndian) {
  insert_card();
  unlock();
  uint32_t value = 0;
  ASSERT_EQ(SLE4428_ReadValue(0x150, &value), ST_OK);
  EXPECT_EQ(value, 0x44332211u);
  ASSERT_EQ(SLE4428_WriteValue(0x2FE, 0xA1B2C3D4), ST_OK);
  EXPECT_EQ(Bytes(memory(0x2FE), memory(0x302)), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST_F(Sle4428, VerificationFrames) {
  insert_card();
  ASSERT_EQ(SLE4428_VerifyPWD(0x312, 0x34), ST_OK);  // PSC bytes are low 8 bits
  EXPECT_EQ(reader.commands(), counter_read() + write_frames(0xF2, 0xFD, 0xFE) + compare_frames(0xFE, 0x12) +
                                   compare_frames(0xFF, 0x34) + write_frames(0xF3, 0xFD, 0xFF) + counter_read());
}

// One wrong PSC spends exactly one attempt, for counters outside the
// sequence the driver writes too.
TEST_F(Sle4428, AWrongPscSpendsExactlyOneAttempt) {
  struct Case {
    uint8_t counter, spent;
  } const cases[] = {
      {0xFF, 0xFE}, {0xFE, 0xFC}, {0xFC, 0xF8}, {0xF8, 0xF0}, {0xF0, 0xE0}, {0xE0, 0xC0},
      {0xC0, 0x80}, {0x80, 0x00}, {0x7F, 0x7E}, {0x05, 0x04}, {0xA0, 0x80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "counter " << int(c.counter));
    sim::Sle4428Contents contents = test_card();
    contents.memory[1021] = c.counter;
    insert_card(contents);
    EXPECT_EQ(SLE4428_VerifyPWD(0x12, 0x00), ST_WRONG_PASSWORD);
    const Frames sent = reader.commands();
    ASSERT_GT(sent.size(), 6u);
    EXPECT_EQ(sent[6], frame(48, {0xF2, 0xFD, c.spent}));
    EXPECT_EQ(model().contents().error_counter(), c.spent);
    uint8_t counter = 0xEE;
    ASSERT_EQ(SLE4428_ReadPAC(&counter), ST_OK);
    EXPECT_EQ(counter, c.spent);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Sle4428, PscFlows) {
  sim::Sle4428Card& card = insert_card();
  const uint8_t data[] = {0x77};
  uint8_t psc[2] = {0xEE, 0xEE};

  ASSERT_EQ(SLE4428_WriteChar(0x90, 1, data), ST_OK);
  EXPECT_EQ(memory(0x90)[0], 0xFF);
  ASSERT_EQ(SLE4428_ReadPWD(psc), ST_OK);
  EXPECT_EQ(Bytes(psc, psc + 2), (Bytes{0, 0}));

  EXPECT_EQ(SLE4428_VerifyPWD(0x34, 0x12), ST_WRONG_PASSWORD);
  EXPECT_EQ(card.contents().error_counter(), 0xFE);

  EXPECT_EQ(SLE4428_VerifyPWD(0x12, 0x34), ST_OK);
  EXPECT_EQ(card.contents().error_counter(), 0xFF);
  ASSERT_EQ(SLE4428_WriteChar(0x90, 1, data), ST_OK);
  EXPECT_EQ(memory(0x90)[0], 0x77);
  ASSERT_EQ(SLE4428_ReadPWD(psc), ST_OK);
  EXPECT_EQ(Bytes(psc, psc + 2), (Bytes{0x12, 0x34}));

  const uint8_t new_psc[] = {0xAB, 0xCD};
  ASSERT_EQ(SLE4428_WritePWD(new_psc), ST_OK);
  ASSERT_EQ(SLE4428_CloseCard(), ST_OK);
  uint8_t atr[4];
  ASSERT_EQ(SLE4428_OpenCard(atr), ST_OK);
  EXPECT_FALSE(card.unlocked());
  EXPECT_EQ(SLE4428_VerifyPWD(0x12, 0x34), ST_WRONG_PASSWORD);
  EXPECT_EQ(SLE4428_VerifyPWD(0xAB, 0xCD), ST_OK);

  // A wrong PSC on an unlocked card locks it again.
  EXPECT_EQ(SLE4428_VerifyPWD(0xAB, 0x00), ST_WRONG_PASSWORD);
  EXPECT_FALSE(card.unlocked());
  const uint8_t later[] = {0x78};
  ASSERT_EQ(SLE4428_WriteChar(0x90, 1, later), ST_OK);
  EXPECT_EQ(memory(0x90)[0], 0x77);
}

TEST_F(Sle4428, ALockedCardIsNotWritten) {
  sim::Sle4428Contents contents = test_card();
  contents.memory[1021] = 0x80;
  sim::Sle4428Card& card = insert_card(contents);
  EXPECT_EQ(SLE4428_VerifyPWD(0, 0), ST_WRONG_PASSWORD);
  EXPECT_EQ(card.contents().error_counter(), 0);
  reader.clear_trace();
  EXPECT_EQ(SLE4428_VerifyPWD(0x12, 0x34), ST_WRONG_PASSWORD);
  EXPECT_EQ(reader.commands(), counter_read());
  EXPECT_FALSE(card.unlocked());
}

TEST_F(Sle4428, FailingStepsEndTheOperation) {
  uint8_t d[400];
  const uint8_t data[] = {0xA1, 0xA2, 0xA3};
  const FaultCase cases[] = {
      // Bytes of the frames before the failing one are in the destination.
      {"read: status of the second InByte", false, 4, false, [&] { return SLE4428_ReadChar(0x100, 300, d); }, 21,
       [&](const sim::Sle4428Card& card) {
         EXPECT_EQ(Bytes(d, d + 184),
                   Bytes(card.contents().memory.begin() + 0x100, card.contents().memory.begin() + 0x100 + 184));
         EXPECT_EQ(d[184], 0xEE);
       }},
      {"read: NAK of the finish", false, 4, true, [&] { return SLE4428_ReadChar(0x150, 2, d); }, ST_COMM_ERROR,
       [&](const sim::Sle4428Card&) { EXPECT_EQ(d[0], 0x11); }},
      {"write: NAK in the second byte", true, 4, true, [&] { return SLE4428_WriteChar(0x150, 3, data); }, ST_COMM_ERROR,
       [](const sim::Sle4428Card& card) {
         EXPECT_EQ(card.contents().memory[0x150], 0xA1);
         EXPECT_EQ(card.contents().memory[0x151], 0x22);
       }},
      {"verify: status of the counter read", false, 3, false, [] { return SLE4428_VerifyPWD(0x12, 0x34); }, 21,
       [](const sim::Sle4428Card& card) { EXPECT_EQ(card.contents().memory[1021], 0xFF); }},
      // counter read 5 frames, counter write 4, compare command 3
      {"verify: NAK of the first clock pulse", false, 5 + 4 + 3, true, [] { return SLE4428_VerifyPWD(0x12, 0x34); },
       ST_COMM_ERROR, [](const sim::Sle4428Card& card) { EXPECT_EQ(card.contents().memory[1021], 0xFE); }},
  };
  run_fault_cases(cases, [&](bool unlock_first) {
    insert_card();
    if (unlock_first) unlock();
    std::memset(d, 0xEE, sizeof d);
  });
}

// An answer of another length than asked fails the read; what it brought
// stays inside the frame's part of the caller's buffer.
TEST_F(Sle4428, AnswersOfTheWrongLengthFailTheRead) {
  for (std::size_t answer : {std::size_t{0}, std::size_t{3}, std::size_t{195}}) {
    SCOPED_TRACE(testing::Message() << answer << " bytes an answer");
    reader.insert(std::make_unique<FixedLengthCard>(answer));
    open();
    uint8_t d[201];
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(SLE4428_ReadChar(0, 200, d), ST_COMM_ERROR);
    EXPECT_EQ(d[0], answer == 0 ? 0xEE : 0x5A);
    EXPECT_EQ(d[183], answer == 195 ? 0x5A : 0xEE);
    EXPECT_EQ(d[184], 0xEE);
    EXPECT_EQ(d[200], 0xEE);
    uint8_t counter[2] = {0xEE, 0xEE};
    EXPECT_EQ(SLE4428_ReadPAC(counter), ST_COMM_ERROR);
    EXPECT_EQ(counter[1], 0xEE);
    EXPECT_EQ(SLE4428_VerifyPWD(1, 2), ST_COMM_ERROR);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

}  // namespace
}  // namespace kdx::test
