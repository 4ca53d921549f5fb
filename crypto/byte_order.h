// Big-endian word access to the caller's byte buffers, shared by the block
// ciphers: DES numbers its bits from the most significant bit of byte 0, and
// RC6 here reads and writes its words most significant byte first.
#pragma once

#include <cstdint>

namespace kdx::crypto {

inline uint32_t load_be32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

inline void store_be32(uint8_t* bytes, uint32_t word) {
  bytes[0] = static_cast<uint8_t>(word >> 24);
  bytes[1] = static_cast<uint8_t>(word >> 16);
  bytes[2] = static_cast<uint8_t>(word >> 8);
  bytes[3] = static_cast<uint8_t>(word);
}

}  // namespace kdx::crypto
