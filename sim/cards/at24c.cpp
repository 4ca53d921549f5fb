#include "sim/cards/at24c.h"

#include <string>

#include "cards/two_wire_codes.h"

namespace kdx::sim {
namespace {

namespace card = kdx::velmor::at24c;

constexpr uint8_t kErased = 0xFF;

}  // namespace

At24cCard::At24cCard(uint8_t type, std::vector<uint8_t> memory)
    : type_code_(type), type_(card::kTypes[card::valid_type(type) ? type : card::kFirstType]),
      memory_(std::move(memory)) {
  memory_.resize(type_.capacity, kErased);
  page_buffer_.assign(type_.page, kErased);
  loaded_.assign(type_.page, false);
}

void At24cCard::begin() {
  phase_ = Phase::device;
  loaded_.assign(type_.page, false);
  loaded_count_ = 0;
}

void At24cCard::set_address(std::size_t address) { address_ = address % type_.capacity; }

bool At24cCard::device_byte(uint8_t byte) {
  const bool read = (byte & velmor::two_wire::kReadBit) != 0;
  switch (type_.addressing) {
    case card::Addressing::in_device_byte:
      set_address(byte >> 1);
      break;
    case card::Addressing::one_byte:
    case card::Addressing::two_bytes: {
      if ((byte & card::kDeviceCodeMask) != card::kDeviceCode) return false;
      const uint8_t pins = static_cast<uint8_t>(byte & 0x0E & ~type_.block_bits);
      if (pins != 0) return false;
      block_ = std::size_t{static_cast<uint8_t>(byte & type_.block_bits)} << card::kBlockShift;
      break;
    }
  }
  if (read) {
    phase_ = Phase::output;
  } else if (type_.addressing == card::Addressing::in_device_byte) {
    phase_ = Phase::data;
  } else {
    phase_ = type_.addressing == card::Addressing::two_bytes ? Phase::address_high : Phase::address_low;
  }
  return true;
}

bool At24cCard::data_byte(uint8_t byte) {
  switch (phase_) {
    case Phase::device:
      return false;
    case Phase::address_high:
      address_high_ = byte;
      phase_ = Phase::address_low;
      return true;
    case Phase::address_low:
      set_address(block_ | (std::size_t{address_high_} << 8) | byte);
      address_high_ = 0;
      phase_ = Phase::data;
      return true;
    case Phase::data: {
      const std::size_t page_start = address_ - address_ % type_.page;
      const std::size_t offset = address_ % type_.page;
      if (loaded_count_ == type_.page) {
        log_violation("write of more than a page of " + std::to_string(type_.page) +
                      " bytes: the page buffer wrapped at address " + std::to_string(page_start));
      }
      page_buffer_[offset] = byte;
      if (!loaded_[offset]) ++loaded_count_;
      loaded_[offset] = true;
      // The counter rolls over within the page while the buffer is loaded.
      address_ = page_start + (offset + 1) % type_.page;
      return true;
    }
    case Phase::output:
      log_violation("byte sent in a read transaction");
      return false;
  }
  return false;
}

uint8_t At24cCard::output_byte() {
  if (phase_ != Phase::output) {
    log_violation("read in a write transaction");
    return kErased;
  }
  const uint8_t byte = memory_[address_];
  set_address(address_ + 1);
  return byte;
}

uint64_t At24cCard::end() {
  if (phase_ != Phase::data || loaded_count_ == 0) return 0;
  const std::size_t page_start = address_ - address_ % type_.page;
  for (std::size_t i = 0; i < type_.page; ++i) {
    if (loaded_[i]) memory_[page_start + i] = page_buffer_[i];
  }
  loaded_.assign(type_.page, false);
  loaded_count_ = 0;
  return kWriteCycleNs;
}

}  // namespace kdx::sim
