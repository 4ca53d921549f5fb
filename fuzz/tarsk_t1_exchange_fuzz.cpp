// Whatever a T=1 card sends after its ATR, one APDU exchange ends with a
// status, writes nothing past the response room (a heap block of exactly the
// stated capacity), and reports no more bytes than it had room for.
//
// Input: one byte of options, then the card's bytes after a fixed T=1 ATR
// (LRC, IFSC 32, BWI 4, CWI 5). Options: bit 0 string mode, bits 1-2 the
// room (the bound, 300, 40 or 3 bytes), bit 3 a 40-byte command (chained)
// instead of a 5-byte one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "fuzz/scripted_port.h"
#include "tarsk.h"
#include "tarsk_apdu.h"

namespace {

constexpr uint8_t kAtr[] = {0x3B, 0x80, 0x81, 0x31, 0x20, 0x45, 0x55};
constexpr uint8_t kStringModeBit = 0x01;
constexpr unsigned kRoomShift = 1;
constexpr uint8_t kRoomBits = 0x03;
constexpr uint8_t kLongCommandBit = 0x08;
constexpr uint32_t kRooms[] = {65538, 300, 40, 3};
constexpr std::size_t kShortCommand = 5;
constexpr std::size_t kLongCommand = 40;

void require(bool holds) {
  if (!holds) std::abort();
}

void exchange(uint8_t options) {
  const bool text = (options & kStringModeBit) != 0;
  const uint32_t room_bytes = kRooms[(options >> kRoomShift) & kRoomBits];
  const uint32_t capacity = text ? 2 * room_bytes + 1 : room_bytes;
  const std::size_t n = (options & kLongCommandBit) != 0 ? kLongCommand : kShortCommand;
  std::vector<uint8_t> command(text ? 2 * n : n, text ? '0' : 0);
  auto response = std::make_unique<uint8_t[]>(capacity);
  auto length = std::make_unique<uint32_t>(0);
  const StatusCode status = CPU_IsoAPDUEx(command.data(), static_cast<uint32_t>(n), response.get(), capacity, length.get());
  require(*length <= room_bytes);
  if (status == ST_OK && text) require(response[2 * *length] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  std::vector<uint8_t> card(sizeof kAtr + size - 1);
  std::copy(kAtr, kAtr + sizeof kAtr, card.begin());
  std::copy(data + 1, data + size, card.begin() + sizeof kAtr);
  // One read brings the ATR whole, later ones what the card sends after it.
  const kdx::fuzz::ScriptedPort::LineDevice line{static_cast<uint32_t>(sizeof kAtr), 0};
  kdx::fuzz::ScriptedPort port(card.data(), card.size(), line);
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  if (KDX_InitComm(0, 9600) == ST_OK) {
    uint8_t atr[32];
    uint16_t atr_length = 0;
    if (CPU_OpenCard(atr, &atr_length) == ST_OK) {
      KDX_SetStringMode((options & kStringModeBit) != 0 ? 1 : 0);
      exchange(options);
      KDX_SetStringMode(0);
    }
  }
  KDX_ExitComm();
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
