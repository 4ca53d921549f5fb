#include "pcsc/device_name.h"

#include <array>

namespace kdx::ifd {
namespace {

constexpr std::string_view kSimPrefix = "sim:";
constexpr std::string_view kCardOption = "card=";
constexpr std::size_t kMaxCardName = 64;

struct KindName {
  std::string_view name;
  ReaderKind kind;
};
constexpr std::array<KindName, 2> kKinds{{{"velmor", ReaderKind::velmor}, {"tarsk", ReaderKind::tarsk}}};

bool find_kind(std::string_view text, ReaderKind& kind) {
  for (const KindName& entry : kKinds) {
    if (text == entry.name) {
      kind = entry.kind;
      return true;
    }
  }
  return false;
}

bool printable(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
  }
  return true;
}

bool parse_options(std::string_view options, DeviceName& name, std::string& error) {
  while (!options.empty()) {
    const std::size_t end = options.find('&');
    const std::string_view option = options.substr(0, end);
    options = end == std::string_view::npos ? std::string_view{} : options.substr(end + 1);
    if (option.substr(0, kCardOption.size()) != kCardOption) {
      error = "unknown option \"" + std::string(option) + "\" (only card= is known)";
      return false;
    }
    const std::string_view card = option.substr(kCardOption.size());
    if (card.empty() || card.size() > kMaxCardName) {
      error = "card= needs a card name of 1 to 64 characters";
      return false;
    }
    name.card = card;
  }
  return true;
}

}  // namespace

bool parse_device_name(std::string_view text, DeviceName& name, std::string& error) {
  name = DeviceName{};
  if (text.size() > kMaxDeviceName || !printable(text)) {
    error = "not a device name (too long, or characters that are not printable)";
    return false;
  }
  if (text.substr(0, kSimPrefix.size()) == kSimPrefix) {
    name.simulated = true;
    text.remove_prefix(kSimPrefix.size());
    // pcscd's reader.conf.d parser takes no '?', so ':' stands for it too.
    const std::size_t query = text.find_first_of("?:");
    if (!find_kind(text.substr(0, query), name.kind)) {
      error = "sim: names velmor or tarsk";
      return false;
    }
    return query == std::string_view::npos || parse_options(text.substr(query + 1), name, error);
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || !find_kind(text.substr(0, colon), name.kind)) {
    error = "a device name starts with velmor:, tarsk: or sim:";
    return false;
  }
  name.port = text.substr(colon + 1);
  if (name.port.empty() || name.port.front() != '/') {
    error = "the serial device must be an absolute path";
    return false;
  }
  return true;
}

std::string channel_port(uint32_t channel) {
  constexpr std::array<uint32_t, 4> kLegacyAddresses{0x0103F8, 0x0102F8, 0x0103E8, 0x0102E8};
  constexpr uint32_t kMaxPlainChannel = 255;
  for (std::size_t i = 0; i < kLegacyAddresses.size(); ++i) {
    if (channel == kLegacyAddresses[i]) return "/dev/ttyS" + std::to_string(i);
  }
  if (channel <= kMaxPlainChannel) return "/dev/ttyS" + std::to_string(channel);
  return "";
}

}  // namespace kdx::ifd
