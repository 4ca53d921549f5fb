// Whatever a T=0 card sends after the command header (procedure bytes,
// data, status words, silence), the exchange ends with a status, writes
// nothing past the 258-byte response (a heap block of exactly the room the
// call allows, so AddressSanitizer sees any overrun), and reports a length
// that holds together with its status.
//
// Input: one byte of options, then the card's bytes after its answer to
// reset (3B 02 14 50, supplied here). Options: bits 0-2 the card's bytes per
// read (0: as many as asked, so the ATR read takes some of the stream too),
// bit 3 string mode, bits 4-6 the command, bit 7 a second command on the
// same activation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "fuzz/scripted_port.h"
#include "tarsk.h"

namespace {

constexpr uint8_t kChunkBits = 0x07;
constexpr uint8_t kStringModeBit = 0x08;
constexpr unsigned kCommandShift = 4;
constexpr uint8_t kCommandBits = 0x07;
constexpr uint8_t kSecondCommandBit = 0x80;
constexpr uint8_t kAtr[] = {0x3B, 0x02, 0x14, 0x50};
constexpr uint32_t kMaxResponse = 258;

const std::vector<uint8_t> kCommands[] = {
    {0x00, 0x44, 0x00, 0x00, 0x00},                    // case 1
    {0x00, 0xB0, 0x00, 0x00, 0x00},                    // case 2, 256 bytes
    {0x00, 0xB0, 0x00, 0x00, 0x08},                    // case 2
    {0x00, 0xD6, 0x00, 0x00, 0x03, 0x11, 0x22, 0x33},  // case 3
    {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00},  // case 4 with Le
    {0x00, 0x5F, 0x00, 0x00, 0x01},                    // INS + 1 is NULL
    {0x00, 0x8F, 0x00, 0x00, 0x01, 0x42},              // INS + 1 is SW1
    {0x00, 0xFF, 0x00, 0x00, 0x02},                    // INS without INS + 1
};

void require(bool holds) {
  if (!holds) std::abort();
}

char digit(unsigned nibble) { return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + nibble - 10); }

void exchange(const std::vector<uint8_t>& command, bool text) {
  const auto count = static_cast<uint32_t>(command.size());
  auto buffer = std::make_unique<uint8_t[]>(text ? 2 * command.size() : command.size());
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (text) {
      buffer[2 * i] = static_cast<uint8_t>(digit(command[i] >> 4));
      buffer[2 * i + 1] = static_cast<uint8_t>(digit(command[i] & 0x0F));
    } else {
      buffer[i] = command[i];
    }
  }
  auto response = std::make_unique<uint8_t[]>(text ? 2 * kMaxResponse + 1 : kMaxResponse);
  auto length = std::make_unique<uint32_t>(0xFFFF);
  const StatusCode status = CPU_IsoAPDU(buffer.get(), count, response.get(), length.get());
  require(status == ST_OK || status == ST_COMM_ERROR || status == ST_NO_CARD || status == ST_CARD_NOT_POWERED);
  if (status == ST_OK) {
    require(*length >= 2 && *length <= kMaxResponse);
    const uint8_t sw1 = text ? 0 : response[*length - 2];
    require(text || (sw1 & 0xF0) == 0x60 || (sw1 & 0xF0) == 0x90);
    require(text || sw1 != 0x60);
  } else {
    require(*length == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  std::vector<uint8_t> stream(std::begin(kAtr), std::end(kAtr));
  stream.insert(stream.end(), data + 1, data + size);
  const kdx::fuzz::ScriptedPort::LineDevice line{static_cast<uint32_t>(options & kChunkBits), 0};
  kdx::fuzz::ScriptedPort port(stream.data(), stream.size(), line);
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  const bool text = (options & kStringModeBit) != 0;
  KDX_SetStringMode(text ? 1 : 0);
  uint8_t atr[64] = {};
  uint16_t atr_length = 0;
  if (KDX_InitComm(0, 9600) == ST_OK && CPU_OpenCard(atr, &atr_length) == ST_OK) {
    exchange(kCommands[(options >> kCommandShift) & kCommandBits], text);
    if ((options & kSecondCommandBit) != 0) exchange(kCommands[2], text);
  }
  KDX_ExitComm();
  KDX_SetStringMode(0);
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
