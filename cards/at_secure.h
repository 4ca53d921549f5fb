// The two secure memories on the two-wire bus (AT153 and AT1608): the card
// command bytes, the configuration layouts, and the steps both drivers
// share above the bus helpers. Shared by the drivers and by the simulated
// reader's card models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cards/two_wire_bus.h"
#include "velmor.h"

namespace kdx::velmor::at_secure {

inline constexpr std::size_t kAtrSize = 4;
inline constexpr std::size_t kPasswordSize = 3;
inline constexpr std::size_t kBlockSize = 8;  // challenge, response, cryptogram, seed
// The value of a PAC after a right password, and of the AAC after a right
// authentication.
inline constexpr uint8_t kCounterOpen = 0xFF;

// Fuse byte: bit set = fuse intact. Blown in this order, never restored.
inline constexpr uint8_t kFuseFab = 0x01;
inline constexpr uint8_t kFuseCma = 0x02;
inline constexpr uint8_t kFusePer = 0x04;
inline constexpr uint8_t kFusesIntact = kFuseFab | kFuseCma | kFusePer;

// Access register of a user zone; a bit at 0 enables its condition.
inline constexpr uint8_t kArPasswordSet = 0x07;  // the password set (AT153: bit 0 only)
inline constexpr uint8_t kArReadPassword = 0x10;
inline constexpr uint8_t kArWritePassword = 0x20;
inline constexpr uint8_t kArReadAuth = 0x40;
inline constexpr uint8_t kArWriteAuth = 0x80;

inline constexpr uint8_t kAacAddress = 32;  // both chips

namespace at153 {
inline constexpr uint8_t kUserZones = 3;
inline constexpr uint8_t kConfigZone = 3;
inline constexpr std::size_t kZoneSize = 64;
inline constexpr std::size_t kPageSize = 8;
inline constexpr uint8_t kPasswordIndexes = 4;

// Card commands: the low two bits choose the kind, bits 2 and 3 the zone or
// password index.
inline constexpr uint8_t kWrite = 0xB0;     // | zone << 2; address, 1 to 8 bytes
inline constexpr uint8_t kRead = 0xB1;      // | zone << 2; address
inline constexpr uint8_t kVerify = 0xB3;    // | index << 2; 3 password bytes
inline constexpr uint8_t kAuthInit = 0xB2;  // 8 challenge bytes
inline constexpr uint8_t kAuthVerify = 0xB6;  // 8 response bytes
inline constexpr uint8_t kWriteFuse = 0xBA;   // the fuse to blow
inline constexpr uint8_t kReadFuse = 0xBE;    // one byte out
inline constexpr unsigned kSelectShift = 2;

// Configuration zone.
inline constexpr uint8_t kLhcAddress = 4, kLhcSize = 4;
inline constexpr uint8_t kFcAddress = 8, kFcSize = 2;
inline constexpr uint8_t kCmcAddress = 10, kCmcSize = 2;
inline constexpr uint8_t kArAddress = 12;  // + zone
inline constexpr uint8_t kMtzAddress = 15;
inline constexpr uint8_t kIcAddress = 16, kIcSize = 8;
inline constexpr uint8_t kDcrAddress = 24;
inline constexpr uint8_t kNcAddress = 25, kNcSize = 7;
inline constexpr uint8_t kCiAddress = 33, kCiSize = 7;  // behind the AAC
inline constexpr uint8_t kGcAddress = 40;
inline constexpr uint8_t kPasswordsAddress = 48;

// Index bit 0: the set; bit 1: the read password.
constexpr uint8_t pac_address(uint8_t index) {
  return static_cast<uint8_t>(kPasswordsAddress + 8 * (index & 1) + 4 * ((index >> 1) & 1));
}
}  // namespace at153

namespace at1608 {
inline constexpr uint8_t kUserZones = 8;
inline constexpr uint8_t kConfigZone = 8;
inline constexpr std::size_t kZoneSize = 256;
inline constexpr std::size_t kConfigSize = 128;
inline constexpr std::size_t kPageSize = 16;
inline constexpr uint8_t kPasswordIndexes = 16;

inline constexpr uint8_t kWrite = 0xB0;        // address, 1 to 16 bytes (selected user zone)
inline constexpr uint8_t kRead = 0xB1;         // address
inline constexpr uint8_t kSetZone = 0xB2;      // zone (low 3 bits count)
inline constexpr uint8_t kVerify = 0xB3;       // index, 3 password bytes
inline constexpr uint8_t kWriteConfig = 0xB4;  // address, 1 to 16 bytes; 0x80: blow a fuse
inline constexpr uint8_t kReadConfig = 0xB5;   // address; 0x80: the fuses
inline constexpr uint8_t kAuthInit = 0xB6;
inline constexpr uint8_t kAuthVerify = 0xB7;
inline constexpr uint8_t kFuseAddress = 0x80;
inline constexpr uint8_t kZoneMask = 0x07;

inline constexpr uint8_t kLhcAddress = 4, kLhcSize = 4;
inline constexpr uint8_t kFcAddress = 8, kFcSize = 2;
inline constexpr uint8_t kCmcAddress = 12, kCmcSize = 4;
inline constexpr uint8_t kArAddress = 16;  // + zone
inline constexpr uint8_t kNcAddress = 33, kNcSize = 7;
inline constexpr uint8_t kCiAddress = 40, kCiSize = kBlockSize;
inline constexpr uint8_t kGcAddress = 48;
inline constexpr uint8_t kMtzAddress = 56, kMtzSize = 8;
inline constexpr uint8_t kPasswordsAddress = 64;

// Index bits 0 to 2: the set; bit 3: the read password.
constexpr uint8_t pac_address(uint8_t index) {
  return static_cast<uint8_t>(kPasswordsAddress + 8 * (index & 7) + 4 * ((index >> 3) & 1));
}
}  // namespace at1608

// --- Driver steps ---------------------------------------------------------

// Start, the bytes in one send, stop.
StatusCode transaction(std::span<const uint8_t> bytes);
// A transaction the card answers with a write cycle, and the wait after it.
StatusCode write_transaction(std::span<const uint8_t> bytes);
// A read transaction: start, the command bytes, `length` bytes in (the
// acknowledged part sent even when empty if `empty` says so), stop.
StatusCode read_transaction(std::span<const uint8_t> command, uint8_t* destination, std::size_t length,
                            two_wire::EmptyReceive empty = two_wire::EmptyReceive::skip);
// Page writes whose chunks start [command, low byte of the address].
StatusCode write_pages(uint8_t command, uint16_t address, const uint8_t* data, std::size_t length, std::size_t page);

using ReadFunction = StatusCode (*)(uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination);
using WriteFunction = StatusCode (*)(uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source);

// What tells the two chips apart above their reads and writes.
struct Layout {
  ReadFunction read;
  WriteFunction write;
  uint8_t config_zone;
  uint8_t user_zones;
  uint8_t ar_address;  // of user zone 0
  uint8_t password_indexes;
  uint8_t (*pac_address)(uint8_t index);
  uint8_t auth_init;
  uint8_t auth_verify;
  uint8_t cryptogram_address;  // the block fed to the cipher and read back
  std::size_t compared_from;   // the first byte of that block the card renews

  StatusCode read_config(uint8_t address, std::size_t length, uint8_t* out) const {
    return read(address, static_cast<uint16_t>(length), config_zone, out);
  }
  StatusCode write_config(uint8_t address, std::size_t length, const uint8_t* data) const {
    return write(address, static_cast<uint16_t>(length), config_zone, data);
  }
};

// The verification transaction (sent once), then the PAC read back.
StatusCode verify_password(const Layout& layout, std::span<const uint8_t> command, uint8_t index);
// Mutual authentication with the application's seed and challenge.
StatusCode authenticate(const Layout& layout, const uint8_t* seed, const uint8_t* challenge);
// The fuse byte through `command`; *out is written only on success.
StatusCode read_fuse(std::span<const uint8_t> command, uint8_t* out);

// The access register of a user zone, and the PAC (offset 0) or password
// (offset 1) fields of a password index. The zone or index is tested before
// the session: ST_BAD_INDEX.
StatusCode read_ar(const Layout& layout, uint8_t zone, uint8_t* out);
StatusCode write_ar(const Layout& layout, uint8_t zone, uint8_t value);
StatusCode read_password_field(const Layout& layout, uint8_t index, uint8_t offset, uint8_t length, uint8_t* out);
StatusCode write_password_field(const Layout& layout, uint8_t index, uint8_t offset, uint8_t length,
                                const uint8_t* data);

}  // namespace kdx::velmor::at_secure
