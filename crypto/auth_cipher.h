// The secure-memory authentication cipher: three shift registers that the
// host and the card both clock, fed with the card's cryptogram, the secret
// seed and the host challenge, and read out four bits at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::crypto {

inline constexpr std::size_t kAuthBlockBytes = 8;  // each input and output of f2

// Cells listed from cell 0. R and T cells hold 5 bits, S cells 7 bits; all
// are 0 at load.
struct AuthCipherState {
  uint8_t R[7] = {};
  uint8_t S[7] = {};
  uint8_t T[5] = {};
};

namespace auth {

// One clock of all three registers: a enters R, b enters T, c enters S.
void calcul_state(AuthCipherState& state, uint8_t a, uint8_t b, uint8_t c);
// One input byte: R gets its low 5 bits, T its high 5 bits, S its low 7 bits
// rotated left by 3 within the byte.
void calcul_key(AuthCipherState& state, uint8_t x);
// A zero-input clock, then the output nibble (0 to 15) of the new state.
uint8_t calcul_v(AuthCipherState& state);
// calcul_v n times; the last nibble, or 0 for n = 0.
uint8_t calcul(AuthCipherState& state, uint8_t n);
// The whole computation from cleared registers; each argument kAuthBlockBytes.
// The outputs are written only after every input byte has been read, so they
// may overlap the inputs.
void f2(AuthCipherState& state, const uint8_t* cryptogram, const uint8_t* seed, const uint8_t* challenge,
        uint8_t* response, uint8_t* expected_cryptogram);

}  // namespace auth
}  // namespace kdx::crypto
