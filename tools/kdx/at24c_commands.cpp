// AT24C commands: read, write, and whole-memory dump and restore of a card
// of a given type.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cards/at24c_types.h"
#include "kdx/memory_image.h"
#include "kdx/velmor_mode.h"

namespace kdx::tool {
namespace {

namespace at24c = kdx::velmor::at24c;

constexpr uint32_t kDefaultLength = 256;
// Dump and restore calls: whole pages of every type, and at most a second
// or so of line time each at 9600 baud.
constexpr std::size_t kImagePiece = 256;

std::optional<uint8_t> parse_type(const Args& args) {
  const auto type = args.empty() ? std::nullopt : parse_number(args[0]);
  if (!type || !at24c::valid_type(static_cast<uint8_t>(*type)) || *type > at24c::kLastType) {
    std::fprintf(stderr, "expected a TYPE of 1 to 10 (1: 128 bytes ... 10: 32 KiB)\n");
    return std::nullopt;
  }
  return static_cast<uint8_t>(*type);
}

std::size_t capacity(uint8_t type) { return at24c::kTypes[type].capacity; }

// The type's sample in the simulated slot, the card powered with the type
// once a session.
bool open_card(VelmorSession& s, uint8_t type) {
  const std::string name = "at24c-" + std::to_string(type);
  s.use_sample_card(name.c_str());
  if (s.card_is_open(name)) return true;
  if (!s.check(s.api().AT24C_OpenCard(type), "open AT24C type " + std::to_string(type))) return false;
  s.card_opened(name, [&s] { s.check(s.api().AT24C_CloseCard(), "close AT24C"); });
  return true;
}

bool read_bytes(VelmorSession& s, uint32_t address, std::vector<uint8_t>& bytes) {
  const WaitNotice notice("the card: reading " + std::to_string(bytes.size()) + " bytes");
  return s.check(s.api().AT24C_ReadChar(address, static_cast<uint32_t>(bytes.size()), bytes.data()), "read");
}

bool write_bytes(VelmorSession& s, uint32_t address, const std::vector<uint8_t>& bytes) {
  const WaitNotice notice("the card: writing " + std::to_string(bytes.size()) + " bytes");
  return s.check(s.api().AT24C_WriteChar(address, static_cast<uint32_t>(bytes.size()), bytes.data()), "write");
}

bool read(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type) return false;
  const uint32_t size = static_cast<uint32_t>(capacity(*type));
  const auto address = args.size() > 1 ? parse_number(args[1]) : std::optional<uint32_t>(0);
  if (!address || *address >= size) {
    std::fprintf(stderr, "expected an ADDRESS of 0 to %u\n", size - 1);
    return false;
  }
  const auto length =
      args.size() > 2 ? parse_number(args[2]) : std::optional<uint32_t>(std::min(size - *address, kDefaultLength));
  if (!length || *length == 0 || *length > size - *address) {
    std::fprintf(stderr, "expected a LENGTH of 1 to %u from address 0x%X\n", size - *address, *address);
    return false;
  }
  if (!open_card(s, *type)) return false;
  std::vector<uint8_t> bytes(*length);
  if (!read_bytes(s, *address, bytes)) return false;
  std::printf("%s", hex_dump(bytes.data(), bytes.size(), *address).c_str());
  return true;
}

bool write(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type) return false;
  const std::size_t size = capacity(*type);
  const auto address = args.size() == 3 ? parse_number(args[1]) : std::nullopt;
  const auto data = args.size() == 3 ? parse_hex(args[2]) : std::nullopt;
  if (!address || !data || data->empty() || *address >= size || data->size() > size - *address) {
    std::fprintf(stderr, "expected TYPE ADDRESS HEX, the bytes within the card's %zu\n", size);
    return false;
  }
  if (!open_card(s, *type) || !write_bytes(s, *address, *data)) return false;
  std::vector<uint8_t> back(data->size());
  if (!read_bytes(s, *address, back)) return false;
  if (back != *data) {
    std::printf("wrote %zu bytes at 0x%X, but the card reads back %s\n", data->size(), *address,
                hex(back.data(), back.size()).c_str());
    return false;
  }
  std::printf("wrote %zu bytes at 0x%X; they read back the same\n", data->size(), *address);
  return true;
}

bool dump_memory(VelmorSession& s, uint8_t type, std::vector<uint8_t>& image) {
  image.assign(capacity(type), 0);
  return image::in_pieces("reading", image.size(), kImagePiece, [&](std::size_t offset, std::size_t count) {
    return s.check(s.api().AT24C_ReadChar(static_cast<uint32_t>(offset), static_cast<uint32_t>(count),
                                          image.data() + offset),
                   "read at " + std::to_string(offset));
  });
}

bool dump(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type || !image::file_arguments(args) || !open_card(s, *type)) return false;
  std::vector<uint8_t> image;
  if (!dump_memory(s, *type, image) || !image::write_file(args[1], image)) return false;
  std::printf("%zu bytes of AT24C type %u in %s\n", image.size(), unsigned{*type}, args[1].c_str());
  return true;
}

bool restore(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  std::vector<uint8_t> image;
  if (!type || !image::file_arguments(args) || !image::read_file(args[1], capacity(*type), image) ||
      !open_card(s, *type)) {
    return false;
  }
  const bool written = image::in_pieces("writing", image.size(), kImagePiece, [&](std::size_t offset, std::size_t count) {
    return s.check(s.api().AT24C_WriteChar(static_cast<uint32_t>(offset), static_cast<uint32_t>(count),
                                           image.data() + offset),
                   "write at " + std::to_string(offset));
  });
  std::vector<uint8_t> back;
  if (!written || !dump_memory(s, *type, back)) return false;
  const long difference = image::first_difference(image, back);
  if (difference >= 0) {
    std::printf("restored %s, but the card differs from it at 0x%lX\n", args[1].c_str(), difference);
    return false;
  }
  std::printf("restored %zu bytes from %s; the card reads back the same\n", image.size(), args[1].c_str());
  return true;
}

bool demo(VelmorSession& s) {
  bool ok = read(s, {"3", "0", "32"});
  ok = write(s, {"3", "0x40", "48656C6C6F2C20636172642E"}) && ok;  // "Hello, card."
  ok = read(s, {"3", "0x40", "16"}) && ok;
  return ok;
}

const RegisterVelmor kDemo(DemoPart{22, "AT24C card", &demo});
const RegisterVelmor kCommands({
    {"at24c-read", "TYPE [ADDRESS [LENGTH]]", "AT24C: hex dump (TYPE 1 to 10: 128 bytes to 32 KiB)", nullptr, &read},
    {"at24c-write", "TYPE ADDRESS HEX", "AT24C: write bytes and read them back", nullptr, &write},
    {"at24c-dump", "TYPE FILE", "AT24C: the whole memory into FILE", nullptr, &dump},
    {"at24c-restore", "TYPE FILE", "AT24C: the whole memory from FILE, verified by reading it back", nullptr,
     &restore},
});

}  // namespace
}  // namespace kdx::tool
