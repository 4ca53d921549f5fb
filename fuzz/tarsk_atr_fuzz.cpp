// Whatever a card sends as its answer to reset, activation and the
// interpretation of the ATR stay inside their buffers and the callers'
// (each destination is a heap block of exactly the size the call allows, so
// AddressSanitizer sees any overrun), and what they report holds together.
//
// Input: one byte of options, then the card's bytes. Options: bits 0-2 the
// card's bytes per read (0: as many as asked), bit 3 string mode, bits 4-5
// the empty reads before each chunk (0, 1, 5 or 30: past the retry budget),
// bit 6 CPU_Reset instead of CPU_OpenCard, bit 7 deactivation before the
// session ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_target.h"
#include "fuzz/scripted_port.h"
#include "tarsk.h"

namespace {

constexpr uint8_t kChunkBits = 0x07;
constexpr uint8_t kStringModeBit = 0x08;
constexpr unsigned kGapShift = 4;
constexpr uint8_t kGapBits = 0x03;
constexpr uint8_t kResetBit = 0x40;
constexpr uint8_t kCloseBit = 0x80;
constexpr uint32_t kGapReads[] = {0, 1, 5, 30};
constexpr std::size_t kAtrBytes = 32;
constexpr uint16_t kMaxAtrLength = 32;

void require(bool holds) {
  if (!holds) std::abort();
}

void activate(uint8_t options) {
  const bool text = (options & kStringModeBit) != 0;
  auto atr = std::make_unique<uint8_t[]>(text ? 2 * kAtrBytes : kAtrBytes);
  auto length = std::make_unique<uint16_t>(0);
  const StatusCode status =
      (options & kResetBit) != 0 ? CPU_Reset(atr.get(), length.get()) : CPU_OpenCard(atr.get(), length.get());
  if (status == ST_OK) require(*length >= 2 && *length <= kMaxAtrLength);
  CPU_UpdateCardCapabilities();
  auto protocol = std::make_unique<uint32_t>(0);
  if (CPU_GetProtocol(protocol.get()) == ST_OK) require(*protocol == 1 || *protocol == 2);
  if ((options & kCloseBit) != 0) CPU_CloseCard();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const kdx::fuzz::ScriptedPort::LineDevice line{static_cast<uint32_t>(options & kChunkBits), kGapReads[(options >> kGapShift) & kGapBits]};
  kdx::fuzz::ScriptedPort port(data + 1, size - 1, line);
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  KDX_SetStringMode((options & kStringModeBit) != 0 ? 1 : 0);
  if (KDX_InitComm(0, 9600) == ST_OK) activate(options);
  KDX_ExitComm();
  KDX_SetStringMode(0);
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
