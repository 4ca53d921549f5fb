// AT1608 secure memory: eight user zones of 256 bytes, selected on the card
// before each access, and a 128-byte configuration zone with eight password
// sets; the cipher-based authentication of the AT153. Opening and closing
// are the AT153's. The driver keeps no state.
#include "cards/at_secure.h"
#include "cards/at_secure_exports.h"
#include "cards/memory_card.h"
#include "link/frame.h"
#include "link/primitives.h"

namespace kdx::velmor::at1608 {
namespace {

using namespace at_secure;
using namespace at_secure::at1608;

std::size_t zone_size(uint8_t zone) { return zone == kConfigZone ? kConfigSize : kZoneSize; }

// Zones above 8 are not held to any size: only the zero length comes
// before their refusal.
StatusCode check(uint16_t address, uint16_t length, uint8_t zone, const void* data) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (zone > kConfigZone) return length == 0 ? ST_OK : ST_BAD_ZONE;
  const StatusCode status = cards::check_range(address, length, zone_size(zone));
  if (status != ST_OK || length == 0) return status;
  return data == nullptr ? ST_BAD_PARAMETER : ST_OK;
}

StatusCode set_zone(uint8_t zone) {
  if (!link::is_open()) return ST_NOT_OPEN;
  const uint8_t command[] = {kSetZone, zone};
  return transaction(command);
}

StatusCode read_zone(uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination) {
  StatusCode status = check(address, length, zone, destination);
  if (status != ST_OK || length == 0) return status;
  uint8_t command = kReadConfig;
  if (zone != kConfigZone) {
    status = set_zone(zone);
    if (status != ST_OK) return status;
    command = kRead;
  }
  const uint8_t bytes[] = {command, cards::low8(address)};
  return read_transaction(bytes, destination, length);
}

StatusCode write_zone(uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source) {
  StatusCode status = check(address, length, zone, source);
  if (status != ST_OK || length == 0) return status;
  uint8_t command = kWriteConfig;
  if (zone != kConfigZone) {
    status = set_zone(zone);
    if (status != ST_OK) return status;
    command = kWrite;
  }
  return write_pages(command, address, source, length, kPageSize);
}

const Layout kLayout{&read_zone, &write_zone, kConfigZone, kUserZones, kArAddress, kPasswordIndexes,
                     &pac_address, kAuthInit, kAuthVerify, kCiAddress, 0};
constexpr uint8_t kReadFuseCommand[] = {kReadConfig, kFuseAddress};

// The card blows its next intact fuse; the fuse is an EEPROM cell, so the
// write cycle is waited out like any other.
StatusCode write_fuse() {
  if (!link::is_open()) return ST_NOT_OPEN;
  const uint8_t command[] = {kWriteConfig, kFuseAddress};
  return write_transaction(command);
}

}  // namespace
}  // namespace kdx::velmor::at1608

using namespace kdx::velmor;
using namespace kdx::velmor::at1608;
using cards::low8;
namespace layout = at_secure::at1608;

extern "C" {

KDX_SECURE_EXPORTS(AT1608)

KDX_API StatusCode KDX_CALL AT1608_SetZone(uint32_t zone) { return set_zone(low8(zone)); }

KDX_API StatusCode KDX_CALL AT1608_VerifyPWD(uint32_t index, uint32_t p0, uint32_t p1, uint32_t p2) {
  const uint8_t command[] = {at_secure::at1608::kVerify, low8(index), low8(p0), low8(p1), low8(p2)};
  return at_secure::verify_password(kLayout, command, low8(index));
}

KDX_SECURE_FIELD(AT1608, MTZ, layout::kMtzAddress, layout::kMtzSize)

}  // extern "C"
