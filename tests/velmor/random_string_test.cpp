// Velmor's random string: raw bytes, from the runtime generator seeded with
// the tick count and then with each byte in turn.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/virtual_port.h"
#include "velmor.h"

namespace kdx::test {
namespace {

uint8_t next_after_seed(uint32_t seed) {
  const uint32_t state = seed * 214013u + 2531011u;
  return static_cast<uint8_t>((state >> 16) & 0xFF);
}

TEST(VelmorRandomString, RawBytesFromTheTickCount) {
  sim::VirtualClock clock(77777);
  sim::VirtualPort port(clock);
  ASSERT_EQ(KDX_SetPortBackend(0, &port.backend()), ST_OK);
  uint8_t bytes[12];
  std::memset(bytes, 0xEE, sizeof bytes);
  KDX_GetRandStr(bytes, 0x10A);  // low 8 bits: 10
  EXPECT_EQ(bytes[0], next_after_seed(77777));
  for (int i = 1; i < 10; ++i) EXPECT_EQ(bytes[i], next_after_seed(bytes[i - 1])) << i;
  EXPECT_EQ(bytes[10], 0xEE);
  KDX_GetRandStr(bytes, 0);
  EXPECT_EQ(bytes[10], 0xEE);
  KDX_SetPortBackend(0, nullptr);
}

}  // namespace
}  // namespace kdx::test
