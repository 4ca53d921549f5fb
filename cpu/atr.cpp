// Power, warm reset and the collection of the answer to reset.
//
// The reader puts the card's ATR bytes in its ISO buffer as they arrive;
// the host reads the whole buffer again and again, without pause, until the
// bytes form a complete ATR by the rule of atr_shape.h or 4000 ms have
// passed.
#include <cstring>

#include "cpu/atr_shape.h"
#include "cpu/cpu_card.h"
#include "link/primitives.h"
#include "link/reader_codes.h"
#include "link/velmor_state.h"

namespace kdx::velmor::cpu {
namespace {

constexpr uint8_t kContactsOn = 1;
constexpr uint8_t kContactsOff = 0;
constexpr uint32_t kAtrDeadlineMs = 4000;
constexpr std::size_t kCollectionAreaSize = 100;
constexpr uint8_t kProtocolT0 = 0;
constexpr uint8_t kProtocolT1 = 1;

static_assert(kMaxAtrLength <= kCollectionAreaSize);

}  // namespace

StatusCode analyse_atr(uint8_t* atr) {
  g_velmor.CardProtocol = kProtocolT0;
  uint8_t area[kCollectionAreaSize] = {};
  const uint32_t start = platform::tick_count();
  AtrShape shape;
  for (;;) {
    const uint32_t elapsed = platform::tick_count() - start;
    std::size_t present = 0;
    const StatusCode status = read_iso_buffer(area, sizeof area, present);
    if (status != ST_OK) return status;
    shape = atr_shape(std::span<const uint8_t>(area, present));
    if (shape.announces_t1) g_velmor.CardProtocol = kProtocolT1;
    if (shape.complete) break;
    if (elapsed >= kAtrDeadlineMs) return ST_NO_ATR;
  }
  if (area[0] != kTsDirect && area[0] != kTsInverseAsRead) return ST_BAD_ATR;
  std::memcpy(atr, area, shape.length);
  return primitive::clear_iso_buffer();
}

StatusCode close() { return primitive::power(reader::kCpuPower, kContactsOff); }

// A link failure of the power or reset command leaves the reader in an
// unknown state, so the card is not switched off after it.
StatusCode open(uint8_t* atr) {
  StatusCode status = primitive::power(reader::kCpuPower, kContactsOn);
  if (status == ST_COMM_ERROR) return status;
  if (status == ST_OK) {
    if (analyse_atr(atr) == ST_OK) return ST_OK;
    status = primitive::single_step(reader::kCpuWarmReset);
    if (status == ST_COMM_ERROR) return status;
    if (status == ST_OK) {
      status = analyse_atr(atr);
      if (status == ST_OK) return ST_OK;
    }
  }
  close();
  return status;
}

StatusCode reset(uint8_t* atr) {
  const StatusCode status = primitive::single_step(reader::kCpuWarmReset);
  if (status != ST_OK) return status;
  return analyse_atr(atr);
}

}  // namespace kdx::velmor::cpu

using namespace kdx::velmor;

namespace {

template <typename Operation>
StatusCode with_atr_buffer(uint8_t* atr, Operation operation) {
  if (!cpu::port_open()) return ST_NOT_OPEN;
  if (atr == nullptr) return ST_BAD_PARAMETER;
  return operation(atr);
}

}  // namespace

extern "C" {

KDX_API StatusCode KDX_CALL CPU_Open(uint8_t* atr) { return with_atr_buffer(atr, cpu::open); }

KDX_API StatusCode KDX_CALL CPU_Close(void) {
  if (!cpu::port_open()) return ST_NOT_OPEN;
  return cpu::close();
}

KDX_API StatusCode KDX_CALL CPU_Reset(uint8_t* atr) { return with_atr_buffer(atr, cpu::reset); }

KDX_API StatusCode KDX_CALL CPU_AnalyseATR(uint8_t* atr) { return with_atr_buffer(atr, cpu::analyse_atr); }

}  // extern "C"
