// The round keys a thread keeps are gone when the thread ends and when the
// library wipes every cache as it is unloaded; a cache wiped under a live
// thread leaves that thread's next calls correct.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "crypto/des.h"
#include "crypto/key_cache.h"
#include "crypto/rc6.h"
#include "support/cipher_reference.h"

namespace kdx::test {
namespace {

struct KeyedCall {
  const char* name;
  void (*function)(uint8_t*, const uint8_t*);
  Cipher cipher;
  std::size_t key_bytes;
};

const KeyedCall kCalls[] = {
    {"DES", crypto::des_encrypt, Cipher::des, 8},
    {"Triple-DES", crypto::triple_des_encrypt, Cipher::triple_des, 16},
    {"RC6-128", crypto::rc6_encrypt<16>, Cipher::rc6, 16},
    {"RC6-256", crypto::rc6_encrypt<32>, Cipher::rc6, 32},
};

// Runs `call` on a fresh block under `key`; true when the result is the
// reference's.
bool run_matches(const KeyedCall& call, const Bytes& key) {
  Bytes block(block_bytes(call.cipher), 0x5A);
  const Bytes expected = reference::run(call.cipher, true, block, key);
  call.function(block.data(), key.data());
  return block == expected;
}

TEST(KeyCache, HeldOnlyWhileTheThreadLivesAndUntilWipedForUnload) {
  std::mt19937 rng(7);
  for (const KeyedCall& call : kCalls) {
    SCOPED_TRACE(call.name);
    const Bytes key = random_bytes(rng, call.key_bytes);
    const std::size_t before = crypto::held_key_bytes();

    std::promise<void> keyed;
    std::promise<void> wiped;
    std::promise<bool> after_wipe;
    std::thread worker([&] {
      const bool first = run_matches(call, key);
      keyed.set_value();
      wiped.get_future().wait();
      // The wiped cache reads as empty: the same key is expanded again.
      after_wipe.set_value(first && run_matches(call, key));
    });
    keyed.get_future().wait();
    EXPECT_GT(crypto::held_key_bytes(), before) << "the worker's round keys are in its cache";

    crypto::wipe_all_key_caches();
    EXPECT_EQ(crypto::held_key_bytes(), 0u);
    wiped.set_value();
    EXPECT_TRUE(after_wipe.get_future().get());

    worker.join();
    EXPECT_EQ(crypto::held_key_bytes(), 0u) << "the ended thread's cache was wiped and let go";
  }
}

}  // namespace
}  // namespace kdx::test
