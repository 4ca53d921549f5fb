// DES (one 64-bit block, no chaining) and two-key Triple-DES
// (encrypt-decrypt-encrypt with K1, K2, K1), in place on the caller's block.
//
// Byte 0 of block and key carries DES bits 1 to 8, its most significant bit
// being bit 1. The low bit of each key byte (the parity bit) is ignored.
//
// Each thread keeps the round keys of the last key it used, so a run of
// calls with one key skips the key schedule; a call always runs under its
// own key.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::crypto {

inline constexpr std::size_t kDesBlockBytes = 8;
inline constexpr std::size_t kDesKeyBytes = 8;
inline constexpr std::size_t kTripleDesKeyBytes = 16;  // K1 = bytes 0-7, K2 = bytes 8-15

// block: kDesBlockBytes; key: kDesKeyBytes. block and key may overlap.
void des_encrypt(uint8_t* block, const uint8_t* key);
void des_decrypt(uint8_t* block, const uint8_t* key);

// block: kDesBlockBytes; key: kTripleDesKeyBytes. block and key may overlap.
void triple_des_encrypt(uint8_t* block, const uint8_t* key);
void triple_des_decrypt(uint8_t* block, const uint8_t* key);

}  // namespace kdx::crypto
