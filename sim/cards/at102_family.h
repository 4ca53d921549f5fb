// The AT102, AT1604 and AT6601 card models: one bit-level core and the
// rights of each memory map.
//
// The core, as the chips work:
//   - the address counter counts bits (bit a is bit 7 - a % 8 of byte a / 8);
//     28 sets it to 0, 29 n adds 8n, 30 n outputs n bytes, 31 programs the 0
//     bits of its data bytes, the erase code (33 on the AT102, 32 on the
//     others) erases n bytes, 34 b compares b with the code byte at the
//     address; each moves the address on by the bytes it covered;
//   - a rise of CLK (line 144) with PGM (149) low moves the address one bit
//     on; with PGM high it is a programming cycle at the current bit, and
//     the address stays: FUS (146) high programs a fuse, I/O (145) held low
//     writes a 0, I/O released erases the unit holding the bit (a 16-bit
//     word on the AT102, a byte on the others);
//   - I/O reads the card's bit AND the host's drive.
// Erase codes erase exactly n bytes: of a partly covered AT102 word the
// other byte keeps its bits.
//
// Rights: a 0 may always go into a counter bit. A code with an attempt
// counter counts once the counter is erased after the code compared equal:
// the erase restores the attempts and grants the code's rights until power
// off; nothing else erases an attempt counter. That erase fails on a counter that had no attempt left when the code
// was compared. Codes without a counter count as soon as they compared
// equal. Security codes gate writes, erase keys gate erases; the card's
// security code (index 0) gates the issuer fields, the codes and the CPZ;
// the MTZ is free; the fabrication code is fixed.
//
// Other families' reader codes are ignored (reads give 0xFF). Host faults
// (commands to an unpowered card, compares off a code, an erase code of the
// other cards, misaligned byte commands, fuse cycles off a fuse) are logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cards/at102_maps.h"
#include "sim/reader_sim.h"

namespace kdx::sim {

class At102FamilyCard : public ReaderCard {
 public:
  CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override;
  void put_line(uint8_t line, uint8_t value, uint64_t now_ns) override;
  uint8_t get_line(uint8_t line, uint64_t now_ns) override;
  std::string name() const override { return map_.name; }

  const std::vector<uint8_t>& memory() const { return memory_; }
  bool powered() const { return powered_; }
  std::size_t address() const { return address_; }
  bool fuse_blown() const { return !bit(velmor::at102::bit_of(map_.fuse)); }
  // Whether the rights of password index `index` were granted since power on.
  bool granted(std::size_t index) const { return index < granted_.size() && granted_[index]; }
  const std::vector<std::string>& violations() const { return violations_; }

 protected:
  At102FamilyCard(const velmor::at102::CardMap& map, std::vector<uint8_t> memory);

  const velmor::at102::CardMap& map() const { return map_; }
  bool bit(std::size_t address) const;
  void set_bit(std::size_t address, bool value);
  void fill(const velmor::at102::Field& field, uint8_t value);
  static bool in(const velmor::at102::Field& field, std::size_t byte) {
    return byte >= field.address && byte < std::size_t{field.address} + field.size;
  }
  // The counter index whose field holds the byte, if any.
  std::optional<std::size_t> counter_at(std::size_t byte) const;
  // A code with an attempt counter grants its rights through the counter.
  virtual bool has_attempt_counter(std::size_t index) const { return index < map_.counters.size() && map_.counters[index].has_value(); }
  virtual unsigned attempt_bits(std::size_t index) const;
  bool has_attempt(std::size_t index) const;
  void log_violation(std::string fault) { violations_.push_back(std::move(fault)); }

  // The map's rights.
  virtual bool may_write(std::size_t byte) const = 0;
  virtual bool may_erase(std::size_t byte) const = 0;
  // An erase cycle the map handles itself (zone erases, global erase);
  // true when it did.
  virtual bool special_erase(std::size_t /*bit*/) { return false; }
  // A fuse other than the issuer fuse; true when `bit` is one.
  virtual bool other_fuse(std::size_t /*bit*/) const { return false; }
  virtual std::size_t erase_unit() const { return 1; }

  // What happened just before the current programming cycle.
  std::optional<std::size_t> just_compared() const { return just_compared_; }
  std::optional<std::size_t> just_spent() const { return just_spent_; }

 private:
  void power(bool on);
  void programming_cycle();
  void write_zero(std::size_t bit_address);
  void erase_unit_at(std::size_t bit_address);
  // Erases the bytes [first, end) if every unit they touch may be erased;
  // a counter's erase after its code compared equal grants the code.
  void erase_bytes(std::size_t first, std::size_t end);
  void compare(uint8_t value);
  bool byte_aligned(const char* what);

  const velmor::at102::CardMap& map_;
  std::vector<uint8_t> memory_;
  bool powered_ = false;
  std::size_t address_ = 0;
  uint8_t clk_ = 0;
  uint8_t io_ = 1;
  uint8_t fus_ = 0;
  uint8_t pgm_ = 0;
  std::vector<bool> granted_;
  std::vector<bool> compared_equal_;
  std::optional<std::size_t> comparing_;  // the code being compared
  std::size_t compared_bytes_ = 0;
  bool all_equal_ = false;
  std::optional<std::size_t> just_compared_;  // a code that compared equal, nothing since
  std::optional<std::size_t> just_spent_;     // a counter whose 1 bit just became 0
  std::vector<std::string> violations_;
};

// AT102: 196 bytes. Zone erases: an erase cycle right after an erase key
// compared equal erases the key's zone; zone 2 only once its erase limit is
// lifted (bit 1529 programmed), or right after a 0 went into an intact bit of
// its erase counter (128 erases). An erase cycle at byte 180 with the
// security code granted and the fuse intact erases bytes 2 to 179.
class At102Card final : public At102FamilyCard {
 public:
  // FC as given; everything else erased (0xFF): security code FF FF, every
  // attempt and erase left.
  explicit At102Card(std::vector<uint8_t> memory);
  static std::vector<uint8_t> fresh(uint8_t fc0, uint8_t fc1);
  bool az2_unlimited() const { return !bit(velmor::at102::map102::kAz2UnlimitedBit); }

 private:
  bool has_attempt_counter(std::size_t index) const override { return index == 0; }
  unsigned attempt_bits(std::size_t index) const override;
  bool may_write(std::size_t byte) const override;
  bool may_erase(std::size_t byte) const override;
  bool special_erase(std::size_t bit) override;
  bool other_fuse(std::size_t bit) const override { return bit == velmor::at102::map102::kAz2UnlimitedBit; }
  std::size_t erase_unit() const override { return 2; }

  bool zone2_erase_spent_ = false;  // an erase-counter bit went since power on
};

// AT1604 and AT6601: codes 1 to 4 gate writes of zones 0 to 3, keys 5 to 8
// their erases; the AT6601's codes 2 to 4 have no counter.
class At1604FamilyCard final : public At102FamilyCard {
 public:
  At1604FamilyCard(const velmor::at102::CardMap& map, std::vector<uint8_t> memory);
  // FC as given; everything else erased.
  static std::vector<uint8_t> fresh(uint8_t fc0, uint8_t fc1);

 private:
  std::optional<std::size_t> zone_at(std::size_t byte) const;
  std::optional<std::size_t> code_at(std::size_t byte) const;
  bool may_write(std::size_t byte) const override;
  bool may_erase(std::size_t byte) const override;
};

}  // namespace kdx::sim
