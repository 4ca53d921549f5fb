// DES, table-driven:
//  - the initial and final permutations are word swaps under masks (each
//    swap trades the bits of one word under a mask for the bits of the other
//    word under the shifted mask), checked against the permutation table at
//    compile time;
//  - both halves are kept rotated left by one bit, so that each 6-bit group
//    of the expansion E is a plain field of the half or of the half rotated
//    right by four, and a round is eight lookups in the combined S-box and P
//    tables;
//  - the key schedule is sixteen lookups, one per key nibble (the high four
//    and the low three non-parity bits of each key byte), in tables that hold
//    where those key bits land in all sixteen round keys.
// Every table is computed at compile time from the standard's tables.
#include "crypto/des.h"

#include <array>
#include <bit>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/key_cache.h"

namespace kdx::crypto {
namespace {

// The standard's tables. Entries are bit numbers counting from 1 at the most
// significant bit.
constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,  //
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,  //
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,  //
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43, 35, 27,  // C
    19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,  // D
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,  //
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kKeyRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kPermutation[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                      2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
// Row r (0-3), column c (0-15) of box i at kSBoxes[i][16 r + c].
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2, 11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3, 13, 4, 7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1, 5, 8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0, 5,  14, 9},
    {10, 0, 9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9, 3,  4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1, 2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9, 10, 1,  2,  8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7, 2,  12, 1, 10, 14, 9,  10, 6, 9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4, 3,  15, 0, 6,  10, 1,  13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0, 14, 9, 14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7, 8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6, 15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8, 0,  13, 3,  4,  14, 7,  5, 11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5, 2, 8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1, 7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8, 13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0,  11, 7, 4,  9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7, 1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2, 0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5, 6,  11}};

constexpr std::size_t kRounds = 16;
constexpr std::size_t kGroups = 8;          // 6-bit groups of E(R) and of a round key
constexpr std::size_t kRoundKeyBits = 48;
constexpr std::size_t kHalfKeyBits = 28;    // C and D
constexpr uint32_t kGroupMask = 0x3F;

// Round keys in the layout the rounds use: for round n, word 2n holds
// groups 1, 3, 5, 7 and word 2n+1 groups 2, 4, 6, 8, each word's groups in
// bits 24-29, 16-21, 8-13 and 0-5 in that order.
struct RoundKeys {
  uint32_t word[2 * kRounds];
};

// Bit `number` (1 = most significant) of a 32-bit word.
constexpr uint32_t word_bit(unsigned number) { return uint32_t{1} << (32 - number); }

constexpr uint32_t permute_p(uint32_t input) {
  uint32_t output = 0;
  for (unsigned i = 0; i < 32; ++i) {
    if (input & word_bit(kPermutation[i])) output |= word_bit(i + 1);
  }
  return output;
}

// For box i and a 6-bit group (its first bit the most significant): the
// box's four output bits in their place among the 32, through P, rotated
// left by one like the halves.
constexpr auto kSpTables = [] {
  std::array<std::array<uint32_t, 64>, kGroups> tables{};
  for (unsigned box = 0; box < kGroups; ++box) {
    for (unsigned group = 0; group < 64; ++group) {
      const unsigned row = ((group >> 4) & 2) | (group & 1);
      const unsigned column = (group >> 1) & 0xF;
      const uint32_t output = uint32_t{kSBoxes[box][16 * row + column]} << (28 - 4 * box);
      tables[box][group] = std::rotl(permute_p(output), 1);
    }
  }
  return tables;
}();

// f(R, K) rotated left by one, from R rotated left by one. So rotated, R
// holds E's groups 2, 4, 6, 8 at the places of the round key's second word,
// and R rotated right by four holds groups 1, 3, 5, 7 at those of its first.
// The eight table words cover disjoint bits, so | and ^ combine them alike;
// mixing the two keeps the compiler from joining all eight in one serial
// chain, which would make up most of a round's latency.
inline uint32_t feistel(uint32_t half, uint32_t groups_1357, uint32_t groups_2468) {
  const uint32_t odd = std::rotr(half, 4) ^ groups_1357;
  const uint32_t even = half ^ groups_2468;
  return (kSpTables[0][(odd >> 24) & kGroupMask] | kSpTables[2][(odd >> 16) & kGroupMask]) ^
         (kSpTables[4][(odd >> 8) & kGroupMask] | kSpTables[6][odd & kGroupMask]) ^
         (kSpTables[1][(even >> 24) & kGroupMask] | kSpTables[3][(even >> 16) & kGroupMask]) ^
         (kSpTables[5][(even >> 8) & kGroupMask] | kSpTables[7][even & kGroupMask]);
}

enum class Direction { encrypt, decrypt };

// The sixteen rounds, the halves changing roles each round; decryption takes
// the round keys from the last to the first.
template <Direction direction>
inline void sixteen_rounds(uint32_t& left, uint32_t& right, const RoundKeys& keys) {
  for (std::size_t n = 0; n < kRounds; n += 2) {
    const std::size_t first = direction == Direction::encrypt ? n : kRounds - 1 - n;
    const std::size_t second = direction == Direction::encrypt ? n + 1 : kRounds - 2 - n;
    left ^= feistel(right, keys.word[2 * first], keys.word[2 * first + 1]);
    right ^= feistel(left, keys.word[2 * second], keys.word[2 * second + 1]);
  }
}

// Trades the bits of `low` under `mask` for the bits of `high` under
// mask << shift.
constexpr void swap_bits(uint32_t& high, uint32_t& low, unsigned shift, uint32_t mask) {
  const uint32_t trade = ((high >> shift) ^ low) & mask;
  low ^= trade;
  high ^= trade << shift;
}

struct Halves {
  uint32_t left;
  uint32_t right;
};

// IP of the block (bits 1-32 in `first`, 33-64 in `second`): its left and
// right halves, each rotated left by one.
constexpr Halves initial_permutation(uint32_t first, uint32_t second) {
  swap_bits(first, second, 4, 0x0F0F0F0F);
  swap_bits(first, second, 16, 0x0000FFFF);
  swap_bits(second, first, 2, 0x33333333);
  swap_bits(second, first, 8, 0x00FF00FF);
  second = std::rotl(second, 1);
  swap_bits(first, second, 0, 0xAAAAAAAA);
  first = std::rotl(first, 1);
  return {first, second};
}

// The inverse of initial_permutation: IP^-1 of left || right as the two block
// words.
constexpr Halves final_permutation(uint32_t left, uint32_t right) {
  left = std::rotr(left, 1);
  swap_bits(left, right, 0, 0xAAAAAAAA);
  right = std::rotr(right, 1);
  swap_bits(right, left, 8, 0x00FF00FF);
  swap_bits(right, left, 2, 0x33333333);
  swap_bits(left, right, 16, 0x0000FFFF);
  swap_bits(left, right, 4, 0x0F0F0F0F);
  return {left, right};
}

// The swaps are the table's permutation, and the final swaps undo them:
// checked on every single-bit block, which settles it for a bit permutation.
constexpr bool swaps_match_initial_permutation() {
  for (unsigned bit = 1; bit <= 64; ++bit) {
    const uint32_t first = bit <= 32 ? word_bit(bit) : 0;
    const uint32_t second = bit > 32 ? word_bit(bit - 32) : 0;
    uint32_t left = 0;
    uint32_t right = 0;
    for (unsigned i = 1; i <= 64; ++i) {
      if (kInitialPermutation[i - 1] != bit) continue;
      if (i <= 32) {
        left |= word_bit(i);
      } else {
        right |= word_bit(i - 32);
      }
    }
    const Halves permuted = initial_permutation(first, second);
    if (permuted.left != std::rotl(left, 1) || permuted.right != std::rotl(right, 1)) return false;
    const Halves restored = final_permutation(permuted.left, permuted.right);
    if (restored.left != first || restored.right != second) return false;
  }
  return true;
}
static_assert(swaps_match_initial_permutation());

// Where each key bit (indexed by its number, 1 = most significant bit of
// byte 0) lands in the sixteen round keys; parity bits land nowhere.
constexpr auto kKeyBitPlaces = [] {
  std::array<RoundKeys, 65> places{};
  unsigned rotation = 0;
  for (unsigned round = 0; round < kRounds; ++round) {
    rotation += kKeyRotations[round];
    for (unsigned position = 0; position < kRoundKeyBits; ++position) {
      // PC2 picks a bit of C || D after `rotation` left rotations of each
      // half; PC1 tells which key bit that one started as.
      const unsigned picked = kPermutedChoice2[position] - 1u;
      const unsigned half = picked / kHalfKeyBits;
      const unsigned before_rotation = half * kHalfKeyBits + (picked % kHalfKeyBits + rotation) % kHalfKeyBits;
      const unsigned key_bit = kPermutedChoice1[before_rotation];
      const unsigned group = position / 6;
      const unsigned shift = 24 - 8 * (group / 2) + (5 - position % 6);
      places[key_bit].word[2 * round + group % 2] |= uint32_t{1} << shift;
    }
  }
  return places;
}();

// The round keys that `count` consecutive key bits from `first_bit` give
// when they hold `value` (its most significant bit for first_bit).
constexpr RoundKeys key_bits_share(unsigned first_bit, unsigned count, unsigned value) {
  RoundKeys share{};
  for (unsigned i = 0; i < count; ++i) {
    if (((value >> (count - 1 - i)) & 1) == 0) continue;
    for (std::size_t w = 0; w < 2 * kRounds; ++w) share.word[w] |= kKeyBitPlaces[first_bit + i].word[w];
  }
  return share;
}

// Round keys are linear in the key: the share of bits 7-4 and the share of
// bits 3-1 of each key byte, xored together, make them.
constexpr std::size_t kHighBitValues = 16;
constexpr std::size_t kLowBitValues = 8;
struct KeyShares {
  RoundKeys high[kDesKeyBytes][kHighBitValues];
  RoundKeys low[kDesKeyBytes][kLowBitValues];
};

constexpr KeyShares kKeyShares = [] {
  KeyShares shares{};
  for (unsigned byte = 0; byte < kDesKeyBytes; ++byte) {
    for (unsigned value = 0; value < kHighBitValues; ++value) {
      shares.high[byte][value] = key_bits_share(8 * byte + 1, 4, value);
    }
    for (unsigned value = 0; value < kLowBitValues; ++value) {
      shares.low[byte][value] = key_bits_share(8 * byte + 5, 3, value);
    }
  }
  return shares;
}();

void expand_key(const uint8_t* key, RoundKeys& keys) {
  keys = {};
  for (std::size_t byte = 0; byte < kDesKeyBytes; ++byte) {
    const RoundKeys& high = kKeyShares.high[byte][key[byte] >> 4];
    const RoundKeys& low = kKeyShares.low[byte][(key[byte] >> 1) & 7];
    for (std::size_t w = 0; w < 2 * kRounds; ++w) keys.word[w] ^= high.word[w] ^ low.word[w];
  }
}

// The round keys of the last key one thread used in one role. Per thread,
// so that a call never runs under round keys another thread is writing.
struct CachedKey {
  bool valid = false;
  uint64_t key = 0;  // the key bytes without their parity bits
  RoundKeys keys{};
};

struct ThreadKeys {
  CachedKey single;
  CachedKey triple_first;   // K1
  CachedKey triple_second;  // K2
};

thread_local ThreadKeyCache<ThreadKeys> t_cache;

constexpr uint64_t kParityBits = 0x0101010101010101;

// Out of line, so that the thread's cache is found once per call: inlined,
// the compiler may look the thread-local address up again at every use.
[[gnu::noinline]] const RoundKeys& round_keys(CachedKey& cache, const uint8_t* key) {
  uint64_t value = 0;
  std::memcpy(&value, key, kDesKeyBytes);
  value &= ~kParityBits;
  if (!cache.valid || cache.key != value) {
    expand_key(key, cache.keys);
    cache.key = value;
    cache.valid = true;
  }
  return cache.keys;
}

Halves load_block(const uint8_t* block) { return initial_permutation(load_be32(block), load_be32(block + 4)); }

// The halves after the last round, which the standard swaps before IP^-1.
void store_block(uint8_t* block, uint32_t left, uint32_t right) {
  const Halves words = final_permutation(right, left);
  store_be32(block, words.left);
  store_be32(block + 4, words.right);
}

template <Direction direction>
void single_des(uint8_t* block, const uint8_t* key) {
  const RoundKeys& keys = round_keys(t_cache.keys.single, key);
  Halves halves = load_block(block);
  sixteen_rounds<direction>(halves.left, halves.right, keys);
  store_block(block, halves.left, halves.right);
}

// Between two passes IP^-1 and IP cancel out; only the halves trade places.
template <Direction outer, Direction inner>
void triple_des(uint8_t* block, const uint8_t* key) {
  const RoundKeys& first = round_keys(t_cache.keys.triple_first, key);
  const RoundKeys& second = round_keys(t_cache.keys.triple_second, key + kDesKeyBytes);
  Halves halves = load_block(block);
  sixteen_rounds<outer>(halves.left, halves.right, first);
  sixteen_rounds<inner>(halves.right, halves.left, second);
  sixteen_rounds<outer>(halves.left, halves.right, first);
  store_block(block, halves.left, halves.right);
}

}  // namespace

void des_encrypt(uint8_t* block, const uint8_t* key) { single_des<Direction::encrypt>(block, key); }
void des_decrypt(uint8_t* block, const uint8_t* key) { single_des<Direction::decrypt>(block, key); }

void triple_des_encrypt(uint8_t* block, const uint8_t* key) {
  triple_des<Direction::encrypt, Direction::decrypt>(block, key);
}
void triple_des_decrypt(uint8_t* block, const uint8_t* key) {
  triple_des<Direction::decrypt, Direction::encrypt>(block, key);
}

}  // namespace kdx::crypto
