// SLE4442 memory card: 256 bytes of main memory, protection bits for bytes
// 0 to 31, and the security memory (error counter, 3-byte PSC). Every
// operation is a run of the reader's SLE4442 commands carrying the card's
// three-byte commands; the driver keeps no state.
#include <cstring>

#include "cards/memory_card.h"
#include "cards/sle_codes.h"
#include "link/frame.h"
#include "link/primitives.h"
#include "link/reader_codes.h"

namespace kdx::velmor::sle4442 {
namespace {

constexpr cards::CommandCodes kCommandCodes{kBegin, kSend, kEnd};
constexpr cards::OpenCodes kOpenCodes{kPower, kReset, kClockIn, kEnd};
// Pulses on the card clock that let the card carry out one compare.
constexpr unsigned kComparePulses = 3;
// Written to the error counter to restore every attempt; the card takes it
// only after a correct compare.
constexpr uint8_t kCounterRestore = 0xFF;

bool valid_zone(uint8_t zone) { return zone == kZoneMain || zone == kZoneSecurity || zone == kZoneProtection; }

StatusCode read(uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination) {
  StatusCode status = cards::check_access(valid_zone(zone), address, length, kMainSize, destination);
  if (status != ST_OK || length == 0) return status;
  const cards::CardCommand command{static_cast<uint8_t>(kReadBase + zone), static_cast<uint8_t>(address), kReadFill};
  status = cards::send_card_command(kCommandCodes, command);
  if (status != ST_OK) return status;
  // The card outputs from the address to the end of its memory, whatever the
  // zone; all of it is clocked out before the card is released.
  uint8_t buffer[kMainSize] = {};
  status = cards::clock_in(kClockIn, buffer, kMainSize - address);
  if (status != ST_OK) return status;
  status = primitive::single_step(kFinish);
  if (status != ST_OK) return status;
  std::memcpy(destination, buffer, length);
  return ST_OK;
}

StatusCode write(uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source) {
  StatusCode status = cards::check_access(valid_zone(zone), address, length, kMainSize, source);
  if (status != ST_OK || length == 0) return status;
  for (uint16_t i = 0; i < length; ++i) {
    const cards::CardCommand command{static_cast<uint8_t>(kWriteBase + zone), static_cast<uint8_t>(address + i),
                                     source[i]};
    status = cards::send_card_command(kCommandCodes, command);
    if (status != ST_OK) return status;
    status = primitive::single_step(kProcess);
    if (status != ST_OK) return status;
    status = primitive::single_step(kFinish);
    if (status != ST_OK) return status;
  }
  return ST_OK;
}

StatusCode protect_write(uint16_t address, uint16_t length, const uint8_t* source) {
  StatusCode status = cards::check_range(address, length, kProtectedBytes);
  if (status != ST_OK || length == 0) return status;
  uint32_t mask = 0xFFFFFFFFu;
  for (uint16_t k = address; k < address + length; ++k) mask &= ~(uint32_t{1} << k);
  status = write(address, length, kZoneMain, source);
  if (status != ST_OK) return status;
  uint8_t mask_bytes[kProtectionSize];
  static_assert(kProtectionSize == cards::kValueSize);
  cards::store_value(mask, mask_bytes);
  return write(0, kProtectionSize, kZoneProtection, mask_bytes);
}

// The four security bytes; the session and `out` are checked first.
StatusCode read_security(const void* out, uint8_t (&security)[kSecuritySize]) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (out == nullptr) return ST_BAD_PARAMETER;
  return read(0, kSecuritySize, kZoneSecurity, security);
}

StatusCode read_pac(uint8_t* out) {
  uint8_t security[kSecuritySize] = {};
  const StatusCode status = read_security(out, security);
  if (status == ST_OK) *out = security[kCounterAddress];
  return status;
}

StatusCode read_pwd(uint8_t* out) {
  uint8_t security[kSecuritySize] = {};
  const StatusCode status = read_security(out, security);
  if (status == ST_OK) std::memcpy(out, security + kPscAddress, kPscSize);
  return status;
}

StatusCode verify_pwd(const uint8_t (&psc)[kPscSize]) {
  if (!link::is_open()) return ST_NOT_OPEN;
  uint8_t security[kSecuritySize] = {};
  StatusCode status = read(0, kSecuritySize, kZoneSecurity, security);
  if (status != ST_OK) return status;
  const auto remaining = static_cast<uint8_t>(security[kCounterAddress] & kCounterBits);
  if (remaining == 0) return ST_WRONG_PASSWORD;
  const uint8_t spent = cards::spend_attempt(remaining);
  status = write(kCounterAddress, 1, kZoneSecurity, &spent);
  if (status != ST_OK) return status;

  for (std::size_t i = 0; i < kPscSize; ++i) {
    const cards::CardCommand command{kCompare, static_cast<uint8_t>(kPscAddress + i), psc[i]};
    status = cards::send_card_command(kCommandCodes, command);
    if (status != ST_OK) return status;
    status = primitive::put_io(reader::kLine145, 0);
    if (status != ST_OK) return status;
    status = cards::pulse_line(reader::kLine144, kComparePulses);
    if (status != ST_OK) return status;
    status = primitive::put_io(reader::kLine145, 1);
    if (status != ST_OK) return status;
    status = primitive::single_step(kFinish);
    if (status != ST_OK) return status;
  }

  status = write(kCounterAddress, 1, kZoneSecurity, &kCounterRestore);
  if (status != ST_OK) return status;
  std::memset(security, 0, sizeof security);
  status = read(0, kSecuritySize, kZoneSecurity, security);
  if (status != ST_OK) return status;
  return (security[kCounterAddress] & kCounterBits) == kCounterBits ? ST_OK : ST_WRONG_PASSWORD;
}

}  // namespace
}  // namespace kdx::velmor::sle4442

using namespace kdx::velmor;
using cards::low16;
using cards::low8;

extern "C" {

KDX_API StatusCode KDX_CALL SLE4442_OpenCard(uint8_t* atr) {
  return cards::open_card(sle4442::kOpenCodes, atr, sle4442::kAtrSize);
}

KDX_API StatusCode KDX_CALL SLE4442_CloseCard(void) { return cards::close_card(sle4442::kPower); }

KDX_API StatusCode KDX_CALL SLE4442_Read(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination) {
  return sle4442::read(low16(address), low16(length), low8(zone), destination);
}

KDX_API StatusCode KDX_CALL SLE4442_Write(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source) {
  return sle4442::write(low16(address), low16(length), low8(zone), source);
}

KDX_API StatusCode KDX_CALL SLE4442_ReadChar(uint32_t address, uint32_t length, uint8_t* destination) {
  return sle4442::read(low16(address), low16(length), sle4442::kZoneMain, destination);
}

KDX_API StatusCode KDX_CALL SLE4442_WriteChar(uint32_t address, uint32_t length, const uint8_t* source) {
  return sle4442::write(low16(address), low16(length), sle4442::kZoneMain, source);
}

KDX_API StatusCode KDX_CALL SLE4442_ReadValue(uint32_t address, uint32_t* out) {
  return cards::read_value(&sle4442::read, sle4442::kZoneMain, low16(address), out);
}

KDX_API StatusCode KDX_CALL SLE4442_WriteValue(uint32_t address, uint32_t value) {
  return cards::write_value(&sle4442::write, sle4442::kZoneMain, low16(address), value);
}

KDX_API StatusCode KDX_CALL SLE4442_PReadChar(uint8_t* destination) {
  return sle4442::read(0, sle4442::kProtectionSize, sle4442::kZoneProtection, destination);
}

KDX_API StatusCode KDX_CALL SLE4442_PWriteChar(uint32_t address, uint32_t length, const uint8_t* source) {
  return sle4442::protect_write(low16(address), low16(length), source);
}

KDX_API StatusCode KDX_CALL SLE4442_ReadPAC(uint8_t* out) { return sle4442::read_pac(out); }

KDX_API StatusCode KDX_CALL SLE4442_ReadPWD(uint8_t* out) { return sle4442::read_pwd(out); }

KDX_API StatusCode KDX_CALL SLE4442_WritePWD(const uint8_t* source) {
  return sle4442::write(sle4442::kPscAddress, sle4442::kPscSize, sle4442::kZoneSecurity, source);
}

KDX_API StatusCode KDX_CALL SLE4442_VerifyPWD(uint32_t first, uint32_t second, uint32_t third) {
  return sle4442::verify_pwd({low8(first), low8(second), low8(third)});
}

}  // extern "C"
