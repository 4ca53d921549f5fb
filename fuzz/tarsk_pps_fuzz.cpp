// Whatever a card answers to a PPS request (and, after a refusal, to the
// reset and the second request), protocol selection ends with a status (one it
// documents), and on success the card is active with T=0 or T=1.
//
// Input: one byte of options, then the card's bytes after its answer to
// reset (3B 13 13 4B 44 58, T=0 with TA1 0x13, supplied here). Options: bits
// 0-2 the card's bytes per read (0: as many as asked), bits 3-4 the request
// (FI DI 1 3, 1 1, 1 8, 2 3), bit 5 an inverse-convention card (3F 13 13 ...),
// bit 6 a dual T=0/T=1 card asked for T=1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "fuzz/scripted_port.h"
#include "tarsk.h"

namespace {

constexpr uint8_t kChunkBits = 0x07;
constexpr unsigned kRequestShift = 3;
constexpr uint8_t kRequestBits = 0x03;
constexpr uint8_t kInverseBit = 0x20;
constexpr uint8_t kDualBit = 0x40;
constexpr uint8_t kDirectAtr[] = {0x3B, 0x13, 0x13, 0x4B, 0x44, 0x58};
// The same bytes as an inverse-convention card puts them on the line.
constexpr uint8_t kInverseAtr[] = {0x03, 0x37, 0x37, 0x2D, 0xDD, 0xE5};
constexpr uint8_t kDualAtr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
constexpr uint8_t kFactors[][2] = {{1, 3}, {1, 1}, {1, 8}, {2, 3}};

void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const bool dual = (options & kDualBit) != 0;
  std::vector<uint8_t> stream;
  if (dual) {
    stream.assign(std::begin(kDualAtr), std::end(kDualAtr));
  } else if ((options & kInverseBit) != 0) {
    stream.assign(std::begin(kInverseAtr), std::end(kInverseAtr));
  } else {
    stream.assign(std::begin(kDirectAtr), std::end(kDirectAtr));
  }
  stream.insert(stream.end(), data + 1, data + size);
  const kdx::fuzz::ScriptedPort::LineDevice line{static_cast<uint32_t>(options & kChunkBits), 0};
  kdx::fuzz::ScriptedPort port(stream.data(), stream.size(), line);
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  uint8_t atr[32] = {};
  uint16_t atr_length = 0;
  if (KDX_InitComm(0, 9600) == ST_OK && CPU_OpenCard(atr, &atr_length) == ST_OK) {
    const uint8_t* factors = kFactors[(options >> kRequestShift) & kRequestBits];
    const StatusCode status = CPU_SetProtocol(dual ? 2 : 1, factors[0], factors[1]);
    uint32_t protocol = 0;
    if (status == ST_OK) {
      require(CPU_GetProtocol(&protocol) == ST_OK);
      require(protocol == 1 || protocol == 2);
    }
    require(status == ST_OK || status == ST_COMM_ERROR || status == ST_PPS_FAILED || status == ST_BAUD_UNSUPPORTED ||
            status == ST_PROTOCOL_UNSUPPORTED || status == ST_NO_ATR || status == ST_BAD_ATR ||
            status == ST_ATR_INCOMPLETE || status == ST_NO_CARD || status == ST_CARD_NOT_POWERED);
  }
  KDX_ExitComm();
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
