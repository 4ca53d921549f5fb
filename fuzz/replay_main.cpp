// Runs a fuzz target without a fuzzing engine: on every file named on the
// command line, then on a fixed number of pseudo-random inputs built from a
// fixed seed (mostly protocol bytes, so that frames get far), so that the
// target runs as an ordinary, repeatable test under the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

int main(int argc, char** argv) {
  std::size_t files = 0;
  unsigned rounds = 20000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--rounds=", 0) == 0) {
      rounds = static_cast<unsigned>(std::strtoul(arg.c_str() + 9, nullptr, 10));
      continue;
    }
    std::ifstream in(arg, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++files;
  }
  static const uint8_t kProtocolBytes[] = {0x00, 0x01, 0x02, 0x03, 0x10, 0x15, 0xC3, 0xFF};
  std::mt19937 random(20261209);
  for (unsigned round = 0; round < rounds; ++round) {
    std::vector<uint8_t> input(1 + random() % 420);
    for (auto& byte : input) {
      byte = random() % 4 == 0 ? static_cast<uint8_t>(random()) : kProtocolBytes[random() % sizeof kProtocolBytes];
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%zu files and %u generated inputs ran clean\n", files, rounds);
  return 0;
}
