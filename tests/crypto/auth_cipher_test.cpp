// The authentication cipher core: register contents and output nibbles against
// worked sequences, and the reduction at the edges of its range.
#include "crypto/auth_cipher.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kdx::test {
namespace {

using crypto::AuthCipherState;
namespace auth = crypto::auth;

std::vector<uint8_t> cells(const uint8_t* first, std::size_t count) { return {first, first + count}; }
std::vector<uint8_t> r(const AuthCipherState& s) { return cells(s.R, 7); }
std::vector<uint8_t> s_cells(const AuthCipherState& s) { return cells(s.S, 7); }
std::vector<uint8_t> t(const AuthCipherState& s) { return cells(s.T, 5); }

TEST(AuthCipherCore, OneInputClockThenEightOutputs) {
  for (const bool through_key : {false, true}) {
    SCOPED_TRACE(through_key ? "calcul_key(0xA5)" : "calcul_state(5, 20, 45)");
    AuthCipherState state;
    if (through_key) {
      auth::calcul_key(state, 0xA5);
    } else {
      auth::calcul_state(state, 5, 20, 45);
    }
    EXPECT_EQ(r(state), (std::vector<uint8_t>{0, 0, 0, 5, 0, 0, 0}));
    EXPECT_EQ(s_cells(state), (std::vector<uint8_t>{0, 0, 0, 0, 0, 45, 0}));
    EXPECT_EQ(t(state), (std::vector<uint8_t>{0, 0, 20, 0, 0}));

    std::vector<uint8_t> nibbles;
    for (int i = 0; i < 8; ++i) nibbles.push_back(auth::calcul_v(state));
    EXPECT_EQ(nibbles, (std::vector<uint8_t>{0, 0, 0, 10, 0, 0, 0, 14}));
    EXPECT_EQ(r(state), (std::vector<uint8_t>{20, 0, 0, 5, 10, 0, 0}));
    EXPECT_EQ(s_cells(state), (std::vector<uint8_t>{53, 45, 0, 0, 0, 0, 90}));
    EXPECT_EQ(t(state), (std::vector<uint8_t>{20, 20, 9, 0, 20}));
  }
}

// Feedback sums at the edges of the reduction: the new cell 0 after one
// zero-input clock. R0 = R3 + rot5(R6), T0 = T2 + T4, S0 = S5 + rot7(S6);
// rot5(16) = 1, rot5(20) = 9, rot5(31) = 31, rot7(64) = 1, rot7(127) = 127.
TEST(AuthCipherCore, ReductionBoundaries) {
  struct Case {
    char reg;
    uint8_t first;   // R3, T2 or S5
    uint8_t second;  // R6, T4 or S6
    uint8_t reduced;
  } const cases[] = {
      {'R', 0, 0, 0},   {'R', 31, 0, 31},  {'R', 31, 16, 1},   {'R', 31, 20, 9},  {'R', 31, 31, 31},
      {'T', 0, 0, 0},   {'T', 31, 0, 31},  {'T', 31, 1, 1},    {'T', 31, 9, 9},   {'T', 31, 31, 31},
      {'S', 0, 0, 0},   {'S', 127, 0, 127}, {'S', 127, 64, 1}, {'S', 127, 127, 127},
  };
  for (const Case& c : cases) {
    AuthCipherState state;
    uint8_t* cell0 = nullptr;
    switch (c.reg) {
      case 'R':
        state.R[3] = c.first;
        state.R[6] = c.second;
        cell0 = state.R;
        break;
      case 'T':
        state.T[2] = c.first;
        state.T[4] = c.second;
        cell0 = state.T;
        break;
      default:
        state.S[5] = c.first;
        state.S[6] = c.second;
        cell0 = state.S;
        break;
    }
    auth::calcul_state(state, 0, 0, 0);
    EXPECT_EQ(*cell0, c.reduced) << c.reg << " " << int{c.first} << " " << int{c.second};
  }
}

TEST(AuthCipherCore, CalculZeroChangesNothing) {
  AuthCipherState state;
  auth::calcul_key(state, 0x5A);
  auth::calcul_key(state, 0xC3);
  const AuthCipherState before = state;
  EXPECT_EQ(auth::calcul(state, 0), 0);
  EXPECT_EQ(r(state), r(before));
  EXPECT_EQ(s_cells(state), s_cells(before));
  EXPECT_EQ(t(state), t(before));
}

// Out-of-range inputs through calcul_state make feedback sums past 8 bits;
// they are reduced in full: R3 = 0xFF and rot5(R6) = 31 sum to 286, which
// reduces to 286 mod 31 = 7.
TEST(AuthCipherCore, WideSumsReduceInFull) {
  AuthCipherState state;
  state.R[2] = 0;
  auth::calcul_state(state, 0xFF, 0, 0);  // R3 = 0xFF
  state.R[6] = 31;
  auth::calcul_state(state, 0, 0, 0);  // the sum uses R3 before the shift
  EXPECT_EQ(state.R[0], 286 % 31);
}

TEST(AuthCipherCore, ZeroInputsKeepEveryCellZero) {
  AuthCipherState state;
  auth::calcul_state(state, 3, 7, 9);  // f2 clears whatever was there
  const std::array<uint8_t, 8> zero{};
  std::array<uint8_t, 8> response{0xEE};
  std::array<uint8_t, 8> expected{0xEE};
  auth::f2(state, zero.data(), zero.data(), zero.data(), response.data(), expected.data());
  EXPECT_EQ(response, zero);
  EXPECT_EQ(expected, zero);
  EXPECT_EQ(r(state), std::vector<uint8_t>(7, 0));
  EXPECT_EQ(s_cells(state), std::vector<uint8_t>(7, 0));
  EXPECT_EQ(t(state), std::vector<uint8_t>(5, 0));
}

}  // namespace
}  // namespace kdx::test
