#include "cards/at_secure.h"
#include "sim/cards/at_secure_card.h"

namespace kdx::sim {
namespace {

namespace bus = kdx::velmor::at_secure;
namespace chip = kdx::velmor::at_secure::at153;

constexpr uint8_t kKindMask = 0x03, kSelectMask = 0x0C, kFamilyMask = 0xF0, kFamily = 0xB0;
constexpr uint8_t kWriteKind = 0x00, kReadKind = 0x01;
constexpr uint8_t kAtr[] = {0x34, 0x55, 0xAA, 0x05};

const SecureChip kChip{
    "AT153",
    chip::kUserZones,
    chip::kZoneSize,
    chip::kZoneSize,
    chip::kPageSize,
    2,
    chip::kArAddress,
    0x01,
    [](uint8_t index) { return chip::pac_address(index); },
    0x02,
    bus::kAacAddress,
    1,
    chip::kGcAddress,
    chip::kCmcAddress,
    chip::kCmcAddress,
    chip::kCmcSize,
    chip::kMtzAddress,
    1,
};

uint8_t selected(uint8_t command) { return static_cast<uint8_t>((command & kSelectMask) >> chip::kSelectShift); }

}  // namespace

At153Card::At153Card() : SecureMemoryCard(kChip) { std::copy(std::begin(kAtr), std::end(kAtr), config().begin()); }

void At153Card::on_bytes(const std::vector<uint8_t>& bytes) {
  const uint8_t command = bytes[0];
  if (command == chip::kReadFuse && bytes.size() == 1) {
    output_byte(fuses());
  } else if ((command & kFamilyMask) == kFamily && (command & kKindMask) == kReadKind && bytes.size() == 2) {
    output_zone(selected(command), bytes[1]);
  }
}

bool At153Card::knows(uint8_t command) const { return (command & kFamilyMask) == kFamily; }

void At153Card::on_stop(const std::vector<uint8_t>& bytes) {
  const uint8_t command = bytes[0];
  switch (command) {
    case chip::kAuthInit:
      auth_challenge(bytes);
      return;
    case chip::kAuthVerify:
      auth_response(bytes);
      return;
    case chip::kWriteFuse:
      if (expect_data(bytes, 1, 1, 1, "fuse write")) blow_fuse(bytes[1]);
      return;
    case chip::kReadFuse:
      expect_data(bytes, 1, 0, 0, "fuse read");
      return;
    default:
      break;
  }
  switch (command & kKindMask) {
    case kWriteKind:
      if (expect_data(bytes, 2, 1, chip::kPageSize, "write")) {
        write_zone(selected(command), bytes[1], {bytes.begin() + 2, bytes.end()});
      }
      return;
    case kReadKind:
      expect_data(bytes, 2, 0, 0, "read");
      return;
    default:  // the verifications: the kind with both low bits set
      if (expect_data(bytes, 1, bus::kPasswordSize, bus::kPasswordSize, "verification")) {
        verify(selected(command), {bytes.begin() + 1, bytes.end()});
      }
  }
}

}  // namespace kdx::sim
