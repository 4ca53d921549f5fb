#include "kdx/secure_commands.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>
#include <string>

namespace kdx::tool::secure {
namespace {

constexpr std::size_t kAtrSize = 4;
constexpr std::size_t kPasswordSize = 3;
constexpr std::size_t kBlockSize = 8;
constexpr uint8_t kAacAddress = 32;
constexpr const char* kFuseNames[] = {"FAB", "CMA", "PER"};
// Access-register bits; 0 enables the condition.
constexpr uint8_t kArReadPassword = 0x10, kArWritePassword = 0x20, kArReadAuth = 0x40, kArWriteAuth = 0x80;

std::string lower(const char* name) {
  std::string text(name);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool open_card(const Family& family, VelmorSession& s, uint8_t* atr = nullptr) {
  const std::string name = lower(family.name);
  if (atr == nullptr && s.card_is_open(name)) return true;
  uint8_t bytes[kAtrSize] = {};
  if (!s.check((s.api().*family.open)(atr != nullptr ? atr : bytes), "open " + name)) return false;
  s.card_opened(name, [&family, &s, name] { s.check((s.api().*family.close)(), "close " + name); });
  return true;
}

std::string attempts(uint8_t counter) {
  const int left = std::popcount(counter);
  char text[48];
  std::snprintf(text, sizeof text, "0x%02X: %d attempt%s left%s", counter, left, left == 1 ? "" : "s",
                left == 0 ? " (locked)" : "");
  return text;
}

// "config" or a zone number; the size of that zone.
std::optional<uint8_t> parse_zone(const Family& family, const std::string& text) {
  if (text == "config") return family.config_zone;
  const auto zone = parse_number(text);
  if (zone && *zone <= family.config_zone) return static_cast<uint8_t>(*zone);
  std::fprintf(stderr, "expected a zone: 0 to %u, or config (%u)\n", family.config_zone - 1u, family.config_zone);
  return std::nullopt;
}

uint32_t zone_size(const Family& family, uint8_t zone) {
  return zone == family.config_zone ? family.config_size : family.zone_size;
}

std::string password_name(const Family& family, uint8_t index) {
  const unsigned set = index & (family.read_password_bit - 1u);
  return "set " + std::to_string(set) + ((index & family.read_password_bit) != 0 ? " read" : " write");
}

std::string access_text(const Family& family, uint8_t ar) {
  const auto needs = [](bool password, bool auth) -> std::string {
    if (!password && !auth) return "free";
    if (password && auth) return "password and authentication";
    return password ? "password" : "authentication";
  };
  char text[160];
  std::snprintf(text, sizeof text, "0x%02X: password set %u; read %s, write %s", ar, ar & family.ar_set_mask,
                needs((ar & kArReadPassword) == 0, (ar & kArReadAuth) == 0).c_str(),
                needs((ar & kArWritePassword) == 0, (ar & kArWriteAuth) == 0).c_str());
  return text;
}

std::string fuse_text(uint8_t fuses) {
  std::string text;
  char head[16];
  std::snprintf(head, sizeof head, "0x%02X:", fuses);
  text = head;
  for (unsigned bit = 0; bit < 3; ++bit) {
    text += std::string(" ") + kFuseNames[bit] + ((fuses >> bit & 1) != 0 ? " intact" : " blown");
  }
  return text;
}

std::optional<std::vector<uint8_t>> parse_block(const std::string& text, std::size_t size, const char* what) {
  auto bytes = parse_hex(text);
  if (!bytes || bytes->size() != size) {
    std::fprintf(stderr, "expected %s of %zu bytes in hex\n", what, size);
    return std::nullopt;
  }
  return bytes;
}

bool read_config(const Family& family, VelmorSession& s, std::vector<uint8_t>& bytes) {
  bytes.assign(family.config_size, 0);
  return s.check((s.api().*family.read)(0, family.config_size, family.config_zone, bytes.data()), "read configuration");
}

}  // namespace

bool atr(const Family& family, VelmorSession& s, const Args&) {
  uint8_t bytes[kAtrSize] = {};
  if (!open_card(family, s, bytes)) return false;
  std::printf("%s answer to reset: %s\n", family.name, hex(bytes, sizeof bytes).c_str());
  return true;
}

bool read(const Family& family, VelmorSession& s, const Args& args) {
  if (args.empty()) {
    std::fprintf(stderr, "expected ZONE [ADDRESS [LENGTH]]\n");
    return false;
  }
  const auto zone = parse_zone(family, args[0]);
  if (!zone) return false;
  const uint32_t size = zone_size(family, *zone);
  const auto address = args.size() > 1 ? parse_number(args[1]) : std::optional<uint32_t>(0);
  if (!address || *address >= size) {
    std::fprintf(stderr, "expected an address of 0 to %u\n", size - 1);
    return false;
  }
  const auto length = args.size() > 2 ? parse_number(args[2]) : std::optional<uint32_t>(size - *address);
  if (!length || *length == 0 || *length > size - *address) {
    std::fprintf(stderr, "expected a length of 1 to %u from address 0x%X\n", size - *address, *address);
    return false;
  }
  if (!open_card(family, s)) return false;
  std::vector<uint8_t> bytes(*length);
  if (!s.check((s.api().*family.read)(*address, *length, *zone, bytes.data()), "read")) return false;
  std::printf("%s", hex_dump(bytes.data(), bytes.size(), *address).c_str());
  return true;
}

bool write(const Family& family, VelmorSession& s, const Args& args) {
  const auto zone = args.size() == 3 ? parse_zone(family, args[0]) : std::nullopt;
  if (!zone) {
    if (args.size() != 3) std::fprintf(stderr, "expected ZONE ADDRESS HEX\n");
    return false;
  }
  const uint32_t size = zone_size(family, *zone);
  const auto address = parse_number(args[1]);
  const auto data = parse_hex(args[2]);
  if (!address || !data || data->empty() || *address >= size || data->size() > size - *address) {
    std::fprintf(stderr, "expected ADDRESS HEX, the bytes within the zone's %u\n", size);
    return false;
  }
  if (!open_card(family, s)) return false;
  const auto length = static_cast<uint32_t>(data->size());
  if (!s.check((s.api().*family.write)(*address, length, *zone, data->data()), "write")) return false;
  std::vector<uint8_t> back(length);
  if (!s.check((s.api().*family.read)(*address, length, *zone, back.data()), "read back")) return false;
  if (back != *data) {
    std::printf("the card did not take every byte (its access register asks for a password or the authentication,"
                " or a fuse locks the field); it holds:\n%s",
                hex_dump(back.data(), back.size(), *address).c_str());
    return false;
  }
  std::printf("wrote %u byte%s at 0x%X of zone %u\n", length, length == 1 ? "" : "s", *address, unsigned{*zone});
  return true;
}

bool config(const Family& family, VelmorSession& s, const Args&) {
  std::vector<uint8_t> c;
  if (!open_card(family, s) || !read_config(family, s, c)) return false;
  for (const Field& field : family.fields) {
    const uint8_t* at = c.data() + field.address;
    switch (field.kind) {
      case Field::Kind::bytes:
        std::printf("%-24s %s\n", field.name, hex(at, field.length).c_str());
        break;
      case Field::Kind::counter:
        std::printf("%-24s %s\n", field.name, attempts(*at).c_str());
        break;
      case Field::Kind::access_register:
        for (uint8_t zone = 0; zone < field.length; ++zone) {
          const std::string name = std::string(field.name) + " of zone " + std::to_string(zone);
          std::printf("%-24s %s\n", name.c_str(), access_text(family, at[zone]).c_str());
        }
        break;
      case Field::Kind::password:
        for (uint8_t index = 0; index < family.password_indexes; ++index) {
          const uint8_t pac = family.pac_address(index);
          const std::string name = "password " + std::to_string(index) + " (" + password_name(family, index) + ")";
          std::printf("%-24s %s; PAC %s\n", name.c_str(), hex(c.data() + pac + 1, kPasswordSize).c_str(),
                      attempts(c[pac]).c_str());
        }
        break;
    }
  }
  uint8_t fuse_byte = 0;
  if (!s.check((s.api().*family.read_fuse)(&fuse_byte), "read fuses")) return false;
  std::printf("%-24s %s\n", "fuses", fuse_text(fuse_byte).c_str());
  return true;
}

bool verify(const Family& family, VelmorSession& s, const Args& args) {
  const auto index = args.size() == 2 ? parse_number(args[0]) : std::nullopt;
  if (!index || *index >= family.password_indexes) {
    std::fprintf(stderr, "expected INDEX PASSWORD, INDEX 0 to %u\n", family.password_indexes - 1u);
    return false;
  }
  const auto password = parse_block(args[1], kPasswordSize, "a password");
  if (!password || !open_card(family, s)) return false;
  const auto i = static_cast<uint8_t>(*index);
  const StatusCode status = (s.api().*family.verify)(i, (*password)[0], (*password)[1], (*password)[2]);
  if (status != ST_OK && status != ST_WRONG_PASSWORD) return s.check(status, "verify");
  uint8_t pac = 0;
  if (!s.check((s.api().*family.read)(family.pac_address(i), 1, family.config_zone, &pac), "read PAC")) return false;
  std::printf("password %u (%s) %s; PAC %s\n", unsigned{i}, password_name(family, i).c_str(),
              status == ST_OK ? "accepted: its rights are open until the card is unpowered" : "refused",
              attempts(pac).c_str());
  return status == ST_OK;
}

bool auth(const Family& family, VelmorSession& s, const Args& args) {
  if (args.empty() || args.size() > 2) {
    std::fprintf(stderr, "expected SEED [CHALLENGE], 8 bytes each in hex\n");
    return false;
  }
  const auto seed = parse_block(args[0], kBlockSize, "a seed");
  if (!seed) return false;
  std::vector<uint8_t> challenge(kBlockSize);
  if (args.size() == 2) {
    const auto given = parse_block(args[1], kBlockSize, "a challenge");
    if (!given) return false;
    challenge = *given;
  } else {
    std::random_device random;
    for (uint8_t& b : challenge) b = static_cast<uint8_t>(random());
  }
  if (!open_card(family, s)) return false;
  std::printf("challenge %s\n", hex(challenge.data(), challenge.size()).c_str());
  const StatusCode status = (s.api().*family.auth)(seed->data(), challenge.data());
  if (status != ST_OK && status != ST_AUTH_FAILED) return s.check(status, "authenticate");
  std::vector<uint8_t> c;
  if (!read_config(family, s, c)) return false;
  std::printf("authentication %s; AAC %s\n", status == ST_OK ? "accepted" : "refused",
              attempts(c[kAacAddress]).c_str());
  std::printf("cryptogram now %s\n",
              hex(c.data() + family.cryptogram_address + family.renewed_from, kBlockSize - family.renewed_from).c_str());
  return status == ST_OK;
}

bool fuses(const Family& family, VelmorSession& s, const Args& args) {
  const bool yes = s.options().yes || std::find(args.begin(), args.end(), "--yes") != args.end();
  if (!open_card(family, s)) return false;
  uint8_t fuse_byte = 0;
  if (!s.check((s.api().*family.read_fuse)(&fuse_byte), "read fuses")) return false;
  std::printf("fuses %s\n", fuse_text(fuse_byte).c_str());
  const int next = fuse_byte & 0x07 ? std::countr_zero(static_cast<unsigned>(fuse_byte & 0x07)) : -1;
  if (next < 0) {
    std::printf("every fuse is blown\n");
    return true;
  }
  if (!yes) {
    std::printf("the next is %s; blowing it cannot be undone: add --yes to blow it\n", kFuseNames[next]);
    return true;
  }
  if (!s.check((s.api().*family.write_fuse)(), "write fuse")) return false;
  if (!s.check((s.api().*family.read_fuse)(&fuse_byte), "read fuses")) return false;
  std::printf("blew %s; fuses %s\n", kFuseNames[next], fuse_text(fuse_byte).c_str());
  return (fuse_byte >> next & 1) == 0;
}

bool demo(const Family& family, VelmorSession& s) {
  s.use_sample_card(family.sample);
  bool ok = atr(family, s, {});
  ok = read(family, s, {"0", "0", "16"}) && ok;
  ok = verify(family, s, {"1", "212223"}) && ok;
  ok = write(family, s, {"1", "0", "48656C6C6F"}) && ok;  // "Hello"
  ok = auth(family, s, {"0123456789ABCDEF"}) && ok;
  ok = write(family, s, {"2", "0", "0102030405060708"}) && ok;
  ok = read(family, s, {"2", "0", "8"}) && ok;
  return ok;
}

void register_commands(const Family& family, const Runs& runs, int demo_order) {
  // The names and summaries live as long as the command table.
  static std::deque<std::string> texts;
  const auto keep = [](std::string text) { return texts.emplace_back(std::move(text)).c_str(); };
  const std::string prefix = family.sample;
  const std::string title = std::string(family.name) + ": ";
  const std::string zones = "0 to " + std::to_string(family.config_zone - 1) + " or config";
  const std::string indexes = "0 to " + std::to_string(family.password_indexes - 1);
  const struct {
    const char* name;
    const char* arguments;
    std::string summary;
    Run run;
  } table[] = {
      {"-atr", "", "power the card and show its answer to reset", runs.atr},
      {"-read", "ZONE [ADDRESS [LENGTH]]", "hex dump of user zone " + zones, runs.read},
      {"-write", "ZONE ADDRESS HEX", "write bytes and read them back", runs.write},
      {"-config", "", "every configuration field, counters as attempts left", runs.config},
      {"-verify", "INDEX PASSWORD", "present password INDEX (" + indexes + ", 3 bytes)", runs.verify},
      {"-auth", "SEED [CHALLENGE]", "authenticate with the 8-byte seed (random challenge)", runs.auth},
      {"-fuses", "[--yes]", "show the fuses; --yes blows the next one, for good", runs.fuses},
  };
  for (const auto& entry : table) {
    velmor_commands().push_back(
        {keep(prefix + entry.name), entry.arguments, keep(title + entry.summary), family.sample, entry.run});
  }
  velmor_demo_parts().push_back({demo_order, keep(std::string(family.name) + " secure memory"), runs.demo});
}

}  // namespace kdx::tool::secure
