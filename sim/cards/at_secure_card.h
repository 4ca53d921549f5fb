// The AT153 and AT1608 secure memory models on the reader's two-wire bus
// (sim/cards/two_wire_card.h): the answer to reset is configuration bytes 0
// to 3; the first byte of a transaction is the command byte, acknowledged
// when the chip knows it; once a read command and its address are in, the
// card outputs the zone from that address (rolling over inside the zone).
// At the stop the card takes a write, a verification, an authentication
// response or a fuse write and starts its write cycle of 5 ms, during which
// it ignores whole transactions. Powering off forgets the open password
// sets, the authentication and (AT1608) the selected zone.
//
// Write pages (AT153: 8, AT1608: 16 bytes) wrap inside their page.
//
// Password sets: each set has a write and a read password behind their own
// attempts counter (PAC). A wrong presentation clears one PAC bit; a right
// one while the PAC is not 0 restores it to 0xFF and opens the password's
// rights until power-off (the write password: reading and writing, the read
// password: reading); PAC 0 is locked for good.
//
// Access register of user zone n (0 enables its condition; a fresh card has
// 0xFF, a free zone): bits 0 to 2 the password set (AT153: bit 0), bit 4
// reading needs the set's read or write password, bit 5 writing needs its
// write password, bit 6 reading needs the authentication, bit 7 writing
// needs it. A zone refused to reading reads as 0xFF; a refused write is
// dropped at the stop.
//
// Authentication: the challenge command runs the cipher on the card's own
// cryptogram block (AT153: bytes 32 to 39, the AAC and Ci; AT1608: Ci at 40
// to 47), its Gc and the challenge; a response that matches sets the AAC to
// 0xFF, stores the new cryptogram (AT153: bytes 33 to 39; AT1608: 40 to 47)
// and opens the zones that need the authentication until power-off; a wrong
// one clears one AAC bit. AAC 0 refuses every challenge.
//
// Fuses FAB, CMA, PER (fuse byte bits 0, 1, 2; 1 = intact), blown only in
// that order and never restored. AT153: 0xBA names the fuse to blow; one out
// of order is ignored. AT1608: 0xB4 0x80 with no data byte blows the next
// intact fuse. Until FAB is blown the whole configuration zone is open to
// the issuer; FAB locks the answer to reset, LHC and FC, CMA the CMC, PER the
// rest but the MTZ and the password fields (a set's password and PAC take
// writes while its write password is open). After PER, Gc reads as 0xFF and
// so do the passwords whose write password is not open.
//
// AT1608 SetZone keeps only the low 3 bits of its zone byte.
//
// Host protocol faults (those of the bus, an unknown or malformed command,
// clocking a card with no output, a fuse named out of order) are logged in
// violations(); the card then does what the chip would.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/cards/two_wire_card.h"

namespace kdx::sim {

// The chip's part of the model: its layout.
struct SecureChip {
  const char* name;
  std::size_t user_zones;
  std::size_t zone_size;
  std::size_t config_size;
  std::size_t page_size;
  std::size_t password_sets;
  uint8_t ar_address;
  uint8_t ar_set_mask;
  uint8_t (*pac_address)(uint8_t index);  // index bit 0..2 set, top bit read password
  uint8_t read_password_bit;              // the index bit that names the read password
  uint8_t cryptogram_address;             // the block the cipher starts from
  uint8_t renewed_from;                   // the first byte of that block a success renews
  uint8_t gc_address;
  std::size_t locked_by_fab;  // configuration bytes 0 to this - 1
  uint8_t cmc_address, cmc_size;
  uint8_t mtz_address, mtz_size;
};

class SecureMemoryCard : public TwoWireCard {
 public:
  // The card's memory: user zones and the configuration zone.
  std::vector<std::vector<uint8_t>>& zones() { return zones_; }
  const std::vector<std::vector<uint8_t>>& zones() const { return zones_; }
  std::vector<uint8_t>& config() { return config_; }
  const std::vector<uint8_t>& config() const { return config_; }
  uint8_t fuses() const { return fuses_; }
  void set_fuses(uint8_t fuses) { fuses_ = fuses; }

  bool authenticated() const { return authenticated_; }
  // The rights of password set `set` are open: (write, read).
  bool write_open(std::size_t set) const { return write_open_.at(set); }
  bool read_open(std::size_t set) const { return read_open_.at(set); }

  // Fault switch: a right authentication stores its new cryptogram with
  // this byte of the block (counted from the cryptogram address) inverted.
  void corrupt_new_cryptogram(std::optional<std::size_t> byte) { corrupt_byte_ = byte; }

  static constexpr uint64_t kWriteCycleNs = 5'000'000;

 protected:
  explicit SecureMemoryCard(const SecureChip& chip);

  const SecureChip& chip() const { return chip_; }
  void fault(std::string what) { log_violation(std::move(what)); }

  // Called with the bytes sent so far in the current transaction, each time
  // more arrive; a read command starts the output here.
  virtual void on_bytes(const std::vector<uint8_t>& bytes) = 0;
  // Called at the stop with every byte of the transaction.
  virtual void on_stop(const std::vector<uint8_t>& bytes) = 0;
  virtual void on_power_off() {}
  // Whether the chip acknowledges this command byte.
  virtual bool knows(uint8_t command) const = 0;

  // For the chips' command decoding.
  void output_zone(std::size_t zone, std::size_t address);  // zone == user_zones: configuration
  void output_byte(uint8_t byte);
  void write_zone(std::size_t zone, std::size_t address, std::span<const uint8_t> data);
  void verify(uint8_t index, std::span<const uint8_t> password);
  // A challenge or response command: its byte and 8 data bytes.
  void auth_challenge(const std::vector<uint8_t>& bytes);
  void auth_response(const std::vector<uint8_t>& bytes);
  void blow_fuse(uint8_t fuse);  // one bit; out of order is ignored
  void blow_next_fuse();
  void start_write_cycle() { write_cycle_ = true; }
  // The count of data bytes a command of `header` bytes carries must lie in
  // [least, most]; else a fault and false.
  bool expect_data(const std::vector<uint8_t>& bytes, std::size_t header, std::size_t least, std::size_t most,
                   const char* what);

 private:
  void begin() override;
  bool device_byte(uint8_t byte) override;
  bool data_byte(uint8_t byte) override;
  uint8_t output_byte() override;
  uint64_t end() override;
  void powered_off() override;
  std::vector<uint8_t> answer_to_reset() const override;

  bool can_read(std::size_t zone) const;
  bool can_write(std::size_t zone) const;
  bool config_writable(std::size_t address) const;
  uint8_t config_output(std::size_t address) const;

  const SecureChip& chip_;
  std::vector<std::vector<uint8_t>> zones_;
  std::vector<uint8_t> config_;
  uint8_t fuses_ = 0x07;

  std::vector<uint8_t> bytes_;
  bool write_cycle_ = false;
  bool output_ = false;
  std::size_t output_zone_ = 0;
  std::size_t output_address_ = 0;
  std::optional<uint8_t> single_output_;
  std::vector<bool> write_open_, read_open_;
  bool authenticated_ = false;
  std::optional<std::array<uint8_t, 8>> expected_response_;
  std::array<uint8_t, 8> next_cryptogram_{};
  std::optional<std::size_t> corrupt_byte_;
};

// AT153: user zones 0 to 2 and the configuration zone, 64 bytes each;
// 0xB0/0xB1 | zone << 2 write/read, 0xB3 | index << 2 verify, 0xB2
// challenge, 0xB6 response, 0xBA write fuse, 0xBE read fuse.
class At153Card final : public SecureMemoryCard {
 public:
  // A fresh card: zones 0xFF, answer to reset 34 55 AA 05, every AR 0xFF,
  // AAC and PACs 0xFF, passwords 0xFF 0xFF 0xFF, Gc and Ci 0, fuses intact.
  At153Card();
  std::string name() const override { return "AT153"; }

 private:
  void on_bytes(const std::vector<uint8_t>& bytes) override;
  void on_stop(const std::vector<uint8_t>& bytes) override;
  bool knows(uint8_t command) const override;
};

// AT1608: user zones 0 to 7 of 256 bytes, reached through the selected zone
// (0xB2 zone), and the 128-byte configuration zone; 0xB0/0xB1 write/read
// the selected zone, 0xB4/0xB5 the configuration (address 0x80: the
// fuses), 0xB3 index verify, 0xB6 challenge, 0xB7 response.
class At1608Card final : public SecureMemoryCard {
 public:
  // A fresh card as the AT153's, answer to reset 34 55 AA 85.
  At1608Card();
  std::string name() const override { return "AT1608"; }
  uint8_t selected_zone() const { return selected_zone_; }

 private:
  void on_bytes(const std::vector<uint8_t>& bytes) override;
  void on_stop(const std::vector<uint8_t>& bytes) override;
  void on_power_off() override { selected_zone_ = 0; }
  bool knows(uint8_t command) const override;

  uint8_t selected_zone_ = 0;
};

}  // namespace kdx::sim
