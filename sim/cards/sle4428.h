// The SLE4428 card model: 1024 bytes with 10-bit addresses and a protection
// bit per byte; the 8-bit error counter at 1021 and the PSC at 1022 and
// 1023. Its answer to reset is bytes 0 to 3.
//
// Card commands, by the low six bits of the control byte (bits 7 and 6 carry
// address bits 9 and 8; sim/cards/sle_card.h tells how the reader carries
// them):
//   0x0E read from the address to the end (the PSC reads as zeros while
//        locked), clocked by reader code 46
//   0x0C read with protection bits, clocked by reader code 47, which
//        delivers one byte per card byte: its protection bit, 0 protected
//   0x33 write a byte, 0x31 write it and protect it: unlocked, and not
//        protected (this is how an unlocked card takes the restored error
//        counter at 1021)
//   0x32 write the error counter (address 1021)
//   0x0D compare PSC byte 1022 or 1023 (two clocks)
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

#include "cards/sle_codes.h"
#include "sim/cards/sle_card.h"

namespace kdx::sim {

struct Sle4428Contents {
  std::array<uint8_t, velmor::sle4428::kMemorySize> memory;
  std::bitset<velmor::sle4428::kMemorySize> protected_bytes;

  // A new card: 0xFF but the answer to reset C9 11 88 C8 in bytes 0 to 3,
  // nothing protected, eight attempts (0xFF at 1021), PSC FF FF.
  static Sle4428Contents fresh();
  uint8_t error_counter() const { return memory[velmor::sle4428::kCounterAddress]; }
};

class Sle4428Card final : public SleCard {
 public:
  explicit Sle4428Card(const Sle4428Contents& contents = Sle4428Contents::fresh());
  const Sle4428Contents& contents() const { return contents_; }
  std::string name() const override { return "SLE4428"; }

 private:
  std::vector<uint8_t> answer_to_reset() const override;
  void take_command(uint8_t control, uint8_t address, uint8_t data) override;
  void write(std::size_t address, uint8_t data, bool protect);

  Sle4428Contents contents_;
};

}  // namespace kdx::sim
