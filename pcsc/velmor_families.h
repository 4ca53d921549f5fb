// The synchronous memory-card families the Velmor reader's drivers know,
// one table row each: how the handler recognises the card, the memory the
// storage-card pseudo-APDUs address and the family's secret codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pcsc/velmor_api.h"

namespace kdx::ifd {

// Bytes of a memory card's answer to reset that the handler puts in the ATR.
inline constexpr std::size_t kMemoryAnswerBytes = 4;

enum class Probe : uint8_t {
  before_cpu,  // recognised by its answer: tried before a CPU card is
  after_cpu,   // taken by trying, once no CPU card answered
};

struct MemoryFamily {
  const char* name;
  Probe probe;
  std::size_t size;        // bytes the pseudo-APDUs address, from 0
  std::size_t segment;     // the driver's zone or page size (0: one piece)
  std::size_t psc_length;  // 0: no secret code
  uint32_t psc_indexes;    // VERIFY's P2 runs from 0 to this - 1
  bool (*available)(const VelmorApi&);
  // Powers the card and reads the answer shown in the ATR; on failure the
  // card is left unpowered.
  StatusCode (*open)(const VelmorApi&, uint8_t* answer);
  // After a successful open: is the card of this family?
  bool (*recognises)(const VelmorApi&, const uint8_t* answer);
  StatusCode (*close)(const VelmorApi&);
  // Within one segment (segment 0 when the family has none).
  StatusCode (*read)(const VelmorApi&, uint32_t segment, uint32_t offset, uint32_t length, uint8_t* destination);
  StatusCode (*write)(const VelmorApi&, uint32_t segment, uint32_t offset, uint32_t length, const uint8_t* source);
  StatusCode (*verify)(const VelmorApi&, uint32_t index, const uint8_t* psc);
  StatusCode (*attempts_left)(const VelmorApi&, uint32_t index, unsigned& attempts);
  // 0: tried on every card; else tried only when the device name says the
  // reader takes AT24C cards of this type (DeviceName::at24c_type).
  uint8_t at24c_type = 0;
};

// In the order the handler tries them.
std::span<const MemoryFamily> memory_families();

}  // namespace kdx::ifd
