// The RC6 core against the RC6 paper's vectors and Crypto++.
#include "crypto/rc6.h"

#include <gtest/gtest.h>

#include "support/cipher_reference.h"

namespace kdx::test {
namespace {

using BlockFunction = void (*)(uint8_t*, const uint8_t*);

struct KeyLength {
  std::size_t bytes;
  BlockFunction encrypt;
  BlockFunction decrypt;
};

const KeyLength kKeyLengths[] = {
    {16, crypto::rc6_encrypt<16>, crypto::rc6_decrypt<16>},
    {24, crypto::rc6_encrypt<24>, crypto::rc6_decrypt<24>},
    {32, crypto::rc6_encrypt<32>, crypto::rc6_decrypt<32>},
};

const KeyLength& for_key(std::size_t bytes) {
  for (const KeyLength& length : kKeyLengths) {
    if (length.bytes == bytes) return length;
  }
  throw std::invalid_argument("no RC6 key length");
}

TEST(Rc6Core, PaperVectorsWithGroupsReversed) {
  for (const KnownAnswer& answer : kRc6PaperVectors) {
    const Vector v = rc6_vector(answer);
    const KeyLength& length = for_key(v.key.size());
    EXPECT_EQ(to_hex(apply(length.encrypt, v.plain, v.key)), to_hex(v.cipher)) << answer.key;
    EXPECT_EQ(to_hex(apply(length.decrypt, v.cipher, v.key)), to_hex(v.plain)) << answer.key;
  }
}

TEST(Rc6Core, MatchesCryptoPp) {
  for (const KeyLength& length : kKeyLengths) {
    SCOPED_TRACE(length.bytes);
    expect_reference_results("encrypt", length.encrypt, Cipher::rc6, true, length.bytes, 1000, 10);
    expect_reference_results("decrypt", length.decrypt, Cipher::rc6, false, length.bytes, 1000, 11);
  }
}

// Kept round keys belong to one key length: keys of the three lengths that
// share their first bytes, used in turn, each give their own result.
TEST(Rc6Core, KeyLengthsKeepTheirOwnRoundKeys) {
  std::mt19937 rng(12);
  const Bytes long_key = random_bytes(rng, 32);
  const Bytes block = random_bytes(rng, 16);
  for (int round = 0; round < 3; ++round) {
    for (const KeyLength& length : kKeyLengths) {
      const Bytes key(long_key.begin(), long_key.begin() + static_cast<std::ptrdiff_t>(length.bytes));
      EXPECT_EQ(apply(length.encrypt, block, key), reference::run(Cipher::rc6, true, block, key)) << length.bytes;
    }
  }
}

}  // namespace
}  // namespace kdx::test
