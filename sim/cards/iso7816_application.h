// The application of the ISO/IEC 7816-3 card model: commands and responses
// as ISO/IEC 7816-4 sees them, the same whichever transmission protocol
// (T=0 or T=1) carries them. Files: the master file 3F00 and transparent
// EFs below it; after a reset EF 0001 is the current file.
//
//   00 44 00 00               a command without data (case 1): 9000
//   00 A4 00 00 02 FID [Le]   SELECT by file identifier: 9000, 6A82; with
//                             Le, the file's control information (6 bytes)
//   00 A4 04 00 Lc AID        SELECT by name: 9000 for the application's
//                             name, else 6A82; no current EF after it
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
// Unknown instructions give 6D00, another class 6E00, a command that is
// none of the short or extended cases 6700.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace kdx::sim {

struct CommandApdu {
  uint8_t cla, ins, p1, p2;
  std::vector<uint8_t> data;
  std::optional<uint32_t> le;  // expected response length, 1 to 65536
};

struct ResponseApdu {
  std::vector<uint8_t> data;
  uint16_t sw;
  uint32_t work_ms = 0;  // how long the card computes before answering

  // The data, then SW1 SW2.
  std::vector<uint8_t> bytes() const;
};

// A command APDU in one of the short or extended cases; none when the bytes
// are none of them.
std::optional<CommandApdu> parse_command(std::span<const uint8_t> bytes);

class IsoApplication {
 public:
  // Which way the data of a command with this class and instruction go
  // (what T=0 needs to know after the header).
  enum class Data : uint8_t { none, to_card, from_card, unknown };

  virtual ~IsoApplication() = default;
  virtual Data direction(uint8_t cla, uint8_t ins) const = 0;
  virtual ResponseApdu process(const CommandApdu& command) = 0;
  // A reset: what the card keeps in RAM is gone.
  virtual void on_reset() {}
};

// The sample application: EF 0001 of 512 bytes (byte i = i mod 256, so a
// read at offset 0x60 or 0x90 returns data that begins like a T=0
// procedure byte or status word), EF 0101 of 600 bytes (i mod 251), EF 0102
// of 16 bytes (0x00 to 0x0F), EF 0103 of 70,000 bytes (i mod 253) for
// extended reads; application name A0 00 00 00 01 4B 44 58.
class SampleApplication final : public IsoApplication {
 public:
  SampleApplication();
  Data direction(uint8_t cla, uint8_t ins) const override;
  ResponseApdu process(const CommandApdu& command) override;
  void on_reset() override;

 private:
  ResponseApdu select(const CommandApdu& command);
  ResponseApdu read_binary(std::size_t offset, std::optional<uint32_t> le) const;
  ResponseApdu update_binary(std::size_t offset, const std::vector<uint8_t>& data);

  std::map<uint16_t, std::vector<uint8_t>> files_;
  std::vector<uint8_t>* current_ = nullptr;
};

// The content the sample application starts with in file `id` (empty for
// an unknown file).
std::vector<uint8_t> sample_file(uint16_t id);

}  // namespace kdx::sim
