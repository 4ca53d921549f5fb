// Each cipher export of one library (velmor.h or tarsk.h, KDX_BENCH_HEADER)
// against the call sequence that does the same work in OpenSSL (DES: set the
// key schedule, encrypt one block) or Crypto++ (RC6: SetKey, one
// ProcessBlock). Every benchmark runs twice: with one fixed key (new_key:0)
// and with a different key on every call (new_key:1), cycling through a
// pool of random keys. Each call works in place on the block of the call
// before it, so calls are measured one after the other, not overlapped.
// The library keeps the round keys of the last key per thread; the
// "schedule_reused" rows (fixed key only) give the peers the same head start:
// OpenSSL's key schedules set once, Crypto++'s cipher object keyed once.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <cryptopp/rc6.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include KDX_BENCH_HEADER

namespace {

constexpr std::size_t kPoolKeys = 4096;

// The keys one benchmark cycles through: one key, or kPoolKeys of them.
class KeyPool {
 public:
  KeyPool(std::size_t key_bytes, bool new_key_each_call)
      : key_bytes_(key_bytes), keys_(new_key_each_call ? kPoolKeys : 1), bytes_(key_bytes * keys_) {
    std::mt19937 rng(1);
    for (uint8_t& byte : bytes_) byte = static_cast<uint8_t>(rng());
  }
  // The published RC6 reads its words little-endian, the libraries
  // big-endian: the same keys for Crypto++, converted before timing.
  void reverse_groups() {
    for (std::size_t i = 0; i + 4 <= bytes_.size(); i += 4) std::reverse(bytes_.begin() + i, bytes_.begin() + i + 4);
  }
  uint8_t* next() {
    uint8_t* key = bytes_.data() + key_bytes_ * index_;
    if (++index_ == keys_) index_ = 0;
    return key;
  }

 private:
  std::size_t key_bytes_;
  std::size_t keys_;
  std::vector<uint8_t> bytes_;
  std::size_t index_ = 0;
};

bool new_key(const benchmark::State& state) { return state.range(0) != 0; }

template <auto Export, std::size_t BlockBytes, std::size_t KeyBytes>
void ours(benchmark::State& state) {
  KeyPool keys(KeyBytes, new_key(state));
  uint8_t block[BlockBytes] = {};
  for (auto _ : state) {
    Export(block, keys.next());
    benchmark::DoNotOptimize(block);
  }
}

DES_cblock* des_key(uint8_t* key) { return reinterpret_cast<DES_cblock*>(key); }

template <int Direction>
void openssl_des(benchmark::State& state) {
  KeyPool keys(8, new_key(state));
  DES_cblock block = {};
  DES_key_schedule schedule;
  for (auto _ : state) {
    DES_set_key_unchecked(des_key(keys.next()), &schedule);
    DES_ecb_encrypt(&block, &block, &schedule, Direction);
    benchmark::DoNotOptimize(block);
  }
}

template <int Direction>
void openssl_triple_des(benchmark::State& state) {
  KeyPool keys(16, new_key(state));
  DES_cblock block = {};
  DES_key_schedule first;
  DES_key_schedule second;
  for (auto _ : state) {
    uint8_t* key = keys.next();
    DES_set_key_unchecked(des_key(key), &first);
    DES_set_key_unchecked(des_key(key + 8), &second);
    DES_ecb3_encrypt(&block, &block, &first, &second, &first, Direction);
    benchmark::DoNotOptimize(block);
  }
}

template <int Direction>
void openssl_des_schedule_reused(benchmark::State& state) {
  KeyPool keys(8, false);
  DES_cblock block = {};
  DES_key_schedule schedule;
  DES_set_key_unchecked(des_key(keys.next()), &schedule);
  for (auto _ : state) {
    DES_ecb_encrypt(&block, &block, &schedule, Direction);
    benchmark::DoNotOptimize(block);
  }
}

template <int Direction>
void openssl_triple_des_schedule_reused(benchmark::State& state) {
  KeyPool keys(16, false);
  DES_cblock block = {};
  DES_key_schedule first;
  DES_key_schedule second;
  uint8_t* key = keys.next();
  DES_set_key_unchecked(des_key(key), &first);
  DES_set_key_unchecked(des_key(key + 8), &second);
  for (auto _ : state) {
    DES_ecb3_encrypt(&block, &block, &first, &second, &first, Direction);
    benchmark::DoNotOptimize(block);
  }
}

template <typename Cipher, std::size_t KeyBytes>
void cryptopp_rc6_schedule_reused(benchmark::State& state) {
  KeyPool keys(KeyBytes, false);
  keys.reverse_groups();
  Cipher cipher;
  cipher.SetKey(keys.next(), KeyBytes);
  CryptoPP::byte block[CryptoPP::RC6::BLOCKSIZE] = {};
  for (auto _ : state) {
    cipher.ProcessBlock(block);
    benchmark::DoNotOptimize(block);
  }
}

template <typename Cipher, std::size_t KeyBytes>
void cryptopp_rc6(benchmark::State& state) {
  KeyPool keys(KeyBytes, new_key(state));
  keys.reverse_groups();
  Cipher cipher;
  CryptoPP::byte block[CryptoPP::RC6::BLOCKSIZE] = {};
  for (auto _ : state) {
    cipher.SetKey(keys.next(), KeyBytes);
    cipher.ProcessBlock(block);
    benchmark::DoNotOptimize(block);
  }
}

void add(const std::string& name, void (*function)(benchmark::State&)) {
  benchmark::RegisterBenchmark(name.c_str(), function)->ArgName("new_key")->Arg(0)->Arg(1);
}

void add_fixed_key(const std::string& name, void (*function)(benchmark::State&)) {
  benchmark::RegisterBenchmark(name.c_str(), function)->ArgName("new_key")->Arg(0);
}

}  // namespace

int main(int argc, char** argv) {
  add("DES_Encrypt/ours", ours<DES_Encrypt, 8, 8>);
  add("DES_Encrypt/openssl", openssl_des<DES_ENCRYPT>);
  add_fixed_key("DES_Encrypt/openssl_schedule_reused", openssl_des_schedule_reused<DES_ENCRYPT>);
  add("DES_Decrypt/ours", ours<DES_Decrypt, 8, 8>);
  add("DES_Decrypt/openssl", openssl_des<DES_DECRYPT>);
  add_fixed_key("DES_Decrypt/openssl_schedule_reused", openssl_des_schedule_reused<DES_DECRYPT>);
#ifdef KDX_BENCH_TRIPLE_DES
  add("TriDES_Encrypt/ours", ours<TriDES_Encrypt, 8, 16>);
  add("TriDES_Encrypt/openssl", openssl_triple_des<DES_ENCRYPT>);
  add_fixed_key("TriDES_Encrypt/openssl_schedule_reused", openssl_triple_des_schedule_reused<DES_ENCRYPT>);
  add("TriDES_Decrypt/ours", ours<TriDES_Decrypt, 8, 16>);
  add("TriDES_Decrypt/openssl", openssl_triple_des<DES_DECRYPT>);
  add_fixed_key("TriDES_Decrypt/openssl_schedule_reused", openssl_triple_des_schedule_reused<DES_DECRYPT>);
#endif
  add("RC6_Encrypt_128/ours", ours<RC6_Encrypt_128, 16, 16>);
  add("RC6_Encrypt_128/cryptopp", cryptopp_rc6<CryptoPP::RC6::Encryption, 16>);
  add_fixed_key("RC6_Encrypt_128/cryptopp_schedule_reused", cryptopp_rc6_schedule_reused<CryptoPP::RC6::Encryption, 16>);
  add("RC6_Decrypt_128/ours", ours<RC6_Decrypt_128, 16, 16>);
  add("RC6_Decrypt_128/cryptopp", cryptopp_rc6<CryptoPP::RC6::Decryption, 16>);
  add_fixed_key("RC6_Decrypt_128/cryptopp_schedule_reused", cryptopp_rc6_schedule_reused<CryptoPP::RC6::Decryption, 16>);
  add("RC6_Encrypt_192/ours", ours<RC6_Encrypt_192, 16, 24>);
  add("RC6_Encrypt_192/cryptopp", cryptopp_rc6<CryptoPP::RC6::Encryption, 24>);
  add_fixed_key("RC6_Encrypt_192/cryptopp_schedule_reused", cryptopp_rc6_schedule_reused<CryptoPP::RC6::Encryption, 24>);
  add("RC6_Encrypt_256/ours", ours<RC6_Encrypt_256, 16, 32>);
  add("RC6_Encrypt_256/cryptopp", cryptopp_rc6<CryptoPP::RC6::Encryption, 32>);
  add_fixed_key("RC6_Encrypt_256/cryptopp_schedule_reused", cryptopp_rc6_schedule_reused<CryptoPP::RC6::Encryption, 32>);
  add("RC6_Decrypt_256/ours", ours<RC6_Decrypt_256, 16, 32>);
  add("RC6_Decrypt_256/cryptopp", cryptopp_rc6<CryptoPP::RC6::Decryption, 32>);
  add_fixed_key("RC6_Decrypt_256/cryptopp_schedule_reused", cryptopp_rc6_schedule_reused<CryptoPP::RC6::Decryption, 32>);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
