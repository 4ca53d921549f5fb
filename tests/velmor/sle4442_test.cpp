// The SLE4442 driver against the SLE4442 card model: argument checks, the
// frames of each export, failing steps, and the PSC flows.
#include "sim/cards/sle4442.h"

#include <cstring>
#include <functional>

#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

// The reader's SLE4442 codes.
constexpr uint8_t kPower = 50, kReset = 51, kBegin = 52, kEnd = 53, kFinish = 54, kClockIn = 55, kProcess = 57;
constexpr uint8_t kCommandCodes[3] = {52, 56, 53};
constexpr uint8_t kRead = 0x30, kWrite = 0x38, kCompare = 0x33;
constexpr uint8_t kMain = 0, kSecurity = 1, kProtection = 4;

// Main bytes 0x50 to 0x57 hold 11 22 ... 88; nothing is protected.
sim::Sle4442Contents test_card() {
  sim::Sle4442Contents contents = sim::Sle4442Contents::fresh();
  for (std::size_t i = 0; i < 8; ++i) contents.main[0x50 + i] = static_cast<uint8_t>(0x11 * (i + 1));
  contents.psc = {0x12, 0x34, 0x56};
  return contents;
}

class Sle4442 : public CardFixture<sim::Sle4442Card> {
 protected:
  sim::Sle4442Card& insert_card(const sim::Sle4442Contents& contents = test_card()) {
    sim::Sle4442Card& card = insert(std::make_unique<sim::Sle4442Card>(contents));
    uint8_t atr[4];
    EXPECT_EQ(SLE4442_OpenCard(atr), ST_OK);
    reader.clear_trace();
    return card;
  }
  void unlock() {
    ASSERT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x56), ST_OK);
    reader.clear_trace();
  }

  static Frames command(uint8_t control, uint8_t address, uint8_t data) {
    return card_command(kCommandCodes, control, address, data);
  }
  // A read: the command, the InByte frames of the given sizes, finish.
  static Frames read_frames(uint8_t zone, uint8_t address, std::initializer_list<uint8_t> sizes) {
    Frames frames = command(kRead + zone, address, 0xFF);
    for (uint8_t size : sizes) frames.push_back(frame(kClockIn, {size, 0}));
    frames.push_back(frame(kFinish));
    return frames;
  }
  static Frames write_frames(uint8_t zone, uint8_t address, const Bytes& data) {
    Frames frames;
    for (std::size_t i = 0; i < data.size(); ++i) {
      frames = frames + command(kWrite + zone, static_cast<uint8_t>(address + i), data[i]);
      frames.push_back(frame(kProcess));
      frames.push_back(frame(kFinish));
    }
    return frames;
  }
  static Frames compare_frames(uint8_t index, uint8_t psc_byte) {
    Frames frames = command(kCompare, index, psc_byte);
    frames.push_back(put_io(145, 0));
    frames = frames + pulses(3);
    frames.push_back(put_io(145, 1));
    frames.push_back(frame(kFinish));
    return frames;
  }
  static Frames security_read() { return read_frames(kSecurity, 0, {184, 72}); }
};

TEST_F(Sle4442, ArgumentChecksComeBeforeAnyFrame) {
  uint8_t d[300] = {};
  uint32_t value = 0;
  const CheckCase cases[] = {
      {"zone before length 0", [&] { return SLE4442_Read(0, 0, 2, d); }, ST_BAD_ZONE},
      {"length 0", [&] { return SLE4442_Read(0, 0, 0, d); }, ST_OK},
      {"length 0, no buffer", [&] { return SLE4442_Write(0, 0, 0, nullptr); }, ST_OK},
      {"address before length 0", [&] { return SLE4442_Read(256, 0, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"address 256", [&] { return SLE4442_Read(256, 1, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"length 257", [&] { return SLE4442_Read(0, 257, 0, d); }, ST_LENGTH_OVERFLOW},
      {"200 + 57", [&] { return SLE4442_Read(200, 57, 0, d); }, ST_ACCESS_OVERFLOW},
      {"zone 3 write", [&] { return SLE4442_Write(0, 1, 3, d); }, ST_BAD_ZONE},
      {"zone 0x105 is 5", [&] { return SLE4442_Read(0, 1, 0x105, d); }, ST_BAD_ZONE},
      {"security write 1 + 256", [&] { return SLE4442_Write(1, 256, 1, d); }, ST_ACCESS_OVERFLOW},
      {"protection read 255 + 2", [&] { return SLE4442_Read(255, 2, 4, d); }, ST_ACCESS_OVERFLOW},
      {"value at 253", [&] { return SLE4442_ReadValue(253, &value); }, ST_ACCESS_OVERFLOW},
      {"value write at 253", [&] { return SLE4442_WriteValue(253, 1); }, ST_ACCESS_OVERFLOW},
      {"char read 0x10100 is 256", [&] { return SLE4442_ReadChar(0x10100, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"char write 255 + 2", [&] { return SLE4442_WriteChar(255, 2, d); }, ST_ACCESS_OVERFLOW},
      {"protect address 32", [&] { return SLE4442_PWriteChar(32, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"protect length 0", [&] { return SLE4442_PWriteChar(0, 0, d); }, ST_OK},
      {"protect length 33", [&] { return SLE4442_PWriteChar(0, 33, d); }, ST_LENGTH_OVERFLOW},
      {"protect 30 + 3", [&] { return SLE4442_PWriteChar(30, 3, d); }, ST_ACCESS_OVERFLOW},
      {"read into NULL", [&] { return SLE4442_Read(0, 1, 0, nullptr); }, ST_BAD_PARAMETER},
      {"write from NULL", [&] { return SLE4442_WriteChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"protect from NULL", [&] { return SLE4442_PWriteChar(0, 1, nullptr); }, ST_BAD_PARAMETER},
      {"open into NULL", [&] { return SLE4442_OpenCard(nullptr); }, ST_BAD_PARAMETER},
      {"value into NULL", [&] { return SLE4442_ReadValue(0, nullptr); }, ST_BAD_PARAMETER},
      {"protection into NULL", [&] { return SLE4442_PReadChar(nullptr); }, ST_BAD_PARAMETER},
      {"counter into NULL", [&] { return SLE4442_ReadPAC(nullptr); }, ST_BAD_PARAMETER},
      {"PSC into NULL", [&] { return SLE4442_ReadPWD(nullptr); }, ST_BAD_PARAMETER},
      {"PSC from NULL", [&] { return SLE4442_WritePWD(nullptr); }, ST_BAD_PARAMETER},
  };
  insert_card();
  expect_no_traffic(cases);
}

TEST_F(Sle4442, WithoutASessionEveryExportSaysNotOpen) {
  uint8_t d[8] = {};
  uint32_t value = 0;
  const std::function<StatusCode()> calls[] = {
      [&] { return SLE4442_OpenCard(d); },          [] { return SLE4442_CloseCard(); },
      [&] { return SLE4442_Read(0, 1, 0, d); },     [&] { return SLE4442_Write(0, 1, 0, d); },
      [&] { return SLE4442_ReadChar(0, 1, d); },    [&] { return SLE4442_WriteChar(0, 1, d); },
      [&] { return SLE4442_ReadValue(0, &value); }, [] { return SLE4442_WriteValue(0, 1); },
      [&] { return SLE4442_PReadChar(d); },         [&] { return SLE4442_PWriteChar(0, 1, d); },
      [&] { return SLE4442_ReadPAC(d); },           [&] { return SLE4442_ReadPWD(d); },
      [&] { return SLE4442_WritePWD(d); },          [] { return SLE4442_VerifyPWD(1, 2, 3); },
      [&] { return SLE4442_Read(0, 0, 9, d); },  // the session check comes before the zone's
  };
  for (const auto& call : calls) EXPECT_EQ(call(), ST_NOT_OPEN);
  // The protection write checks its arguments before the session.
  EXPECT_EQ(SLE4442_PWriteChar(32, 1, d), ST_ADDRESS_OVERFLOW);
  EXPECT_EQ(SLE4442_PWriteChar(0, 0, d), ST_OK);
}

TEST_F(Sle4442, OpenAndCloseCard) {
  insert(std::make_unique<sim::Sle4442Card>());
  uint8_t atr[6] = {0, 0, 0, 0, 0xEE, 0xEE};
  ASSERT_EQ(SLE4442_OpenCard(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 6), (Bytes{0xA2, 0x13, 0x10, 0x91, 0xEE, 0xEE}));
  EXPECT_EQ(reader.commands(),
            (Frames{frame(18, {178}), frame(kPower, {1}), frame(kReset), frame(kClockIn, {4, 0}), frame(kEnd)}));
  EXPECT_TRUE(model().powered());
  reader.clear_trace();
  ASSERT_EQ(SLE4442_CloseCard(), ST_OK);
  EXPECT_EQ(reader.commands(), Frames{frame(kPower, {0})});
  EXPECT_FALSE(model().powered());
}

TEST_F(Sle4442, PulledOutCardKeepsWhatWasWritten) {
  insert_card();
  unlock();
  const uint8_t data[] = {0xC0, 0xDE};
  ASSERT_EQ(SLE4442_WriteChar(0x80, 2, data), ST_OK);
  const std::unique_ptr<sim::ReaderCard> pulled = reader.remove();
  const auto& contents = static_cast<const sim::Sle4442Card&>(*pulled).contents();
  EXPECT_EQ(contents.main[0x80], 0xC0);
  EXPECT_EQ(contents.main[0x81], 0xDE);
  reader.clear_trace();
  uint8_t atr[4] = {};
  EXPECT_EQ(SLE4442_OpenCard(atr), ST_NO_CARD);
  EXPECT_EQ(reader.commands(), Frames{frame(18, {178})});
}

TEST_F(Sle4442, ReadClocksTheCardToTheEndOfItsMemory) {
  struct Case {
    uint16_t address, length;
    uint8_t zone;
    std::initializer_list<uint8_t> frame_sizes;
    Bytes data;
  };
  const Case cases[] = {
      {0x50, 3, kMain, {176}, {0x11, 0x22, 0x33}},
      {100, 2, kMain, {156}, {0xFF, 0xFF}},
      {0, 4, kMain, {184, 72}, {0xA2, 0x13, 0x10, 0x91}},
      {200, 56, kMain, {56}, Bytes(56, 0xFF)},
      {255, 1, kMain, {1}, {0xFF}},
      {0, 4, kSecurity, {184, 72}, {0x07, 0, 0, 0}},  // the PSC reads as zeros while locked
      {0, 4, kProtection, {184, 72}, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  insert_card();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << ", " << c.length << ", zone " << int(c.zone));
    reader.clear_trace();
    uint8_t d[260];
    std::memset(d, 0xEE, sizeof d);
    ASSERT_EQ(SLE4442_Read(c.address, c.length, c.zone, d), ST_OK);
    EXPECT_EQ(reader.commands(), read_frames(c.zone, static_cast<uint8_t>(c.address), c.frame_sizes));
    EXPECT_EQ(Bytes(d, d + c.length), c.data);
    EXPECT_EQ(d[c.length], 0xEE);
  }
}

TEST_F(Sle4442, WriteSendsFiveCommandsPerByte) {
  sim::Sle4442Card& card = insert_card();
  unlock();
  const uint8_t data[] = {0xA0, 0x10, 0xA2};
  ASSERT_EQ(SLE4442_WriteChar(0x10040, 3, data), ST_OK);  // the address's low 16 bits
  EXPECT_EQ(reader.commands(), write_frames(kMain, 0x40, {0xA0, 0x10, 0xA2}));
  EXPECT_EQ(Bytes(card.contents().main.begin() + 0x40, card.contents().main.begin() + 0x43), Bytes(data, data + 3));
}

TEST_F(Sle4442, ValuesAreLittleEndian) {
  sim::Sle4442Card& card = insert_card();
  unlock();
  uint32_t value = 0;
  ASSERT_EQ(SLE4442_ReadValue(0x50, &value), ST_OK);
  EXPECT_EQ(value, 0x44332211u);
  ASSERT_EQ(SLE4442_WriteValue(0x60, 0xA1B2C3D4), ST_OK);
  EXPECT_EQ(Bytes(card.contents().main.begin() + 0x60, card.contents().main.begin() + 0x64),
            (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST_F(Sle4442, ProtectionWriteWritesThenProtects) {
  sim::Sle4442Card& card = insert_card();
  unlock();
  const uint8_t data[] = {0x4B, 0x44};
  ASSERT_EQ(SLE4442_PWriteChar(4, 2, data), ST_OK);
  EXPECT_EQ(reader.commands(),
            write_frames(kMain, 4, {0x4B, 0x44}) + write_frames(kProtection, 0, {0xCF, 0xFF, 0xFF, 0xFF}));
  uint8_t bits[4] = {};
  ASSERT_EQ(SLE4442_PReadChar(bits), ST_OK);
  EXPECT_EQ(Bytes(bits, bits + 4), (Bytes{0xCF, 0xFF, 0xFF, 0xFF}));
  // Protected bytes ignore writes, even from an unlocked card; protection
  // only grows.
  const uint8_t other[] = {0, 0, 0};
  ASSERT_EQ(SLE4442_WriteChar(3, 3, other), ST_OK);
  EXPECT_EQ(card.contents().main[3], 0x00);
  EXPECT_EQ(card.contents().main[4], 0x4B);
  EXPECT_EQ(card.contents().main[5], 0x44);
  ASSERT_EQ(SLE4442_PWriteChar(0, 1, other), ST_OK);
  EXPECT_EQ(card.contents().protection[0], 0xCE);
}

TEST_F(Sle4442, VerificationFrames) {
  insert_card();
  ASSERT_EQ(SLE4442_VerifyPWD(0x112, 0x34, 0x56), ST_OK);  // PSC bytes are low 8 bits
  EXPECT_EQ(reader.commands(), security_read() + write_frames(kSecurity, 0, {0x06}) + compare_frames(1, 0x12) +
                                   compare_frames(2, 0x34) + compare_frames(3, 0x56) +
                                   write_frames(kSecurity, 0, {0xFF}) + security_read());
}

// One wrong PSC spends exactly one attempt: the lowest set bit of the
// counter is cleared, so 5 and 3 keep an attempt.
TEST_F(Sle4442, AWrongPscSpendsExactlyOneAttempt) {
  struct Case {
    uint8_t counter, spent;
  } const cases[] = {{7, 6}, {6, 4}, {5, 4}, {4, 0}, {3, 2}, {2, 0}, {1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "counter " << int(c.counter));
    sim::Sle4442Contents contents = test_card();
    contents.error_counter = c.counter;
    sim::Sle4442Card& card = insert_card(contents);
    EXPECT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x57), ST_WRONG_PASSWORD);
    const Frames sent = reader.commands();
    ASSERT_GT(sent.size(), 12u);
    EXPECT_EQ(sent[7], frame(56, {0x39, 0x00, c.spent}));
    EXPECT_EQ(card.contents().error_counter, c.spent);
    uint8_t counter = 0xEE;
    ASSERT_EQ(SLE4442_ReadPAC(&counter), ST_OK);
    EXPECT_EQ(counter, c.spent);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Sle4442, PscFlows) {
  sim::Sle4442Card& card = insert_card();
  const uint8_t data[] = {0x77};
  uint8_t psc[3] = {0xEE, 0xEE, 0xEE};

  // Locked: the card ignores writes and hides its PSC.
  ASSERT_EQ(SLE4442_WriteChar(0x90, 1, data), ST_OK);
  EXPECT_EQ(card.contents().main[0x90], 0xFF);
  ASSERT_EQ(SLE4442_ReadPWD(psc), ST_OK);
  EXPECT_EQ(Bytes(psc, psc + 3), (Bytes{0, 0, 0}));

  // A wrong PSC: one attempt fewer, still locked.
  EXPECT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x00), ST_WRONG_PASSWORD);
  EXPECT_EQ(card.contents().error_counter, 6);
  EXPECT_FALSE(card.unlocked());

  // The right one: unlocked, every attempt back.
  EXPECT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x56), ST_OK);
  EXPECT_EQ(card.contents().error_counter, 7);
  ASSERT_EQ(SLE4442_WriteChar(0x90, 1, data), ST_OK);
  EXPECT_EQ(card.contents().main[0x90], 0x77);
  ASSERT_EQ(SLE4442_ReadPWD(psc), ST_OK);
  EXPECT_EQ(Bytes(psc, psc + 3), (Bytes{0x12, 0x34, 0x56}));

  // A new PSC holds after the card was unpowered; the old one no longer does.
  const uint8_t new_psc[] = {0xAB, 0xCD, 0xEF};
  ASSERT_EQ(SLE4442_WritePWD(new_psc), ST_OK);
  ASSERT_EQ(SLE4442_CloseCard(), ST_OK);
  uint8_t atr[4];
  ASSERT_EQ(SLE4442_OpenCard(atr), ST_OK);
  EXPECT_FALSE(card.unlocked());
  EXPECT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x56), ST_WRONG_PASSWORD);
  EXPECT_EQ(SLE4442_VerifyPWD(0xAB, 0xCD, 0xEF), ST_OK);

  // A wrong PSC on an unlocked card locks it again.
  EXPECT_EQ(SLE4442_VerifyPWD(0xAB, 0xCD, 0x00), ST_WRONG_PASSWORD);
  EXPECT_FALSE(card.unlocked());
  const uint8_t later[] = {0x78};
  ASSERT_EQ(SLE4442_WriteChar(0x90, 1, later), ST_OK);
  EXPECT_EQ(card.contents().main[0x90], 0x77);
}

TEST_F(Sle4442, ALockedCardIsNotWritten) {
  sim::Sle4442Card& card = insert_card();
  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(SLE4442_VerifyPWD(0, 0, 0), ST_WRONG_PASSWORD);
  EXPECT_EQ(card.contents().error_counter, 0);
  reader.clear_trace();
  EXPECT_EQ(SLE4442_VerifyPWD(0x12, 0x34, 0x56), ST_WRONG_PASSWORD);
  EXPECT_EQ(reader.commands(), security_read());
  EXPECT_EQ(card.contents().error_counter, 0);
  EXPECT_FALSE(card.unlocked());
}

// The card itself unlocks only after a spent attempt and compares it was
// clocked through; a PSC presented any other way leaves it locked.
TEST_F(Sle4442, CardUnlocksOnlyThroughTheWholeSequence) {
  struct Case {
    const char* name;
    bool spend_attempt;
    unsigned pulses;
    bool unlocks;
  } const cases[] = {
      {"whole sequence", true, 3, true},
      {"no attempt spent", false, 3, false},
      {"no clock pulses", true, 0, false},
      {"one clock pulse", true, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Sle4442Card& card = insert_card();
    const uint8_t psc[] = {0x12, 0x34, 0x56};
    if (c.spend_attempt) {
      const uint8_t spent = 6;
      ASSERT_EQ(SLE4442_Write(0, 1, kSecurity, &spent), ST_OK);
    }
    for (uint8_t i = 0; i < 3; ++i) {
      const uint8_t bytes[] = {kCompare, static_cast<uint8_t>(i + 1), psc[i]};
      ASSERT_EQ(SingleStep(kBegin), ST_OK);
      ASSERT_EQ(OutByte(56, bytes, 3), ST_OK);
      ASSERT_EQ(SingleStep(kEnd), ST_OK);
      for (unsigned p = 0; p < c.pulses; ++p) {
        ASSERT_EQ(PutIO(144, 1), ST_OK);
        ASSERT_EQ(PutIO(144, 0), ST_OK);
      }
      ASSERT_EQ(PutIO(145, 1), ST_OK);
      ASSERT_EQ(SingleStep(kFinish), ST_OK);
    }
    EXPECT_EQ(card.unlocked(), c.unlocks);
    const uint8_t data[] = {0x42};
    ASSERT_EQ(SLE4442_WriteChar(0xA0, 1, data), ST_OK);
    EXPECT_EQ(card.contents().main[0xA0], c.unlocks ? 0x42 : 0xFF);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// A failing step ends the operation with its status; nothing more is sent,
// nothing is copied, and what the card already did stays done.
TEST_F(Sle4442, FailingStepsEndTheOperation) {
  uint8_t d[8];
  const uint8_t data[] = {0xA1, 0xA2, 0xA3};
  const auto untouched = [&](const sim::Sle4442Card&) { EXPECT_EQ(d[0], 0xEE); };
  const FaultCase cases[] = {
      {"read: NAK of the card command", false, 1, true, [&] { return SLE4442_ReadChar(0x50, 4, d); }, ST_COMM_ERROR,
       untouched},
      {"read: status of the second InByte", false, 4, false, [&] { return SLE4442_ReadChar(0, 4, d); }, 21, untouched},
      {"write: NAK in the second byte", true, 5, true, [&] { return SLE4442_WriteChar(0x50, 3, data); }, ST_COMM_ERROR,
       [](const sim::Sle4442Card& card) {
         EXPECT_EQ(card.contents().main[0x50], 0xA1);
         EXPECT_EQ(card.contents().main[0x51], 0x22);
       }},
      {"verify: status of the first read", false, 3, false, [] { return SLE4442_VerifyPWD(0x12, 0x34, 0x56); }, 21,
       [](const sim::Sle4442Card& card) { EXPECT_EQ(card.contents().error_counter, 7); }},
      // read 6 frames, counter write 5, compare command 3, line 145
      {"verify: NAK of the first clock pulse", false, 6 + 5 + 3 + 1, true,
       [] { return SLE4442_VerifyPWD(0x12, 0x34, 0x56); }, ST_COMM_ERROR,
       [](const sim::Sle4442Card& card) { EXPECT_EQ(card.contents().error_counter, 6); }},
      // read 6, counter write 5, three compares of 12, restore 5, card command 3
      {"verify: status of the last read", false, 6 + 5 + 3 * 12 + 5 + 3, false,
       [] { return SLE4442_VerifyPWD(0x12, 0x34, 0x56); }, 21,
       [](const sim::Sle4442Card& card) { EXPECT_EQ(card.contents().error_counter, 7); }},
  };
  run_fault_cases(cases, [&](bool unlock_first) {
    insert_card();
    if (unlock_first) unlock();
    std::memset(d, 0xEE, sizeof d);
  });
}

// An answer of another length than asked fails the read, with nothing of it
// handed to the caller; the answer to reset keeps to its buffer.
TEST_F(Sle4442, AnswersOfTheWrongLengthFailTheRead) {
  for (std::size_t answer : {std::size_t{0}, std::size_t{3}, std::size_t{195}}) {
    SCOPED_TRACE(testing::Message() << answer << " bytes an answer");
    reader.insert(std::make_unique<FixedLengthCard>(answer));
    open();
    uint8_t d[6];
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(SLE4442_ReadChar(0, 4, d), ST_COMM_ERROR);
    EXPECT_EQ(Bytes(d, d + sizeof d), Bytes(sizeof d, 0xEE));
    uint8_t atr[5] = {0, 0, 0, 0, 0xEE};
    ASSERT_EQ(SLE4442_OpenCard(atr), ST_OK);
    EXPECT_EQ(atr[4], 0xEE);
    uint8_t counter = 0xEE;
    EXPECT_EQ(SLE4442_ReadPAC(&counter), ST_COMM_ERROR);
    EXPECT_EQ(counter, 0xEE);
    EXPECT_EQ(SLE4442_VerifyPWD(1, 2, 3), ST_COMM_ERROR);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

}  // namespace
}  // namespace kdx::test
