#include "cards/memory_card.h"

#include <algorithm>

#include "link/frame.h"
#include "link/primitives.h"
#include "link/session.h"

namespace kdx::velmor::cards {

StatusCode check_range(uint16_t address, uint16_t length, std::size_t size) {
  if (address >= size) return ST_ADDRESS_OVERFLOW;
  if (length == 0) return ST_OK;
  if (length > size) return ST_LENGTH_OVERFLOW;
  if (std::size_t{address} + length > size) return ST_ACCESS_OVERFLOW;
  return ST_OK;
}

StatusCode check_access(bool zone_valid, uint16_t address, uint16_t length, std::size_t size, const void* data) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (!zone_valid) return ST_BAD_ZONE;
  const StatusCode status = check_range(address, length, size);
  if (status != ST_OK || length == 0) return status;
  return data == nullptr ? ST_BAD_PARAMETER : ST_OK;
}

StatusCode open_card(const OpenCodes& codes, uint8_t* atr, uint16_t atr_size) {
  constexpr uint8_t kPowerOn = 1;
  if (!link::is_open()) return ST_NOT_OPEN;
  if (atr == nullptr) return ST_BAD_PARAMETER;
  StatusCode status = session::test_door();
  if (status != ST_OK) return status;
  status = primitive::power(codes.power, kPowerOn);
  if (status != ST_OK) return status;
  status = primitive::single_step(codes.reset);
  if (status != ST_OK) return status;
  status = primitive::in_byte(codes.clock_in, atr, atr_size);
  if (status != ST_OK) return status;
  return primitive::single_step(codes.end);
}

StatusCode close_card(uint8_t power_code) {
  constexpr uint8_t kPowerOff = 0;
  if (!link::is_open()) return ST_NOT_OPEN;
  return primitive::power(power_code, kPowerOff);
}

StatusCode read_value(ReadFunction read, uint8_t zone, uint16_t address, uint32_t* out) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (out == nullptr) return ST_BAD_PARAMETER;
  uint8_t bytes[kValueSize] = {};
  const StatusCode status = read(address, kValueSize, zone, bytes);
  if (status != ST_OK) return status;
  *out = load_value(bytes);
  return ST_OK;
}

StatusCode write_value(WriteFunction write, uint8_t zone, uint16_t address, uint32_t value) {
  uint8_t bytes[kValueSize];
  store_value(value, bytes);
  return write(address, kValueSize, zone, bytes);
}

StatusCode clock_in_frame(uint8_t code, uint8_t* destination, uint16_t count) {
  const StatusCode status = primitive::in_byte(code, destination, count);
  if (status != ST_OK) return status;
  // A short answer would leave stale bytes behind as if they were read.
  return link::response_length() == count ? ST_OK : ST_COMM_ERROR;
}

StatusCode clock_in(uint8_t code, uint8_t* destination, std::size_t count) {
  std::size_t position = 0;
  while (position < count) {
    const auto frame = static_cast<uint16_t>(std::min(count - position, kMaxBytesPerFrame));
    const StatusCode status = clock_in_frame(code, destination + position, frame);
    if (status != ST_OK) return status;
    position += frame;
  }
  return ST_OK;
}

StatusCode send_card_command(const CommandCodes& codes, const CardCommand& command) {
  StatusCode status = primitive::single_step(codes.begin);
  if (status != ST_OK) return status;
  status = primitive::out_byte(codes.send, command, kCommandSize);
  if (status != ST_OK) return status;
  return primitive::single_step(codes.end);
}

StatusCode pulse_line(uint8_t line, unsigned pulses) {
  for (unsigned i = 0; i < pulses; ++i) {
    StatusCode status = primitive::put_io(line, 1);
    if (status != ST_OK) return status;
    status = primitive::put_io(line, 0);
    if (status != ST_OK) return status;
  }
  return ST_OK;
}

void store_value(uint32_t value, uint8_t (&bytes)[kValueSize]) {
  for (std::size_t i = 0; i < kValueSize; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t load_value(const uint8_t (&bytes)[kValueSize]) {
  uint32_t value = 0;
  for (std::size_t i = kValueSize; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace kdx::velmor::cards
