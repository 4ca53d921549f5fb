// The AT153 and AT1608 drivers against their card models: argument checks,
// the frames of each export, verification, authentication, fuses, zone
// access, and failing steps.
#include <cstring>

#include "cards/at_secure.h"

#include "sim/cards/at_secure_card.h"
#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kStart = 21, kStop = 22, kSend = 24, kClockIn = 25, kClockLast = 26;

// Each field export is one read or write of the configuration zone at the
// field's address and length.
struct FieldCase {
  const char* name;
  std::function<StatusCode(uint8_t*)> call;
  uint8_t address;
  uint8_t length;
  bool write;
};

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
  // Runs each case on one card: a write sends one chunk [write, address,
  // data], a read one read transaction; either way the card's field then
  // equals the bytes.
  void run_field_cases(std::span<const FieldCase> cases, uint8_t write, uint8_t read) {
    Card& card = insert_card();
    for (const FieldCase& c : cases) {
      SCOPED_TRACE(c.name);
      this->reader.clear_trace();
      uint8_t bytes[8] = {0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68};
      ASSERT_EQ(c.call(bytes), ST_OK);
      if (c.write) {
        Bytes chunk{write, c.address};
        chunk.insert(chunk.end(), bytes, bytes + c.length);
        EXPECT_EQ(this->reader.commands(), transaction(chunk));
      } else {
        // The AT153 sends the acknowledged piece even when it is empty.
        const bool empty_piece = c.length > 1 || write == 0xBC;
        EXPECT_EQ(this->reader.commands(),
                  empty_piece ? read_frames(read, c.address, {static_cast<uint16_t>(c.length - 1)})
                              : read_frames(read, c.address, {}));
      }
      EXPECT_TRUE(std::equal(bytes, bytes + c.length, card.config().begin() + c.address));
    }
  }

  // The positive flows keep to the bus protocol: the card logged nothing.
  void TearDown() override {
    const auto* card = dynamic_cast<const Card*>(this->reader.card());
    if (card != nullptr && expect_clean_) {
      EXPECT_EQ(card->violations(), std::vector<std::string>{});
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


namespace at153 = kdx::velmor::at_secure::at153;
namespace at1608 = kdx::velmor::at_secure::at1608;

// One verification transaction, then the PAC read back; a wrong password
// costs exactly one attempt.
TEST_F(At153, Verification) {
  struct Case {
    const char* name;
    uint8_t index;
    uint8_t pac_before;
    uint8_t first_byte;  // of the presented password
    StatusCode status;
    uint8_t pac_after;
  };
  const Case cases[] = {
      {"right, set 0 write", 0, 0xFF, 0x01, ST_OK, 0xFF},
      {"right after misses", 1, 0x0F, 0x21, ST_OK, 0xFF},
      {"right, set 0 read", 2, 0xFF, 0x11, ST_OK, 0xFF},
      {"wrong", 3, 0xFF, 0x00, ST_WRONG_PASSWORD, 0xFE},
      {"wrong, scattered bits", 3, 0x5A, 0x00, ST_WRONG_PASSWORD, 0x58},
      {"locked, right password", 0, 0x00, 0x01, ST_WRONG_PASSWORD, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::At153Card& card = insert_card();
    // Passwords as the sample cards lay them out: 0x10 * (2 * set + read) + 1 ...
    const uint8_t pac = at153::pac_address(c.index);
    const uint8_t first = static_cast<uint8_t>(0x10 * (2 * (c.index & 1) + (c.index >> 1)) + 1);
    card.config()[pac] = c.pac_before;
    for (uint8_t k = 0; k < 3; ++k) card.config()[pac + 1u + k] = static_cast<uint8_t>(first + k);
    EXPECT_EQ(AT153_VerifyPWD(c.index, c.first_byte, first + 1, first + 2), c.status);
    EXPECT_EQ(card.config()[pac], c.pac_after);
    EXPECT_EQ(reader.commands(), transaction({static_cast<uint8_t>(0xB3 | c.index << 2), c.first_byte,
                                              static_cast<uint8_t>(first + 1), static_cast<uint8_t>(first + 2)}) +
                                     read_frames(0xBD, pac, {0}));
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At1608, Verification) {
  struct Case {
    uint8_t index;
    uint8_t pac_address;
  };
  const Case cases[] = {{0, 64}, {7, 120}, {8, 68}, {9, 76}, {15, 124}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "index " << int{c.index});
    sim::At1608Card& card = insert_card();
    card.config()[c.pac_address + 1u] = 0x42;
    EXPECT_EQ(AT1608_VerifyPWD(c.index, 0x00, 0xFF, 0xFF), ST_WRONG_PASSWORD);
    EXPECT_EQ(card.config()[c.pac_address], 0xFE);
    EXPECT_EQ(reader.commands(), transaction({0xB3, c.index, 0x00, 0xFF, 0xFF}) + read_frames(0xB5, c.pac_address, {}));
    reader.clear_trace();
    EXPECT_EQ(AT1608_VerifyPWD(c.index, 0x42, 0xFF, 0xFF), ST_OK);
    EXPECT_EQ(card.config()[c.pac_address], 0xFF);
    EXPECT_EQ(c.index >= 8 ? card.read_open(c.index & 7) : card.write_open(c.index & 7), true);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

// The card's block, seed and challenge give the response and the new
// cryptogram; the card computes them with its own cipher.
template <typename Card>
void prepare_auth(Card& card, uint8_t block_address) {
  const uint8_t gc[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  std::copy(gc, gc + 8, card.config().begin() + (block_address == 32 ? at153::kGcAddress : at1608::kGcAddress));
  for (uint8_t k = 1; k < 8; ++k) card.config()[block_address + k] = static_cast<uint8_t>(0x11 * k);
  if (block_address != 32) card.config()[block_address] = 0x99;
}

struct AuthCase {
  const char* name;
  uint8_t seed_first;  // the right seed starts with 0x01
  std::optional<std::size_t> corrupt_byte;
  uint8_t aac_before;
  StatusCode status;
  uint8_t aac_after;
  bool renewed;  // the card holds the expected new cryptogram
};

template <typename Card>
void run_auth_cases(SecureFixture<Card>& fixture, std::span<const AuthCase> cases, uint8_t block_address,
                    std::size_t compared_from, StatusCode (*auth)(const uint8_t*, const uint8_t*),
                    const std::function<Card&()>& insert) {
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.name);
    Card& card = insert();
    prepare_auth(card, block_address);
    card.config()[32] = c.aac_before;
    card.corrupt_new_cryptogram(c.corrupt_byte);
    const uint8_t seed[8] = {c.seed_first, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const uint8_t right_seed[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const uint8_t challenge[8] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7};
    uint8_t block[8], response[8], expected[8];
    std::copy_n(card.config().begin() + block_address, 8, block);
    KDX_F2(block, right_seed, challenge, response, expected);
    EXPECT_EQ(auth(seed, challenge), c.status);
    EXPECT_EQ(card.config()[32], c.aac_after);
    EXPECT_EQ(std::equal(expected + compared_from, expected + 8, card.config().begin() + block_address + compared_from),
              c.renewed);
    EXPECT_EQ(card.authenticated(), c.status == ST_OK || c.corrupt_byte.has_value());
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
  (void)fixture;
}

TEST_F(At153, Authentication) {
  const AuthCase cases[] = {
      {"right seed", 0x01, std::nullopt, 0xFF, ST_OK, 0xFF, true},
      {"right seed after misses", 0x01, std::nullopt, 0x0F, ST_OK, 0xFF, true},
      {"wrong seed", 0x02, std::nullopt, 0xFF, ST_AUTH_FAILED, 0xFE, false},
      {"wrong new Ci, byte 7", 0x01, 7, 0xFF, ST_AUTH_FAILED, 0xFF, false},
      {"locked", 0x01, std::nullopt, 0x00, ST_AUTH_FAILED, 0x00, false},
  };
  run_auth_cases<sim::At153Card>(*this, cases, 32, 1, &AT153_Auth, [&]() -> sim::At153Card& { return insert_card(); });
}

TEST_F(At1608, Authentication) {
  const AuthCase cases[] = {
      {"right seed", 0x01, std::nullopt, 0xFF, ST_OK, 0xFF, true},
      {"wrong seed", 0x02, std::nullopt, 0x7F, ST_AUTH_FAILED, 0x7E, false},
      {"wrong new Ci, byte 0", 0x01, 0, 0xFF, ST_AUTH_FAILED, 0xFF, false},
  };
  run_auth_cases<sim::At1608Card>(*this, cases, 40, 0, &AT1608_Auth, [&]() -> sim::At1608Card& { return insert_card(); });
}

TEST_F(At153, AuthenticationFrames) {
  sim::At153Card& card = insert_card();
  prepare_auth(card, 32);
  const uint8_t seed[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const uint8_t challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t block[8], response[8], expected[8];
  std::copy_n(card.config().begin() + 32, 8, block);
  KDX_F2(block, seed, challenge, response, expected);
  ASSERT_EQ(AT153_Auth(seed, challenge), ST_OK);
  Bytes challenge_command{0xB2}, response_command{0xB6};
  challenge_command.insert(challenge_command.end(), challenge, challenge + 8);
  response_command.insert(response_command.end(), response, response + 8);
  EXPECT_EQ(reader.commands(), read_frames(0xBD, 32, {7}) + transaction(challenge_command) +
                                   transaction(response_command) + read_frames(0xBD, 32, {0}) +
                                   read_frames(0xBD, 32, {7}));
}

// The AT153 names the fuse to blow from what it read; the card blows only
// the next intact one.
TEST_F(At153, Fuses) {
  struct Case {
    uint8_t before;
    uint8_t sent;
    uint8_t after;
  };
  const Case cases[] = {{0x07, 0x01, 0x06}, {0x06, 0x02, 0x04}, {0x04, 0x04, 0x00}, {0x00, 0x01, 0x00}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fuses " << int{c.before});
    sim::At153Card& card = insert_card();
    card.set_fuses(c.before);
    ASSERT_EQ(AT153_WriteFuse(), ST_OK);
    EXPECT_EQ(card.fuses(), c.after);
    const Frames fuse_read{frame(kStart), frame(kSend, {0xBE}), clock_frame(kClockLast, 1), frame(kStop)};
    EXPECT_EQ(reader.commands(), fuse_read + transaction({0xBA, c.sent}));
    // Naming a blown fuse is the host's fault.
    EXPECT_EQ(card.violations().size(), c.before == 0 ? 1u : 0u);
    expect_clean_ = c.before != 0;
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At153, FuseOrderIsTheCardsAndTheWriteCycleIsWaitedOut) {
  sim::At153Card& card = insert_card();
  // Out of order: CMA before FAB.
  ASSERT_EQ(SingleStep(kStart), ST_OK);
  const uint8_t cma[] = {0xBA, 0x02};
  ASSERT_EQ(OutByte(kSend, cma, 2), ST_OK);
  ASSERT_EQ(SingleStep(kStop), ST_OK);
  EXPECT_EQ(card.fuses(), 0x07);
  EXPECT_EQ(card.violations().size(), 1u);
  expect_clean_ = false;
  ASSERT_EQ(KDX_ExitComm(), ST_OK);

  // At 115200 baud the next transaction would reach the card inside its
  // write cycle but for the wait.
  sim::At153Card& fast = this->insert(std::make_unique<sim::At153Card>());
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  open(115200);
  uint8_t atr[4], fuses = 0;
  ASSERT_EQ(AT153_OpenCard(atr), ST_OK);
  for (uint8_t expected : {0x06, 0x04, 0x00}) {
    ASSERT_EQ(AT153_WriteFuse(), ST_OK);
    ASSERT_EQ(AT153_ReadFuse(&fuses), ST_OK);
    EXPECT_EQ(fuses, expected);
  }
  EXPECT_EQ(fast.violations(), std::vector<std::string>{});
}

TEST_F(At1608, FusesBlowInOrder) {
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  sim::At1608Card& card = insert_card();
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  open(115200);
  uint8_t atr[4], fuses = 0;
  ASSERT_EQ(AT1608_OpenCard(atr), ST_OK);
  reader.clear_trace();
  ASSERT_EQ(AT1608_WriteFuse(), ST_OK);
  EXPECT_EQ(reader.commands(), transaction({0xB4, 0x80}));
  for (uint8_t expected : {0x04, 0x00, 0x00}) {
    ASSERT_EQ(AT1608_ReadFuse(&fuses), ST_OK);
    EXPECT_EQ(fuses, card.fuses());
    ASSERT_EQ(AT1608_WriteFuse(), ST_OK);
    EXPECT_EQ(card.fuses(), expected);
  }
}


// Access registers: a protected zone is refused before the password or the
// authentication, accepted after, and lost when the card is unpowered.
TEST_F(At153, AccessRegistersGuardTheZones) {
  struct Case {
    const char* name;
    uint8_t ar;
    std::function<StatusCode()> open_rights;
    bool read_refused;  // before the rights
    bool write_refused;
  };
  const uint8_t seed[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const uint8_t challenge[8] = {};
  const Case cases[] = {
      {"write password of set 1", 0xDF, [] { return AT153_VerifyPWD(1, 0x21, 0x22, 0x23); }, false, true},
      {"read password of set 0 opens reading", 0xEE, [] { return AT153_VerifyPWD(2, 0x11, 0x12, 0x13); }, true, false},
      {"write password opens reading too", 0xEE, [] { return AT153_VerifyPWD(0, 0x01, 0x02, 0x03); }, true, false},
      {"authentication", 0x3F, [&] { return AT153_Auth(seed, challenge); }, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::At153Card& card = insert_card();
    prepare_auth(card, 32);
    for (uint8_t index = 0; index < 4; ++index) {
      const uint8_t first = static_cast<uint8_t>(0x10 * (2 * (index & 1) + (index >> 1)) + 1);
      for (uint8_t k = 0; k < 3; ++k) card.config()[at153::pac_address(index) + 1u + k] = static_cast<uint8_t>(first + k);
    }
    card.config()[at153::kArAddress + 1] = c.ar;
    std::fill_n(card.zones()[1].begin(), 8, 0x77);
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t got[4];
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(AT153_ReadChar(0, 4, 1, got), ST_OK);
      EXPECT_EQ(got[0], c.read_refused ? 0xFF : card.zones()[1][0]);
      ASSERT_EQ(AT153_WriteChar(0, 4, 1, data), ST_OK);
      EXPECT_EQ(card.zones()[1][0], c.write_refused ? 0x77 : 1);
      card.zones()[1][0] = 0x77;
      if (round == 0) {
        ASSERT_EQ(c.open_rights(), ST_OK);
        ASSERT_EQ(AT153_ReadChar(0, 4, 1, got), ST_OK);
        EXPECT_EQ(got[0], 0x77);
        ASSERT_EQ(AT153_WriteChar(0, 4, 1, data), ST_OK);
        EXPECT_EQ(card.zones()[1][0], 1);
        card.zones()[1][0] = 0x77;
        ASSERT_EQ(AT153_CloseCard(), ST_OK);
        uint8_t atr[4];
        ASSERT_EQ(AT153_OpenCard(atr), ST_OK);
      }
    }
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(At1608, AccessAndTheSelectedZone) {
  sim::At1608Card& card = insert_card();
  card.config()[at1608::kArAddress + 5] = 0xDA;  // set 2 write password
  card.config()[at1608::pac_address(2) + 1] = 0xA1;
  const uint8_t data[2] = {0x5A, 0xA5};
  ASSERT_EQ(AT1608_WriteChar(0, 2, 5, data), ST_OK);
  EXPECT_EQ(card.zones()[5][0], 0xFF);
  ASSERT_EQ(AT1608_VerifyPWD(2, 0xA1, 0xFF, 0xFF), ST_OK);
  ASSERT_EQ(AT1608_WriteChar(0, 2, 5, data), ST_OK);
  EXPECT_EQ(card.zones()[5][0], 0x5A);

  // Only the low 3 bits of the zone byte count, and the zone stays selected
  // until power-off.
  ASSERT_EQ(AT1608_SetZone(0x0E), ST_OK);
  EXPECT_EQ(card.selected_zone(), 6);
  ASSERT_EQ(AT1608_CloseCard(), ST_OK);
  EXPECT_EQ(card.selected_zone(), 0);
  uint8_t atr[4];
  ASSERT_EQ(AT1608_OpenCard(atr), ST_OK);
  EXPECT_EQ(Bytes(atr, atr + 4), (Bytes{0x34, 0x55, 0xAA, 0x85}));
  EXPECT_FALSE(card.write_open(2));
}

// What the model does with bytes beyond a write page and with a transaction
// inside its write cycle.
TEST_F(At153, WritePagesWrapAndTheWriteCycleIgnoresTransactions) {
  sim::At153Card& card = insert(std::make_unique<sim::At153Card>());
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  open(115200);
  uint8_t atr[4];
  ASSERT_EQ(AT153_OpenCard(atr), ST_OK);
  const uint8_t chunk[] = {0xB0, 6, 1, 2, 3, 4};
  ASSERT_EQ(SingleStep(kStart), ST_OK);
  ASSERT_EQ(OutByte(kSend, chunk, sizeof chunk), ST_OK);
  ASSERT_EQ(SingleStep(kStop), ST_OK);
  // Straight away at 115200 baud, with no wait: inside the write cycle.
  const uint8_t second[] = {0xB0, 16, 9};
  ASSERT_EQ(SingleStep(kStart), ST_OK);
  ASSERT_EQ(OutByte(kSend, second, sizeof second), ST_OK);
  ASSERT_EQ(SingleStep(kStop), ST_OK);
  EXPECT_EQ(Bytes(card.zones()[0].begin(), card.zones()[0].begin() + 8), (Bytes{3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}));
  EXPECT_EQ(card.zones()[0][16], 0xFF);
  EXPECT_EQ(card.violations().size(), 1u);
  expect_clean_ = false;
}

// A NAK or a reader status at step k ends the operation with that status;
// nothing is sent after it.
TEST_F(At153, FailingSteps) {
  uint8_t d[8];
  const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint8_t seed[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const auto nothing = [](const sim::At153Card&) {};
  const FaultCase cases[] = {
      {"read: NAK of the command bytes", false, 1, true, [&] { return AT153_ReadChar(0, 4, 0, d); }, ST_COMM_ERROR, nothing},
      {"read: status of the last byte", false, 3, false, [&] { return AT153_ReadChar(0, 4, 0, d); }, 21, nothing},
      {"write: NAK of the second page", false, 4, true, [&] { return AT153_WriteChar(6, 12, 0, data); }, ST_COMM_ERROR,
       [](const sim::At153Card& card) {
         EXPECT_EQ(card.zones()[0][6], 1);
         EXPECT_EQ(card.zones()[0][8], 0xFF);
       }},
      {"verify: NAK of the stop", false, 2, true, [] { return AT153_VerifyPWD(0, 1, 2, 3); }, ST_COMM_ERROR, nothing},
      {"verify: status of the PAC read", false, 6, false, [] { return AT153_VerifyPWD(0, 1, 2, 3); }, 21, nothing},
      {"auth: NAK of the response", false, 9, true, [&] { return AT153_Auth(seed, seed); }, ST_COMM_ERROR, nothing},
      {"auth: status of the AAC read", false, 14, false, [&] { return AT153_Auth(seed, seed); }, 21, nothing},
      {"write fuse: NAK of the fuse write", false, 5, true, [] { return AT153_WriteFuse(); }, ST_COMM_ERROR,
       [](const sim::At153Card& card) { EXPECT_EQ(card.fuses(), 0x07); }},
  };
  run_fault_cases(cases, [&](bool) { insert_card(); });
}

TEST_F(At1608, FailingSteps) {
  uint8_t d[8];
  const uint8_t data[20] = {};
  const auto nothing = [](const sim::At1608Card&) {};
  const FaultCase cases[] = {
      {"read: NAK of the set zone's stop", false, 2, true, [&] { return AT1608_ReadChar(0, 4, 1, d); }, ST_COMM_ERROR,
       nothing},
      {"write: NAK of the first page", false, 4, true, [&] { return AT1608_WriteChar(10, 20, 1, data); }, ST_COMM_ERROR,
       nothing},
      {"verify: status of the PAC's last byte", false, 5, false, [] { return AT1608_VerifyPWD(9, 1, 2, 3); }, 21, nothing},
      {"read fuse: status of the byte", false, 2, false, [&] { return AT1608_ReadFuse(d); }, 21, nothing},
  };
  run_fault_cases(cases, [&](bool) { insert_card(); });
}

// A read-back whose answer brings another count than asked is a failure,
// never a PAC, AAC or Ci taken from stale bytes.
TEST_F(At153, ShortReadBacksFail) {
  const uint8_t seed[8] = {};
  struct Case {
    const char* name;
    std::function<StatusCode()> call;
    std::size_t written;  // bytes of d the export may fill
  };
  uint8_t d[16];
  const Case cases[] = {
      {"verify", [] { return AT153_VerifyPWD(0, 1, 2, 3); }, 0},
      {"auth", [&] { return AT1608_Auth(seed, seed); }, 0},
      {"PAC", [&] { return AT153_ReadPAC(0, d); }, 1},
      {"AAC", [&] { return AT1608_ReadAAC(d); }, 1},
      {"Ci", [&] { return AT153_ReadCi(d); }, 7},
      {"fuse", [&] { return AT1608_ReadFuse(d); }, 0},
  };
  for (std::size_t answer : {std::size_t{0}, std::size_t{2}, std::size_t{9}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << answer << " bytes an answer");
      reader.insert(std::make_unique<FixedLengthCard>(answer));
      open();
      std::memset(d, 0xEE, sizeof d);
      EXPECT_EQ(c.call(), ST_COMM_ERROR);
      EXPECT_EQ(Bytes(d + c.written, d + sizeof d), Bytes(sizeof d - c.written, 0xEE));
      ASSERT_EQ(KDX_ExitComm(), ST_OK);
    }
  }
}

TEST_F(At153, FieldExports) {
  const FieldCase cases[] = {
      {"ATR", [](uint8_t* b) { return AT153_ReadATR(b); }, 0, 4, false},
      {"LHC", [](uint8_t* b) { return AT153_ReadLHC(b); }, 4, 4, false},
      {"FC", [](uint8_t* b) { return AT153_ReadFC(b); }, 8, 2, false},
      {"CMC", [](uint8_t* b) { return AT153_ReadCMC(b); }, 10, 2, false},
      {"write CMC", [](uint8_t* b) { return AT153_WriteCMC(b); }, 10, 2, true},
      {"AR 2", [](uint8_t* b) { return AT153_ReadAR(2, b); }, 14, 1, false},
      {"write AR 1", [](uint8_t* b) { return AT153_WriteAR(1, b[0]); }, 13, 1, true},
      {"MTZ", [](uint8_t* b) { return AT153_ReadMTZ(b); }, 15, 1, false},
      {"write MTZ", [](uint8_t* b) { return AT153_WriteMTZ(b[0]); }, 15, 1, true},
      {"IC", [](uint8_t* b) { return AT153_ReadIC(b); }, 16, 8, false},
      {"write IC", [](uint8_t* b) { return AT153_WriteIC(b); }, 16, 8, true},
      {"DCR", [](uint8_t* b) { return AT153_ReadDCR(b); }, 24, 1, false},
      {"write DCR", [](uint8_t* b) { return AT153_WriteDCR(b[0]); }, 24, 1, true},
      {"Nc", [](uint8_t* b) { return AT153_ReadNc(b); }, 25, 7, false},
      {"write Nc", [](uint8_t* b) { return AT153_WriteNc(b); }, 25, 7, true},
      {"AAC", [](uint8_t* b) { return AT153_ReadAAC(b); }, 32, 1, false},
      {"write AAC", [](uint8_t* b) { return AT153_WriteAAC(b[0]); }, 32, 1, true},
      {"Ci", [](uint8_t* b) { return AT153_ReadCi(b); }, 33, 7, false},
      {"write Ci", [](uint8_t* b) { return AT153_WriteCi(b); }, 33, 7, true},
      {"Gc", [](uint8_t* b) { return AT153_ReadGc(b); }, 40, 8, false},
      {"write Gc", [](uint8_t* b) { return AT153_WriteGc(b); }, 40, 8, true},
      {"PAC 2", [](uint8_t* b) { return AT153_ReadPAC(2, b); }, 52, 1, false},
      {"write PAC 1", [](uint8_t* b) { return AT153_WritePAC(1, b[0]); }, 56, 1, true},
      {"PWD 3", [](uint8_t* b) { return AT153_ReadPWD(3, b); }, 61, 3, false},
      {"write PWD 0", [](uint8_t* b) { return AT153_WritePWD(0, b); }, 49, 3, true},
  };
  run_field_cases(cases, 0xBC, 0xBD);
}

TEST_F(At1608, FieldExports) {
  const FieldCase cases[] = {
      {"ATR", [](uint8_t* b) { return AT1608_ReadATR(b); }, 0, 4, false},
      {"LHC", [](uint8_t* b) { return AT1608_ReadLHC(b); }, 4, 4, false},
      {"FC", [](uint8_t* b) { return AT1608_ReadFC(b); }, 8, 2, false},
      {"CMC", [](uint8_t* b) { return AT1608_ReadCMC(b); }, 12, 4, false},
      {"write CMC", [](uint8_t* b) { return AT1608_WriteCMC(b); }, 12, 4, true},
      {"AR 7", [](uint8_t* b) { return AT1608_ReadAR(7, b); }, 23, 1, false},
      {"write AR 3", [](uint8_t* b) { return AT1608_WriteAR(3, b[0]); }, 19, 1, true},
      {"AAC", [](uint8_t* b) { return AT1608_ReadAAC(b); }, 32, 1, false},
      {"write AAC", [](uint8_t* b) { return AT1608_WriteAAC(b[0]); }, 32, 1, true},
      {"Nc", [](uint8_t* b) { return AT1608_ReadNc(b); }, 33, 7, false},
      {"write Nc", [](uint8_t* b) { return AT1608_WriteNc(b); }, 33, 7, true},
      {"Ci", [](uint8_t* b) { return AT1608_ReadCi(b); }, 40, 8, false},
      {"write Ci", [](uint8_t* b) { return AT1608_WriteCi(b); }, 40, 8, true},
      {"Gc", [](uint8_t* b) { return AT1608_ReadGc(b); }, 48, 8, false},
      {"write Gc", [](uint8_t* b) { return AT1608_WriteGc(b); }, 48, 8, true},
      {"MTZ", [](uint8_t* b) { return AT1608_ReadMTZ(b); }, 56, 8, false},
      {"PAC 12", [](uint8_t* b) { return AT1608_ReadPAC(12, b); }, 100, 1, false},
      {"write PAC 5", [](uint8_t* b) { return AT1608_WritePAC(5, b[0]); }, 104, 1, true},
      {"PWD 15", [](uint8_t* b) { return AT1608_ReadPWD(15, b); }, 125, 3, false},
      {"write PWD 1", [](uint8_t* b) { return AT1608_WritePWD(1, b); }, 73, 3, true},
  };
  run_field_cases(cases, 0xB4, 0xB5);
}

}  // namespace
}  // namespace kdx::test
