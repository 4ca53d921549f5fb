// Tarsk's cipher exports: DES, two-key Triple-DES and RC6, on raw bytes or,
// in string mode 1, on hexadecimal text that is decoded in place on entry
// and whose result is encoded in place on exit.
#include "crypto/des.h"
#include "crypto/rc6.h"
#include "serial_iso/string_mode.h"
#include "tarsk.h"

namespace {

using namespace kdx;
namespace hex = tarsk::hex;

using BlockCipher = void (*)(uint8_t* block, const uint8_t* key);

// The text holds exactly `characters` characters before its NUL; no more
// than characters + 1 of it are read.
bool has_length(const uint8_t* text, std::size_t characters) {
  std::size_t length = 0;
  while (length <= characters && text[length] != 0) ++length;
  return length == characters;
}

bool all_digits(const uint8_t* text, std::size_t characters) {
  return hex::all_digits(reinterpret_cast<const char*>(text), characters);
}

// Checks and decodes the two texts in this order: both lengths, the block's
// characters, the block decoded, the key's characters, the key decoded. A
// failure leaves what came before it done: a bad key character is found with
// the block already decoded.
StatusCode decode_arguments(uint8_t* block, std::size_t block_bytes, uint8_t* key, std::size_t key_bytes) {
  if (!has_length(block, 2 * block_bytes) || !has_length(key, 2 * key_bytes)) return ST_BAD_PARAMETER;
  if (!all_digits(block, 2 * block_bytes)) return ST_BAD_PARAMETER;
  hex::decode_in_place(block, block_bytes);
  if (!all_digits(key, 2 * key_bytes)) return ST_BAD_PARAMETER;
  hex::decode_in_place(key, key_bytes);
  return ST_OK;
}

template <std::size_t block_bytes, std::size_t key_bytes, BlockCipher cipher>
StatusCode run(uint8_t* block, uint8_t* key) {
  if (block == nullptr || key == nullptr) return ST_BAD_PARAMETER;
  const bool text = hex::mode() == 1;
  if (text) {
    const StatusCode decoded = decode_arguments(block, block_bytes, key, key_bytes);
    if (decoded != ST_OK) return decoded;
  }
  cipher(block, key);
  // The key stays decoded; the block's NUL after its 2n characters stays.
  if (text) hex::encode_in_place(block, block_bytes);
  return ST_OK;
}

constexpr std::size_t kDesBlock = crypto::kDesBlockBytes;
constexpr std::size_t kRc6Block = crypto::kRc6BlockBytes;

}  // namespace

extern "C" {

KDX_API StatusCode KDX_CALL DES_Encrypt(uint8_t* block, uint8_t* key) {
  return run<kDesBlock, crypto::kDesKeyBytes, crypto::des_encrypt>(block, key);
}
KDX_API StatusCode KDX_CALL DES_Decrypt(uint8_t* block, uint8_t* key) {
  return run<kDesBlock, crypto::kDesKeyBytes, crypto::des_decrypt>(block, key);
}

KDX_API StatusCode KDX_CALL TriDES_Encrypt(uint8_t* block, uint8_t* key) {
  return run<kDesBlock, crypto::kTripleDesKeyBytes, crypto::triple_des_encrypt>(block, key);
}
KDX_API StatusCode KDX_CALL TriDES_Decrypt(uint8_t* block, uint8_t* key) {
  return run<kDesBlock, crypto::kTripleDesKeyBytes, crypto::triple_des_decrypt>(block, key);
}

KDX_API StatusCode KDX_CALL RC6_Encrypt_128(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 16, crypto::rc6_encrypt<16>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_128(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 16, crypto::rc6_decrypt<16>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Encrypt_192(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 24, crypto::rc6_encrypt<24>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_192(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 24, crypto::rc6_decrypt<24>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Encrypt_256(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 32, crypto::rc6_encrypt<32>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_256(uint8_t* block, uint8_t* key) {
  return run<kRc6Block, 32, crypto::rc6_decrypt<32>>(block, key);
}

}  // extern "C"
