#include "sim/cards/at_secure_card.h"

#include <algorithm>
#include <cstdio>

#include "cards/at_secure.h"

namespace kdx::sim {
namespace {

namespace bus = kdx::velmor::at_secure;

constexpr uint8_t kIdle = 0xFF;  // the bus's pull-up
constexpr std::size_t kBlock = 8;

// The authentication cipher as the card runs it: three registers of 7, 7
// and 5 cells clocked by the input bytes, then read out a nibble every
// second clock.
class CardCipher {
 public:
  void feed(uint8_t x) {
    clock(static_cast<uint8_t>(x & 0x1F), static_cast<uint8_t>(x >> 3),
          static_cast<uint8_t>(((x & 0x0F) << 3) | (x >> 5)));
  }
  uint8_t nibble() {
    clock(0, 0, 0);
    clock(0, 0, 0);
    return static_cast<uint8_t>((((r_[0] ^ r_[4]) & ~s_[0]) | (s_[0] & (t_[0] ^ t_[3]))) & 0x0F);
  }
  uint8_t byte() {
    const uint8_t high = nibble();
    return static_cast<uint8_t>((high << 4) | nibble());
  }

 private:
  static uint8_t reduce(unsigned sum, unsigned modulus) {
    if (sum <= modulus) return static_cast<uint8_t>(sum);
    const unsigned rest = sum % modulus;
    return static_cast<uint8_t>(rest == 0 ? modulus : rest);
  }
  static uint8_t rotate(uint8_t v, unsigned bits) {
    const unsigned mask = (1u << bits) - 1;
    return static_cast<uint8_t>(((v << 1) & mask) | ((v >> (bits - 1)) & 1));
  }
  void clock(uint8_t a, uint8_t b, uint8_t c) {
    const uint8_t r0 = reduce(r_[3] + rotate(r_[6], 5), 31);
    const uint8_t s0 = reduce(s_[5] + rotate(s_[6], 7), 127);
    const uint8_t t0 = reduce(t_[2] + t_[4], 31);
    const uint8_t r3 = r_[2] ^ a, s5 = s_[4] ^ c, t2 = t_[1] ^ b;
    std::copy_backward(r_.begin(), r_.end() - 1, r_.end());
    std::copy_backward(s_.begin(), s_.end() - 1, s_.end());
    std::copy_backward(t_.begin(), t_.end() - 1, t_.end());
    r_[0] = r0, r_[3] = r3, s_[0] = s0, s_[5] = s5, t_[0] = t0, t_[2] = t2;
  }
  std::array<uint8_t, 7> r_{}, s_{};
  std::array<uint8_t, 5> t_{};
};

std::string hex_bytes(std::span<const uint8_t> bytes) {
  std::string text;
  char piece[4];
  for (uint8_t b : bytes) {
    std::snprintf(piece, sizeof piece, "%s%02X", text.empty() ? "" : " ", b);
    text += piece;
  }
  return text;
}

// Which password set's field (PAC or password) holds `address`, if any.
std::optional<std::size_t> password_set_of(const SecureChip& chip, std::size_t address) {
  for (uint8_t index = 0; index < 2 * chip.password_sets; ++index) {
    const uint8_t pac = chip.pac_address(index);
    if (address >= pac && address < pac + 1 + bus::kPasswordSize) {
      return static_cast<std::size_t>(index & (chip.read_password_bit - 1));
    }
  }
  return std::nullopt;
}

}  // namespace

SecureMemoryCard::SecureMemoryCard(const SecureChip& chip)
    : chip_(chip),
      zones_(chip.user_zones, std::vector<uint8_t>(chip.zone_size, 0xFF)),
      config_(chip.config_size, 0),
      write_open_(chip.password_sets),
      read_open_(chip.password_sets) {
  for (std::size_t z = 0; z < chip.user_zones; ++z) config_[chip.ar_address + z] = 0xFF;
  config_[bus::kAacAddress] = bus::kCounterOpen;
  for (uint8_t index = 0; index < 2 * chip.password_sets; ++index) {
    const uint8_t pac = chip.pac_address(index);
    std::fill_n(config_.begin() + pac, 1 + bus::kPasswordSize, 0xFF);
  }
}

void SecureMemoryCard::begin() {
  bytes_.clear();
  output_ = false;
  single_output_.reset();
  write_cycle_ = false;
}

bool SecureMemoryCard::device_byte(uint8_t byte) {
  if (!knows(byte)) {
    fault("unknown command byte " + hex_bytes({&byte, 1}));
    return false;
  }
  bytes_.push_back(byte);
  on_bytes(bytes_);
  return true;
}

bool SecureMemoryCard::data_byte(uint8_t byte) {
  if (output_ || single_output_) {
    fault("byte sent after a read command was complete");
    return false;
  }
  bytes_.push_back(byte);
  on_bytes(bytes_);
  return true;
}

uint8_t SecureMemoryCard::output_byte() {
  if (single_output_) {
    const uint8_t byte = *single_output_;
    single_output_.reset();
    return byte;
  }
  if (!output_) {
    fault("bytes clocked from a card with no output");
    return kIdle;
  }
  const bool config = output_zone_ == chip_.user_zones;
  const uint8_t byte = config ? config_output(output_address_)
                              : (can_read(output_zone_) ? zones_[output_zone_][output_address_] : kIdle);
  output_address_ = (output_address_ + 1) % (config ? chip_.config_size : chip_.zone_size);
  return byte;
}

uint64_t SecureMemoryCard::end() {
  on_stop(bytes_);
  output_ = false;
  single_output_.reset();
  return write_cycle_ ? kWriteCycleNs : 0;
}

void SecureMemoryCard::powered_off() {
  std::fill(write_open_.begin(), write_open_.end(), false);
  std::fill(read_open_.begin(), read_open_.end(), false);
  authenticated_ = false;
  expected_response_.reset();
  on_power_off();
}

std::vector<uint8_t> SecureMemoryCard::answer_to_reset() const {
  return {config_.begin(), config_.begin() + bus::kAtrSize};
}

void SecureMemoryCard::output_zone(std::size_t zone, std::size_t address) {
  const std::size_t size = zone == chip_.user_zones ? chip_.config_size : chip_.zone_size;
  if (address >= size) {
    fault("read address " + std::to_string(address) + " outside the zone");
    address %= size;
  }
  output_ = true;
  output_zone_ = zone;
  output_address_ = address;
}

void SecureMemoryCard::output_byte(uint8_t byte) { single_output_ = byte; }

void SecureMemoryCard::write_zone(std::size_t zone, std::size_t address, std::span<const uint8_t> data) {
  const bool config = zone == chip_.user_zones;
  const std::size_t size = config ? chip_.config_size : chip_.zone_size;
  if (address >= size) {
    fault("write address " + std::to_string(address) + " outside the zone");
    return;
  }
  start_write_cycle();
  const std::size_t page = address - address % chip_.page_size;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t at = page + (address - page + i) % chip_.page_size;
    if (config) {
      if (config_writable(at)) config_[at] = data[i];
    } else if (can_write(zone)) {
      zones_[zone][at] = data[i];
    }
  }
}

void SecureMemoryCard::verify(uint8_t index, std::span<const uint8_t> password) {
  start_write_cycle();
  const uint8_t pac = chip_.pac_address(index);
  const std::size_t set = index & (chip_.read_password_bit - 1);
  const bool read_password = (index & chip_.read_password_bit) != 0;
  if (config_[pac] == 0) return;
  if (std::equal(password.begin(), password.end(), config_.begin() + pac + 1)) {
    config_[pac] = bus::kCounterOpen;
    (read_password ? read_open_ : write_open_)[set] = true;
  } else {
    config_[pac] = static_cast<uint8_t>(config_[pac] & (config_[pac] - 1));
  }
}

void SecureMemoryCard::auth_challenge(const std::vector<uint8_t>& bytes) {
  if (!expect_data(bytes, 1, kBlock, kBlock, "challenge")) return;
  const uint8_t* challenge = bytes.data() + 1;
  expected_response_.reset();
  authenticated_ = false;
  if (config_[bus::kAacAddress] == 0) return;
  const uint8_t* block = config_.data() + chip_.cryptogram_address;
  const uint8_t* gc = config_.data() + chip_.gc_address;
  CardCipher cipher;
  for (std::size_t i = 0; i < 4; ++i) {
    cipher.feed(block[2 * i]);
    cipher.feed(block[2 * i + 1]);
    cipher.feed(challenge[i]);
  }
  for (std::size_t i = 0; i < 4; ++i) {
    cipher.feed(gc[2 * i]);
    cipher.feed(gc[2 * i + 1]);
    cipher.feed(challenge[4 + i]);
  }
  std::array<uint8_t, kBlock> response{};
  for (std::size_t k = 0; k < kBlock; ++k) {
    next_cryptogram_[k] = cipher.byte();
    response[k] = cipher.byte();
  }
  expected_response_ = response;
}

void SecureMemoryCard::auth_response(const std::vector<uint8_t>& bytes) {
  if (!expect_data(bytes, 1, kBlock, kBlock, "response")) return;
  const std::span<const uint8_t> response{bytes.data() + 1, kBlock};
  start_write_cycle();
  uint8_t& aac = config_[bus::kAacAddress];
  const bool right = expected_response_ && std::equal(response.begin(), response.end(), expected_response_->begin());
  expected_response_.reset();
  if (aac == 0) return;
  if (!right) {
    aac = static_cast<uint8_t>(aac & (aac - 1));
    authenticated_ = false;
    return;
  }
  aac = bus::kCounterOpen;
  authenticated_ = true;
  if (corrupt_byte_ && *corrupt_byte_ < kBlock) next_cryptogram_[*corrupt_byte_] ^= 0xFF;
  std::copy(next_cryptogram_.begin() + chip_.renewed_from, next_cryptogram_.end(),
            config_.begin() + chip_.cryptogram_address + chip_.renewed_from);
}

void SecureMemoryCard::blow_fuse(uint8_t fuse) {
  start_write_cycle();
  const auto next = static_cast<uint8_t>(fuses_ & -fuses_);  // the lowest intact fuse
  if (fuse == 0 || fuse != next) {
    fault("fuse byte " + hex_bytes({&fuse, 1}) + " does not name the next intact fuse");
    return;
  }
  fuses_ = static_cast<uint8_t>(fuses_ & ~fuse);
}

void SecureMemoryCard::blow_next_fuse() {
  start_write_cycle();
  fuses_ = static_cast<uint8_t>(fuses_ & (fuses_ - 1));
}

bool SecureMemoryCard::expect_data(const std::vector<uint8_t>& bytes, std::size_t header, std::size_t least,
                                   std::size_t most, const char* what) {
  const std::size_t data = bytes.size() < header ? 0 : bytes.size() - header;
  if (bytes.size() >= header && data >= least && data <= most) return true;
  fault(std::string(what) + " with " + std::to_string(bytes.size()) + " bytes: " + hex_bytes(bytes));
  return false;
}

bool SecureMemoryCard::can_read(std::size_t zone) const {
  const uint8_t ar = config_[chip_.ar_address + zone];
  const std::size_t set = ar & chip_.ar_set_mask;
  const bool password = (ar & bus::kArReadPassword) != 0 || read_open_[set] || write_open_[set];
  return password && ((ar & bus::kArReadAuth) != 0 || authenticated_);
}

bool SecureMemoryCard::can_write(std::size_t zone) const {
  const uint8_t ar = config_[chip_.ar_address + zone];
  const std::size_t set = ar & chip_.ar_set_mask;
  const bool password = (ar & bus::kArWritePassword) != 0 || write_open_[set];
  return password && ((ar & bus::kArWriteAuth) != 0 || authenticated_);
}

bool SecureMemoryCard::config_writable(std::size_t address) const {
  if ((fuses_ & bus::kFuseFab) != 0) return true;
  if (address < chip_.locked_by_fab) return false;
  if (address >= chip_.cmc_address && address < chip_.cmc_address + chip_.cmc_size) {
    return (fuses_ & bus::kFuseCma) != 0;
  }
  if ((fuses_ & bus::kFusePer) != 0) return true;
  if (address >= chip_.mtz_address && address < chip_.mtz_address + chip_.mtz_size) return true;
  const std::optional<std::size_t> set = password_set_of(chip_, address);
  return set && write_open_[*set];
}

uint8_t SecureMemoryCard::config_output(std::size_t address) const {
  if ((fuses_ & bus::kFusePer) != 0) return config_[address];
  if (address >= chip_.gc_address && address < chip_.gc_address + kBlock) return kIdle;
  const std::optional<std::size_t> set = password_set_of(chip_, address);
  if (!set || write_open_[*set]) return config_[address];
  // The counters stay readable; the passwords do not.
  for (uint8_t index = 0; index < 2 * chip_.password_sets; ++index) {
    if (chip_.pac_address(index) == address) return config_[address];
  }
  return kIdle;
}

}  // namespace kdx::sim
