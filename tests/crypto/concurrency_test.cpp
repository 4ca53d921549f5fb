// Round keys are kept per thread: threads that use their own keys at the
// same time each get the results of their own keys.
#include <gtest/gtest.h>

#include <thread>

#include "crypto/des.h"
#include "crypto/rc6.h"
#include "support/cipher_reference.h"

namespace kdx::test {
namespace {

struct Call {
  void (*function)(uint8_t*, const uint8_t*);
  Bytes block;
  Bytes key;
  Bytes expected;
};

// A run of calls under a few keys of one thread's own, in random order, with
// the answers computed beforehand by the references.
std::vector<Call> calls_for_thread(uint32_t seed, int count) {
  struct Kind {
    void (*function)(uint8_t*, const uint8_t*);
    Cipher cipher;
    std::size_t key_bytes;
  };
  const Kind kinds[] = {
      {crypto::des_encrypt, Cipher::des, 8},
      {crypto::triple_des_encrypt, Cipher::triple_des, 16},
      {crypto::rc6_encrypt<16>, Cipher::rc6, 16},
      {crypto::rc6_encrypt<32>, Cipher::rc6, 32},
  };
  std::mt19937 rng(seed);
  std::vector<std::vector<Bytes>> keys;
  for (const Kind& kind : kinds) {
    keys.push_back({random_bytes(rng, kind.key_bytes), random_bytes(rng, kind.key_bytes)});
  }
  std::vector<Call> calls;
  for (int i = 0; i < count; ++i) {
    const std::size_t k = rng() % std::size(kinds);
    const Bytes& key = keys[k][rng() % 2];
    const Bytes block = random_bytes(rng, block_bytes(kinds[k].cipher));
    calls.push_back({kinds[k].function, block, key, reference::run(kinds[k].cipher, true, block, key)});
  }
  return calls;
}

TEST(CipherThreads, EachThreadRunsUnderItsOwnKeys) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 3000;
  std::vector<std::vector<Call>> work;
  for (int i = 0; i < kThreads; ++i) work.push_back(calls_for_thread(100 + static_cast<uint32_t>(i), kCalls));
  int wrong[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (Call& call : work[i]) {
        call.function(call.block.data(), call.key.data());
        if (call.block != call.expected) ++wrong[i];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(wrong[i], 0) << "thread " << i;
}

}  // namespace
}  // namespace kdx::test
