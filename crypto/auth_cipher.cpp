#include "crypto/auth_cipher.h"

namespace kdx::crypto::auth {
namespace {

constexpr unsigned kModulus5 = 31;   // R and T
constexpr unsigned kModulus7 = 127;  // S
constexpr uint8_t kNibbleMask = 0x0F;
constexpr uint8_t kClocksPerNibble = 2;
constexpr std::size_t kHalfBlock = kAuthBlockBytes / 2;

// Values up to the modulus stay as they are; above it a remainder of 0
// becomes the modulus itself, so the result is never 0 for a non-zero sum.
// Taken on the full sum: cells fed out of range through calcul_state may
// push it past 8 bits.
uint8_t reduce(unsigned sum, unsigned modulus) {
  if (sum <= modulus) return static_cast<uint8_t>(sum);
  const unsigned remainder = sum % modulus;
  return static_cast<uint8_t>(remainder == 0 ? modulus : remainder);
}

unsigned rot5(uint8_t v) { return ((v << 1) & 0x1Fu) | ((v >> 4) & 1u); }
unsigned rot7(uint8_t v) { return ((v << 1) & 0x7Fu) | ((v >> 6) & 1u); }

// Shifts every cell one place up, puts `feedback` into cell 0 and xors
// `input` into cell `input_cell`.
template <std::size_t N>
void shift(uint8_t (&cells)[N], uint8_t feedback, std::size_t input_cell, uint8_t input) {
  for (std::size_t i = N - 1; i > 0; --i) cells[i] = cells[i - 1];
  cells[0] = feedback;
  cells[input_cell] = static_cast<uint8_t>(cells[input_cell] ^ input);
}

uint8_t output_nibble(const AuthCipherState& state) {
  const unsigned select = state.S[0];
  const unsigned from_r = state.R[0] ^ state.R[4];
  const unsigned from_t = state.T[0] ^ state.T[3];
  return static_cast<uint8_t>(((from_r & ~select) | (select & from_t)) & kNibbleMask);
}

// Two outputs, high nibble first. Separate statements, so that the two
// state-changing calls run in this order.
uint8_t output_byte(AuthCipherState& state) {
  const uint8_t high = calcul(state, kClocksPerNibble);
  const uint8_t low = calcul(state, kClocksPerNibble);
  return static_cast<uint8_t>((high << 4) | low);
}

}  // namespace

void calcul_state(AuthCipherState& state, uint8_t a, uint8_t b, uint8_t c) {
  const uint8_t r_feedback = reduce(state.R[3] + rot5(state.R[6]), kModulus5);
  const uint8_t s_feedback = reduce(state.S[5] + rot7(state.S[6]), kModulus7);
  const uint8_t t_feedback = reduce(unsigned{state.T[2]} + state.T[4], kModulus5);
  shift(state.R, r_feedback, 3, a);
  shift(state.S, s_feedback, 5, c);
  shift(state.T, t_feedback, 2, b);
}

void calcul_key(AuthCipherState& state, uint8_t x) {
  calcul_state(state, static_cast<uint8_t>(x & 0x1F), static_cast<uint8_t>(x >> 3),
               static_cast<uint8_t>(((x & 0x0F) << 3) | (x >> 5)));
}

uint8_t calcul_v(AuthCipherState& state) {
  calcul_state(state, 0, 0, 0);
  return output_nibble(state);
}

uint8_t calcul(AuthCipherState& state, uint8_t n) {
  uint8_t nibble = 0;
  for (unsigned i = 0; i < n; ++i) nibble = calcul_v(state);
  return nibble;
}

void f2(AuthCipherState& state, const uint8_t* cryptogram, const uint8_t* seed, const uint8_t* challenge,
        uint8_t* response, uint8_t* expected_cryptogram) {
  state = AuthCipherState{};
  for (std::size_t i = 0; i < kHalfBlock; ++i) {
    calcul_key(state, cryptogram[2 * i]);
    calcul_key(state, cryptogram[2 * i + 1]);
    calcul_key(state, challenge[i]);
  }
  for (std::size_t i = 0; i < kHalfBlock; ++i) {
    calcul_key(state, seed[2 * i]);
    calcul_key(state, seed[2 * i + 1]);
    calcul_key(state, challenge[kHalfBlock + i]);
  }
  for (std::size_t k = 0; k < kAuthBlockBytes; ++k) {
    expected_cryptogram[k] = output_byte(state);
    response[k] = output_byte(state);
  }
}

}  // namespace kdx::crypto::auth
