// The exports the AT1604 and AT6601 drivers have in the same shape, over
// their own memory map; each driver adds its verification and fuse.
#pragma once

#include "cards/at102_family.h"
#include "cards/memory_card.h"

// Read and write of the map's field MEMBER.
#define KDX_LARGE_CARD_FIELD(PREFIX, MAP, NAME, MEMBER)                                                          \
  KDX_API StatusCode KDX_CALL PREFIX##_Read##NAME(uint8_t* destination) {                                        \
    return at102::read_field(MAP, MAP.MEMBER, destination);                                                      \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_Write##NAME(const uint8_t* source) {                                      \
    return at102::write_field(MAP, MAP.MEMBER, source);                                                          \
  }

#define KDX_LARGE_CARD_EXPORTS(PREFIX, MAP)                                                                      \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadChar(uint32_t address, uint32_t length, uint32_t zone,                \
                                                uint8_t* destination) {                                         \
    return at102::read(MAP, cards::low16(address), cards::low16(length), cards::low8(zone), destination);        \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteChar(uint32_t address, uint32_t length, uint32_t zone,               \
                                                 const uint8_t* source) {                                       \
    return at102::write(MAP, cards::low16(address), cards::low16(length), cards::low8(zone), source);            \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_EraseChar(uint32_t address, uint32_t length, uint32_t zone) {             \
    return at102::erase(MAP, cards::low16(address), cards::low16(length), cards::low8(zone));                    \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadValue(uint32_t address, uint32_t zone, uint32_t* out) {               \
    return at102::read_value(MAP, cards::low16(address), cards::low8(zone), out);                                \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteValue(uint32_t address, uint32_t zone, uint32_t value) {             \
    return at102::write_value(MAP, cards::low16(address), cards::low8(zone), value);                             \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_WriteFuse(void) { return at102::write_fuse(MAP.fuse); }                   \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadFC(uint8_t* destination) {                                            \
    return at102::read_field(MAP, MAP.fc, destination);                                                          \
  }                                                                                                              \
  KDX_LARGE_CARD_FIELD(PREFIX, MAP, IC, ic)                                                                      \
  KDX_LARGE_CARD_FIELD(PREFIX, MAP, CPZ, cpz)                                                                    \
  KDX_LARGE_CARD_FIELD(PREFIX, MAP, MTZ, mtz)                                                                    \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadPAC(uint32_t index, uint8_t* destination) {                           \
    return at102::read_counter(MAP, cards::low8(index), destination);                                            \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_ReadPWD(uint32_t index, uint8_t* destination) {                           \
    return at102::read_indexed(MAP, MAP.codes, cards::low8(index), destination);                                 \
  }                                                                                                              \
  KDX_API StatusCode KDX_CALL PREFIX##_WritePWD(uint32_t index, const uint8_t* source) {                         \
    return at102::write_indexed(MAP, MAP.codes, cards::low8(index), source);                                     \
  }
