#include "serial_iso/string_mode.h"

#include "platform/crt_rand.h"
#include "serial_iso/tarsk_state.h"

namespace kdx::tarsk::hex {
namespace {

constexpr char kLowerToUpper = 'a' - 'A';

char nibble_char(unsigned nibble) { return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' - 10 + nibble); }

// 0-9 give 0 to 9 and A-F give 10 to 15; anything else something
// meaningless, as callers check the text first.
unsigned digit_value(char c) {
  unsigned value = static_cast<unsigned>(static_cast<uint8_t>(c)) - '0';
  if (value > 16) value = static_cast<unsigned>(static_cast<uint8_t>(c)) - ('A' - 10);
  return value;
}

}  // namespace

uint8_t mode() { return g_tarsk.StringMode; }

bool is_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

bool all_digits(const char* text, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!is_digit(text[i])) return false;
  }
  return true;
}

void string_to_byte(uint8_t* destination, char* source) {
  for (int i = 0; i < 2; ++i) {
    if (source[i] >= 'a' && source[i] <= 'f') source[i] = static_cast<char>(source[i] - kLowerToUpper);
  }
  *destination = static_cast<uint8_t>(digit_value(source[0]) * 16 + digit_value(source[1]));
}

void byte_to_string(char* destination, const uint8_t* source) {
  // destination may overlap source (byte i into characters 2i, 2i+1 of one
  // buffer): write the second character first, then read the byte again.
  destination[1] = nibble_char(*source & 0x0Fu);
  destination[0] = nibble_char(*source >> 4);
}

void decode_in_place(uint8_t* buffer, std::size_t bytes) {
  char* text = reinterpret_cast<char*>(buffer);
  for (std::size_t i = 0; i < bytes; ++i) string_to_byte(buffer + i, text + 2 * i);
}

void encode_in_place(uint8_t* buffer, std::size_t bytes) {
  char* text = reinterpret_cast<char*>(buffer);
  for (std::size_t i = bytes; i-- > 0;) byte_to_string(text + 2 * i, buffer + i);
}

}  // namespace kdx::tarsk::hex

using namespace kdx::tarsk;

extern "C" {

KDX_API StatusCode KDX_CALL KDX_SetStringMode(uint32_t mode) {
  const uint8_t value = static_cast<uint8_t>(mode & 0xFF);
  if (value > 1) return ST_BAD_PARAMETER;
  g_tarsk.StringMode = value;
  return ST_OK;
}

KDX_API StatusCode KDX_CALL KDX_GetStringMode(uint8_t* destination) {
  if (destination == nullptr) return ST_BAD_PARAMETER;
  *destination = g_tarsk.StringMode;
  return ST_OK;
}

KDX_API void KDX_CALL KDX_String2Hex(uint8_t* destination, char* source) {
  if (destination != nullptr && source != nullptr) hex::string_to_byte(destination, source);
}

KDX_API void KDX_CALL KDX_Hex2String(char* destination, const uint8_t* source) {
  if (destination != nullptr && source != nullptr) hex::byte_to_string(destination, source);
}

KDX_API StatusCode KDX_CALL KDX_GetRandStr(uint8_t* destination, uint32_t count) {
  const uint8_t bytes = static_cast<uint8_t>(count & 0xFF);
  if (bytes == 0) return ST_OK;
  if (destination == nullptr) return ST_BAD_PARAMETER;
  const uint8_t string_mode = hex::mode();
  kdx::platform::random_string(destination, bytes);
  if (string_mode == 1) hex::encode_in_place(destination, bytes);
  return ST_OK;
}

}  // extern "C"
