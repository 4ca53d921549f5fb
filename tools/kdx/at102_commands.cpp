// AT102, AT1604 and AT6601 commands: read, write (erase, write, read back),
// erase, verify, fuse, and the AT102's application-zone erase.
#include "kdx/at102_commands.h"

#include <cstdio>
#include <optional>

namespace kdx::tool::at102 {
namespace {

namespace maps = velmor::at102;

const Family kAt102{
    "at102",
    "at102",
    maps::kAt102,
    &VelmorApi::AT102_ReadChar,
    &VelmorApi::AT102_WriteChar,
    &VelmorApi::AT102_EraseWord,
    &VelmorApi::AT102_WriteFuse,
};
const Family kAt1604{
    "at1604",
    "at1604",
    maps::kAt1604,
    &VelmorApi::AT1604_ReadChar,
    &VelmorApi::AT1604_WriteChar,
    &VelmorApi::AT1604_EraseChar,
    &VelmorApi::AT1604_WriteFuse,
};
const Family kAt6601{
    "at6601",
    "at6601",
    maps::kAt6601,
    &VelmorApi::AT6601_ReadChar,
    &VelmorApi::AT6601_WriteChar,
    &VelmorApi::AT6601_EraseChar,
    &VelmorApi::AT6601_WriteFuse,
};

bool is_at102(const Family& family) { return &family.map == &maps::kAt102; }

// The attempts a counter shows: its 1 bits (the AT102 security code's
// counter: the first 4).
std::optional<int> attempts_left(const Family& family, VelmorSession& s, uint8_t index) {
  const auto& counter = family.map.counters[index];
  if (!counter) return std::nullopt;
  uint8_t bytes[16] = {};
  if ((s.api().*family.read)(counter->address, counter->size, whole_zone(family), bytes) != ST_OK) return std::nullopt;
  int bits = 0;
  const unsigned count = is_at102(family) && index == 0 ? maps::map102::kScAttempts : counter->size * 8u;
  for (unsigned k = 0; k < count; ++k) bits += (bytes[k / 8] >> (7 - k % 8)) & 1;
  return bits;
}

// ZONE ADDRESS LENGTH within the card, from args[first]; the address
// defaults to 0 and the length to the rest of the zone.
bool parse_place(const Family& family, const Args& args, std::size_t first, uint32_t& zone, uint32_t& address,
                 std::optional<uint32_t>& length) {
  const auto given_zone = args.size() > first ? parse_number(args[first]) : std::optional<uint32_t>(whole_zone(family));
  if (!given_zone || *given_zone > whole_zone(family)) {
    std::fprintf(stderr, "expected a zone of 0 to %u (%u: the whole memory)\n", whole_zone(family), whole_zone(family));
    return false;
  }
  zone = *given_zone;
  const uint32_t size = family.map.zones[zone].size;
  const auto given_address = args.size() > first + 1 ? parse_number(args[first + 1]) : std::optional<uint32_t>(0);
  if (!given_address || *given_address >= size) {
    std::fprintf(stderr, "expected an address of 0 to %u in zone %u\n", size - 1, zone);
    return false;
  }
  address = *given_address;
  if (args.size() > first + 2) {
    const auto given_length = parse_number(args[first + 2]);
    if (!given_length || *given_length == 0 || *given_length > size - address) {
      std::fprintf(stderr, "expected a length of 1 to %u from address %u of zone %u\n", size - address, address, zone);
      return false;
    }
    length = *given_length;
  } else {
    length = size - address;
  }
  return true;
}

bool flag(const Options& options, const Args& args, const char* name) {
  if (std::string(name) == "--yes" && options.yes) return true;
  for (const auto& word : args) {
    if (word == name) return true;
  }
  return false;
}

// The words of args from `first` on that are not flags, as codes.
bool parse_codes(const Family& family, const Args& args, std::size_t first, std::vector<Code>& codes) {
  for (std::size_t i = first; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) == 0) continue;
    Code code;
    if (!parse_code(family, args[i], code)) return false;
    codes.push_back(code);
  }
  return true;
}

bool present_all(const Family& family, VelmorSession& s, const std::vector<Code>& codes) {
  for (const Code& code : codes) {
    if (!present(family, s, code)) return false;
  }
  return true;
}

bool read(const Family& family, VelmorSession& s, const Args& args) {
  uint32_t zone = 0, address = 0;
  std::optional<uint32_t> length;
  if (!parse_place(family, args, 0, zone, address, length) || !open_card(family, s)) return false;
  std::vector<uint8_t> bytes(*length);
  const StatusCode status = [&] {
    const WaitNotice notice("the card: reading " + std::to_string(*length) + " bytes");
    return (s.api().*family.read)(address, *length, zone, bytes.data());
  }();
  if (!s.check(status, "read")) return false;
  std::printf("%s", hex_dump(bytes.data(), bytes.size(), family.map.zones[zone].base + address).c_str());
  return true;
}

bool write(const Family& family, VelmorSession& s, const Args& args) {
  const std::optional<uint32_t> zone = args.size() >= 3 ? parse_number(args[0]) : std::nullopt;
  const std::optional<uint32_t> address = args.size() >= 3 ? parse_number(args[1]) : std::nullopt;
  const auto data = args.size() >= 3 ? parse_hex(args[2]) : std::nullopt;
  const uint32_t zone_index = zone.value_or(whole_zone(family) + 1);
  const uint32_t start = address.value_or(UINT32_MAX);
  if (zone_index > whole_zone(family) || !data || data->empty() || start >= family.map.zones[zone_index].size ||
      data->size() > family.map.zones[zone_index].size - start) {
    std::fprintf(stderr, "expected ZONE ADDRESS HEX [CODE...], the bytes within the zone (zones 0 to %u)\n",
                 whole_zone(family));
    return false;
  }
  std::vector<Code> codes;
  if (!parse_codes(family, args, 3, codes) || !open_card(family, s) || !present_all(family, s, codes)) return false;
  const auto length = static_cast<uint32_t>(data->size());
  if (!s.check((s.api().*family.erase)(start, length, zone_index), "erase") ||
      !s.check((s.api().*family.write)(start, length, zone_index, data->data()), "write")) {
    return false;
  }
  std::vector<uint8_t> back(length);
  if (!s.check((s.api().*family.read)(start, length, zone_index, back.data()), "read back")) return false;
  if (back != *data) {
    std::printf("the card did not take every byte (a code or key not presented?); it holds:\n%s",
                hex_dump(back.data(), back.size(), family.map.zones[zone_index].base + start).c_str());
    return false;
  }
  std::printf("wrote %u byte%s at %u of zone %u\n", length, length == 1 ? "" : "s", start, zone_index);
  return true;
}

bool erase(const Family& family, VelmorSession& s, const Args& args) {
  uint32_t zone = 0, address = 0;
  std::optional<uint32_t> length;
  std::vector<Code> codes;
  if (args.size() < 3 || !parse_place(family, args, 0, zone, address, length)) {
    if (args.size() < 3) std::fprintf(stderr, "expected ZONE ADDRESS LENGTH [CODE...]\n");
    return false;
  }
  if (!parse_codes(family, args, 3, codes) || !open_card(family, s) || !present_all(family, s, codes)) return false;
  if (!s.check((s.api().*family.erase)(address, *length, zone), "erase")) return false;
  std::vector<uint8_t> back(*length);
  if (!s.check((s.api().*family.read)(address, *length, zone, back.data()), "read back")) return false;
  const bool erased = std::all_of(back.begin(), back.end(), [](uint8_t b) { return b == 0xFF; });
  std::printf("%s %u byte%s at %u of zone %u\n", erased ? "erased" : "the card refused to erase (no key?):",
              *length, *length == 1 ? "" : "s", address, zone);
  return erased;
}

bool verify(const Family& family, VelmorSession& s, const Args& args) {
  std::vector<Code> codes;
  if (args.empty() || !parse_codes(family, args, 0, codes) || codes.empty()) {
    if (args.empty()) std::fprintf(stderr, "expected a code: HEX (the security code) or INDEX=HEX\n");
    return false;
  }
  return open_card(family, s) && present_all(family, s, codes);
}

bool fuse(const Family& family, VelmorSession& s, const Args& args) {
  if (!flag(s.options(), args, "--yes")) {
    std::fprintf(stderr, "programming the fuse cannot be undone: add --yes to go ahead\n");
    return false;
  }
  if (!open_card(family, s) || !s.check((s.api().*family.fuse)(), "fuse")) return false;
  std::printf("fuse programmed at byte %u\n", family.map.fuse);
  return true;
}

// at102-erase-app ZONE KEY [counter]
bool erase_app(VelmorSession& s, const Args& args) {
  const auto zone = !args.empty() ? parse_number(args[0]) : std::nullopt;
  const auto key = args.size() >= 2 ? parse_hex(args[1]) : std::nullopt;
  const std::size_t key_size = zone && *zone <= 1 ? kAt102.map.codes[1 + *zone].size : 0;
  if (!zone || *zone > 1 || !key || key->size() != key_size) {
    std::fprintf(stderr, "expected ZONE KEY [counter]: zone 0 with a key of 6 bytes, zone 1 with 4\n");
    return false;
  }
  const bool use_counter = args.size() >= 3 && args[2] == "counter";
  return open_card(kAt102, s) && present(kAt102, s, Code{static_cast<uint8_t>(1 + *zone), *key}, use_counter) &&
         (std::printf("(the card gives no answer: read the zone to see whether it took the key)\n"), true);
}

template <const Family& F, bool (*Run)(const Family&, VelmorSession&, const Args&)>
bool command(VelmorSession& session, const Args& args) {
  return Run(F, session, args);
}

const RegisterVelmor kCommands({
    {"at102-read", "[ZONE [ADDRESS [LENGTH]]]", "AT102: hex dump (zone 2: the whole memory)", "at102",
     &command<kAt102, &read>},
    {"at102-write", "ZONE ADDRESS HEX [CODE...]", "AT102: erase, write, read back (CODE: HEX security code)", "at102",
     &command<kAt102, &write>},
    {"at102-erase", "ZONE ADDRESS LENGTH [CODE...]", "AT102: erase bytes", "at102", &command<kAt102, &erase>},
    {"at102-verify", "HEX", "AT102: present the security code", "at102", &command<kAt102, &verify>},
    {"at102-fuse", "--yes", "AT102: program the issuer fuse, for good", "at102", &command<kAt102, &fuse>},
    {"at102-erase-app", "ZONE KEY [counter]", "AT102: erase an application zone with its key (counter: zone 1's)", "at102",
     &erase_app},
    {"at1604-read", "[ZONE [ADDRESS [LENGTH]]]", "AT1604: hex dump (zone 4: the whole memory)", "at1604",
     &command<kAt1604, &read>},
    {"at1604-write", "ZONE ADDRESS HEX [CODE...]", "AT1604: erase, write, read back (CODE: INDEX=HEX)", "at1604",
     &command<kAt1604, &write>},
    {"at1604-erase", "ZONE ADDRESS LENGTH [CODE...]", "AT1604: erase bytes", "at1604", &command<kAt1604, &erase>},
    {"at1604-verify", "INDEX=HEX...", "AT1604: present codes (0 security code, 1-4 zones, 5-8 erase keys)", "at1604",
     &command<kAt1604, &verify>},
    {"at1604-fuse", "--yes", "AT1604: program the issuer fuse, for good", "at1604", &command<kAt1604, &fuse>},
    {"at6601-read", "[ZONE [ADDRESS [LENGTH]]]", "AT6601: hex dump (zone 4: the whole memory)", "at6601",
     &command<kAt6601, &read>},
    {"at6601-write", "ZONE ADDRESS HEX [CODE...]", "AT6601: erase, write, read back (CODE: INDEX=HEX)", "at6601",
     &command<kAt6601, &write>},
    {"at6601-erase", "ZONE ADDRESS LENGTH [CODE...]", "AT6601: erase bytes", "at6601", &command<kAt6601, &erase>},
    {"at6601-verify", "INDEX=HEX...", "AT6601: present codes (0 security code, 1-4 zones, 5-8 erase keys)", "at6601",
     &command<kAt6601, &verify>},
    {"at6601-fuse", "--yes", "AT6601: program the issuer fuse, for good", "at6601", &command<kAt6601, &fuse>},
});

bool demo(VelmorSession& s) {
  s.use_sample_card(kAt1604.sample);
  bool ok = read(kAt1604, s, {"0", "0", "32"});
  ok = verify(kAt1604, s, {"1600", "1=1601", "5=1605"}) && ok;
  ok = write(kAt1604, s, {"0", "0", "48656C6C6F2C20636172642E"}) && ok;  // "Hello, card."
  ok = read(kAt1604, s, {"0", "0", "16"}) && ok;
  return ok;
}
const RegisterVelmor kDemo(DemoPart{40, "AT1604 card", &demo});

}  // namespace

const Family& at102() { return kAt102; }
const Family& at1604() { return kAt1604; }
const Family& at6601() { return kAt6601; }

uint32_t whole_zone(const Family& family) { return static_cast<uint32_t>(family.map.zones.size() - 1); }
uint32_t whole_size(const Family& family) { return family.map.zones.back().size; }

bool open_card(const Family& family, VelmorSession& s) {
  // One open for the three: a card opened as any of them is open.
  if (s.card_is_open("at102")) return true;
  if (!s.check(s.api().AT102_OpenCard(), std::string("open ") + family.name)) return false;
  s.card_opened("at102", [&s] { s.check(s.api().AT102_CloseCard(), "close card"); });
  return true;
}

bool parse_code(const Family& family, const std::string& word, Code& code) {
  const std::size_t equals = word.find('=');
  const auto index = equals == std::string::npos ? std::optional<uint32_t>(0) : parse_number(word.substr(0, equals));
  const auto bytes = parse_hex(equals == std::string::npos ? word : word.substr(equals + 1));
  if (!index || *index >= family.map.codes.size() || !bytes || bytes->size() != family.map.codes[*index].size) {
    std::fprintf(stderr, "%s: expected HEX (the security code, %u bytes) or INDEX=HEX with INDEX 0 to %zu\n",
                 word.c_str(), family.map.codes[0].size, family.map.codes.size() - 1);
    return false;
  }
  code = {static_cast<uint8_t>(*index), *bytes};
  return true;
}

bool present(const Family& family, VelmorSession& s, const Code& code, bool use_counter) {
  const std::string text = std::to_string(code.index) + "=" + hex(code.bytes.data(), code.bytes.size(), "");
  if (is_at102(family) && code.index != 0) {
    // The AT102's erase keys count only in the erase of their zone.
    const uint8_t zone = static_cast<uint8_t>(code.index - 1);
    const auto& k = code.bytes;
    const auto key = [&k](std::size_t i) -> uint32_t { return i < k.size() ? k[i] : 0; };
    const StatusCode status =
        s.api().AT102_EraseApp(zone == 1 && use_counter ? 1 : 0, zone, key(0), key(1), key(2), key(3), key(4), key(5));
    if (status == ST_WRONG_PASSWORD) {
      std::printf("erase key %s: the erase counter of zone %u is used up\n", text.c_str(), zone);
      return false;
    }
    if (!s.check(status, "erase key " + text)) return false;
    std::printf("erase key %s presented: zone %u erased if the key was right\n", text.c_str(), zone);
    return true;
  }
  StatusCode status = 0;
  if (is_at102(family)) {
    status = s.api().AT102_VerifyPWD(code.bytes[0], code.bytes[1]);
  } else if (&family.map == &maps::kAt1604) {
    status = s.api().AT1604_VerifyPWD(code.index, code.bytes[0], code.bytes[1]);
  } else {
    status = s.api().AT6601_VerifyPWD(code.index, code.bytes[0], code.bytes[1]);
  }
  const std::optional<int> left = attempts_left(family, s, code.index);
  const std::string attempts = left ? " (" + std::to_string(*left) + " attempts left)" : "";
  if (status == ST_WRONG_PASSWORD) {
    std::printf("code %s refused%s\n", text.c_str(), attempts.c_str());
    return false;
  }
  if (!s.check(status, "verify " + text)) return false;
  std::printf("code %s %s%s\n", text.c_str(), family.map.counters[code.index] ? "accepted" : "presented",
              attempts.c_str());
  return true;
}

}  // namespace kdx::tool::at102
