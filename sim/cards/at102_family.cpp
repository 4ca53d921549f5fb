#include "sim/cards/at102_family.h"

#include <algorithm>
#include <cstdio>

namespace kdx::sim {
namespace {

namespace at = kdx::velmor::at102;
using at::kBitsPerByte;

constexpr uint8_t kIdle = 0xFF;

std::string describe(const char* what, std::size_t bit) {
  char text[96];
  std::snprintf(text, sizeof text, "%s at bit %zu (byte %zu)", what, bit, bit / kBitsPerByte);
  return text;
}

std::size_t count_of(std::span<const uint8_t> data) {
  return data.size() >= 2 ? static_cast<std::size_t>(data[0] | (data[1] << 8)) : 0;
}

bool family_code(uint8_t code) { return code >= at::kPower && code <= at::kCompare; }

}  // namespace

At102FamilyCard::At102FamilyCard(const at::CardMap& map, std::vector<uint8_t> memory)
    : map_(map), memory_(std::move(memory)), granted_(map.codes.size()), compared_equal_(map.codes.size()) {
  memory_.resize(map.memory_size, kIdle);
}

bool At102FamilyCard::bit(std::size_t address) const {
  const std::size_t byte = address / kBitsPerByte;
  if (byte >= memory_.size()) return true;
  return (memory_[byte] & (0x80u >> (address % kBitsPerByte))) != 0;
}

void At102FamilyCard::set_bit(std::size_t address, bool value) {
  const std::size_t byte = address / kBitsPerByte;
  if (byte >= memory_.size()) return;
  const auto mask = static_cast<uint8_t>(0x80u >> (address % kBitsPerByte));
  memory_[byte] = static_cast<uint8_t>(value ? memory_[byte] | mask : memory_[byte] & ~mask);
}

void At102FamilyCard::fill(const at::Field& field, uint8_t value) {
  std::fill_n(memory_.begin() + field.address, field.size, value);
}

std::optional<std::size_t> At102FamilyCard::counter_at(std::size_t byte) const {
  for (std::size_t i = 0; i < map_.counters.size(); ++i) {
    if (map_.counters[i] && in(*map_.counters[i], byte)) return i;
  }
  return std::nullopt;
}

unsigned At102FamilyCard::attempt_bits(std::size_t index) const {
  return map_.counters[index] ? map_.counters[index]->size * kBitsPerByte : 0;
}

bool At102FamilyCard::has_attempt(std::size_t index) const {
  const std::size_t first = at::bit_of(map_.counters[index]->address);
  for (std::size_t k = 0; k < attempt_bits(index); ++k) {
    if (bit(first + k)) return true;
  }
  return false;
}

CardReply At102FamilyCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) {
  if (!family_code(code)) return ReaderCard::command(code, data, now_ns);
  if (code == at::kPower) {
    if (!data.empty()) power(data[0] != 0);
    return {};
  }
  CardReply reply;
  const std::size_t count = count_of(data);
  if (!powered_) {
    log_violation("reader command " + std::to_string(code) + " to an unpowered card");
    if (code == at::kRead) reply.data.assign(count, kIdle);
    return reply;
  }
  just_compared_.reset();
  just_spent_.reset();
  switch (code) {
    case at::kRewind:
      address_ = 0;
      break;
    case at::kAdvance:
      address_ += count * kBitsPerByte;
      break;
    case at::kRead:
      reply.data.assign(count, 0);
      for (std::size_t k = 0; k < count * kBitsPerByte; ++k, ++address_) {
        if (bit(address_)) reply.data[k / kBitsPerByte] |= static_cast<uint8_t>(0x80u >> (k % kBitsPerByte));
      }
      break;
    case at::kWrite:
      for (uint8_t value : data) {
        for (unsigned k = 0; k < kBitsPerByte; ++k, ++address_) {
          if ((value & (0x80u >> k)) == 0) write_zero(address_);
        }
      }
      just_spent_.reset();
      break;
    case at::kEraseBytes:
    case at::kEraseWords:
      if (code != map_.erase_code) {
        log_violation("erase code " + std::to_string(code) + " is not this card's");
        break;
      }
      if (!byte_aligned("erase")) break;
      erase_bytes(address_ / kBitsPerByte, address_ / kBitsPerByte + count);
      address_ += count * kBitsPerByte;
      break;
    case at::kCompare:
      if (!data.empty()) compare(data[0]);
      break;
    default:
      break;
  }
  return reply;
}

void At102FamilyCard::power(bool on) {
  powered_ = on;
  address_ = 0;
  std::fill(granted_.begin(), granted_.end(), false);
  std::fill(compared_equal_.begin(), compared_equal_.end(), false);
  comparing_.reset();
  just_compared_.reset();
  just_spent_.reset();
}

bool At102FamilyCard::byte_aligned(const char* what) {
  if (address_ % kBitsPerByte == 0) return true;
  log_violation(describe(what, address_) + " off a byte boundary");
  return false;
}

void At102FamilyCard::compare(uint8_t value) {
  const std::size_t byte = address_ / kBitsPerByte;
  if (!byte_aligned("compare")) {
    address_ += kBitsPerByte;
    return;
  }
  address_ += kBitsPerByte;
  std::optional<std::size_t> index;
  for (std::size_t i = 0; i < map_.codes.size(); ++i) {
    if (in(map_.codes[i], byte)) index = i;
  }
  if (!index) {
    log_violation(describe("compare outside every code", byte * kBitsPerByte));
    comparing_.reset();
    return;
  }
  const at::Field& code = map_.codes[*index];
  const std::size_t position = byte - code.address;
  if (position == 0) {
    comparing_ = index;
    compared_bytes_ = 0;
    all_equal_ = true;
  } else if (comparing_ != index || compared_bytes_ != position) {
    log_violation(describe("compare out of the code's order", byte * kBitsPerByte));
    comparing_.reset();
    return;
  }
  all_equal_ = all_equal_ && memory_[byte] == value;
  if (++compared_bytes_ < code.size) return;
  comparing_.reset();
  if (has_attempt_counter(*index)) {
    // A card without an attempt left compares nothing.
    compared_equal_[*index] = all_equal_ && has_attempt(*index);
  } else if (all_equal_) {
    granted_[*index] = true;
  }
  if (all_equal_) just_compared_ = index;
}

void At102FamilyCard::put_line(uint8_t line, uint8_t value, uint64_t) {
  switch (line) {
    case at::kClk: {
      const bool rise = clk_ == 0 && value != 0;
      clk_ = value;
      if (!rise) return;
      if (!powered_) {
        log_violation("clock on an unpowered card");
        return;
      }
      if (pgm_ != 0) {
        programming_cycle();
      } else {
        ++address_;
        just_compared_.reset();
        just_spent_.reset();
      }
      return;
    }
    case at::kIo:
      io_ = value;
      return;
    case at::kFus:
      fus_ = value;
      return;
    case at::kPgm:
      pgm_ = value;
      return;
    default:
      return;
  }
}

uint8_t At102FamilyCard::get_line(uint8_t line, uint64_t) {
  if (line != at::kIo) return 0;
  const bool card_bit = !powered_ || bit(address_);
  return static_cast<uint8_t>(card_bit && io_ != 0 ? 1 : 0);
}

void At102FamilyCard::programming_cycle() {
  if (fus_ != 0) {
    if (address_ == at::bit_of(map_.fuse) || other_fuse(address_)) {
      set_bit(address_, false);
    } else {
      log_violation(describe("fuse cycle off a fuse", address_));
    }
    just_compared_.reset();
    just_spent_.reset();
    return;
  }
  if (io_ == 0) {
    just_compared_.reset();
    just_spent_.reset();
    write_zero(address_);
    return;
  }
  if (!special_erase(address_)) erase_unit_at(address_);
  just_compared_.reset();
  just_spent_.reset();
}

void At102FamilyCard::write_zero(std::size_t bit_address) {
  const std::size_t byte = bit_address / kBitsPerByte;
  if (byte >= memory_.size()) return;
  const bool in_counter = counter_at(byte).has_value();
  if (!in_counter && !may_write(byte)) return;
  if (in_counter && bit(bit_address)) just_spent_ = counter_at(byte);
  set_bit(bit_address, false);
}

void At102FamilyCard::erase_unit_at(std::size_t bit_address) {
  const std::size_t unit = erase_unit();
  const std::size_t first = bit_address / kBitsPerByte / unit * unit;
  erase_bytes(first, first + unit);
}

void At102FamilyCard::erase_bytes(std::size_t first, std::size_t end) {
  const std::size_t unit = erase_unit();
  end = std::min(end, memory_.size());
  for (std::size_t start = first / unit * unit; start < end; start += unit) {
    const std::size_t unit_end = std::min(start + unit, memory_.size());
    const std::optional<std::size_t> counter = counter_at(start);
    const bool counter_erase = counter && compared_equal_[*counter];
    bool allowed = true;
    for (std::size_t b = start; b < unit_end; ++b) allowed = allowed && (counter_erase || may_erase(b));
    if (!allowed) continue;
    for (std::size_t b = std::max(start, first); b < std::min(unit_end, end); ++b) memory_[b] = kIdle;
    if (counter_erase) {
      compared_equal_[*counter] = false;
      granted_[*counter] = true;
    }
  }
}

// ---------------------------------------------------------------- AT102

namespace {
namespace m = at::map102;
constexpr std::size_t kSc = 0, kEz1 = 1, kEz2 = 2;
}  // namespace

At102Card::At102Card(std::vector<uint8_t> memory) : At102FamilyCard(at::kAt102, std::move(memory)) {}

std::vector<uint8_t> At102Card::fresh(uint8_t fc0, uint8_t fc1) {
  std::vector<uint8_t> memory(m::kMemorySize, kIdle);
  memory[0] = fc0;
  memory[1] = fc1;
  return memory;
}

unsigned At102Card::attempt_bits(std::size_t index) const {
  return index == kSc ? m::kScAttempts : At102FamilyCard::attempt_bits(index);
}

bool At102Card::may_write(std::size_t byte) const {
  if (in(m::kMtz, byte)) return true;
  if (in(m::kIc, byte)) return granted(kSc) && !fuse_blown();
  return granted(kSc) && byte >= m::kSc.address && byte < m::kMtz.address;
}

bool At102Card::may_erase(std::size_t byte) const {
  if (in(m::kMtz, byte)) return true;
  // Only a right code restores the attempts; the verification reads the
  // restored bit back.
  if (in(m::kScac, byte)) return false;
  if (in(m::kAz1, byte)) return granted(kEz1);
  if (in(m::kAz2, byte)) return granted(kEz2) && (az2_unlimited() || zone2_erase_spent_);
  if (in(m::kIc, byte) || in(m::kEc2, byte)) return granted(kSc) && !fuse_blown();
  return granted(kSc) && byte >= m::kSc.address && byte < m::kMtz.address;
}

bool At102Card::special_erase(std::size_t bit_address) {
  const std::size_t byte = bit_address / kBitsPerByte;
  if (byte == m::kGlobalErase) {
    if (granted(kSc) && !fuse_blown()) {
      fill({m::kIc.address, static_cast<uint16_t>(m::kGlobalErase - m::kIc.address)}, kIdle);
    }
    return true;
  }
  if (just_compared() == kEz1) {
    fill(m::kAz1, kIdle);
    return true;
  }
  if (just_compared() == kEz2) {
    if (az2_unlimited()) fill(m::kAz2, kIdle);
    return true;
  }
  if (just_spent() == kEz2 && granted(kEz2)) {
    zone2_erase_spent_ = true;
    fill(m::kAz2, kIdle);
    return true;
  }
  return false;
}

// ----------------------------------------------------- AT1604 and AT6601

At1604FamilyCard::At1604FamilyCard(const at::CardMap& map, std::vector<uint8_t> memory)
    : At102FamilyCard(map, std::move(memory)) {}

std::vector<uint8_t> At1604FamilyCard::fresh(uint8_t fc0, uint8_t fc1) {
  std::vector<uint8_t> memory(at::kLargeMemorySize, kIdle);
  memory[0] = fc0;
  memory[1] = fc1;
  return memory;
}

std::optional<std::size_t> At1604FamilyCard::zone_at(std::size_t byte) const {
  const auto zones = map().zones.first(map().zones.size() - 1);
  for (std::size_t z = 0; z < zones.size(); ++z) {
    if (in({zones[z].base, zones[z].size}, byte)) return z;
  }
  return std::nullopt;
}

std::optional<std::size_t> At1604FamilyCard::code_at(std::size_t byte) const {
  for (std::size_t i = 0; i < map().codes.size(); ++i) {
    if (in(map().codes[i], byte)) return i;
  }
  return std::nullopt;
}

bool At1604FamilyCard::may_write(std::size_t byte) const {
  if (in(map().mtz, byte)) return true;
  if (in(map().ic, byte)) return granted(0) && !fuse_blown();
  if (in(map().cpz, byte)) return granted(0);
  if (const auto zone = zone_at(byte)) return granted(at::kFirstZoneCode + *zone);
  if (code_at(byte)) return granted(0);
  return false;
}

bool At1604FamilyCard::may_erase(std::size_t byte) const {
  if (in(map().mtz, byte)) return true;
  if (in(map().ic, byte)) return granted(0) && !fuse_blown();
  if (in(map().cpz, byte) || code_at(byte)) return granted(0);
  if (const auto zone = zone_at(byte)) return granted(at::kFirstEraseKey + *zone);
  return false;
}

}  // namespace kdx::sim
