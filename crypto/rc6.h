// RC6-32/20/b (32-bit words, 20 rounds, b = 16, 24 or 32 key bytes) on one
// 16-byte block in place. Every key and block word is read and written most
// significant byte first, so the result is the published cipher applied to
// inputs whose 4-byte groups are each reversed, with the output groups
// reversed back.
//
// Each thread keeps the round-key table of the last key it used for each key
// length, so a run of calls with one key skips the key schedule; a call
// always runs under its own key.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::crypto {

inline constexpr std::size_t kRc6BlockBytes = 16;

// KeyBytes is 16, 24 or 32. block: kRc6BlockBytes; key: KeyBytes. block and
// key may overlap.
template <std::size_t KeyBytes>
void rc6_encrypt(uint8_t* block, const uint8_t* key);
template <std::size_t KeyBytes>
void rc6_decrypt(uint8_t* block, const uint8_t* key);

extern template void rc6_encrypt<16>(uint8_t*, const uint8_t*);
extern template void rc6_encrypt<24>(uint8_t*, const uint8_t*);
extern template void rc6_encrypt<32>(uint8_t*, const uint8_t*);
extern template void rc6_decrypt<16>(uint8_t*, const uint8_t*);
extern template void rc6_decrypt<24>(uint8_t*, const uint8_t*);
extern template void rc6_decrypt<32>(uint8_t*, const uint8_t*);

}  // namespace kdx::crypto
