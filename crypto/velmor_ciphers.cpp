// Velmor's cipher exports: DES, RC6 and the secure-memory authentication
// cipher, on raw bytes (this library has no string mode).
#include "crypto/auth_cipher.h"
#include "crypto/des.h"
#include "crypto/rc6.h"
#include "link/velmor_state.h"

namespace {

using namespace kdx;

using BlockCipher = void (*)(uint8_t* block, const uint8_t* key);

template <BlockCipher cipher>
StatusCode run(uint8_t* block, const uint8_t* key) {
  if (block == nullptr || key == nullptr) return ST_BAD_PARAMETER;
  cipher(block, key);
  return ST_OK;
}

crypto::AuthCipherState& auth_state() { return velmor::g_velmor.AuthCipherState; }

uint8_t low_byte(uint32_t value) { return static_cast<uint8_t>(value & 0xFF); }

}  // namespace

extern "C" {

KDX_API StatusCode KDX_CALL DES_Encrypt(uint8_t* block, const uint8_t* key) {
  return run<crypto::des_encrypt>(block, key);
}
KDX_API StatusCode KDX_CALL DES_Decrypt(uint8_t* block, const uint8_t* key) {
  return run<crypto::des_decrypt>(block, key);
}

KDX_API StatusCode KDX_CALL RC6_Encrypt_128(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_encrypt<16>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_128(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_decrypt<16>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Encrypt_192(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_encrypt<24>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_192(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_decrypt<24>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Encrypt_256(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_encrypt<32>>(block, key);
}
KDX_API StatusCode KDX_CALL RC6_Decrypt_256(uint8_t* block, const uint8_t* key) {
  return run<crypto::rc6_decrypt<32>>(block, key);
}

KDX_API void KDX_CALL _CalculState(uint32_t a, uint32_t b, uint32_t c) {
  crypto::auth::calcul_state(auth_state(), low_byte(a), low_byte(b), low_byte(c));
}

KDX_API void KDX_CALL _CalculKey(uint32_t x) { crypto::auth::calcul_key(auth_state(), low_byte(x)); }

KDX_API uint8_t KDX_CALL _CalculV(void) { return crypto::auth::calcul_v(auth_state()); }

KDX_API uint8_t KDX_CALL _Calcul(uint32_t n) { return crypto::auth::calcul(auth_state(), low_byte(n)); }

KDX_API void KDX_CALL KDX_F2(const uint8_t* cryptogram_block, const uint8_t* seed, const uint8_t* challenge,
                             uint8_t* response, uint8_t* expected_cryptogram) {
  if (cryptogram_block == nullptr || seed == nullptr || challenge == nullptr || response == nullptr ||
      expected_cryptogram == nullptr) {
    return;
  }
  crypto::auth::f2(auth_state(), cryptogram_block, seed, challenge, response, expected_cryptogram);
}

}  // extern "C"
