// AT24C serial EEPROM cards: plain memory on the reader's two-wire bus. The
// type given to AT24C_OpenCard is the driver's one byte of state; it fixes
// the capacity, how the address travels, and the write page.
#include "cards/at24c_types.h"
#include "cards/memory_card.h"
#include "cards/two_wire_bus.h"
#include "cards/two_wire_codes.h"
#include "link/frame.h"
#include "link/session.h"

namespace kdx::velmor::at24c {
namespace {

// The card stays powered across a port reopen, so KDX_ExitComm leaves this.
uint8_t g_type = 0;

const Type& current() { return kTypes[valid_type(g_type) ? g_type : 0]; }

// Session, type, then (a zero length being done) the range and the pointer.
StatusCode check(uint16_t address, uint16_t length, const void* data) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (!valid_type(g_type)) return ST_WRONG_CARD_TYPE;
  if (length == 0) return ST_OK;
  const StatusCode status = cards::check_range(address, length, current().capacity);
  if (status != ST_OK) return status;
  return data == nullptr ? ST_BAD_PARAMETER : ST_OK;
}

StatusCode address_phase(const Type& type, uint16_t address) {
  const uint8_t device = device_byte(type, address);
  const auto high = static_cast<uint8_t>(address >> 8);
  const auto low = static_cast<uint8_t>(address & 0xFF);
  StatusCode status = ST_OK;
  switch (type.addressing) {
    case Addressing::in_device_byte: {
      const uint8_t first[] = {static_cast<uint8_t>(device | two_wire::kReadBit)};
      return two_wire::start_and_send(first);
    }
    case Addressing::one_byte: {
      const uint8_t dummy_write[] = {device, low};
      status = two_wire::start_and_send(dummy_write);
      break;
    }
    case Addressing::two_bytes: {
      const uint8_t dummy_write[] = {device, high, low};
      status = two_wire::start_and_send(dummy_write);
      break;
    }
  }
  if (status != ST_OK) return status;
  const uint8_t read[] = {static_cast<uint8_t>(device | two_wire::kReadBit)};
  return two_wire::start_and_send(read);
}

StatusCode read(uint16_t address, uint16_t length, uint8_t* destination) {
  StatusCode status = check(address, length, destination);
  if (status != ST_OK || length == 0) return status;
  status = address_phase(current(), address);
  if (status != ST_OK) return status;
  status = two_wire::receive(destination, length);
  if (status != ST_OK) return status;
  return two_wire::stop();
}

std::size_t page_header(uint32_t address, uint8_t* out, const void* context) {
  const Type& type = *static_cast<const Type*>(context);
  std::size_t size = 0;
  out[size++] = device_byte(type, address);
  if (type.addressing == Addressing::two_bytes) out[size++] = static_cast<uint8_t>(address >> 8);
  if (type.addressing != Addressing::in_device_byte) out[size++] = static_cast<uint8_t>(address & 0xFF);
  return size;
}

StatusCode write(uint16_t address, uint16_t length, const uint8_t* source) {
  const StatusCode status = check(address, length, source);
  if (status != ST_OK || length == 0) return status;
  const Type& type = current();
  return two_wire::write_pages(address, {source, length}, type.page, &page_header, &type);
}

StatusCode open(uint8_t type) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (!valid_type(type)) return ST_WRONG_CARD_TYPE;
  StatusCode status = session::test_door();
  if (status != ST_OK) return status;
  status = two_wire::power(true);
  if (status != ST_OK) return status;
  // A stop leaves the bus idle, whatever the chip made of power-up.
  status = two_wire::stop();
  if (status != ST_OK) return status;
  g_type = type;
  return ST_OK;
}

StatusCode close() {
  g_type = 0;
  return cards::close_card(two_wire::kPower);
}

// The checks of a 4-byte read come first, the pointer's included.
StatusCode read_value(uint16_t address, uint32_t* out) {
  StatusCode status = check(address, cards::kValueSize, out);
  if (status != ST_OK) return status;
  uint8_t bytes[cards::kValueSize] = {};
  status = read(address, cards::kValueSize, bytes);
  if (status == ST_OK) *out = cards::load_value(bytes);
  return status;
}

StatusCode write_value(uint16_t address, uint32_t value) {
  uint8_t bytes[cards::kValueSize];
  cards::store_value(value, bytes);
  return write(address, cards::kValueSize, bytes);
}

}  // namespace
}  // namespace kdx::velmor::at24c

using namespace kdx::velmor;
using cards::low16;
using cards::low8;

extern "C" {

KDX_API StatusCode KDX_CALL AT24C_OpenCard(uint32_t type) { return at24c::open(low8(type)); }

KDX_API StatusCode KDX_CALL AT24C_CloseCard(void) { return at24c::close(); }

KDX_API StatusCode KDX_CALL AT24C_ReadChar(uint32_t address, uint32_t length, uint8_t* destination) {
  return at24c::read(low16(address), low16(length), destination);
}

KDX_API StatusCode KDX_CALL AT24C_WriteChar(uint32_t address, uint32_t length, const uint8_t* source) {
  return at24c::write(low16(address), low16(length), source);
}

KDX_API StatusCode KDX_CALL AT24C_ReadValue(uint32_t address, uint32_t* out) {
  return at24c::read_value(low16(address), out);
}

KDX_API StatusCode KDX_CALL AT24C_WriteValue(uint32_t address, uint32_t value) {
  return at24c::write_value(low16(address), value);
}

}  // extern "C"
