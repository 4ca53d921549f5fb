// The reader's commands for AT45D DataFlash cards, the chip's opcodes and
// its layout. Shared by the driver and by the simulated reader's card model.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::velmor::at45d {

// Reader commands.
inline constexpr uint8_t kPower = 35;     // one data byte: 1 on, 0 off
inline constexpr uint8_t kInit = 36;      // bus lines to idle, once after power-on
inline constexpr uint8_t kSelect = 37;    // chip select: a DataFlash command begins
inline constexpr uint8_t kDeselect = 38;  // end of the command; internal operations start
inline constexpr uint8_t kClockIn = 39;   // clock bytes in from the chip; response frame
inline constexpr uint8_t kClockOut = 40;  // clock bytes out to the chip

// Opcodes; where there are two, the second is buffer 2's.
inline constexpr uint8_t kMainMemoryPageRead = 0x52;
inline constexpr uint8_t kBufferRead[2] = {0x54, 0x56};
inline constexpr uint8_t kPageToBufferTransfer[2] = {0x53, 0x55};
inline constexpr uint8_t kPageToBufferCompare[2] = {0x60, 0x61};
inline constexpr uint8_t kBufferWrite[2] = {0x84, 0x87};
inline constexpr uint8_t kBufferToPageWithErase[2] = {0x83, 0x86};
inline constexpr uint8_t kBufferToPageWithoutErase[2] = {0x88, 0x89};
inline constexpr uint8_t kPageProgramThroughBuffer[2] = {0x82, 0x85};
inline constexpr uint8_t kAutoPageRewrite[2] = {0x58, 0x59};
inline constexpr uint8_t kStatusRead = 0x57;

// Bytes after the opcode: three address bytes, and four don't-care bytes
// before a page read's data; one don't-care byte before a buffer read's.
inline constexpr std::size_t kAddressBytes = 3;
inline constexpr std::size_t kPageReadDummyBytes = 4;
inline constexpr std::size_t kBufferReadDummyBytes = 1;

// Status byte.
inline constexpr uint8_t kStatusReady = 0x80;
inline constexpr uint8_t kStatusCompareDiffers = 0x40;

// Layout.
inline constexpr std::size_t kPageSize = 264;
inline constexpr std::size_t kBuffers = 2;

// Type codes "1" to "5" and their page counts.
inline constexpr uint8_t kFirstType = 0x31;
inline constexpr uint8_t kLastType = 0x35;
constexpr std::size_t page_count(uint8_t type) {
  if (type < kFirstType || type > kLastType) return 0;
  if (type <= 0x32) return 1024;
  if (type <= 0x34) return 2048;
  return 4096;
}

// The three address bytes of page P, byte B: P's high bits; P's low 7 bits
// and B's bit 8; B's low byte.
struct Address {
  uint8_t bytes[kAddressBytes];
};
constexpr Address page_address(uint32_t page, uint32_t byte) {
  return {{static_cast<uint8_t>(page >> 7), static_cast<uint8_t>((page << 1) | (byte >> 8)),
           static_cast<uint8_t>(byte & 0xFF)}};
}
constexpr Address buffer_address(uint32_t byte) {
  return {{0x00, static_cast<uint8_t>(byte >> 8), static_cast<uint8_t>(byte & 0xFF)}};
}

}  // namespace kdx::velmor::at45d
