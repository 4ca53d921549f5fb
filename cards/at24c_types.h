// The AT24C serial EEPROM types as the driver and the card model know them:
// capacity, how the memory address travels in the bus bytes, and the page
// the chip's write buffer holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kdx::velmor::at24c {

enum class Addressing : uint8_t {
  in_device_byte,   // (word address << 1) | R/W is the first byte; no device code
  one_byte,         // device byte 0xA0 with address bits 8-10 in bits 1-3, one address byte
  two_bytes,        // device byte 0xA0, address high then low
};

struct Type {
  std::size_t capacity;
  Addressing addressing;
  std::size_t page;        // bytes of the chip's write buffer
  uint8_t block_bits;      // device-byte bits 1-3 that carry address bits 8-10
};

inline constexpr uint8_t kFirstType = 1;
inline constexpr uint8_t kLastType = 10;
inline constexpr uint8_t kDeviceCode = 0xA0;
inline constexpr uint8_t kDeviceCodeMask = 0xF0;
inline constexpr unsigned kBlockShift = 7;  // address bit 8 lands in device bit 1

// Indexed by type code; entry 0 is no type. The 1-Kbit chip that takes the
// word address in its first byte has a 4-byte write buffer.
inline constexpr std::array<Type, kLastType + 1> kTypes{{
    {0, Addressing::in_device_byte, 0, 0x00},
    {128, Addressing::in_device_byte, 4, 0x00},
    {128, Addressing::one_byte, 8, 0x00},
    {256, Addressing::one_byte, 8, 0x00},
    {512, Addressing::one_byte, 16, 0x02},
    {1024, Addressing::one_byte, 16, 0x06},
    {2048, Addressing::one_byte, 16, 0x0E},
    {4096, Addressing::two_bytes, 32, 0x00},
    {8192, Addressing::two_bytes, 32, 0x00},
    {16384, Addressing::two_bytes, 64, 0x00},
    {32768, Addressing::two_bytes, 64, 0x00},
}};

constexpr bool valid_type(uint8_t type) { return type >= kFirstType && type <= kLastType; }

// The device byte with R/W 0 for a transaction at `address`. For the
// one-byte types the driver always places address bits 8-10 (which the
// smaller chips never see set, their addresses being in range).
constexpr uint8_t device_byte(const Type& type, uint32_t address) {
  switch (type.addressing) {
    case Addressing::in_device_byte:
      return static_cast<uint8_t>(address << 1);
    case Addressing::one_byte:
      return static_cast<uint8_t>(kDeviceCode | ((address >> kBlockShift) & 0x0E));
    case Addressing::two_bytes:
      break;
  }
  return kDeviceCode;
}

}  // namespace kdx::velmor::at24c
