// The SLE4442 card model: 256 bytes of main memory, protection bits for
// bytes 0 to 31, and the security memory with the 3-bit error counter and
// the 3-byte PSC. Its answer to reset is main bytes 0 to 3.
//
// Card commands (sim/cards/sle_card.h tells how the reader carries them):
//   0x30 read main memory from the address to its end
//   0x31 read the security memory (counter, then the PSC, or zeros while
//        locked), 0x34 read the protection memory: all four bytes, whatever
//        the address
//   0x38 write a main byte: unlocked, and not protected
//   0x39 write security byte 0 (the error counter) or 1 to 3 (the PSC)
//   0x3C write protection byte 0 to 3: unlocked; the byte is ANDed with the
//        data, so a bit only goes from 1 to 0 (protection is for good)
//   0x33 compare PSC byte 1 to 3 (two clocks)
#pragma once

#include <array>
#include <cstdint>

#include "cards/sle_codes.h"
#include "sim/cards/sle_card.h"

namespace kdx::sim {

struct Sle4442Contents {
  std::array<uint8_t, velmor::sle4442::kMainSize> main;
  // Bit k of the little-endian value belongs to main byte k; 0 = protected.
  std::array<uint8_t, velmor::sle4442::kProtectionSize> protection;
  uint8_t error_counter;
  std::array<uint8_t, velmor::sle4442::kPscSize> psc;

  // A new card: main memory 0xFF but the answer to reset A2 13 10 91 in
  // bytes 0 to 3, nothing protected, three attempts, PSC FF FF FF.
  static Sle4442Contents fresh();
  bool is_protected(std::size_t address) const;
};

class Sle4442Card final : public SleCard {
 public:
  explicit Sle4442Card(const Sle4442Contents& contents = Sle4442Contents::fresh());
  const Sle4442Contents& contents() const { return contents_; }
  std::string name() const override { return "SLE4442"; }

 private:
  std::vector<uint8_t> answer_to_reset() const override;
  void take_command(uint8_t control, uint8_t address, uint8_t data) override;
  void write_security(uint8_t address, uint8_t data);

  Sle4442Contents contents_;
};

}  // namespace kdx::sim
