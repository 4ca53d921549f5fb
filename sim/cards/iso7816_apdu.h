// The application of the ISO/IEC 7816-3 card model: commands and responses
// as ISO/IEC 7816-4 sees them, above whichever transmission protocol
// carries them.
//
// The sample application holds one transparent file of 512 bytes whose
// byte i is i modulo 256 (so a read at offset 0x60 or 0x90 returns data that
// begins like a procedure byte or a status word):
//   00 44 00 00 00        a command without data (case 1): 9000
//   00 A4 00 00 02 FID    SELECT (case 4): the file's control information,
//                         6 bytes, for 3F00 and 0001; 6A82 for others
//   00 B0 P1 P2 Le        READ BINARY (case 2) at offset P1 P2 (P1 bit 7
//                         clear); 6B00 beyond the file, 6Cxx when Le asks
//                         for more than it has from there
//   00 D6 P1 P2 Lc data   UPDATE BINARY (case 3); 6B00 beyond the file
// Another class gives 6E00, another instruction 6D00.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kdx::sim {

struct CommandApdu {
  uint8_t cla, ins, p1, p2;
  std::vector<uint8_t> data;
  std::optional<uint32_t> le;  // expected response length, 1 to 256
};

struct ResponseApdu {
  std::vector<uint8_t> data;
  uint16_t sw;
};

class IsoApplication {
 public:
  // Which way the data of a command with this class and instruction go.
  enum class Data : uint8_t { none, to_card, from_card, unknown };

  virtual ~IsoApplication() = default;
  virtual Data direction(uint8_t cla, uint8_t ins) const = 0;
  virtual ResponseApdu process(const CommandApdu& command) = 0;
  // A reset: what the card keeps in RAM is gone.
  virtual void on_reset() {}
};

class SampleApplication final : public IsoApplication {
 public:
  static constexpr std::size_t kFileSize = 512;

  SampleApplication();
  Data direction(uint8_t cla, uint8_t ins) const override;
  ResponseApdu process(const CommandApdu& command) override;
  const std::vector<uint8_t>& file() const { return file_; }

 private:
  std::vector<uint8_t> file_;
};

}  // namespace kdx::sim
