// Velmor's cipher exports: DES and RC6 against the published answers and the
// references, and the authentication cipher against its stated sequences.
#include <gtest/gtest.h>

#include <array>

#include "support/cipher_reference.h"
#include "velmor.h"

namespace kdx::test {
namespace {

using BlockExport = LibraryExport<StatusCode(KDX_CALL*)(uint8_t*, const uint8_t*)>;

const BlockExport kBlockExports[] = {
    {"DES_Encrypt", DES_Encrypt, Cipher::des, true, 8},
    {"DES_Decrypt", DES_Decrypt, Cipher::des, false, 8},
    {"RC6_Encrypt_128", RC6_Encrypt_128, Cipher::rc6, true, 16},
    {"RC6_Decrypt_128", RC6_Decrypt_128, Cipher::rc6, false, 16},
    {"RC6_Encrypt_192", RC6_Encrypt_192, Cipher::rc6, true, 24},
    {"RC6_Decrypt_192", RC6_Decrypt_192, Cipher::rc6, false, 24},
    {"RC6_Encrypt_256", RC6_Encrypt_256, Cipher::rc6, true, 32},
    {"RC6_Decrypt_256", RC6_Decrypt_256, Cipher::rc6, false, 32},
};

const BlockExport& find_export(Cipher cipher, bool encrypt, std::size_t key_bytes) {
  for (const BlockExport& e : kBlockExports) {
    if (e.cipher == cipher && e.encrypt == encrypt && e.key_bytes == key_bytes) return e;
  }
  throw std::invalid_argument("no such export");
}

TEST(VelmorCiphers, PublishedAnswers) {
  struct Set {
    Cipher cipher;
    const KnownAnswer* begin;
    const KnownAnswer* end;
    Vector (*order)(const KnownAnswer&);
  } const sets[] = {
      {Cipher::des, std::begin(kDesKnownAnswers), std::end(kDesKnownAnswers), des_vector},
      {Cipher::rc6, std::begin(kRc6PaperVectors), std::end(kRc6PaperVectors), rc6_vector},
  };
  for (const Set& set : sets) {
    for (const KnownAnswer* answer = set.begin; answer != set.end; ++answer) {
      const Vector v = set.order(*answer);
      const BlockExport& encrypt = find_export(set.cipher, true, v.key.size());
      const BlockExport& decrypt = find_export(set.cipher, false, v.key.size());
      EXPECT_EQ(to_hex(apply(encrypt.function, v.plain, v.key)), to_hex(v.cipher)) << encrypt.name;
      EXPECT_EQ(to_hex(apply(decrypt.function, v.cipher, v.key)), to_hex(v.plain)) << decrypt.name;
    }
  }
}

TEST(VelmorCiphers, MatchReferences) {
  uint32_t seed = 20;
  for (const BlockExport& e : kBlockExports) {
    expect_reference_results(e.name, e.function, e.cipher, e.encrypt, e.key_bytes, 300, seed++);
  }
}

TEST(VelmorCiphers, NullPointersDoNothing) {
  uint8_t block[16] = {1, 2, 3};
  const uint8_t key[32] = {};
  for (const BlockExport& e : kBlockExports) {
    EXPECT_EQ(e.function(block, nullptr), ST_BAD_PARAMETER) << e.name;
    EXPECT_EQ(e.function(nullptr, key), ST_BAD_PARAMETER) << e.name;
  }
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[2], 3);
}

using Block8 = std::array<uint8_t, 8>;

// KDX_F2 with all-zero inputs leaves every cell 0: a known state for the
// building blocks, which otherwise continue from the last call.
void clear_auth_state() {
  const Block8 zero{};
  Block8 response{};
  Block8 expected{};
  KDX_F2(zero.data(), zero.data(), zero.data(), response.data(), expected.data());
  ASSERT_EQ(response, zero);
  ASSERT_EQ(expected, zero);
}

TEST(VelmorAuthCipher, NibblesAfterOneInputByte) {
  clear_auth_state();
  _CalculKey(0x1A5);  // low 8 bits: 0xA5, the clock _CalculState(5, 20, 45)
  std::vector<uint8_t> nibbles;
  for (int i = 0; i < 8; ++i) nibbles.push_back(_CalculV());
  EXPECT_EQ(nibbles, (std::vector<uint8_t>{0, 0, 0, 10, 0, 0, 0, 14}));

  clear_auth_state();
  _CalculState(5, 20, 45);
  EXPECT_EQ(_Calcul(4), 10);  // the fourth nibble
  EXPECT_EQ(_Calcul(0), 0);
  EXPECT_EQ(_Calcul(0x104), 14);  // low 8 bits: 4 more
}

struct F2Inputs {
  Block8 cryptogram;
  Block8 seed;
  Block8 challenge;
};

struct F2Outputs {
  Block8 response{};
  Block8 expected{};
};

F2Outputs run_f2(const F2Inputs& in) {
  F2Outputs out;
  KDX_F2(in.cryptogram.data(), in.seed.data(), in.challenge.data(), out.response.data(), out.expected.data());
  return out;
}

const F2Inputs kSampleInputs = {
    {0xFF, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE},
    {1, 2, 3, 4, 5, 6, 7, 8},
    {0xA5, 0x5A, 0xC3, 0x3C, 0x0F, 0xF0, 0x99, 0x66},
};

// KDX_F2 is the building blocks in the stated order: 24 input bytes, then
// for each k the expected-cryptogram byte before the response byte, each
// byte a high nibble then a low nibble, each nibble the output of every
// second zero-input clock.
TEST(VelmorAuthCipher, F2IsItsBuildingBlocksInOrder) {
  std::mt19937 rng(30);
  for (int round = 0; round < 50; ++round) {
    F2Inputs in;
    for (Block8* input : {&in.cryptogram, &in.seed, &in.challenge}) {
      for (uint8_t& byte : *input) byte = static_cast<uint8_t>(rng());
    }
    const F2Outputs out = run_f2(in);

    clear_auth_state();
    for (int i = 0; i < 4; ++i) {
      _CalculKey(in.cryptogram[2 * i]);
      _CalculKey(in.cryptogram[2 * i + 1]);
      _CalculKey(in.challenge[i]);
    }
    for (int i = 0; i < 4; ++i) {
      _CalculKey(in.seed[2 * i]);
      _CalculKey(in.seed[2 * i + 1]);
      _CalculKey(in.challenge[4 + i]);
    }
    auto next_byte = [] {
      const uint8_t high = _Calcul(2);
      const uint8_t low = _Calcul(2);
      return static_cast<uint8_t>(high << 4 | low);
    };
    F2Outputs built;
    for (int k = 0; k < 8; ++k) {
      built.expected[k] = next_byte();
      built.response[k] = next_byte();
    }
    EXPECT_EQ(out.expected, built.expected);
    EXPECT_EQ(out.response, built.response);
  }
}

TEST(VelmorAuthCipher, F2StartsFromClearedState) {
  const F2Outputs first = run_f2(kSampleInputs);
  _CalculState(0xFF, 0x1F, 0x7F);
  _CalculKey(0x3C);
  _Calcul(17);
  const F2Outputs second = run_f2(kSampleInputs);
  EXPECT_EQ(second.response, first.response);
  EXPECT_EQ(second.expected, first.expected);
}

// The outputs are written after all 24 input bytes are read, so they may be
// the input buffers themselves.
TEST(VelmorAuthCipher, OutputsMayOverwriteInputs) {
  const F2Outputs apart = run_f2(kSampleInputs);
  F2Inputs in = kSampleInputs;
  KDX_F2(in.cryptogram.data(), in.seed.data(), in.challenge.data(), in.challenge.data(), in.cryptogram.data());
  EXPECT_EQ(in.challenge, apart.response);
  EXPECT_EQ(in.cryptogram, apart.expected);
}

}  // namespace
}  // namespace kdx::test
