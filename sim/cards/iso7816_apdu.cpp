#include "sim/cards/iso7816_apdu.h"

#include <algorithm>

namespace kdx::sim {
namespace {

constexpr uint8_t kClass = 0x00;
constexpr uint8_t kNoOperation = 0x44;
constexpr uint8_t kSelect = 0xA4;
constexpr uint8_t kReadBinary = 0xB0;
constexpr uint8_t kUpdateBinary = 0xD6;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLe = 0x6C00;  // | the length available (00: 256)
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kOffsetOutside = 0x6B00;
constexpr uint16_t kUnknownInstruction = 0x6D00;
constexpr uint16_t kUnknownClass = 0x6E00;

constexpr uint16_t kMasterFile = 0x3F00;
constexpr uint16_t kDataFile = 0x0001;
constexpr std::size_t kFileIdLength = 2;
constexpr uint8_t kFciTag = 0x62;
constexpr uint8_t kFidTag = 0x83;
constexpr uint8_t kOffsetHighMask = 0x7F;
constexpr uint32_t kMaxLe = 256;
constexpr unsigned kByteBits = 8;

ResponseApdu status(uint16_t sw) { return ResponseApdu{{}, sw}; }

}  // namespace

SampleApplication::SampleApplication() : file_(kFileSize) {
  for (std::size_t i = 0; i < file_.size(); ++i) file_[i] = static_cast<uint8_t>(i);
}

IsoApplication::Data SampleApplication::direction(uint8_t cla, uint8_t ins) const {
  if (cla != kClass) return Data::unknown;
  switch (ins) {
    case kNoOperation:
      return Data::none;
    case kSelect:
    case kUpdateBinary:
      return Data::to_card;
    case kReadBinary:
      return Data::from_card;
    default:
      return Data::unknown;
  }
}

ResponseApdu SampleApplication::process(const CommandApdu& c) {
  if (c.cla != kClass) return status(kUnknownClass);
  const std::size_t offset = static_cast<std::size_t>(c.p1 & kOffsetHighMask) << kByteBits | c.p2;
  switch (c.ins) {
    case kNoOperation:
      return status(kOk);
    case kSelect: {
      if (c.data.size() != kFileIdLength) return status(kWrongLength);
      const uint16_t fid = static_cast<uint16_t>(c.data[0] << kByteBits | c.data[1]);
      if (fid != kMasterFile && fid != kDataFile) return status(kFileNotFound);
      return ResponseApdu{{kFciTag, 0x04, kFidTag, 0x02, c.data[0], c.data[1]}, kOk};
    }
    case kReadBinary: {
      if (offset >= file_.size()) return status(kOffsetOutside);
      const std::size_t available = std::min<std::size_t>(file_.size() - offset, kMaxLe);
      const uint32_t le = c.le.value_or(kMaxLe);
      if (le > available) return status(static_cast<uint16_t>(kWrongLe | (available & 0xFF)));
      const auto begin = file_.begin() + static_cast<std::ptrdiff_t>(offset);
      return ResponseApdu{{begin, begin + le}, kOk};
    }
    case kUpdateBinary:
      if (offset + c.data.size() > file_.size()) return status(kOffsetOutside);
      std::copy(c.data.begin(), c.data.end(), file_.begin() + static_cast<std::ptrdiff_t>(offset));
      return status(kOk);
    default:
      return status(kUnknownInstruction);
  }
}

}  // namespace kdx::sim
