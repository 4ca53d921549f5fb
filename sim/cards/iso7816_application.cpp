#include "sim/cards/iso7816_application.h"

#include <algorithm>

namespace kdx::sim {
namespace {

constexpr uint8_t kIsoClass = 0x00;
constexpr uint8_t kProprietaryClass = 0x80;
constexpr uint8_t kSelect = 0xA4;
constexpr uint8_t kReadBinary = 0xB0;
constexpr uint8_t kUpdateBinary = 0xD6;
constexpr uint8_t kSlow = 0xF0;
constexpr uint8_t kEcho = 0xEE;
constexpr uint8_t kSelectByName = 0x04;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kEndReached = 0x6282;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kNoCurrentFile = 0x6986;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kOffsetOutside = 0x6B00;
constexpr uint16_t kUnknownInstruction = 0x6D00;
constexpr uint16_t kUnknownClass = 0x6E00;

constexpr uint16_t kMasterFile = 0x3F00;
constexpr std::size_t kHeader = 4;
constexpr std::size_t kShortLeMax = 256;
constexpr std::size_t kExtendedLeMax = 65536;
constexpr uint8_t kName[] = {0xA0, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x44, 0x58};

struct Sample {
  uint16_t id;
  std::size_t size;
  unsigned modulus;
};
constexpr Sample kSamples[] = {{0x0101, 600, 251}, {0x0102, 16, 256}, {0x0103, 70000, 253}};

std::vector<uint8_t> status(uint16_t sw, std::vector<uint8_t> data = {}) {
  data.push_back(static_cast<uint8_t>(sw >> 8));
  data.push_back(static_cast<uint8_t>(sw & 0xFF));
  return data;
}

// Lc and the data of a case 3 or 4 command, short or extended.
struct Body {
  bool ok = false;
  std::span<const uint8_t> data{};
};
Body body_of(std::span<const uint8_t> c) {
  if (c.size() <= kHeader + 1) return {};
  if (c[kHeader] != 0) {
    const std::size_t lc = c[kHeader];
    if (c.size() < kHeader + 1 + lc) return {};
    return {true, c.subspan(kHeader + 1, lc)};
  }
  if (c.size() < kHeader + 3) return {};
  const std::size_t lc = static_cast<std::size_t>(c[kHeader + 1] << 8 | c[kHeader + 2]);
  if (c.size() < kHeader + 3 + lc) return {};
  return {true, c.subspan(kHeader + 3, lc)};
}

// Le of a case 2 command: short (one byte) or extended (00 hi lo).
std::size_t le_of(std::span<const uint8_t> c) {
  if (c.size() == kHeader + 1) return c[kHeader] == 0 ? kShortLeMax : c[kHeader];
  if (c.size() == kHeader + 3 && c[kHeader] == 0) {
    const std::size_t le = static_cast<std::size_t>(c[kHeader + 1] << 8 | c[kHeader + 2]);
    return le == 0 ? kExtendedLeMax : le;
  }
  return 0;
}

class SampleApplication final : public ApduApplication {
 public:
  SampleApplication() {
    for (const Sample& sample : kSamples) files_[sample.id] = sample_file(sample.id);
  }

  ApduAnswer process(std::span<const uint8_t> c) override {
    if (c.size() < kHeader) return {status(kWrongLength)};
    const uint8_t cla = c[0], ins = c[1];
    const std::size_t offset = static_cast<std::size_t>(c[2] << 8 | c[3]);
    if (cla == kProprietaryClass && ins == kSlow) return {status(kOk), static_cast<uint32_t>(offset)};
    if (cla == kProprietaryClass && ins == kEcho) {
      const Body body = body_of(c);
      if (!body.ok) return {status(kWrongLength)};
      return {status(kOk, {body.data.begin(), body.data.end()})};
    }
    if (cla != kIsoClass) return {status(kUnknownClass)};
    switch (ins) {
      case kSelect:
        return {select(c)};
      case kReadBinary:
        return {read_binary(offset, le_of(c))};
      case kUpdateBinary:
        return {update_binary(offset, body_of(c))};
      default:
        return {status(kUnknownInstruction)};
    }
  }

  void on_reset() override { current_ = nullptr; }

 private:
  std::vector<uint8_t> select(std::span<const uint8_t> c) {
    const Body body = body_of(c);
    if (!body.ok) return status(kWrongLength);
    if (c[2] == kSelectByName) {
      current_ = nullptr;
      return std::ranges::equal(body.data, kName) ? status(kOk) : status(kFileNotFound);
    }
    if (body.data.size() != 2) return status(kWrongLength);
    const uint16_t id = static_cast<uint16_t>(body.data[0] << 8 | body.data[1]);
    if (id == kMasterFile) {
      current_ = nullptr;
      return status(kOk);
    }
    const auto file = files_.find(id);
    if (file == files_.end()) return status(kFileNotFound);
    current_ = &file->second;
    return status(kOk);
  }

  std::vector<uint8_t> read_binary(std::size_t offset, std::size_t le) {
    if (le == 0) return status(kWrongLength);
    if (current_ == nullptr) return status(kNoCurrentFile);
    if (offset >= current_->size()) return status(kOffsetOutside);
    const std::size_t count = std::min(le, current_->size() - offset);
    const auto first = current_->begin() + static_cast<std::ptrdiff_t>(offset);
    return status(count == le ? kOk : kEndReached, std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(count)));
  }

  std::vector<uint8_t> update_binary(std::size_t offset, const Body& body) {
    if (!body.ok) return status(kWrongLength);
    if (current_ == nullptr) return status(kNoCurrentFile);
    if (offset + body.data.size() > current_->size()) return status(kOffsetOutside);
    std::ranges::copy(body.data, current_->begin() + static_cast<std::ptrdiff_t>(offset));
    return status(kOk);
  }

  std::map<uint16_t, std::vector<uint8_t>> files_;
  std::vector<uint8_t>* current_ = nullptr;
};

}  // namespace

std::vector<uint8_t> sample_file(uint16_t id) {
  for (const Sample& sample : kSamples) {
    if (sample.id != id) continue;
    std::vector<uint8_t> bytes(sample.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % sample.modulus);
    return bytes;
  }
  return {};
}

std::unique_ptr<ApduApplication> make_sample_application() { return std::make_unique<SampleApplication>(); }

}  // namespace kdx::sim
