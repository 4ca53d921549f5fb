#include "crypto/rc6.h"

#include <array>
#include <bit>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/key_cache.h"

namespace kdx::crypto {
namespace {

constexpr std::size_t kRounds = 20;
constexpr std::size_t kTableWords = 2 * kRounds + 4;  // 44
constexpr std::size_t kWordBytes = 4;
constexpr uint32_t kMagicP = 0xB7E15163;
constexpr uint32_t kMagicQ = 0x9E3779B9;
constexpr unsigned kFeedbackRotation = 5;
constexpr unsigned kScheduleRotation = 3;
constexpr uint32_t kRotationMask = 31;

using Table = std::array<uint32_t, kTableWords>;

constexpr Table kInitialTable = [] {
  Table table{};
  table[0] = kMagicP;
  for (std::size_t i = 1; i < kTableWords; ++i) table[i] = table[i - 1] + kMagicQ;
  return table;
}();

uint32_t rotl(uint32_t value, uint32_t count) { return std::rotl(value, static_cast<int>(count & kRotationMask)); }
uint32_t rotr(uint32_t value, uint32_t count) { return std::rotr(value, static_cast<int>(count & kRotationMask)); }

// The key schedule mixes the key words into the table 3 * max(c, 44) times;
// unrolled, both index sequences are constants and the key words stay in
// registers.
template <std::size_t KeyWords>
void expand_key(const uint8_t* key, Table& table) {
  uint32_t words[KeyWords];
  for (std::size_t j = 0; j < KeyWords; ++j) words[j] = load_be32(key + kWordBytes * j);
  table = kInitialTable;
  uint32_t a = 0;
  uint32_t b = 0;
#pragma GCC unroll 132
  for (std::size_t k = 0; k < 3 * kTableWords; ++k) {
    uint32_t& s = table[k % kTableWords];
    uint32_t& l = words[k % KeyWords];
    a = s = rotl(s + a + b, kScheduleRotation);
    b = l = rotl(l + a + b, a + b);
  }
  wipe(words, sizeof words);
}

uint32_t mix(uint32_t word) { return rotl(word * (2 * word + 1), kFeedbackRotation); }

void encrypt_block(uint8_t* block, const Table& s) {
  uint32_t a = load_be32(block);
  uint32_t b = load_be32(block + 4) + s[0];
  uint32_t c = load_be32(block + 8);
  uint32_t d = load_be32(block + 12) + s[1];
  for (std::size_t round = 1; round <= kRounds; ++round) {
    const uint32_t t = mix(b);
    const uint32_t u = mix(d);
    const uint32_t next_d = rotl(a ^ t, u) + s[2 * round];
    a = b;
    b = rotl(c ^ u, t) + s[2 * round + 1];
    c = d;
    d = next_d;
  }
  store_be32(block, a + s[2 * kRounds + 2]);
  store_be32(block + 4, b);
  store_be32(block + 8, c + s[2 * kRounds + 3]);
  store_be32(block + 12, d);
}

void decrypt_block(uint8_t* block, const Table& s) {
  uint32_t a = load_be32(block) - s[2 * kRounds + 2];
  uint32_t b = load_be32(block + 4);
  uint32_t c = load_be32(block + 8) - s[2 * kRounds + 3];
  uint32_t d = load_be32(block + 12);
  for (std::size_t round = kRounds; round >= 1; --round) {
    const uint32_t last = d;
    d = c;
    c = b;
    b = a;
    a = last;
    const uint32_t u = mix(d);
    const uint32_t t = mix(b);
    c = rotr(c - s[2 * round + 1], t) ^ u;
    a = rotr(a - s[2 * round], u) ^ t;
  }
  store_be32(block, a);
  store_be32(block + 4, b - s[0]);
  store_be32(block + 8, c);
  store_be32(block + 12, d - s[1]);
}

// The table of the last key one thread used with one key length. Per
// thread, so that a call never runs under a table another thread is writing.
template <std::size_t KeyBytes>
struct CachedKey {
  bool valid = false;
  uint8_t key[KeyBytes] = {};
  Table table{};
};

struct ThreadKeys {
  CachedKey<16> key128;
  CachedKey<24> key192;
  CachedKey<32> key256;
};

thread_local ThreadKeyCache<ThreadKeys> t_cache;

// Out of line, so that the thread-local address is looked up once per call:
// where the compiler sees it, it may look it up again at every use.
[[gnu::noinline]] ThreadKeys& thread_keys() { return t_cache.keys; }

template <std::size_t KeyBytes>
CachedKey<KeyBytes>& cache() {
  ThreadKeys& keys = thread_keys();
  if constexpr (KeyBytes == 16) {
    return keys.key128;
  } else if constexpr (KeyBytes == 24) {
    return keys.key192;
  } else {
    static_assert(KeyBytes == 32, "RC6 keys here are 16, 24 or 32 bytes");
    return keys.key256;
  }
}

template <std::size_t KeyBytes>
const Table& round_keys(CachedKey<KeyBytes>& cached, const uint8_t* key) {
  if (!cached.valid || std::memcmp(cached.key, key, KeyBytes) != 0) {
    expand_key<KeyBytes / kWordBytes>(key, cached.table);
    std::memcpy(cached.key, key, KeyBytes);
    cached.valid = true;
  }
  return cached.table;
}

}  // namespace

template <std::size_t KeyBytes>
void rc6_encrypt(uint8_t* block, const uint8_t* key) {
  encrypt_block(block, round_keys(cache<KeyBytes>(), key));
}

template <std::size_t KeyBytes>
void rc6_decrypt(uint8_t* block, const uint8_t* key) {
  decrypt_block(block, round_keys(cache<KeyBytes>(), key));
}

template void rc6_encrypt<16>(uint8_t*, const uint8_t*);
template void rc6_encrypt<24>(uint8_t*, const uint8_t*);
template void rc6_encrypt<32>(uint8_t*, const uint8_t*);
template void rc6_decrypt<16>(uint8_t*, const uint8_t*);
template void rc6_decrypt<24>(uint8_t*, const uint8_t*);
template void rc6_decrypt<32>(uint8_t*, const uint8_t*);

}  // namespace kdx::crypto
