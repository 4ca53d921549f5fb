// Independent references for the cipher tests: OpenSSL's legacy single-block
// DES, Crypto++'s RC6 (with the 4-byte groups of key, input and output
// reversed for the libraries' big-endian word order), and published
// known-answer vectors.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED
#include <cryptopp/rc6.h>
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace kdx::test {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(std::string_view text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

inline std::string to_hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

inline Bytes random_bytes(std::mt19937& rng, std::size_t count) {
  Bytes bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

// Each 4-byte group in reverse order: the libraries' RC6 words are big-endian,
// the published cipher's little-endian.
inline Bytes reverse_groups(Bytes bytes) {
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) std::reverse(bytes.begin() + i, bytes.begin() + i + 4);
  return bytes;
}

enum class Cipher { des, triple_des, rc6 };

inline constexpr std::size_t block_bytes(Cipher cipher) { return cipher == Cipher::rc6 ? 16 : 8; }

namespace reference {

inline DES_key_schedule des_schedule(const uint8_t* key) {
  DES_cblock bytes;
  std::memcpy(bytes, key, sizeof bytes);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&bytes, &schedule);
  return schedule;
}

// The block (8 bytes for DES, 16 for RC6) under key, as the libraries order
// bytes.
inline Bytes run(Cipher cipher, bool encrypt, const Bytes& block, const Bytes& key) {
  Bytes out(block.size());
  if (cipher == Cipher::rc6) {
    const Bytes key_le = reverse_groups(key);
    const Bytes in_le = reverse_groups(block);
    if (encrypt) {
      CryptoPP::RC6::Encryption(key_le.data(), key_le.size()).ProcessBlock(in_le.data(), out.data());
    } else {
      CryptoPP::RC6::Decryption(key_le.data(), key_le.size()).ProcessBlock(in_le.data(), out.data());
    }
    return reverse_groups(out);
  }
  DES_cblock in;
  DES_cblock result;
  std::memcpy(in, block.data(), sizeof in);
  const int direction = encrypt ? DES_ENCRYPT : DES_DECRYPT;
  DES_key_schedule first = des_schedule(key.data());
  if (cipher == Cipher::des) {
    DES_ecb_encrypt(&in, &result, &first, direction);
  } else {
    DES_key_schedule second = des_schedule(key.data() + 8);
    DES_ecb3_encrypt(&in, &result, &first, &second, &first, direction);
  }
  std::memcpy(out.data(), result, out.size());
  return out;
}

}  // namespace reference

// Published known answers, as hexadecimal text: key, plaintext, ciphertext.
struct KnownAnswer {
  const char* key;
  const char* plain;
  const char* cipher;
};

// DES: the classic worked example, the NBS variable-plaintext and
// variable-key tests, and two well-known textbook vectors.
inline constexpr KnownAnswer kDesKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
};

// The RC6 paper's vectors for 128-, 192- and 256-bit keys, in its own
// (little-endian) byte order: reverse_groups gives the libraries' order.
inline constexpr KnownAnswer kRc6PaperVectors[] = {
    {"00000000000000000000000000000000", "00000000000000000000000000000000", "8fc3a53656b1f778c129df4e9848a41e"},
    {"0123456789abcdef0112233445566778", "02132435465768798a9bacbdcedfe0f1", "524e192f4715c6231f51f6367ea43f18"},
    {"000000000000000000000000000000000000000000000000", "00000000000000000000000000000000",
     "6cd61bcb190b30384e8a3f168690ae82"},
    {"0123456789abcdef0112233445566778899aabbccddeeff0", "02132435465768798a9bacbdcedfe0f1",
     "688329d019e505041e52e92af95291d4"},
    {"0000000000000000000000000000000000000000000000000000000000000000", "00000000000000000000000000000000",
     "8f5fbd0510d15fa893fa3fda6e857ec2"},
    {"0123456789abcdef0112233445566778899aabbccddeeff01032547698badcfe", "02132435465768798a9bacbdcedfe0f1",
     "c8241816f0d7e48920ad16a1674e5d48"},
};

// A known answer in the libraries' byte order.
struct Vector {
  Bytes key;
  Bytes plain;
  Bytes cipher;
};

inline Vector des_vector(const KnownAnswer& answer) {
  return {from_hex(answer.key), from_hex(answer.plain), from_hex(answer.cipher)};
}

inline Vector rc6_vector(const KnownAnswer& answer) {
  return {reverse_groups(from_hex(answer.key)), reverse_groups(from_hex(answer.plain)),
          reverse_groups(from_hex(answer.cipher))};
}

// One block function as the tests call it: a core function or an export of
// either library (whose key pointer may or may not be const).
template <typename Function>
Bytes apply(Function function, Bytes block, Bytes key) {
  function(block.data(), key.data());
  return block;
}

// One block export of a library, as the export tests list them.
template <typename Function>
struct LibraryExport {
  const char* name;
  Function function;
  Cipher cipher;
  bool encrypt;
  std::size_t key_bytes;
};

// `count` random blocks through `function` in buffers of exactly the
// cipher's sizes, against the reference. Keys are new or repeat the previous
// one, so that calls run both with fresh and with kept round keys.
template <typename Function>
void expect_reference_results(const char* name, Function function, Cipher cipher, bool encrypt,
                              std::size_t key_bytes, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes key = random_bytes(rng, key_bytes);
  for (int i = 0; i < count; ++i) {
    if (rng() % 3 != 0) key = random_bytes(rng, key_bytes);
    const Bytes block = random_bytes(rng, block_bytes(cipher));
    const Bytes expected = reference::run(cipher, encrypt, block, key);
    ASSERT_EQ(to_hex(apply(function, block, key)), to_hex(expected))
        << name << " block " << to_hex(block) << " key " << to_hex(key);
  }
}

}  // namespace kdx::test
