// The AT102, AT1604 and AT6601 drivers against their card models: argument
// checks, the frames of each export, the counter procedure, zone erases,
// fuses, and answers of the wrong length.
#include <cstring>

#include "sim/cards/at102_family.h"
#include "sim/sample_cards.h"
#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

namespace at = velmor::at102;

constexpr uint8_t kRewind = 28, kAdvance = 29, kRead = 30, kWrite = 31, kErase1604 = 32, kErase102 = 33,
                  kCompare = 34;

std::unique_ptr<sim::ReaderCard> sample(const char* name) { return sim::make_sample_card(name); }

class At102Family : public CardFixture<sim::At102FamilyCard> {
 protected:
  sim::At102FamilyCard& insert_sample(const char* name) {
    EXPECT_EQ(KDX_ExitComm(), ST_OK);  // a card of its own for each session
    auto card = sample(name);
    auto* model = dynamic_cast<sim::At102FamilyCard*>(card.release());
    sim::At102FamilyCard& inserted = insert(std::unique_ptr<sim::At102FamilyCard>(model));
    EXPECT_EQ(AT102_OpenCard(), ST_OK);
    reader.clear_trace();
    return inserted;
  }
  sim::At102FamilyCard& insert_at102(std::vector<uint8_t> memory) {
    EXPECT_EQ(KDX_ExitComm(), ST_OK);
    sim::At102FamilyCard& card = insert(std::make_unique<sim::At102Card>(std::move(memory)));
    EXPECT_EQ(AT102_OpenCard(), ST_OK);
    reader.clear_trace();
    return card;
  }
  // The sample AT102 with changes.
  static std::vector<uint8_t> at102_memory() {
    auto card = sample("at102");
    return dynamic_cast<sim::At102FamilyCard&>(*card).memory();
  }

  static Bytes count(uint16_t n) { return {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)}; }
  static Frames position(uint16_t byte) { return {frame(kRewind), frame(kAdvance, count(byte))}; }
  static Bytes get_io() { return frame(18, {145}); }
  static Frames compares(std::initializer_list<uint8_t> code) {
    Frames frames;
    for (uint8_t b : code) frames.push_back(frame(kCompare, {b}));
    return frames;
  }
  static Frames write_zero() {
    return {put_io(149, 1), put_io(145, 0), put_io(144, 1), put_io(149, 0), put_io(144, 0)};
  }
  static Frames erase_cycle() {
    return {put_io(149, 1), put_io(145, 1), put_io(144, 1), put_io(149, 0), put_io(144, 0)};
  }
  static Frames fuse_cycle() {
    return {put_io(146, 1), put_io(149, 1), put_io(145, 0), put_io(144, 1), put_io(149, 0),
            put_io(145, 1), put_io(144, 0), put_io(146, 0)};
  }
  // The counter search that finds its 1 after `zeros` pulses, or (`found`
  // false) gives up after `zeros` reads and pulses.
  static Frames search(unsigned zeros, bool found) {
    Frames frames{put_io(145, 1)};
    for (unsigned i = 0; i < zeros; ++i) frames = frames + Frames{get_io()} + pulses(1);
    if (found) frames = frames + Frames{get_io()} + write_zero() + erase_cycle();
    return frames;
  }
  void expect_frames(const Frames& expected) {
    EXPECT_EQ(reader.commands(), expected) << reader.format_frames();
  }
  void expect_clean() { EXPECT_TRUE(model().violations().empty()) << model().violations().front(); }
};

TEST_F(At102Family, ChecksComeBeforeAnyFrameInTheirOrder) {
  insert_sample("at102");
  uint8_t d[2100] = {};
  uint32_t value = 0;
  const CheckCase cases[] = {
      {"AT102 zone 3 before the address", [&] { return AT102_ReadChar(200, 0, 3, d); }, ST_BAD_ZONE},
      {"AT102 zone 0 address 64", [&] { return AT102_ReadChar(64, 1, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"AT102 address before length 0", [&] { return AT102_ReadChar(64, 0, 0, d); }, ST_ADDRESS_OVERFLOW},
      {"AT102 length 0", [&] { return AT102_WriteChar(0, 0, 1, nullptr); }, ST_OK},
      {"AT102 zone 0 length 65", [&] { return AT102_EraseWord(0, 65, 0); }, ST_LENGTH_OVERFLOW},
      {"AT102 zone 0 60 + 5", [&] { return AT102_ReadChar(60, 5, 0, d); }, ST_ACCESS_OVERFLOW},
      {"AT102 zone 1 63 + 2", [&] { return AT102_WriteChar(63, 2, 1, d); }, ST_ACCESS_OVERFLOW},
      {"AT102 zone 2 length 196", [&] { return AT102_ReadChar(0, 196, 2, d); }, ST_LENGTH_OVERFLOW},
      {"AT102 zone 2 address 195", [&] { return AT102_ReadChar(195, 1, 2, d); }, ST_ADDRESS_OVERFLOW},
      {"AT102 only the low byte: 0x100 + 3 is zone 3", [&] { return AT102_ReadChar(0, 1, 0x103, d); }, ST_BAD_ZONE},
      {"AT102 null buffer", [&] { return AT102_ReadChar(0, 1, 0, nullptr); }, ST_BAD_PARAMETER},
      {"AT102 value past zone 0", [&] { return AT102_WriteValue(61, 0, 1); }, ST_ACCESS_OVERFLOW},
      {"AT102 null value", [&] { return AT102_ReadValue(0, 0, nullptr); }, ST_BAD_PARAMETER},
      {"AT102 PAC index 1", [&] { return AT102_ReadPAC(1, d); }, ST_BAD_INDEX},
      {"AT102 PWD index 3", [&] { return AT102_ReadPWD(3, d); }, ST_BAD_INDEX},
      {"AT102 write PWD null", [&] { return AT102_WritePWD(0, nullptr); }, ST_BAD_PARAMETER},
      {"AT102 EraseApp zone 2", [&] { return AT102_EraseApp(0, 2, 0, 0, 0, 0, 0, 0); }, ST_BAD_ZONE},
      {"AT1604 zone 5", [&] { return AT1604_ReadChar(0, 1, 5, d); }, ST_BAD_ZONE},
      {"AT1604 zone 3 address 457", [&] { return AT1604_ReadChar(457, 1, 3, d); }, ST_ADDRESS_OVERFLOW},
      {"AT1604 zone 3 400 + 58", [&] { return AT1604_ReadChar(400, 58, 3, d); }, ST_ACCESS_OVERFLOW},
      {"AT1604 zone 0 length 513", [&] { return AT1604_EraseChar(0, 513, 0); }, ST_LENGTH_OVERFLOW},
      {"AT1604 zone 4 address 2040", [&] { return AT1604_ReadChar(2040, 1, 4, d); }, ST_ADDRESS_OVERFLOW},
      {"AT1604 verify index 9", [&] { return AT1604_VerifyPWD(9, 0, 0); }, ST_BAD_INDEX},
      {"AT1604 PAC index 9", [&] { return AT1604_ReadPAC(9, d); }, ST_BAD_INDEX},
      {"AT6601 zone 1 address 256", [&] { return AT6601_ReadChar(256, 1, 1, d); }, ST_ADDRESS_OVERFLOW},
      {"AT6601 zone 0 1000 + 196", [&] { return AT6601_ReadChar(1000, 196, 0, d); }, ST_ACCESS_OVERFLOW},
      {"AT6601 zone 4 length 2008", [&] { return AT6601_ReadChar(0, 2008, 4, d); }, ST_LENGTH_OVERFLOW},
      {"AT6601 PAC index 2", [&] { return AT6601_ReadPAC(2, d); }, ST_BAD_INDEX},
      {"AT6601 PWD index 9", [&] { return AT6601_WritePWD(9, d); }, ST_BAD_INDEX},
      {"AT6601 value past zone 3", [&] { return AT6601_ReadValue(253, 3, &value); }, ST_ACCESS_OVERFLOW},
  };
  expect_no_traffic(cases);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  const CheckCase closed[] = {
      {"open", [] { return AT102_OpenCard(); }, ST_NOT_OPEN},
      {"close", [] { return AT6601_CloseCard(); }, ST_NOT_OPEN},
      {"read", [&] { return AT1604_ReadChar(0, 1, 0, d); }, ST_NOT_OPEN},
      {"verify", [] { return AT102_VerifyPWD(0, 0); }, ST_NOT_OPEN},
      {"erase app", [] { return AT102_EraseApp(0, 9, 0, 0, 0, 0, 0, 0); }, ST_NOT_OPEN},
      {"fuse", [] { return AT6601_WriteFuse(); }, ST_NOT_OPEN},
      {"PAC", [&] { return AT102_ReadPAC(7, d); }, ST_NOT_OPEN},
      {"detection", [&] { return KDX_AutoTest(d); }, ST_NOT_OPEN},
  };
  expect_no_traffic(closed);
}

TEST_F(At102Family, ReadsGoInOneFrameOnTheAt102AndInPiecesOf184OnTheOthers) {
  sim::At102FamilyCard& card = insert_sample("at102");
  uint8_t d[400] = {};
  ASSERT_EQ(AT102_ReadChar(0, 195, 2, d), ST_OK);
  expect_frames(position(0) + Frames{frame(kRead, count(195))});
  EXPECT_EQ(0, std::memcmp(d, card.memory().data(), 195));
  reader.clear_trace();
  uint32_t value = 0;
  ASSERT_EQ(AT102_ReadValue(0, 1, &value), ST_OK);
  EXPECT_EQ(value, 1000u);
  expect_clean();

  sim::At102FamilyCard& large = insert_sample("at1604");
  ASSERT_EQ(AT1604_ReadChar(100, 400, 0, d), ST_OK);
  expect_frames(position(127) + Frames{frame(kRead, count(184)), frame(kRead, count(184)), frame(kRead, count(32))});
  EXPECT_EQ(0, std::memcmp(d, large.memory().data() + 127, 400));
  reader.clear_trace();
  ASSERT_EQ(AT6601_ReadChar(0, 184, 1, d), ST_OK);
  expect_frames(position(1227) + Frames{frame(kRead, count(184))});
  expect_clean();
}

TEST_F(At102Family, WritesGoInPiecesOf10ErasesInCountsOf80WithTheCardsCode) {
  insert_sample("at102");
  uint8_t d[100] = {};
  ASSERT_EQ(AT102_WriteChar(3, 25, 2, d), ST_OK);
  expect_frames(position(3) + Frames{frame(kWrite, Bytes(10)), frame(kWrite, Bytes(10)), frame(kWrite, Bytes(5))});
  reader.clear_trace();
  ASSERT_EQ(AT102_EraseWord(0, 100, 2), ST_OK);
  expect_frames(position(0) + Frames{frame(kErase102, count(80)), frame(kErase102, count(20))});
  reader.clear_trace();
  // Field writes erase first.
  const uint8_t ic[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(AT102_WriteIC(ic), ST_OK);
  expect_frames(position(2) + Frames{frame(kErase102, count(8))} + position(2) +
                Frames{frame(kWrite, Bytes(ic, ic + 8))});
  expect_clean();

  insert_sample("at1604");
  ASSERT_EQ(AT1604_EraseChar(10, 100, 1), ST_OK);
  expect_frames(position(555) + Frames{frame(kErase1604, count(80)), frame(kErase1604, count(20))});
  reader.clear_trace();
  const uint8_t mtz[2] = {0x12, 0x34};
  ASSERT_EQ(AT6601_WriteMTZ(mtz), ST_OK);
  expect_frames(position(2005) + Frames{frame(kErase1604, count(2))} + position(2005) + Frames{frame(kWrite, {0x12, 0x34})});
  expect_clean();
}

TEST_F(At102Family, Verification) {
  struct Case {
    const char* name;
    uint8_t counter;  // AT102 byte 12; its high nibble is the attempts
    uint8_t first;
    StatusCode status;
    unsigned zeros;  // search pulses
    bool found;
    uint8_t counter_after;
  };
  const Case cases[] = {
      {"right code on a full counter", 0xFF, 0xA1, ST_OK, 0, true, 0xFF},
      {"wrong code: one attempt gone", 0xFF, 0xA0, ST_WRONG_PASSWORD, 0, true, 0x7F},
      {"wrong code, two used before", 0x3F, 0xA0, ST_WRONG_PASSWORD, 2, true, 0x1F},
      {"right code on the last attempt", 0x1F, 0xA1, ST_OK, 3, true, 0xFF},
      // The counter's other bits are 1: a search that left the counter
      // would find one and program it.
      {"empty counter: 4 reads, 4 pulses, no cycle", 0x0F, 0xA1, ST_WRONG_PASSWORD, 4, false, 0x0F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> memory = at102_memory();
    memory[12] = c.counter;
    sim::At102FamilyCard& card = insert_at102(memory);
    EXPECT_EQ(AT102_VerifyPWD(c.first, 0x02), c.status);
    Frames expected = position(10) + compares({c.first, 0x02}) + search(c.zeros, c.found);
    if (c.found) expected = expected + Frames{get_io()} + pulses(4 - c.zeros);
    expect_frames(expected);
    EXPECT_EQ(card.memory()[12], c.counter_after);
    EXPECT_EQ(card.memory()[13], 0xFF);
    EXPECT_EQ(card.granted(0), c.status == ST_OK);
    expect_clean();
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }

  // Eight bits on the AT1604; CPZ's 1 bits follow the counter.
  sim::At102FamilyCard& large = insert_sample("at1604");
  EXPECT_EQ(AT1604_VerifyPWD(0, 0x16, 0x00), ST_OK);
  expect_frames(position(10) + compares({0x16, 0x00}) + search(0, true) + Frames{get_io()} + pulses(9));
  EXPECT_TRUE(large.granted(0));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(AT1604_VerifyPWD(1, 0x16, 0x99), ST_WRONG_PASSWORD);
  EXPECT_EQ(large.memory()[23], 0x00);
  reader.clear_trace();
  EXPECT_EQ(AT1604_VerifyPWD(1, 0x16, 0x01), ST_WRONG_PASSWORD);
  expect_frames(position(21) + compares({0x16, 0x01}) + search(8, false));
  EXPECT_FALSE(large.granted(1));
  EXPECT_EQ(large.memory()[24], 0x16);
  expect_clean();

  // AT6601 zone 2 to 4 codes have no counter: 0 means presented.
  sim::At102FamilyCard& card6601 = insert_sample("at6601");
  EXPECT_EQ(AT6601_VerifyPWD(3, 0x16, 0x77), ST_OK);
  expect_frames(position(1483) + compares({0x16, 0x77}) + Frames{put_io(145, 1)} + pulses(1));
  EXPECT_FALSE(card6601.granted(3));
  EXPECT_EQ(AT6601_VerifyPWD(3, 0x16, 0x03), ST_OK);
  EXPECT_TRUE(card6601.granted(3));
  reader.clear_trace();
  EXPECT_EQ(AT6601_VerifyPWD(6, 0x16, 0x06), ST_OK);
  expect_frames(position(1224) + compares({0x16, 0x06}) + search(0, true) + Frames{get_io()} + pulses(9));
  expect_clean();
}

TEST_F(At102Family, ZoneErases) {
  const auto az1 = [](const sim::At102FamilyCard& card) {
    return Bytes(card.memory().begin() + 22, card.memory().begin() + 86);
  };
  const auto az2 = [](const sim::At102FamilyCard& card) {
    return Bytes(card.memory().begin() + 92, card.memory().begin() + 156);
  };
  const Bytes erased(64, 0xFF);

  sim::At102FamilyCard& card = insert_sample("at102");
  const Bytes az1_before = az1(card), az2_before = az2(card);
  // A wrong key gives 0 too (no read-back), and the zone stays.
  EXPECT_EQ(AT102_EraseApp(0, 0, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE0), ST_OK);
  EXPECT_EQ(az1(card), az1_before);
  reader.clear_trace();
  EXPECT_EQ(AT102_EraseApp(0, 0, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1), ST_OK);
  expect_frames(position(86) + compares({0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1}) + erase_cycle() + pulses(1));
  EXPECT_EQ(az1(card), erased);
  EXPECT_EQ(az2(card), az2_before);
  // Without the counter, zone 2 stays while its erase limit holds.
  EXPECT_EQ(AT102_EraseApp(0, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0, 0), ST_OK);
  EXPECT_EQ(az2(card), az2_before);
  // With it, one of the 128 erases goes.
  reader.clear_trace();
  EXPECT_EQ(AT102_EraseApp(1, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0, 0), ST_OK);
  expect_frames(position(156) + compares({0xE2, 0xE2, 0xE2, 0xE2}) + search(0, true) + pulses(129));
  EXPECT_EQ(az2(card), erased);
  EXPECT_EQ(card.memory()[160], 0x7F);
  expect_clean();

  // The last erase of the counter, then none.
  std::vector<uint8_t> memory = at102_memory();
  std::fill(memory.begin() + 160, memory.begin() + 176, 0x00);
  memory[175] = 0x01;
  sim::At102FamilyCard& worn = insert_at102(memory);
  EXPECT_EQ(AT102_EraseApp(1, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0, 0), ST_OK);
  EXPECT_EQ(az2(worn), erased);
  memory = worn.memory();
  memory[92] = 0x00;
  sim::At102FamilyCard& spent = insert_at102(memory);
  EXPECT_EQ(AT102_EraseApp(1, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0, 0), ST_WRONG_PASSWORD);
  expect_frames(position(156) + compares({0xE2, 0xE2, 0xE2, 0xE2}) + search(128, false));
  EXPECT_EQ(spent.memory()[92], 0x00);
  // Lifting the limit: bit 1 of byte 191, then zone 2 erases without it.
  reader.clear_trace();
  EXPECT_EQ(AT102_AZ2EraseUnlimited(), ST_OK);
  expect_frames(position(191) + pulses(1) + fuse_cycle());
  EXPECT_EQ(AT102_EraseApp(0, 1, 0xE2, 0xE2, 0xE2, 0xE2, 0, 0), ST_OK);
  EXPECT_EQ(az2(spent), erased);
  EXPECT_EQ(spent.memory()[191], 0xBF);
  expect_clean();
}

TEST_F(At102Family, OddAddressWriteValueKeepsTheNeighbours) {
  sim::At102FamilyCard& card = insert_sample("at102");
  ASSERT_EQ(AT102_VerifyPWD(0xA1, 0x02), ST_OK);
  ASSERT_EQ(AT102_EraseApp(0, 0, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1), ST_OK);
  const uint8_t pattern[6] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15};
  ASSERT_EQ(AT102_WriteChar(0, 6, 0, pattern), ST_OK);
  reader.clear_trace();
  ASSERT_EQ(AT102_WriteValue(1, 0, 0xA1B2C3D4), ST_OK);
  expect_frames(position(23) + Frames{frame(kErase102, count(4))} + position(23) +
                Frames{frame(kWrite, {0xD4, 0xC3, 0xB2, 0xA1})});
  EXPECT_EQ(Bytes(card.memory().begin() + 22, card.memory().begin() + 28),
            (Bytes{0x10, 0xD4, 0xC3, 0xB2, 0xA1, 0x15}));
  uint32_t value = 0;
  ASSERT_EQ(AT102_ReadValue(1, 0, &value), ST_OK);
  EXPECT_EQ(value, 0xA1B2C3D4u);
  // WriteChar does not erase: only 0 bits go in.
  ASSERT_EQ(AT102_WriteChar(0, 1, 0, pattern + 5), ST_OK);
  EXPECT_EQ(card.memory()[22], 0x10);
  expect_clean();
}

TEST_F(At102Family, FusesAndGlobalErase) {
  struct Case {
    const char* name;
    const char* sample;
    StatusCode (*call)();
    uint16_t position;
  };
  const Case cases[] = {
      {"AT102", "at102", &AT102_WriteFuse, 194},
      {"AT1604", "at1604", &AT1604_WriteFuse, 2044},
      {"AT6601", "at6601", &AT6601_WriteFuse, 2036},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::At102FamilyCard& card = insert_sample(c.sample);
    EXPECT_FALSE(card.fuse_blown());
    EXPECT_EQ(c.call(), ST_OK);
    expect_frames(position(c.position) + fuse_cycle());
    EXPECT_TRUE(card.fuse_blown());
    expect_clean();
  }

  sim::At102FamilyCard& card = insert_sample("at102");
  // Without the security code the global erase does nothing.
  EXPECT_EQ(AT102_EraseGlobal(), ST_OK);
  expect_frames(position(180) + erase_cycle());
  EXPECT_EQ(card.memory()[10], 0xA1);
  ASSERT_EQ(AT102_VerifyPWD(0xA1, 0x02), ST_OK);
  EXPECT_EQ(AT102_EraseGlobal(), ST_OK);
  EXPECT_EQ(Bytes(card.memory().begin() + 2, card.memory().begin() + 180), Bytes(178, 0xFF));
  EXPECT_EQ(card.memory()[0], 0x72);
  expect_clean();
}

TEST_F(At102Family, ReadsOfTheWrongLengthFailWithoutTouchingTheBuffer) {
  const struct {
    const char* name;
    std::size_t answer;
    std::function<StatusCode(uint8_t*)> call;
  } cases[] = {
      {"AT102 2 asked, 5 come", 5, [](uint8_t* d) { return AT102_ReadChar(0, 2, 2, d); }},
      {"AT102 195 asked, 194 come", 194, [](uint8_t* d) { return AT102_ReadChar(0, 195, 2, d); }},
      {"AT1604 last piece of 32 gets 184", 184, [](uint8_t* d) { return AT1604_ReadChar(0, 400, 0, d); }},
      {"AT6601 FC: 2 asked, 0 come", 0, [](uint8_t* d) { return AT6601_ReadFC(d); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reader.insert(std::make_unique<FixedLengthCard>(c.answer));
    open();
    uint8_t d[400];
    std::memset(d, 0xC3, sizeof d);
    EXPECT_EQ(c.call(d), ST_COMM_ERROR);
    EXPECT_EQ(Bytes(d, d + sizeof d), Bytes(sizeof d, 0xC3));
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At102Family, FailingStepsEndTheOperationWithTheirStatus) {
  insert_sample("at102");
  // The reader refuses the 5th frame of a verification (the first GetIO).
  reader.after_commands(5, [&] { reader.override_status(1, 21); });
  EXPECT_EQ(AT102_VerifyPWD(0xA1, 0x02), 21);
  EXPECT_EQ(reader.commands().size(), 6u);
  reader.clear_trace();
  reader.after_commands(3, [&] { reader.nak_frames(3); });
  const uint8_t d[25] = {};
  EXPECT_EQ(AT102_WriteChar(0, 25, 2, d), ST_COMM_ERROR);
  EXPECT_EQ(reader.commands().size(), 3u);
}

}  // namespace
}  // namespace kdx::test
