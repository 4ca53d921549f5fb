// SLE4428 memory card: 1024 bytes with 10-bit addresses and a protection bit
// per byte; the error counter at 1021 and the 2-byte PSC at 1022 and 1023.
// Address bits 9 and 8 travel in the control byte of every card command.
// The driver keeps no state.
#include <cstring>

#include "cards/memory_card.h"
#include "cards/sle_codes.h"
#include "link/frame.h"
#include "link/primitives.h"
#include "link/reader_codes.h"

namespace kdx::velmor::sle4428 {
namespace {

constexpr cards::CommandCodes kCommandCodes{kBegin, kSend, kEnd};
constexpr cards::OpenCodes kOpenCodes{kPower, kReset, kClockIn, kFinish};
constexpr unsigned kComparePulses = 3;
// A counter with every attempt left; the card takes this write only after a
// correct compare.
constexpr uint8_t kCounterFull = 0xFF;

uint8_t address_byte(std::size_t address) { return static_cast<uint8_t>(address & 0xFF); }

bool valid_zone(uint8_t zone) { return zone == kZoneData || zone == kZoneProtection; }

// Only the requested bytes are clocked, straight into the destination; a
// failing frame leaves the bytes of earlier frames there.
StatusCode read(uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination) {
  StatusCode status = cards::check_access(valid_zone(zone), address, length, kMemorySize, destination);
  if (status != ST_OK || length == 0) return status;
  const bool protection = zone == kZoneProtection;
  const cards::CardCommand command{control_byte(protection ? kReadProtection : kRead, address), address_byte(address),
                                   kReadFill};
  status = cards::send_card_command(kCommandCodes, command);
  if (status != ST_OK) return status;
  status = cards::clock_in(protection ? kClockInProtection : kClockIn, destination, length);
  if (status != ST_OK) return status;
  return primitive::single_step(kFinish);
}

// Each byte's command carries its own address bits, so a write runs on
// across a 256-byte boundary.
StatusCode write(uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source) {
  StatusCode status = cards::check_access(valid_zone(zone), address, length, kMemorySize, source);
  if (status != ST_OK || length == 0) return status;
  const uint8_t operation = zone == kZoneProtection ? kWriteProtect : kWrite;
  for (std::size_t i = 0; i < length; ++i) {
    const std::size_t card_address = address + i;
    const cards::CardCommand command{control_byte(operation, card_address), address_byte(card_address), source[i]};
    status = cards::send_card_command(kCommandCodes, command);
    if (status != ST_OK) return status;
    status = primitive::single_step(kProcess);
    if (status != ST_OK) return status;
  }
  return ST_OK;
}

StatusCode verify_pwd(const uint8_t (&psc)[kPscSize]) {
  if (!link::is_open()) return ST_NOT_OPEN;
  uint8_t counter = 0;
  StatusCode status = read(kCounterAddress, 1, kZoneData, &counter);
  if (status != ST_OK) return status;
  if (counter == 0) return ST_WRONG_PASSWORD;

  const cards::CardCommand spend{control_byte(kWriteCounter, kCounterAddress), address_byte(kCounterAddress),
                                 cards::spend_attempt(counter)};
  status = cards::send_card_command(kCommandCodes, spend);
  if (status != ST_OK) return status;
  status = primitive::single_step(kProcess);
  if (status != ST_OK) return status;

  for (std::size_t i = 0; i < kPscSize; ++i) {
    const std::size_t psc_address = kPscAddress + i;
    const cards::CardCommand compare{control_byte(kCompare, psc_address), address_byte(psc_address), psc[i]};
    status = cards::send_card_command(kCommandCodes, compare);
    if (status != ST_OK) return status;
    status = cards::pulse_line(reader::kLine144, kComparePulses);
    if (status != ST_OK) return status;
    status = primitive::put_io(reader::kLine145, 1);
    if (status != ST_OK) return status;
  }

  status = write(kCounterAddress, 1, kZoneData, &kCounterFull);
  if (status != ST_OK) return status;
  counter = 0;
  status = read(kCounterAddress, 1, kZoneData, &counter);
  if (status != ST_OK) return status;
  return counter == kCounterFull ? ST_OK : ST_WRONG_PASSWORD;
}

}  // namespace
}  // namespace kdx::velmor::sle4428

using namespace kdx::velmor;
using cards::low16;
using cards::low8;

extern "C" {

KDX_API StatusCode KDX_CALL SLE4428_OpenCard(uint8_t* atr) {
  return cards::open_card(sle4428::kOpenCodes, atr, sle4428::kAtrSize);
}

KDX_API StatusCode KDX_CALL SLE4428_CloseCard(void) { return cards::close_card(sle4428::kPower); }

KDX_API StatusCode KDX_CALL SLE4428_Read(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination) {
  return sle4428::read(low16(address), low16(length), low8(zone), destination);
}

KDX_API StatusCode KDX_CALL SLE4428_Write(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source) {
  return sle4428::write(low16(address), low16(length), low8(zone), source);
}

KDX_API StatusCode KDX_CALL SLE4428_ReadChar(uint32_t address, uint32_t length, uint8_t* destination) {
  return sle4428::read(low16(address), low16(length), sle4428::kZoneData, destination);
}

KDX_API StatusCode KDX_CALL SLE4428_WriteChar(uint32_t address, uint32_t length, const uint8_t* source) {
  return sle4428::write(low16(address), low16(length), sle4428::kZoneData, source);
}

KDX_API StatusCode KDX_CALL SLE4428_PReadChar(uint32_t address, uint32_t length, uint8_t* destination) {
  return sle4428::read(low16(address), low16(length), sle4428::kZoneProtection, destination);
}

KDX_API StatusCode KDX_CALL SLE4428_PWriteChar(uint32_t address, uint32_t length, const uint8_t* source) {
  return sle4428::write(low16(address), low16(length), sle4428::kZoneProtection, source);
}

KDX_API StatusCode KDX_CALL SLE4428_ReadValue(uint32_t address, uint32_t* out) {
  return cards::read_value(&sle4428::read, sle4428::kZoneData, low16(address), out);
}

KDX_API StatusCode KDX_CALL SLE4428_WriteValue(uint32_t address, uint32_t value) {
  return cards::write_value(&sle4428::write, sle4428::kZoneData, low16(address), value);
}

KDX_API StatusCode KDX_CALL SLE4428_ReadPAC(uint8_t* out) {
  return sle4428::read(sle4428::kCounterAddress, 1, sle4428::kZoneData, out);
}

KDX_API StatusCode KDX_CALL SLE4428_ReadPWD(uint8_t* out) {
  return sle4428::read(sle4428::kPscAddress, sle4428::kPscSize, sle4428::kZoneData, out);
}

KDX_API StatusCode KDX_CALL SLE4428_WritePWD(const uint8_t* source) {
  return sle4428::write(sle4428::kPscAddress, sle4428::kPscSize, sle4428::kZoneData, source);
}

KDX_API StatusCode KDX_CALL SLE4428_VerifyPWD(uint32_t first, uint32_t second) {
  return sle4428::verify_pwd({low8(first), low8(second)});
}

}  // extern "C"
