// The DES and Triple-DES core against OpenSSL and the published answers.
#include "crypto/des.h"

#include <gtest/gtest.h>

#include "support/cipher_reference.h"

namespace kdx::test {
namespace {

TEST(DesCore, KnownAnswers) {
  for (const KnownAnswer& answer : kDesKnownAnswers) {
    const Vector v = des_vector(answer);
    EXPECT_EQ(apply(crypto::des_encrypt, v.plain, v.key), v.cipher) << answer.key;
    EXPECT_EQ(apply(crypto::des_decrypt, v.cipher, v.key), v.plain) << answer.key;
  }
}

TEST(DesCore, MatchesOpenSsl) {
  expect_reference_results("encrypt", crypto::des_encrypt, Cipher::des, true, 8, 3000, 1);
  expect_reference_results("decrypt", crypto::des_decrypt, Cipher::des, false, 8, 3000, 2);
}

TEST(DesCore, ParityBitsAreIgnored) {
  std::mt19937 rng(3);
  for (int i = 0; i < 500; ++i) {
    const Bytes key = random_bytes(rng, 8);
    Bytes other_parity = key;
    for (uint8_t& byte : other_parity) byte = static_cast<uint8_t>(byte ^ (rng() & 1));
    const Bytes block = random_bytes(rng, 8);
    const Bytes expected = reference::run(Cipher::des, true, block, key);
    // Alternate the two keys so that the second call also checks the kept
    // round keys against a key that differs only in parity.
    EXPECT_EQ(apply(crypto::des_encrypt, block, key), expected);
    EXPECT_EQ(apply(crypto::des_encrypt, block, other_parity), expected);
    EXPECT_EQ(apply(crypto::des_decrypt, expected, other_parity), block);
  }
}

TEST(TripleDesCore, MatchesOpenSsl) {
  expect_reference_results("encrypt", crypto::triple_des_encrypt, Cipher::triple_des, true, 16, 3000, 4);
  expect_reference_results("decrypt", crypto::triple_des_decrypt, Cipher::triple_des, false, 16, 3000, 5);
}

TEST(TripleDesCore, EqualHalvesAreSingleDes) {
  std::mt19937 rng(6);
  for (int i = 0; i < 200; ++i) {
    const Bytes k1 = random_bytes(rng, 8);
    Bytes key = k1;
    key.insert(key.end(), k1.begin(), k1.end());
    const Bytes block = random_bytes(rng, 8);
    EXPECT_EQ(apply(crypto::triple_des_encrypt, block, key), apply(crypto::des_encrypt, block, k1));
    EXPECT_EQ(apply(crypto::triple_des_decrypt, block, key), apply(crypto::des_decrypt, block, k1));
  }
}

// Block and key in one buffer: the key is read before the block is written.
TEST(DesCore, BlockMayBeTheKey) {
  std::mt19937 rng(7);
  for (int i = 0; i < 100; ++i) {
    Bytes both = random_bytes(rng, 16);
    const Bytes expected = reference::run(Cipher::triple_des, true, Bytes(both.begin(), both.begin() + 8), both);
    crypto::triple_des_encrypt(both.data(), both.data());
    EXPECT_EQ(Bytes(both.begin(), both.begin() + 8), expected);
  }
}

}  // namespace
}  // namespace kdx::test
