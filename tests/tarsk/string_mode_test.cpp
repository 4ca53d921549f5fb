// String mode, the two character converters, and the random string.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/crt_rand.h"
#include "serial_iso/string_mode.h"
#include "sim/virtual_port.h"
#include "tarsk.h"

namespace kdx::test {
namespace {

class StringMode : public ::testing::Test {
 protected:
  ~StringMode() override { KDX_SetStringMode(0); }
};

uint8_t current_mode() {
  uint8_t mode = 0xEE;
  EXPECT_EQ(KDX_GetStringMode(&mode), ST_OK);
  return mode;
}

TEST_F(StringMode, SetAndGet) {
  EXPECT_EQ(current_mode(), 0);
  EXPECT_EQ(KDX_SetStringMode(2), ST_BAD_PARAMETER);
  EXPECT_EQ(current_mode(), 0);
  EXPECT_EQ(KDX_SetStringMode(257), ST_OK);  // low 8 bits: 1
  EXPECT_EQ(current_mode(), 1);
  EXPECT_EQ(KDX_SetStringMode(0xFF), ST_BAD_PARAMETER);
  EXPECT_EQ(current_mode(), 1);
  EXPECT_EQ(KDX_SetStringMode(256), ST_OK);  // low 8 bits: 0
  EXPECT_EQ(current_mode(), 0);
}

TEST(HexText, TwoCharactersToOneByte) {
  struct Case {
    const char* text;
    uint8_t byte;
    const char* text_after;
  } const cases[] = {
      {"af", 0xAF, "AF"}, {"09", 0x09, "09"}, {"F0", 0xF0, "F0"}, {"aB", 0xAB, "AB"}, {"7c", 0x7C, "7C"},
  };
  for (const Case& c : cases) {
    char source[3];
    std::memcpy(source, c.text, 3);
    uint8_t byte = 0;
    KDX_String2Hex(&byte, source);
    EXPECT_EQ(byte, c.byte) << c.text;
    EXPECT_STREQ(source, c.text_after);
  }
}

TEST(HexText, OneByteToTwoCharactersInPlace) {
  char out[3] = {};
  const uint8_t a = 0x0A;
  KDX_Hex2String(out, &a);
  EXPECT_STREQ(out, "0A");
  const uint8_t ff = 0xFF;
  KDX_Hex2String(out, &ff);
  EXPECT_STREQ(out, "FF");
  // Byte 0 of a buffer encoded into characters 0 and 1 of the same buffer.
  uint8_t buffer[3] = {0x5C, 0x00, 0x00};
  KDX_Hex2String(reinterpret_cast<char*>(buffer), buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "5C");
}

// The in-place conversions the card exports apply to whole buffers: n bytes
// from 2n characters and back, nothing touched beyond either.
TEST(HexText, WholeBuffersInPlace) {
  char text[] = "3b0214aF\xEE";
  uint8_t* buffer = reinterpret_cast<uint8_t*>(text);
  ASSERT_TRUE(tarsk::hex::all_digits(text, 8));
  EXPECT_FALSE(tarsk::hex::all_digits(text, 9));
  EXPECT_FALSE(tarsk::hex::all_digits("3G", 2));
  tarsk::hex::decode_in_place(buffer, 4);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0x3B, 0x02, 0x14, 0xAF}));
  EXPECT_EQ(std::string(text + 4, 4), "14AF");  // the rest of the text, turned to upper case
  EXPECT_EQ(buffer[8], 0xEE);
  tarsk::hex::encode_in_place(buffer, 4);
  EXPECT_EQ(std::string(text, 8), "3B0214AF");
  EXPECT_EQ(buffer[8], 0xEE);  // no terminator
}

// The generator of the Windows C runtime, written out independently:
// state = state * 214013 + 2531011, value = bits 16 to 30.
uint8_t next_after_seed(uint32_t seed) {
  const uint32_t state = seed * 214013u + 2531011u;
  return static_cast<uint8_t>(((state >> 16) & 0x7FFF) & 0xFF);
}

class RandomString : public ::testing::Test {
 protected:
  RandomString() : port(clock) { EXPECT_EQ(KDX_SetPortBackend(0, &port.backend()), ST_OK); }
  ~RandomString() override {
    KDX_SetStringMode(0);
    KDX_SetPortBackend(0, nullptr);
  }
  sim::VirtualClock clock{4242};
  sim::VirtualPort port;
};

TEST_F(RandomString, FollowsTheRuntimeGeneratorFromTheTickCount) {
  uint8_t bytes[16];
  ASSERT_EQ(KDX_GetRandStr(bytes, 16), ST_OK);
  EXPECT_EQ(bytes[0], next_after_seed(4242));
  for (int i = 1; i < 16; ++i) EXPECT_EQ(bytes[i], next_after_seed(bytes[i - 1])) << i;
  // srand(1); rand() is 41 in that runtime.
  kdx::platform::CrtRandom generator;
  generator.seed(1);
  EXPECT_EQ(generator.next(), 41u);
}

TEST_F(RandomString, CountAndStringMode) {
  uint8_t raw[4];
  ASSERT_EQ(KDX_GetRandStr(raw, 0x104), ST_OK);  // low 8 bits: 4
  uint8_t text[10];
  std::memset(text, 0xEE, sizeof text);
  ASSERT_EQ(KDX_SetStringMode(1), ST_OK);
  ASSERT_EQ(KDX_GetRandStr(text, 4), ST_OK);  // same tick count, same bytes
  char expected[9];
  std::snprintf(expected, sizeof expected, "%02X%02X%02X%02X", raw[0], raw[1], raw[2], raw[3]);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), 8), expected);
  EXPECT_EQ(text[8], 0xEE);  // no terminator
  std::memset(text, 0xEE, sizeof text);
  EXPECT_EQ(KDX_GetRandStr(text, 0), ST_OK);
  EXPECT_EQ(text[0], 0xEE);
}

}  // namespace
}  // namespace kdx::test
