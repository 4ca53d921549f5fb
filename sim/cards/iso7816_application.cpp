#include "sim/cards/iso7816_application.h"

#include <algorithm>

#include "iso7816/codes.h"

namespace kdx::sim {
namespace {

using namespace kdx::iso7816;

// The sample application's own instructions beside ISO's.
constexpr uint8_t kNoOperation = 0x44;
constexpr uint8_t kSlow = 0xF0;
constexpr uint8_t kEcho = 0xEE;
constexpr uint8_t kSelectByName = 0x04;

constexpr uint16_t kMasterFile = 0x3F00;
constexpr std::size_t kFileIdLength = 2;
constexpr uint8_t kFciTag = 0x62;
constexpr uint8_t kFidTag = 0x83;
constexpr uint8_t kName[] = {0xA0, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x44, 0x58};

constexpr std::size_t kExtendedLength = 3;  // 00 hi lo
constexpr uint32_t kShortMax = 256;
constexpr uint32_t kExtendedMax = 65536;
constexpr unsigned kByteBits = 8;

struct Sample {
  uint16_t id;
  std::size_t size;
  unsigned modulus;
};
constexpr uint16_t kFirstFile = 0x0001;
constexpr Sample kSamples[] = {{kFirstFile, 512, 256}, {0x0101, 600, 251}, {0x0102, 16, 256}, {0x0103, 70000, 253}};

ResponseApdu status(uint16_t sw) { return ResponseApdu{{}, sw}; }

uint32_t two_bytes(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint32_t>(bytes[at] << kByteBits | bytes[at + 1]);
}

}  // namespace

std::vector<uint8_t> ResponseApdu::bytes() const {
  std::vector<uint8_t> out = data;
  out.push_back(static_cast<uint8_t>(sw >> kByteBits));
  out.push_back(static_cast<uint8_t>(sw & 0xFF));
  return out;
}

std::optional<CommandApdu> parse_command(std::span<const uint8_t> c) {
  if (c.size() < kHeader) return std::nullopt;
  CommandApdu command{c[0], c[1], c[2], c[3], {}, std::nullopt};
  const std::span<const uint8_t> body = c.subspan(kHeader);
  if (body.empty()) return command;  // case 1
  if (body.size() == 1) {            // case 2 short
    command.le = body[0] == 0 ? kShortMax : body[0];
    return command;
  }
  const bool extended = body[0] == 0;
  if (extended && body.size() < kExtendedLength) return std::nullopt;
  if (extended && body.size() == kExtendedLength) {  // case 2 extended
    const uint32_t le = two_bytes(body, 1);
    command.le = le == 0 ? kExtendedMax : le;
    return command;
  }
  const std::size_t lc_size = extended ? kExtendedLength : 1;
  const std::size_t lc = extended ? two_bytes(body, 1) : body[0];
  const std::size_t le_size = body.size() - std::min(body.size(), lc_size + lc);
  if (lc == 0 || body.size() < lc_size + lc || (le_size != 0 && le_size != (extended ? 2 : 1))) return std::nullopt;
  const auto data = body.subspan(lc_size, lc);
  command.data.assign(data.begin(), data.end());
  if (le_size == 1) command.le = body.back() == 0 ? kShortMax : body.back();
  if (le_size == 2) {
    const uint32_t le = two_bytes(body, lc_size + lc);
    command.le = le == 0 ? kExtendedMax : le;
  }
  return command;
}

SampleApplication::SampleApplication() {
  for (const Sample& sample : kSamples) files_[sample.id] = sample_file(sample.id);
  on_reset();
}

void SampleApplication::on_reset() { current_ = &files_[kFirstFile]; }

IsoApplication::Data SampleApplication::direction(uint8_t cla, uint8_t ins) const {
  if (cla == kClassProprietary && ins == kSlow) return Data::none;
  if (cla == kClassProprietary && ins == kEcho) return Data::to_card;
  if (cla != kClassIso) return Data::unknown;
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
  const std::size_t offset = static_cast<std::size_t>(c.p1 << kByteBits | c.p2);
  if (c.cla == kClassProprietary && c.ins == kSlow) return ResponseApdu{{}, kOk, static_cast<uint32_t>(offset)};
  if (c.cla == kClassProprietary && c.ins == kEcho) return c.data.empty() ? status(kWrongLength) : ResponseApdu{c.data, kOk};
  if (c.cla != kClassIso) return status(kClassNotSupported);
  switch (c.ins) {
    case kNoOperation:
      return status(kOk);
    case kSelect:
      return select(c);
    case kReadBinary:
      return c.data.empty() ? read_binary(offset, c.le) : status(kWrongLength);
    case kUpdateBinary:
      return update_binary(offset, c.data);
    default:
      return status(kInsNotSupported);
  }
}

ResponseApdu SampleApplication::select(const CommandApdu& c) {
  if (c.data.empty()) return status(kWrongLength);
  if (c.p1 == kSelectByName) {
    current_ = nullptr;
    return std::ranges::equal(c.data, kName) ? status(kOk) : status(kFileNotFound);
  }
  if (c.data.size() != kFileIdLength) return status(kWrongLength);
  const uint16_t id = static_cast<uint16_t>(two_bytes(c.data, 0));
  if (id == kMasterFile) {
    current_ = nullptr;
  } else {
    const auto file = files_.find(id);
    if (file == files_.end()) return status(kFileNotFound);
    current_ = &file->second;
  }
  if (!c.le) return status(kOk);
  std::vector<uint8_t> fci{kFciTag, 0x04, kFidTag, 0x02, c.data[0], c.data[1]};
  fci.resize(std::min<std::size_t>(fci.size(), *c.le));
  return ResponseApdu{std::move(fci), kOk};
}

ResponseApdu SampleApplication::read_binary(std::size_t offset, std::optional<uint32_t> le) const {
  if (!le) return status(kWrongLength);
  if (current_ == nullptr) return status(kNoCurrentFile);
  if (offset >= current_->size()) return status(kWrongP1P2);
  const std::size_t count = std::min<std::size_t>(*le, current_->size() - offset);
  const auto first = current_->begin() + static_cast<std::ptrdiff_t>(offset);
  return ResponseApdu{{first, first + static_cast<std::ptrdiff_t>(count)}, count == *le ? kOk : kEndReached};
}

ResponseApdu SampleApplication::update_binary(std::size_t offset, const std::vector<uint8_t>& data) {
  if (data.empty()) return status(kWrongLength);
  if (current_ == nullptr) return status(kNoCurrentFile);
  if (offset + data.size() > current_->size()) return status(kWrongP1P2);
  std::ranges::copy(data, current_->begin() + static_cast<std::ptrdiff_t>(offset));
  return status(kOk);
}

std::vector<uint8_t> sample_file(uint16_t id) {
  for (const Sample& sample : kSamples) {
    if (sample.id != id) continue;
    std::vector<uint8_t> bytes(sample.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % sample.modulus);
    return bytes;
  }
  return {};
}

}  // namespace kdx::sim
