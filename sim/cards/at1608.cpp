#include "cards/at_secure.h"
#include "sim/cards/at_secure_card.h"

namespace kdx::sim {
namespace {

namespace bus = kdx::velmor::at_secure;
namespace chip = kdx::velmor::at_secure::at1608;

constexpr uint8_t kAtr[] = {0x34, 0x55, 0xAA, 0x85};
constexpr uint8_t kIndexes = chip::kPasswordIndexes;

const SecureChip kChip{
    "AT1608",
    chip::kUserZones,
    chip::kZoneSize,
    chip::kConfigSize,
    chip::kPageSize,
    8,
    chip::kArAddress,
    0x07,
    [](uint8_t index) { return chip::pac_address(index); },
    0x08,
    chip::kCiAddress,
    0,
    chip::kGcAddress,
    chip::kCmcAddress,
    chip::kCmcAddress,
    chip::kCmcSize,
    chip::kMtzAddress,
    chip::kMtzSize,
};

}  // namespace

At1608Card::At1608Card() : SecureMemoryCard(kChip) { std::copy(std::begin(kAtr), std::end(kAtr), config().begin()); }

void At1608Card::on_bytes(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != 2) return;
  if (bytes[0] == chip::kRead) {
    output_zone(selected_zone_, bytes[1]);
  } else if (bytes[0] == chip::kReadConfig) {
    if (bytes[1] == chip::kFuseAddress) {
      output_byte(fuses());
    } else {
      output_zone(chip::kUserZones, bytes[1]);
    }
  }
}

bool At1608Card::knows(uint8_t command) const { return command >= chip::kWrite && command <= chip::kAuthVerify; }

void At1608Card::on_stop(const std::vector<uint8_t>& bytes) {
  switch (bytes[0]) {
    case chip::kSetZone:
      if (expect_data(bytes, 1, 1, 1, "zone selection")) selected_zone_ = bytes[1] & chip::kZoneMask;
      return;
    case chip::kWrite:
      if (expect_data(bytes, 2, 1, chip::kPageSize, "write")) {
        write_zone(selected_zone_, bytes[1], {bytes.begin() + 2, bytes.end()});
      }
      return;
    case chip::kWriteConfig:
      if (bytes.size() >= 2 && bytes[1] == chip::kFuseAddress) {
        if (expect_data(bytes, 2, 0, 0, "fuse write")) blow_next_fuse();
      } else if (expect_data(bytes, 2, 1, chip::kPageSize, "configuration write")) {
        write_zone(chip::kUserZones, bytes[1], {bytes.begin() + 2, bytes.end()});
      }
      return;
    case chip::kRead:
    case chip::kReadConfig:
      expect_data(bytes, 2, 0, 0, "read");
      return;
    case chip::kVerify:
      if (expect_data(bytes, 2, bus::kPasswordSize, bus::kPasswordSize, "verification")) {
        if (bytes[1] >= kIndexes) {
          fault("password index out of range");
          return;
        }
        verify(bytes[1], {bytes.begin() + 2, bytes.end()});
      }
      return;
    case chip::kAuthInit:
      auth_challenge(bytes);
      return;
    default:  // kAuthVerify, the last command byte the chip knows
      auth_response(bytes);
  }
}

}  // namespace kdx::sim
