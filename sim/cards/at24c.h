// The AT24C serial EEPROM card model, types 1 to 10 (cards/at24c_types.h),
// on the two-wire bus core (sim/cards/two_wire_card.h).
//
// As the chips do it:
//   - type 1's first byte is (word address << 1) | R/W, and it answers to
//     any; the others answer to device code 0xA0 with their unused
//     device-address bits 0 (the card ties the pins low), types 4 to 6 take
//     address bits 8 to 10 from device bits 1 to 3, and a device byte that
//     does not match is not acknowledged;
//   - a write loads the page buffer from the word address on, wrapping in
//     the page, and the page is programmed at the stop (bytes not loaded
//     keep their value), which starts a write cycle of kWriteCycleNs; a
//     start before the stop drops it;
//   - a read (random, after a dummy write that sets the address, or current
//     address) runs on from the address counter and wraps at the end of the
//     memory.
// A write that wraps in its page buffer (more bytes than the page holds) is
// logged as a host fault: the chip takes it, but what it stores is not what
// was sent.
#pragma once

#include <cstdint>
#include <vector>

#include "cards/at24c_types.h"
#include "sim/cards/two_wire_card.h"

namespace kdx::sim {

class At24cCard final : public TwoWireCard {
 public:
  static constexpr uint64_t kWriteCycleNs = 5'000'000;

  // A chip of `type` (1 to 10) holding `memory`, padded with 0xFF (erased)
  // or cut to the type's capacity.
  explicit At24cCard(uint8_t type, std::vector<uint8_t> memory = {});

  uint8_t type() const { return type_code_; }
  const std::vector<uint8_t>& memory() const { return memory_; }
  std::string name() const override { return "AT24C"; }

 private:
  enum class Phase : uint8_t { device, address_high, address_low, data, output };

  void begin() override;
  bool device_byte(uint8_t byte) override;
  bool data_byte(uint8_t byte) override;
  uint8_t output_byte() override;
  uint64_t end() override;

  void set_address(std::size_t address);

  uint8_t type_code_;
  velmor::at24c::Type type_;
  std::vector<uint8_t> memory_;
  Phase phase_ = Phase::device;
  std::size_t address_ = 0;  // the chip's address counter
  std::size_t block_ = 0;    // address bits from the device byte
  uint8_t address_high_ = 0;
  std::vector<uint8_t> page_buffer_;
  std::vector<bool> loaded_;
  std::size_t loaded_count_ = 0;
};

}  // namespace kdx::sim
