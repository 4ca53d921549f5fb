// The reader's command codes for the two SLE memory-card families, the
// card-bus command bytes that travel inside them, and the card layouts.
// Shared by the drivers and by the simulated reader's card models.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::velmor::sle4442 {

// Reader commands.
inline constexpr uint8_t kPower = 50;    // one data byte: 1 on, 0 off
inline constexpr uint8_t kReset = 51;    // reset; the card starts its answer to reset
inline constexpr uint8_t kBegin = 52;    // start condition: a card command follows
inline constexpr uint8_t kEnd = 53;      // stop condition: the card takes the command
inline constexpr uint8_t kFinish = 54;   // back to idle
inline constexpr uint8_t kClockIn = 55;  // clock bytes out of the card; response frame
inline constexpr uint8_t kSend = 56;     // the three card command bytes
inline constexpr uint8_t kProcess = 57;  // the clocks of the card's erase-and-write cycle

// Card command bytes (control byte, address byte, data byte).
inline constexpr uint8_t kReadBase = 0x30;   // + zone
inline constexpr uint8_t kWriteBase = 0x38;  // + zone
inline constexpr uint8_t kCompare = 0x33;    // compare one PSC byte (address 1 to 3)
inline constexpr uint8_t kReadFill = 0xFF;   // data byte of a read command

// Zones.
inline constexpr uint8_t kZoneMain = 0;
inline constexpr uint8_t kZoneSecurity = 1;
inline constexpr uint8_t kZoneProtection = 4;

// Layout.
inline constexpr std::size_t kMainSize = 256;
inline constexpr std::size_t kProtectedBytes = 32;  // main bytes with a protection bit
inline constexpr std::size_t kProtectionSize = kProtectedBytes / 8;
inline constexpr std::size_t kSecuritySize = 4;    // error counter, then the PSC
inline constexpr std::size_t kCounterAddress = 0;  // in the security memory
inline constexpr std::size_t kPscAddress = 1;      // in the security memory
inline constexpr std::size_t kPscSize = 3;
inline constexpr uint8_t kCounterBits = 0x07;  // three attempts, one bit each
inline constexpr std::size_t kAtrSize = 4;

}  // namespace kdx::velmor::sle4442

namespace kdx::velmor::sle4428 {

// Reader commands.
inline constexpr uint8_t kPower = 41;              // one data byte: 1 on, 0 off
inline constexpr uint8_t kReset = 42;              // reset; the card starts its answer to reset
inline constexpr uint8_t kBegin = 43;              // start condition
inline constexpr uint8_t kEnd = 44;                // stop condition
inline constexpr uint8_t kFinish = 45;             // ends a read (and the answer to reset)
inline constexpr uint8_t kClockIn = 46;            // clock data bytes out; response frame
inline constexpr uint8_t kClockInProtection = 47;  // the same, nine bits a byte; response frame
inline constexpr uint8_t kSend = 48;               // the three card command bytes
inline constexpr uint8_t kProcess = 49;            // the clocks of the erase-and-write cycle

// Card command bytes. The low six bits of the control byte are the command;
// bits 7 and 6 carry address bits 9 and 8.
inline constexpr uint8_t kCommandMask = 0x3F;
inline constexpr unsigned kHighAddressShift = 6;
inline constexpr uint8_t kRead = 0x0E;
inline constexpr uint8_t kReadProtection = 0x0C;
inline constexpr uint8_t kWrite = 0x33;
inline constexpr uint8_t kWriteProtect = 0x31;
inline constexpr uint8_t kWriteCounter = 0x32;  // at address 1021 only
inline constexpr uint8_t kCompare = 0x0D;       // at address 1022 or 1023 only
inline constexpr uint8_t kReadFill = 0xFF;

// Zones.
inline constexpr uint8_t kZoneData = 0;
inline constexpr uint8_t kZoneProtection = 1;

// Layout.
inline constexpr std::size_t kMemorySize = 1024;
inline constexpr std::size_t kCounterAddress = 1021;
inline constexpr std::size_t kPscAddress = 1022;
inline constexpr std::size_t kPscSize = 2;
inline constexpr std::size_t kAtrSize = 4;

// The control byte of a command at a 10-bit card address.
constexpr uint8_t control_byte(uint8_t command, std::size_t address) {
  return static_cast<uint8_t>(((address >> 8) << kHighAddressShift) | command);
}

}  // namespace kdx::velmor::sle4428
