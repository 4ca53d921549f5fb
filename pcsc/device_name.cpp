#include "pcsc/device_name.h"

#include <algorithm>
#include <array>
#include <string>

namespace kdx::ifd {
namespace {

constexpr std::string_view kSimPrefix = "sim:";
constexpr std::string_view kCardOption = "card=";
constexpr std::string_view kAt24cOption = "at24c=";
constexpr std::size_t kMaxCardName = 64;
constexpr uint8_t kLastAt24cType = 10;

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

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// 1 to 10, without leading zeros.
bool parse_at24c_type(std::string_view text, DeviceName& name, std::string& error) {
  const bool digits = !text.empty() && text.size() <= 2 && text.front() != '0' &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  unsigned type = 0;
  for (const char c : digits ? text : std::string_view{}) type = type * 10 + static_cast<unsigned>(c - '0');
  if (!digits || type > kLastAt24cType) {
    error = "at24c= needs a type of 1 to 10";
    return false;
  }
  name.at24c_type = static_cast<uint8_t>(type);
  return true;
}

bool parse_options(std::string_view options, DeviceName& name, std::string& error) {
  while (!options.empty()) {
    const std::size_t end = options.find('&');
    const std::string_view option = options.substr(0, end);
    options = end == std::string_view::npos ? std::string_view{} : options.substr(end + 1);
    if (starts_with(option, kAt24cOption)) {
      if (name.kind != ReaderKind::velmor) {
        error = "at24c= is an option of the Velmor reader";
        return false;
      }
      if (!parse_at24c_type(option.substr(kAt24cOption.size()), name, error)) return false;
      continue;
    }
    if (!starts_with(option, kCardOption) || !name.simulated) {
      error = "unknown option \"" + std::string(option) + "\" (" + (name.simulated ? "card= and at24c=" : "at24c=") +
              " are known)";
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
  std::string_view port = text.substr(colon + 1);
  std::string_view options;
  const std::size_t last = port.find_last_of("?:");
  if (last != std::string_view::npos && port.find('=', last) != std::string_view::npos) {
    options = port.substr(last + 1);
    port = port.substr(0, last);
  }
  name.port = port;
  if (name.port.empty() || name.port.front() != '/') {
    error = "the serial device must be an absolute path";
    return false;
  }
  return parse_options(options, name, error);
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
