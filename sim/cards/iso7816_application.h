// A small card application that takes whole command APDUs (ISO/IEC 7816-4)
// and gives whole response APDUs, for the protocols of the serial-line card
// model. Files: the master file 3F00 and transparent EFs below it.
//
//   00 A4 00 00 02 FID        SELECT by file identifier: 9000, 6A82
//   00 A4 04 00 Lc AID        SELECT by name: 9000 for the application's
//                             name, else 6A82
//   00 B0 P1 P2 Le            READ BINARY at offset P1 P2, short Le (00 =
//                             256) or extended Le (00 hi lo, 0000 = 65536):
//                             the bytes and 9000, 6282 when the file ends
//                             first, 6B00 past its end, 6986 without a
//                             current EF
//   00 D6 P1 P2 Lc data       UPDATE BINARY: 9000, 6B00 past the end, 6986
//   80 F0 P1 P2               a slow command: works P1 P2 milliseconds
//                             (big-endian), then 9000
//   80 EE 00 00 Lc data [Le]  echo: the data back and 9000
//
// Unknown instructions give 6D00, another class 6E00, a command shorter
// than 4 bytes 6700.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace kdx::sim {

struct ApduAnswer {
  std::vector<uint8_t> response;  // data and SW1 SW2
  uint32_t work_ms = 0;           // how long the card computes before answering
};

class ApduApplication {
 public:
  virtual ~ApduApplication() = default;
  virtual ApduAnswer process(std::span<const uint8_t> command) = 0;
  // The card was reset: nothing selected.
  virtual void on_reset() {}
};

// The sample application: EF 0101 of 600 bytes (byte i = i mod 251), EF
// 0102 of 16 bytes (0x00 to 0x0F), EF 0103 of 70,000 bytes (byte i = i mod
// 253) for extended reads, application name A0 00 00 00 01 4B 44 58.
std::unique_ptr<ApduApplication> make_sample_application();

// The content the sample application starts with in file `id` (empty for
// an unknown file).
std::vector<uint8_t> sample_file(uint16_t id);

}  // namespace kdx::sim
