// The exports the AT153 and AT1608 drivers have in the same shape. Expanded
// where the driver's read_zone, write_zone, write_fuse, kLayout and
// kReadFuseCommand are in scope, and `layout` names its configuration
// layout; each driver adds its own password verification
// and the fields only it has.
#pragma once

#include "cards/at_secure.h"
#include "cards/memory_card.h"

// A configuration field of SIZE bytes at ADDRESS.
#define KDX_SECURE_FIELD(PREFIX, NAME, ADDRESS, SIZE)                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_Read##NAME(uint8_t* out) { return kLayout.read_config(ADDRESS, SIZE, out); } \
  KDX_API StatusCode KDX_CALL PREFIX##_Write##NAME(const uint8_t* data) {                                           \
    return kLayout.write_config(ADDRESS, SIZE, data);                                                               \
  }

// A one-byte configuration field, written from the low byte of a value.
#define KDX_SECURE_BYTE_FIELD(PREFIX, NAME, ADDRESS)                                                                    \
  KDX_API StatusCode KDX_CALL PREFIX##_Read##NAME(uint8_t* out) { return kLayout.read_config(ADDRESS, 1, out); }        \
  KDX_API StatusCode KDX_CALL PREFIX##_Write##NAME(uint32_t value) {                                                    \
    const uint8_t byte = cards::low8(value);                                                                            \
    return kLayout.write_config(ADDRESS, 1, &byte);                                                                     \
  }

#define KDX_SECURE_EXPORTS(PREFIX)                                                                                        \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* buffer) {      \
    return read_zone(cards::low16(address), cards::low16(length), cards::low8(zone), buffer);                             \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteChar(uint32_t address, uint32_t length, uint32_t zone,                        \
                                                 const uint8_t* data) {                                                   \
    return write_zone(cards::low16(address), cards::low16(length), cards::low8(zone), data);                              \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadValue(uint32_t address, uint32_t zone, uint32_t* value) {                      \
    return cards::read_value(&read_zone, cards::low8(zone), cards::low16(address), value);                                \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteValue(uint32_t address, uint32_t zone, uint32_t value) {                      \
    return cards::write_value(&write_zone, cards::low8(zone), cards::low16(address), value);                              \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_Auth(const uint8_t* seed, const uint8_t* challenge) {                              \
    return at_secure::authenticate(kLayout, seed, challenge);                                                             \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadFuse(uint8_t* fuse) {                                                          \
    return at_secure::read_fuse(kReadFuseCommand, fuse);                                                                  \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteFuse(void) { return write_fuse(); }                                           \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadATR(uint8_t* out) { return kLayout.read_config(0, at_secure::kAtrSize, out); } \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadLHC(uint8_t* out) {                                                            \
    return kLayout.read_config(layout::kLhcAddress, layout::kLhcSize, out);                                               \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadFC(uint8_t* out) {                                                             \
    return kLayout.read_config(layout::kFcAddress, layout::kFcSize, out);                                                 \
  }                                                                                                                       \
  KDX_SECURE_FIELD(PREFIX, CMC, layout::kCmcAddress, layout::kCmcSize)                                                    \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadAR(uint32_t zone, uint8_t* out) {                                              \
    return at_secure::read_ar(kLayout, cards::low8(zone), out);                                                           \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteAR(uint32_t zone, uint32_t value) {                                           \
    return at_secure::write_ar(kLayout, cards::low8(zone), cards::low8(value));                                           \
  }                                                                                                                       \
  KDX_SECURE_BYTE_FIELD(PREFIX, AAC, at_secure::kAacAddress)                                                              \
  KDX_SECURE_FIELD(PREFIX, Nc, layout::kNcAddress, layout::kNcSize)                                                       \
  KDX_SECURE_FIELD(PREFIX, Ci, layout::kCiAddress, layout::kCiSize)                                                       \
  KDX_SECURE_FIELD(PREFIX, Gc, layout::kGcAddress, at_secure::kBlockSize)                                                 \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadPAC(uint32_t index, uint8_t* out) {                                            \
    return at_secure::read_password_field(kLayout, cards::low8(index), 0, 1, out);                                        \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WritePAC(uint32_t index, uint32_t value) {                                         \
    const uint8_t byte = cards::low8(value);                                                                              \
    return at_secure::write_password_field(kLayout, cards::low8(index), 0, 1, &byte);                                     \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadPWD(uint32_t index, uint8_t* out) {                                            \
    return at_secure::read_password_field(kLayout, cards::low8(index), 1, at_secure::kPasswordSize, out);                 \
  }                                                                                                                       \
  KDX_API StatusCode KDX_CALL PREFIX##_WritePWD(uint32_t index, const uint8_t* data) {                                    \
    return at_secure::write_password_field(kLayout, cards::low8(index), 1, at_secure::kPasswordSize, data);               \
  }
