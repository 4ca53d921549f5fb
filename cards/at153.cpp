// AT153 secure memory: three user zones and a configuration zone of 64
// bytes each, password sets with attempt counters, and the cipher-based
// mutual authentication. Every operation is a run of two-wire transactions;
// the driver keeps no state: zone rights and authentication live on the
// card.
#include <cstring>

#include "cards/at_secure.h"
#include "cards/at_secure_exports.h"
#include "cards/memory_card.h"
#include "cards/two_wire_codes.h"
#include "link/frame.h"
#include "link/primitives.h"

namespace kdx::velmor::at153 {
namespace {

using namespace at_secure;
using namespace at_secure::at153;

constexpr cards::OpenCodes kOpenCodes{two_wire::kPower, two_wire::kReset, two_wire::kAnswerToReset, two_wire::kStop};

StatusCode check(uint8_t address, uint8_t length, uint8_t zone, const void* data) {
  if (!link::is_open()) return ST_NOT_OPEN;
  const StatusCode status = cards::check_range(address, length, kZoneSize);
  if (status != ST_OK || length == 0) return status;
  if (zone > kConfigZone) return ST_BAD_ZONE;
  return data == nullptr ? ST_BAD_PARAMETER : ST_OK;
}

uint8_t select(uint8_t command, uint8_t zone_or_index) {
  return static_cast<uint8_t>(command | (zone_or_index << kSelectShift));
}

StatusCode read_zone(uint16_t address16, uint16_t length16, uint8_t zone, uint8_t* destination) {
  const auto address = cards::low8(address16), length = cards::low8(length16);
  StatusCode status = check(address, length, zone, destination);
  if (status != ST_OK || length == 0) return status;
  // The acknowledged piece goes even when it is empty.
  const uint8_t command[] = {select(kRead, zone), address};
  return read_transaction(command, destination, length, two_wire::EmptyReceive::send);
}

StatusCode write_zone(uint16_t address16, uint16_t length16, uint8_t zone, const uint8_t* source) {
  const auto address = cards::low8(address16), length = cards::low8(length16);
  StatusCode status = check(address, length, zone, source);
  if (status != ST_OK || length == 0) return status;
  return write_pages(select(kWrite, zone), address, source, length, kPageSize);
}

const Layout kLayout{&read_zone, &write_zone, kConfigZone, kUserZones, kArAddress, kPasswordIndexes,
                     &pac_address, kAuthInit, kAuthVerify, kAacAddress, 1};
constexpr uint8_t kReadFuseCommand[] = {kReadFuse};

// The card blows the fuse named by the data byte; which one is next follows
// from the fuses still intact.
StatusCode write_fuse() {
  if (!link::is_open()) return ST_NOT_OPEN;
  uint8_t fuses = 0;
  const StatusCode status = read_fuse(kReadFuseCommand, &fuses);
  if (status != ST_OK) return status;
  uint8_t next = kFuseFab;
  if (fuses == kFusePer) {
    next = kFusePer;
  } else if (fuses == (kFuseCma | kFusePer)) {
    next = kFuseCma;
  }
  const uint8_t command[] = {kWriteFuse, next};
  return write_transaction(command);
}

}  // namespace
}  // namespace kdx::velmor::at153

using namespace kdx::velmor;
using namespace kdx::velmor::at153;
using cards::low8;
namespace layout = at_secure::at153;

extern "C" {

KDX_SECURE_EXPORTS(AT153)

KDX_API StatusCode KDX_CALL AT153_OpenCard(uint8_t* atr) {
  return cards::open_card(kOpenCodes, atr, at_secure::kAtrSize);
}
KDX_API StatusCode KDX_CALL AT153_CloseCard(void) { return cards::close_card(two_wire::kPower); }
// The same two functions serve the AT1608.
KDX_API StatusCode KDX_CALL AT1608_OpenCard(uint8_t* atr) { return AT153_OpenCard(atr); }
KDX_API StatusCode KDX_CALL AT1608_CloseCard(void) { return AT153_CloseCard(); }

KDX_API StatusCode KDX_CALL AT153_VerifyPWD(uint32_t index, uint32_t p0, uint32_t p1, uint32_t p2) {
  const uint8_t command[] = {select(at_secure::at153::kVerify, low8(index)), low8(p0), low8(p1), low8(p2)};
  return at_secure::verify_password(kLayout, command, low8(index));
}

KDX_SECURE_BYTE_FIELD(AT153, MTZ, layout::kMtzAddress)
KDX_SECURE_FIELD(AT153, IC, layout::kIcAddress, layout::kIcSize)
KDX_SECURE_BYTE_FIELD(AT153, DCR, layout::kDcrAddress)

}  // extern "C"
