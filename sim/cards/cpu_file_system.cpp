#include "sim/cards/cpu_file_system.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace kdx::sim {
namespace {

constexpr uint8_t kClass = 0x00;
constexpr uint8_t kSelect = 0xA4;
constexpr uint8_t kGetResponse = 0xC0;
constexpr uint8_t kReadBinary = 0xB0;
constexpr uint8_t kUpdateBinary = 0xD6;
constexpr uint8_t kComplement = 0xFF;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kResponseWaiting = 0x6100;  // | number of bytes
constexpr uint16_t kWrongLe = 0x6C00;          // | the right length
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kNoCurrentFile = 0x6986;
constexpr uint16_t kNoResponse = 0x6985;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kWrongP1P2 = 0x6A86;
constexpr uint16_t kOffsetOutside = 0x6B00;
constexpr uint16_t kUnknownInstruction = 0x6D00;
constexpr uint16_t kUnknownClass = 0x6E00;

constexpr uint16_t kMasterFile = 0x3F00;
constexpr std::size_t kFileIdLength = 2;
constexpr std::size_t kLongRead = 32;
constexpr uint32_t kLongReadWorkMs = 300;

enum Header : std::size_t { kCla, kIns, kP1, kP2, kP3 };

std::vector<uint8_t> text(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> counting(std::size_t count) {
  std::vector<uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

class FileSystem final : public T0Application {
 public:
  FileSystem() {
    files_[0x0001] = text("Hello from the simulated CPU card.");
    files_[0x0002] = counting(64);
    files_[0x0003] = counting(160);
  }

  Script on_header(Header h) override {
    if (h[kCla] != kClass) return Script().status(kUnknownClass);
    switch (h[kIns]) {
      case kSelect:
        if (h[kP1] != 0 || h[kP2] != 0) return Script().status(kWrongP1P2);
        if (h[kP3] != kFileIdLength) return Script().status(kWrongLength);
        return Script().send({h[kIns]}).receive(kFileIdLength);
      case kGetResponse:
        return get_response(h);
      case kReadBinary:
        return read_binary(h);
      case kUpdateBinary:
        return update_binary(h, {});
      default:
        return Script().status(kUnknownInstruction);
    }
  }

  Script on_data(Header h, std::span<const uint8_t> data) override {
    if (h[kIns] == kSelect) return select(static_cast<uint16_t>(data[0] << 8 | data[1]));
    return update_binary(h, data);
  }

  // After the answer to reset the master file is selected (ISO/IEC 7816-4):
  // no current EF, nothing waiting.
  void on_reset() override {
    current_ = nullptr;
    waiting_.clear();
  }

 private:
  static uint16_t with_length(uint16_t sw, std::size_t length) {
    return static_cast<uint16_t>(sw | (length & 0xFF));
  }
  static std::size_t offset(Header h) { return static_cast<std::size_t>(h[kP1] << 8 | h[kP2]); }

  Script select(uint16_t id) {
    const auto file = files_.find(id);
    if (id != kMasterFile && file == files_.end()) return Script().status(kFileNotFound);
    current_ = id == kMasterFile ? nullptr : &file->second;
    const std::size_t size = current_ != nullptr ? current_->size() : 0;
    const uint8_t descriptor = current_ != nullptr ? 0x01 : 0x38;  // transparent EF, or DF
    waiting_ = {0x62, 0x0B, 0x82, 0x01, descriptor, 0x83, 0x02, static_cast<uint8_t>(id >> 8),
                static_cast<uint8_t>(id & 0xFF), 0x80, 0x02, static_cast<uint8_t>(size >> 8),
                static_cast<uint8_t>(size & 0xFF)};
    return Script().status(with_length(kResponseWaiting, waiting_.size()));
  }

  Script get_response(Header h) {
    if (waiting_.empty()) return Script().status(kNoResponse);
    if (h[kP3] != waiting_.size()) return Script().status(with_length(kWrongLe, waiting_.size()));
    Script answer = Script().send({h[kIns]}).send(waiting_).status(kOk);
    waiting_.clear();
    return answer;
  }

  Script read_binary(Header h) {
    if (current_ == nullptr) return Script().status(kNoCurrentFile);
    const std::size_t from = offset(h);
    if (from >= current_->size()) return Script().status(kOffsetOutside);
    const std::size_t available = std::min<std::size_t>(current_->size() - from, 0xFF);
    if (h[kP3] == 0 || h[kP3] > available) {
      return Script().status(with_length(kWrongLe, available));
    }
    Script answer;
    if (h[kP3] > kLongRead) answer.pause_ms(kLongReadWorkMs).nulls(1).pause_ms(kLongReadWorkMs);
    const auto first = current_->begin() + static_cast<std::ptrdiff_t>(from);
    return answer.send({h[kIns]}).send(std::vector<uint8_t>(first, first + h[kP3])).status(kOk);
  }

  // One byte at a time: INS XOR 0xFF asks for the next one.
  Script update_binary(Header h, std::span<const uint8_t> data) {
    if (data.empty()) {
      if (current_ == nullptr) return Script().status(kNoCurrentFile);
      if (offset(h) + h[kP3] > current_->size()) return Script().status(kOffsetOutside);
    }
    if (data.size() < h[kP3]) return Script().send({static_cast<uint8_t>(h[kIns] ^ kComplement)}).receive(1);
    std::copy(data.begin(), data.end(), current_->begin() + static_cast<std::ptrdiff_t>(offset(h)));
    return Script().status(kOk);
  }

  std::map<uint16_t, std::vector<uint8_t>> files_;
  std::vector<uint8_t>* current_ = nullptr;
  std::vector<uint8_t> waiting_;
};

}  // namespace

const std::vector<uint8_t> kFileSystemCardAtr = {0x3B, 0x68, 0x00, 0x00, 'K', 'D', 'X', '-', 'C', 'P', 'U', '1'};

std::unique_ptr<T0Application> make_file_system_application() { return std::make_unique<FileSystem>(); }

std::unique_ptr<ReaderCard> make_file_system_card() {
  CpuCardConfig config;
  config.power_on_atr = kFileSystemCardAtr;
  config.warm_reset_atr = kFileSystemCardAtr;
  return std::make_unique<CpuCard>(config, make_file_system_application());
}

}  // namespace kdx::sim
