// Tarsk's cipher exports: raw bytes against the published answers and the
// references, and the string-mode steps on hexadecimal text.
#include <gtest/gtest.h>

#include <cctype>

#include "support/cipher_reference.h"
#include "tarsk.h"

namespace kdx::test {
namespace {

using Export = StatusCode(KDX_CALL*)(uint8_t*, uint8_t*);
using BlockExport = LibraryExport<Export>;

const BlockExport kBlockExports[] = {
    {"DES_Encrypt", DES_Encrypt, Cipher::des, true, 8},
    {"DES_Decrypt", DES_Decrypt, Cipher::des, false, 8},
    {"TriDES_Encrypt", TriDES_Encrypt, Cipher::triple_des, true, 16},
    {"TriDES_Decrypt", TriDES_Decrypt, Cipher::triple_des, false, 16},
    {"RC6_Encrypt_128", RC6_Encrypt_128, Cipher::rc6, true, 16},
    {"RC6_Decrypt_128", RC6_Decrypt_128, Cipher::rc6, false, 16},
    {"RC6_Encrypt_192", RC6_Encrypt_192, Cipher::rc6, true, 24},
    {"RC6_Decrypt_192", RC6_Decrypt_192, Cipher::rc6, false, 24},
    {"RC6_Encrypt_256", RC6_Encrypt_256, Cipher::rc6, true, 32},
    {"RC6_Decrypt_256", RC6_Decrypt_256, Cipher::rc6, false, 32},
};

TEST(TarskCiphers, PublishedAnswers) {
  for (const KnownAnswer& answer : kDesKnownAnswers) {
    const Vector v = des_vector(answer);
    Bytes twice = v.key;
    twice.insert(twice.end(), v.key.begin(), v.key.end());
    EXPECT_EQ(apply(DES_Encrypt, v.plain, v.key), v.cipher) << answer.key;
    EXPECT_EQ(apply(DES_Decrypt, v.cipher, v.key), v.plain) << answer.key;
    // K1 = K2: Triple-DES is single DES.
    EXPECT_EQ(apply(TriDES_Encrypt, v.plain, twice), v.cipher) << answer.key;
    EXPECT_EQ(apply(TriDES_Decrypt, v.cipher, twice), v.plain) << answer.key;
  }
  for (const KnownAnswer& answer : kRc6PaperVectors) {
    const Vector v = rc6_vector(answer);
    for (const BlockExport& e : kBlockExports) {
      if (e.cipher != Cipher::rc6 || e.key_bytes != v.key.size()) continue;
      EXPECT_EQ(to_hex(apply(e.function, e.encrypt ? v.plain : v.cipher, v.key)),
                to_hex(e.encrypt ? v.cipher : v.plain))
          << e.name;
    }
  }
}

TEST(TarskCiphers, MatchReferences) {
  uint32_t seed = 40;
  for (const BlockExport& e : kBlockExports) {
    expect_reference_results(e.name, e.function, e.cipher, e.encrypt, e.key_bytes, 300, seed++);
  }
}

TEST(TarskCiphers, NullPointersAreRejected) {
  uint8_t buffer[32] = {};
  for (const BlockExport& e : kBlockExports) {
    EXPECT_EQ(e.function(buffer, nullptr), ST_BAD_PARAMETER) << e.name;
    EXPECT_EQ(e.function(nullptr, buffer), ST_BAD_PARAMETER) << e.name;
  }
}

// A text argument: the characters, their NUL, and bytes after it that no
// export may touch.
constexpr uint8_t kUntouched = 0xEE;
constexpr std::size_t kTail = 4;

Bytes text_buffer(const std::string& text) {
  Bytes buffer(text.begin(), text.end());
  buffer.push_back(0);
  buffer.insert(buffer.end(), kTail, kUntouched);
  return buffer;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class StringModeCiphers : public ::testing::Test {
 protected:
  StringModeCiphers() { EXPECT_EQ(KDX_SetStringMode(1), ST_OK); }
  ~StringModeCiphers() override { KDX_SetStringMode(0); }
};

// Lower-case text in, upper-case text out in place of the block text (its
// NUL kept); the key buffer left with the decoded key, then the rest of its
// (upper-cased) text.
TEST_F(StringModeCiphers, TextInTextOut) {
  std::mt19937 rng(50);
  for (const BlockExport& e : kBlockExports) {
    const Bytes block = random_bytes(rng, block_bytes(e.cipher));
    const Bytes key = random_bytes(rng, e.key_bytes);
    Bytes block_text = text_buffer(lower(to_hex(block)));
    Bytes key_text = text_buffer(lower(to_hex(key)));
    ASSERT_EQ(e.function(block_text.data(), key_text.data()), ST_OK) << e.name;

    EXPECT_EQ(block_text, text_buffer(to_hex(reference::run(e.cipher, e.encrypt, block, key)))) << e.name;
    Bytes key_after = text_buffer(to_hex(key));
    std::copy(key.begin(), key.end(), key_after.begin());
    EXPECT_EQ(key_text, key_after) << e.name;
  }
}

TEST_F(StringModeCiphers, RejectedTextsChangeNothing) {
  const std::string block16 = "0123456789ABCDEF";
  const std::string block32 = block16 + block16;
  const std::string key16 = "133457799BBCDFF1";
  struct Case {
    const char* what;
    Export function;
    std::string block;
    std::string key;
  } const cases[] = {
      {"15-digit block", DES_Encrypt, block16.substr(1), key16},
      {"17-digit block", DES_Encrypt, block16 + "0", key16},
      {"15-digit key", DES_Decrypt, block16, key16.substr(1)},
      {"16-digit Triple-DES key", TriDES_Encrypt, block16, key16},
      {"33-digit Triple-DES key", TriDES_Decrypt, block16, key16 + key16 + "0"},
      {"16-digit RC6 block", RC6_Encrypt_128, block16, key16 + key16},
      {"33-digit RC6-128 key", RC6_Encrypt_128, block32, key16 + key16 + "0"},
      {"32-digit RC6-192 key", RC6_Encrypt_192, block32, key16 + key16},
      {"63-digit RC6-256 key", RC6_Decrypt_256, block32, (key16 + key16 + key16 + key16).substr(1)},
      {"empty block", DES_Encrypt, "", key16},
      {"G in the block", DES_Encrypt, "0123456789ABCDEG", key16},
      {"space in the RC6 block", RC6_Decrypt_192, block16 + " " + block16.substr(1), key16 + key16 + key16},
  };
  for (const Case& c : cases) {
    Bytes block = text_buffer(c.block);
    Bytes key = text_buffer(c.key);
    EXPECT_EQ(c.function(block.data(), key.data()), ST_BAD_PARAMETER) << c.what;
    EXPECT_EQ(block, text_buffer(c.block)) << c.what;
    EXPECT_EQ(key, text_buffer(c.key)) << c.what;
  }
}

// A bad key character is found after the block is decoded: the block buffer
// holds its 8 bytes, then the rest of its text upper-cased; the key is as
// it was.
TEST_F(StringModeCiphers, BadKeyCharacterLeavesTheBlockDecoded) {
  const std::string block_text = "0123456789abcdef";
  const std::string key_text = "133457799BBCDFx1";
  Bytes block = text_buffer(block_text);
  Bytes key = text_buffer(key_text);
  EXPECT_EQ(DES_Encrypt(block.data(), key.data()), ST_BAD_PARAMETER);
  Bytes decoded = text_buffer("0123456789ABCDEF");
  const Bytes bytes = from_hex(block_text);
  std::copy(bytes.begin(), bytes.end(), decoded.begin());
  EXPECT_EQ(block, decoded);
  EXPECT_EQ(key, text_buffer(key_text));
}

// Texts with no NUL where one belongs, in buffers that end right there: the
// length check reads at most one character past the expected length.
TEST_F(StringModeCiphers, UnterminatedTextsAreNotReadPast) {
  const std::string digits(64, 'A');
  Bytes long_block(digits.begin(), digits.begin() + 17);  // one past 16, no NUL
  Bytes key = text_buffer(digits.substr(0, 16));
  EXPECT_EQ(DES_Encrypt(long_block.data(), key.data()), ST_BAD_PARAMETER);

  Bytes block = text_buffer(digits.substr(0, 32));
  Bytes long_key(digits.begin(), digits.end());
  long_key.push_back('A');  // 65 characters, no NUL
  EXPECT_EQ(RC6_Encrypt_256(block.data(), long_key.data()), ST_BAD_PARAMETER);
  EXPECT_EQ(block, text_buffer(digits.substr(0, 32)));
}

}  // namespace
}  // namespace kdx::test
