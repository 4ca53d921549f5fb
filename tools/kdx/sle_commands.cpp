#include "kdx/sle_commands.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kdx::tool::sle {
namespace {

constexpr std::size_t kAtrSize = 4;

std::string lower(const char* name) {
  std::string text(name);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<std::vector<uint8_t>> parse_psc(const Family& family, const std::string& text) {
  auto psc = parse_hex(text);
  if (!psc || psc->size() != family.psc_size) {
    std::fprintf(stderr, "expected a PSC of %zu bytes in hex, e.g. %s\n", family.psc_size,
                 std::string(family.psc_size * 2, 'F').c_str());
    return std::nullopt;
  }
  return psc;
}

bool print_counter(const Family& family, VelmorSession& s) {
  uint8_t counter = 0;
  if (!s.check(family.counter(s.api(), &counter), "error counter")) return false;
  const int attempts = std::popcount(static_cast<unsigned>(counter & family.counter_bits));
  std::printf("error counter 0x%02X: %d attempt%s left%s\n", counter, attempts, attempts == 1 ? "" : "s",
              attempts == 0 ? " (locked)" : "");
  return true;
}

// Presents the PSC; says what came of it.
bool present(const Family& family, VelmorSession& s, const std::vector<uint8_t>& psc) {
  const StatusCode status = family.verify(s.api(), psc.data());
  if (status == ST_WRONG_PASSWORD) {
    std::printf("PSC %s refused\n", hex(psc.data(), psc.size()).c_str());
    print_counter(family, s);
    return false;
  }
  if (!s.check(status, "verify")) return false;
  std::printf("PSC %s accepted: the card takes writes until it is unpowered\n", hex(psc.data(), psc.size()).c_str());
  return true;
}

// Powers the card and has the session unpower it at its end.
bool power_up(const Family& family, VelmorSession& s, uint8_t (&atr)[kAtrSize]) {
  const std::string name = lower(family.name);
  if (!s.check(family.open(s.api(), atr), "open " + name)) return false;
  s.card_opened(name, [&family, &s, name] { s.check(family.close(s.api()), "close " + name); });
  return true;
}

}  // namespace

bool open_card(const Family& family, VelmorSession& s) {
  if (s.card_is_open(lower(family.name))) return true;
  uint8_t atr[kAtrSize] = {};
  return power_up(family, s, atr);
}

bool parse_range(const Family& family, const Args& args, std::size_t first, uint32_t default_length, uint32_t& address,
                 uint32_t& length) {
  const auto given_address = args.size() > first ? parse_number(args[first]) : std::optional<uint32_t>(0);
  if (!given_address || *given_address >= family.memory_size) {
    std::fprintf(stderr, "expected an address of 0 to %u\n", family.memory_size - 1);
    return false;
  }
  address = *given_address;
  const auto given_length = args.size() > first + 1
                                ? parse_number(args[first + 1])
                                : std::optional<uint32_t>(std::min(family.memory_size - address, default_length));
  if (!given_length || *given_length == 0 || *given_length > family.memory_size - address) {
    std::fprintf(stderr, "expected a length of 1 to %u from address 0x%X\n", family.memory_size - address, address);
    return false;
  }
  length = *given_length;
  return true;
}

bool atr(const Family& family, VelmorSession& s, const Args&) {
  uint8_t atr_bytes[kAtrSize] = {};
  if (!power_up(family, s, atr_bytes)) return false;
  std::printf("%s answer to reset: %s\n", family.name, hex(atr_bytes, sizeof atr_bytes).c_str());
  return true;
}

bool read(const Family& family, VelmorSession& s, const Args& args) {
  constexpr uint32_t kDefaultLength = 256;
  uint32_t address = 0;
  uint32_t length = 0;
  if (!parse_range(family, args, 0, kDefaultLength, address, length) || !open_card(family, s)) return false;
  std::vector<uint8_t> bytes(length);
  const StatusCode status = [&] {
    const WaitNotice notice("the card: reading " + std::to_string(length) + " bytes");
    return family.read(s.api(), address, length, bytes.data());
  }();
  if (!s.check(status, "read")) return false;
  std::printf("%s", hex_dump(bytes.data(), bytes.size(), address).c_str());
  return true;
}

bool write(const Family& family, VelmorSession& s, const Args& args) {
  const auto address = args.size() >= 2 ? parse_number(args[0]) : std::nullopt;
  const auto data = args.size() >= 2 ? parse_hex(args[1]) : std::nullopt;
  if (!address || !data || data->empty() || *address >= family.memory_size ||
      data->size() > family.memory_size - *address) {
    std::fprintf(stderr, "expected ADDRESS HEX [PSC], the bytes within the card's %u\n", family.memory_size);
    return false;
  }
  std::optional<std::vector<uint8_t>> psc;
  if (args.size() >= 3 && !(psc = parse_psc(family, args[2]))) return false;
  if (!open_card(family, s)) return false;
  if (psc && !present(family, s, *psc)) return false;
  const auto length = static_cast<uint32_t>(data->size());
  const StatusCode written = [&] {
    const WaitNotice notice("the card: writing " + std::to_string(length) + " bytes");
    return family.write(s.api(), *address, length, data->data());
  }();
  if (!s.check(written, "write")) return false;
  std::vector<uint8_t> back(length);
  if (!s.check(family.read(s.api(), *address, length, back.data()), "read back")) return false;
  if (back != *data) {
    std::printf("the card did not take every byte (no PSC presented, or protected bytes); it holds:\n%s",
                hex_dump(back.data(), back.size(), *address).c_str());
    return false;
  }
  std::printf("wrote %u byte%s at 0x%X\n", length, length == 1 ? "" : "s", *address);
  return true;
}

bool verify(const Family& family, VelmorSession& s, const Args& args) {
  std::string text;
  for (const auto& word : args) text += word;
  const auto psc = parse_psc(family, text);
  return psc && open_card(family, s) && present(family, s, *psc);
}

bool change_psc(const Family& family, VelmorSession& s, const Args& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "expected OLD NEW, each a PSC in hex\n");
    return false;
  }
  const auto old_psc = parse_psc(family, args[0]);
  const auto new_psc = old_psc ? parse_psc(family, args[1]) : std::nullopt;
  if (!new_psc || !open_card(family, s) || !present(family, s, *old_psc)) return false;
  if (!s.check(family.write_psc(s.api(), new_psc->data()), "write PSC")) return false;
  std::printf("new PSC written; checking it:\n");
  return present(family, s, *new_psc);
}

bool counter(const Family& family, VelmorSession& s, const Args&) {
  return open_card(family, s) && print_counter(family, s);
}

}  // namespace kdx::tool::sle
