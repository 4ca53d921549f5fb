// The memory-card families of the Velmor reader through the storage-card
// pseudo-APDUs, against the simulator's sample cards (sim/sample_cards.cpp,
// sim/cards/at102_samples.cpp).
#include <cstring>

#include "pcsc/handler_fixture.h"

namespace kdx::ifd {
namespace {

const Bytes kOk = {0x90, 0x00};
const Bytes kNotTaken = {0x69, 0x82};

Bytes text_ok(const char* s) {
  Bytes bytes(s, s + std::strlen(s));
  bytes.insert(bytes.end(), kOk.begin(), kOk.end());
  return bytes;
}

struct Step {
  const char* what;
  Bytes apdu;
  Bytes response;
};

struct FamilyCase {
  const char* card;
  Bytes atr_start;  // the ATR's first bytes: 3B 04 and the family's own answer
  std::vector<Step> steps;
};

Bytes read(uint16_t address, uint8_t le) {
  return {0xFF, 0xB0, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), le};
}
Bytes update(uint16_t address, const Bytes& data) {
  Bytes apdu = {0xFF, 0xD6, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                static_cast<uint8_t>(data.size())};
  apdu.insert(apdu.end(), data.begin(), data.end());
  return apdu;
}
Bytes verify(uint8_t index, const Bytes& code) {
  Bytes apdu = {0xFF, 0x20, 0x00, index, static_cast<uint8_t>(code.size())};
  apdu.insert(apdu.end(), code.begin(), code.end());
  return apdu;
}

const Bytes kHi = {'H', 'i', '!', '!'};
const Bytes kHiOk = {'H', 'i', '!', '!', 0x90, 0x00};

// AT1604 and AT6601: application zone 1 from byte 27; security code 16
// 00 (index 0), zone codes 16 01 to 16 04 (1 to 4), erase keys 16 05 to 16
// 08 (5 to 8), 8-bit counters.
std::vector<Step> large_at102_steps(uint16_t size) {
  return {
      {"application zone 1", read(27, 11), text_ok("zone 1 text")},
      {"wrong security code", verify(0, {0x00, 0x00}), {0x63, 0xC7}},
      {"security code", verify(0, {0x16, 0x00}), kOk},
      {"zone 1's code", verify(1, {0x16, 0x01}), kOk},
      {"a write that needs an erase, before the erase key", update(27, kHi), kNotTaken},
      {"zone 1's erase key", verify(5, {0x16, 0x05}), kOk},
      {"write", update(27, kHi), kOk},
      {"read back", read(27, 4), kHiOk},
      {"no code 9", verify(9, {0x16, 0x09}), {0x6B, 0x00}},
      {"past the memory", read(size, 1), {0x6B, 0x00}},
  };
}

// AT153 zones of 64 bytes at 0, 64, 128, the configuration at 192; AT1608
// zones of 256, the configuration at 2048. Zone 0 is free, zone 1 takes
// writes after set 1's write password (index 1: 21 22 23).
const FamilyCase kCases[] = {
    {"at153",
     {0x3B, 0x04, 0x34, 0x55, 0xAA, 0x05},
     {
         {"zone 0", read(0x0000, 14), text_ok("KDX AT153 card")},
         {"zone 0 takes writes", update(0x0020, kHi), kOk},
         {"across zones 0 and 1", read(0x0020, 2), {'H', 'i', 0x90, 0x00}},
         {"zone 1 before its password", update(0x0040, kHi), kNotTaken},
         {"wrong write password of set 1", verify(1, {0x00, 0x00, 0x00}), {0x63, 0xC7}},
         {"write password of set 1", verify(1, {0x21, 0x22, 0x23}), kOk},
         {"zone 1 after it, across the zone boundary", update(0x003E, kHi), kOk},
         {"read back across the boundary", read(0x003E, 4), kHiOk},
         {"the configuration zone's answer to reset", read(0x00C0, 4), {0x34, 0x55, 0xAA, 0x05, 0x90, 0x00}},
         {"no password index 4", verify(4, {0x21, 0x22, 0x23}), {0x6B, 0x00}},
         {"a code of the wrong length", verify(1, {0x21, 0x22}), {0x67, 0x00}},
         {"past the memory", read(0x0100, 1), {0x6B, 0x00}},
     }},
    {"at1608",
     {0x3B, 0x04, 0x34, 0x55, 0xAA, 0x85},
     {
         {"zone 0", read(0x0000, 15), text_ok("KDX AT1608 card")},
         {"zone 1 before its password", update(0x0100, kHi), kNotTaken},
         {"write password of set 1", verify(1, {0x21, 0x22, 0x23}), kOk},
         {"across zones 0 and 1", update(0x00FE, kHi), kOk},
         {"read back across the boundary", read(0x00FE, 4), kHiOk},
         {"the configuration zone's answer to reset", read(0x0800, 4), {0x34, 0x55, 0xAA, 0x85, 0x90, 0x00}},
         {"past the memory", read(0x0880, 1), {0x6B, 0x00}},
         {"no password index 16", verify(16, {0x21, 0x22, 0x23}), {0x6B, 0x00}},
     }},
    // AT102: application zone 1 from byte 22; security code A1 02 with 4
    // attempts.
    {"at102",
     {0x3B, 0x04, 0x72, 0x55},
     {
         {"application zone 1", read(22, 14), text_ok("KDX AT102 card")},
         {"a write before the security code", update(22, {'J'}), kNotTaken},
         {"wrong security code", verify(0, {0x00, 0x00}), {0x63, 0xC3}},
         {"security code", verify(0, {0xA1, 0x02}), kOk},
         {"a write that only clears bits (K to J)", update(22, {'J'}), kOk},
         {"read back", read(22, 4), {'J', 'D', 'X', ' ', 0x90, 0x00}},
         // Setting bits needs an erase, which the zone's erase key guards.
         {"a write that needs an erase", update(22, kHi), kNotTaken},
         {"the AT102 has one code", verify(1, {0xA1, 0x02}), {0x6B, 0x00}},
         {"past the memory", read(195, 1), {0x6B, 0x00}},
     }},
    {"at1604",
     {0x3B, 0x04, 0x16, 0x04},
     large_at102_steps(2040)},
    {"at1604-313a", {0x3B, 0x04, 0x31, 0x3A}, {{"application zone 1", read(27, 11), text_ok("zone 1 text")}}},
    {"at6601",
     {0x3B, 0x04, 0x0F, 0x0F},
     large_at102_steps(2007)},
    // AT45D: pages of 264 bytes, the first 65536 bytes addressed; no code.
    {"at45d-1",
     {0x3B, 0x04, 'K', 'D', 'X', ' '},
     {
         {"page 0", read(0x0000, 14), text_ok("KDX AT45D card")},
         {"across pages 0 and 1", update(262, kHi), kOk},
         {"read back across pages", read(262, 4), kHiOk},
         {"the last bytes addressed", read(0xFFFE, 4), {0xFF, 0xFF, 0x62, 0x82}},
         {"no code to present", verify(0, {0x00}), {0x6A, 0x81}},
     }},
    {"at45d-5", {0x3B, 0x04, 'K', 'D', 'X', ' '}, {{"page 0", read(0x0000, 14), text_ok("KDX AT45D card")}}},
    // AT24C: the device name gives the type; no code.
    {"at24c-1&at24c=1",
     {0x3B, 0x04, 'K', 'D', 'X', ' '},
     {
         {"text", read(0x0000, 14), text_ok("KDX AT24C card")},
         {"across write pages of 4", update(0x0002, kHi), kOk},
         {"read back", read(0x0002, 4), kHiOk},
         {"the end of 128 bytes", read(0x007F, 2), {0xFF, 0x62, 0x82}},
         {"past the memory", read(0x0080, 1), {0x6B, 0x00}},
         {"no code to present", verify(0, {0x00}), {0x6A, 0x81}},
     }},
    {"at24c-5&at24c=5",
     {0x3B, 0x04, 'K', 'D', 'X', ' '},
     {
         {"address bits 8 and 9 in the device byte", update(0x03FE, {0x12, 0x34}), kOk},
         {"read back", read(0x03FE, 2), {0x12, 0x34, 0x90, 0x00}},
         {"the start is another place", read(0x0000, 3), text_ok("KDX")},
     }},
    {"at24c-8&at24c=8",
     {0x3B, 0x04, 'K', 'D', 'X', ' '},
     {
         {"two address bytes", update(0x1FFE, {0x12, 0x34}), kOk},
         {"read back", read(0x1FFE, 4), {0x12, 0x34, 0x62, 0x82}},
         {"the start is another place", read(0x0000, 3), text_ok("KDX")},
     }},
};

class MemoryCardTest : public HandlerTest {
 protected:
  // The ATR of the memory card in the slot the device name describes:
  // 3B 04 and the card's 4 bytes, or empty when it does not power up.
  Bytes memory_atr(const std::string& name) {
    if (open(name) != IFD_SUCCESS) return {};
    const Bytes atr = power_up();
    return last == IFD_SUCCESS && atr.size() == 6 ? atr : Bytes{};
  }
};

Bytes prefix(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), from + count)));
}

TEST_F(MemoryCardTest, FamiliesThroughStorageCardApdus) {
  for (const FamilyCase& c : kCases) {
    SCOPED_TRACE(c.card);
    const Bytes atr = memory_atr(std::string("sim:velmor?card=") + c.card);
    ASSERT_FALSE(atr.empty());
    EXPECT_EQ(prefix(atr, 0, c.atr_start.size()), c.atr_start);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.what);
      EXPECT_EQ(transmit(step.apdu), step.response);
      EXPECT_EQ(last, IFD_SUCCESS);
    }
    EXPECT_EQ(slot().violations(), std::vector<std::string>{});
    EXPECT_EQ(close(), IFD_SUCCESS);
  }
}

// Without its type in the device name an AT24C card is no card the reader
// knows, rather than a card of another family.
TEST_F(MemoryCardTest, At24cCardNeedsItsTypeInTheDeviceName) {
  ASSERT_EQ(open("sim:velmor?card=at24c-5"), IFD_SUCCESS);
  log.clear();
  power_up();
  EXPECT_EQ(last, IFD_ERROR_POWER_ACTION);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(slot().violations(), std::vector<std::string>{});
}

// A reader that takes AT24C cards still knows every other family's cards.
TEST_F(MemoryCardTest, At24cTypeInTheNameLeavesOtherFamiliesAlone) {
  const struct {
    const char* card;
    Bytes answer;
  } cases[] = {
      {"sle4428", {0xC9, 0x11, 0x88}},
      {"sle4442", {0xA2, 0x13, 0x10}},
      {"at45d-1", {'K', 'D', 'X'}},
      {"at102", {0x72, 0x55}},
      {"at153", {0x34, 0x55, 0xAA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    const Bytes atr = memory_atr(std::string("sim:velmor?at24c=5&card=") + c.card);
    ASSERT_FALSE(atr.empty());
    EXPECT_EQ(prefix(atr, 2, c.answer.size()), c.answer);
    EXPECT_EQ(slot().violations(), std::vector<std::string>{});
    EXPECT_EQ(close(), IFD_SUCCESS);
  }
}

}  // namespace
}  // namespace kdx::ifd
