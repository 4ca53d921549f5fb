// Reader primitives: each sets the command code and data in the SendBuffer,
// runs SendCommand and, for the reading ones, RecvResponse, then hands the
// response data out.
#include "link/primitives.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "link/reader_codes.h"

namespace kdx::velmor::primitive {
namespace {

StatusCode command(uint8_t code, const uint8_t* data, std::size_t count) {
  if (!link::build_command(code, data, count)) {
    return link::has_buffers() ? ST_BAD_PARAMETER : ST_NOT_OPEN;
  }
  return link::send_command();
}

StatusCode command_with_response(uint8_t code, const uint8_t* data, std::size_t count) {
  const StatusCode sent = command(code, data, count);
  if (sent != ST_OK) return sent;
  return link::receive_response();
}

StatusCode copy_response(uint8_t* destination, std::size_t limit, std::size_t* received) {
  const std::size_t length = std::min(link::response_length(), limit);
  if (length != 0) {
    if (destination == nullptr) return ST_BAD_PARAMETER;
    std::memcpy(destination, link::response_data(), length);
  }
  if (received != nullptr) *received = length;
  return ST_OK;
}

void split_count(uint16_t count, uint8_t (&data)[2]) {
  data[0] = static_cast<uint8_t>(count & 0xFF);
  data[1] = static_cast<uint8_t>(count >> 8);
}

}  // namespace

StatusCode put_io(uint8_t line, uint8_t value) {
  const uint8_t data[] = {line, value};
  return command(reader::kPutIO, data, sizeof data);
}

StatusCode get_io(uint8_t line, uint8_t& value) {
  const StatusCode status = command_with_response(reader::kGetIO, &line, 1);
  if (status != ST_OK) return status;
  if (link::response_length() < 1) return ST_COMM_ERROR;
  value = link::response_data()[0];
  return ST_OK;
}

StatusCode power(uint8_t code, uint8_t value) { return command(code, &value, 1); }

StatusCode single_step(uint8_t code) { return command(code, nullptr, 0); }

StatusCode multi_step(uint8_t code, uint16_t count) {
  uint8_t data[2];
  split_count(count, data);
  return command(code, data, sizeof data);
}

StatusCode in_byte(uint8_t code, uint8_t* destination, uint16_t count, std::size_t* received) {
  if (received != nullptr) *received = 0;
  uint8_t data[2];
  split_count(count, data);
  const StatusCode status = command_with_response(code, data, sizeof data);
  if (status != ST_OK) return status;
  return copy_response(destination, count, received);
}

StatusCode out_byte(uint8_t code, const uint8_t* source, uint16_t count) {
  return command(code, source, count);
}

void delay_1ms(uint32_t milliseconds) {
  const ReaderSession* session = g_velmor.link.session;
  const uint32_t baud = session != nullptr ? session->baud_rate : 0;
  const uint32_t allowance = baud != 0 ? 100000u / baud : 0;
  if (milliseconds > allowance) platform::sleep_ms(milliseconds - allowance);
}

StatusCode get_iso_buffer(uint8_t* destination, std::size_t& received) {
  received = 0;
  const StatusCode status = command_with_response(reader::kGetIsoBuffer, nullptr, 0);
  if (status != ST_OK) return status;
  return copy_response(destination, link::kMaxResponseData, &received);
}

StatusCode clear_iso_buffer() { return command(reader::kClearIsoBuffer, nullptr, 0); }

}  // namespace kdx::velmor::primitive

using namespace kdx::velmor;

extern "C" {

KDX_API StatusCode KDX_CALL PutIO(uint32_t line, uint32_t value) {
  return primitive::put_io(static_cast<uint8_t>(line & 0xFF), static_cast<uint8_t>(value & 0xFF));
}

KDX_API StatusCode KDX_CALL GetIO(uint32_t line, uint8_t* value) {
  uint8_t read = 0;
  const StatusCode status = primitive::get_io(static_cast<uint8_t>(line & 0xFF), read);
  if (status == ST_OK && value != nullptr) *value = read;
  return status;
}

KDX_API StatusCode KDX_CALL Power(uint32_t code, uint32_t value) {
  return primitive::power(static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(value & 0xFF));
}

KDX_API StatusCode KDX_CALL SingleStep(uint32_t code) {
  return primitive::single_step(static_cast<uint8_t>(code & 0xFF));
}

KDX_API StatusCode KDX_CALL MultiStep(uint32_t code, uint32_t count) {
  return primitive::multi_step(static_cast<uint8_t>(code & 0xFF), static_cast<uint16_t>(count & 0xFFFF));
}

KDX_API StatusCode KDX_CALL InByte(uint32_t code, uint8_t* destination, uint32_t count) {
  return primitive::in_byte(static_cast<uint8_t>(code & 0xFF), destination, static_cast<uint16_t>(count & 0xFFFF));
}

KDX_API StatusCode KDX_CALL OutByte(uint32_t code, const uint8_t* source, uint32_t count) {
  return primitive::out_byte(static_cast<uint8_t>(code & 0xFF), source, static_cast<uint16_t>(count & 0xFFFF));
}

KDX_API void KDX_CALL Delay1ms(uint32_t milliseconds) { primitive::delay_1ms(milliseconds); }

KDX_API StatusCode KDX_CALL GetIsoBuffer(uint8_t* destination) {
  std::size_t received = 0;
  return primitive::get_iso_buffer(destination, received);
}

KDX_API StatusCode KDX_CALL ClearIsoBuffer(void) { return primitive::clear_iso_buffer(); }

}  // extern "C"
