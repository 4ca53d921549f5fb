// AT153 secure memory: three user zones and a configuration zone of 64
// bytes each, password sets with attempt counters, and the cipher-based
// mutual authentication. Every operation is a run of two-wire transactions;
// the driver keeps no state: zone rights and authentication live on the
// card.
#include <cstring>

#include "cards/at_secure.h"
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

StatusCode read_config(uint8_t address, uint8_t length, uint8_t* out) { return read_zone(address, length, kConfigZone, out); }
StatusCode write_config(uint8_t address, uint8_t length, const uint8_t* data) {
  return write_zone(address, length, kConfigZone, data);
}


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
using at_secure::at153::kConfigZone;
using cards::low16;
using cards::low8;
namespace layout = at_secure::at153;

extern "C" {

KDX_API StatusCode KDX_CALL AT153_OpenCard(uint8_t* atr) {
  return cards::open_card(kOpenCodes, atr, at_secure::kAtrSize);
}
KDX_API StatusCode KDX_CALL AT153_CloseCard(void) { return cards::close_card(two_wire::kPower); }
// The same two functions serve the AT1608.
KDX_API StatusCode KDX_CALL AT1608_OpenCard(uint8_t* atr) { return AT153_OpenCard(atr); }
KDX_API StatusCode KDX_CALL AT1608_CloseCard(void) { return AT153_CloseCard(); }

KDX_API StatusCode KDX_CALL AT153_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* buffer) {
  return read_zone(low16(address), low16(length), low8(zone), buffer);
}
KDX_API StatusCode KDX_CALL AT153_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* data) {
  return write_zone(low16(address), low16(length), low8(zone), data);
}
KDX_API StatusCode KDX_CALL AT153_ReadValue(uint32_t address, uint32_t zone, uint32_t* value) {
  return cards::read_value(&read_zone, low8(zone), low16(address), value);
}
KDX_API StatusCode KDX_CALL AT153_WriteValue(uint32_t address, uint32_t zone, uint32_t value) {
  return cards::write_value(&write_zone, low8(zone), low16(address), value);
}

KDX_API StatusCode KDX_CALL AT153_VerifyPWD(uint32_t index, uint32_t p0, uint32_t p1, uint32_t p2) {
  const uint8_t command[] = {select(at_secure::at153::kVerify, low8(index)), low8(p0), low8(p1), low8(p2)};
  return at_secure::verify_password(kLayout, command, low8(index));
}
KDX_API StatusCode KDX_CALL AT153_Auth(const uint8_t* seed, const uint8_t* challenge) {
  return at_secure::authenticate(kLayout, seed, challenge);
}
KDX_API StatusCode KDX_CALL AT153_ReadFuse(uint8_t* fuse) { return at_secure::read_fuse(kReadFuseCommand, fuse); }
KDX_API StatusCode KDX_CALL AT153_WriteFuse(void) { return write_fuse(); }

KDX_API StatusCode KDX_CALL AT153_ReadATR(uint8_t* out) { return read_config(0, at_secure::kAtrSize, out); }
KDX_API StatusCode KDX_CALL AT153_ReadLHC(uint8_t* out) {
  return read_config(layout::kLhcAddress, layout::kLhcSize, out);
}
KDX_API StatusCode KDX_CALL AT153_ReadFC(uint8_t* out) { return read_config(layout::kFcAddress, layout::kFcSize, out); }
KDX_API StatusCode KDX_CALL AT153_ReadCMC(uint8_t* out) {
  return read_config(layout::kCmcAddress, layout::kCmcSize, out);
}
KDX_API StatusCode KDX_CALL AT153_WriteCMC(const uint8_t* data) {
  return write_config(layout::kCmcAddress, layout::kCmcSize, data);
}
KDX_API StatusCode KDX_CALL AT153_ReadAR(uint32_t zone, uint8_t* out) { return at_secure::read_ar(kLayout, low8(zone), out); }
KDX_API StatusCode KDX_CALL AT153_WriteAR(uint32_t zone, uint32_t value) { return at_secure::write_ar(kLayout, low8(zone), low8(value)); }
KDX_API StatusCode KDX_CALL AT153_ReadMTZ(uint8_t* out) { return read_config(layout::kMtzAddress, 1, out); }
KDX_API StatusCode KDX_CALL AT153_WriteMTZ(uint32_t value) {
  const uint8_t byte = low8(value);
  return write_config(layout::kMtzAddress, 1, &byte);
}
KDX_API StatusCode KDX_CALL AT153_ReadIC(uint8_t* out) { return read_config(layout::kIcAddress, layout::kIcSize, out); }
KDX_API StatusCode KDX_CALL AT153_WriteIC(const uint8_t* data) {
  return write_config(layout::kIcAddress, layout::kIcSize, data);
}
KDX_API StatusCode KDX_CALL AT153_ReadDCR(uint8_t* out) { return read_config(layout::kDcrAddress, 1, out); }
KDX_API StatusCode KDX_CALL AT153_WriteDCR(uint32_t value) {
  const uint8_t byte = low8(value);
  return write_config(layout::kDcrAddress, 1, &byte);
}
KDX_API StatusCode KDX_CALL AT153_ReadNc(uint8_t* out) { return read_config(layout::kNcAddress, layout::kNcSize, out); }
KDX_API StatusCode KDX_CALL AT153_WriteNc(const uint8_t* data) {
  return write_config(layout::kNcAddress, layout::kNcSize, data);
}
KDX_API StatusCode KDX_CALL AT153_ReadAAC(uint8_t* out) { return read_config(at_secure::kAacAddress, 1, out); }
KDX_API StatusCode KDX_CALL AT153_WriteAAC(uint32_t value) {
  const uint8_t byte = low8(value);
  return write_config(at_secure::kAacAddress, 1, &byte);
}
KDX_API StatusCode KDX_CALL AT153_ReadCi(uint8_t* out) { return read_config(layout::kCiAddress, layout::kCiSize, out); }
KDX_API StatusCode KDX_CALL AT153_WriteCi(const uint8_t* data) {
  return write_config(layout::kCiAddress, layout::kCiSize, data);
}
KDX_API StatusCode KDX_CALL AT153_ReadGc(uint8_t* out) {
  return read_config(layout::kGcAddress, at_secure::kBlockSize, out);
}
KDX_API StatusCode KDX_CALL AT153_WriteGc(const uint8_t* data) {
  return write_config(layout::kGcAddress, at_secure::kBlockSize, data);
}
KDX_API StatusCode KDX_CALL AT153_ReadPAC(uint32_t index, uint8_t* out) { return at_secure::read_password_field(kLayout, low8(index), 0, 1, out); }
KDX_API StatusCode KDX_CALL AT153_WritePAC(uint32_t index, uint32_t value) {
  const uint8_t byte = low8(value);
  return at_secure::write_password_field(kLayout, low8(index), 0, 1, &byte);
}
KDX_API StatusCode KDX_CALL AT153_ReadPWD(uint32_t index, uint8_t* out) {
  return at_secure::read_password_field(kLayout, low8(index), 1, at_secure::kPasswordSize, out);
}
KDX_API StatusCode KDX_CALL AT153_WritePWD(uint32_t index, const uint8_t* data) {
  return at_secure::write_password_field(kLayout, low8(index), 1, at_secure::kPasswordSize, data);
}

}  // extern "C"
