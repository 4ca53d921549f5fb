// Whatever bytes the reader sends, the link, the reading primitives and the
// CPU card path stay inside their buffers and the callers' (each destination
// is a heap block of exactly the size the call allows, so AddressSanitizer
// sees any overrun).
//
// Input: one byte choosing the operation and its count, then the reader's
// bytes. The session is opened on the reader's first bytes too, so the
// device test's response is fuzzed as well.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_target.h"
#include "fuzz/scripted_port.h"
#include "velmor.h"

namespace {

void exercise(uint8_t choice, const kdx::fuzz::ScriptedPort& port) {
  const uint16_t count = static_cast<uint16_t>(choice >> 4) * 16u;  // 0 to 240
  switch (choice & 15u) {
    case 0: {
      auto buffer = std::make_unique<uint8_t[]>(count + 1u);
      InByte(55, buffer.get(), count);
      break;
    }
    case 1: {
      uint8_t value = 0;
      GetIO(178, &value);
      break;
    }
    case 2: {
      auto buffer = std::make_unique<uint8_t[]>(195);
      GetIsoBuffer(buffer.get());
      break;
    }
    case 3: {
      auto buffer = std::make_unique<uint8_t[]>(32);
      KDX_GetVersion(buffer.get());
      break;
    }
    case 4:
      KDX_TestDoor();
      break;
    case 5: {
      SetSendCommand(18);
      SetSendLength(count);
      if (SendCommand() == ST_OK) RecvResponse();
      break;
    }
    case 6:
      RecvResponse();
      break;
    case 7: {
      auto atr = std::make_unique<uint8_t[]>(30);
      CPU_AnalyseATR(atr.get());
      break;
    }
    case 8: {
      auto response = std::make_unique<char[]>(391);
      CPU_IsoAPDU(count < 128 ? "00B2000004" : "00D600000411223344", response.get());
      break;
    }
    case 9: {
      auto response = std::make_unique<char[]>(391);
      CPU_IsoAPDU("0084000000", response.get());
      break;
    }
    default: {
      uint8_t byte = 0;
      while (!port.exhausted() && RecvByte(&byte) == ST_OK && byte != 0x03) {
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  kdx::fuzz::ScriptedPort port(data + 1, size - 1);
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  KDX_InitComm(0, 9600);
  for (int round = 0; round < 4 && !port.exhausted(); ++round) exercise(static_cast<uint8_t>(data[0] + round * 37), port);
  KDX_ExitComm();
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
