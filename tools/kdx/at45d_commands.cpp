// AT45D commands: page reads and writes, the status byte in words, and
// whole-memory dump and restore of a card of a given type.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cards/at45d_codes.h"
#include "kdx/memory_image.h"
#include "kdx/velmor_mode.h"

namespace kdx::tool {
namespace {

namespace at45d = kdx::velmor::at45d;

constexpr uint32_t kPageSize = static_cast<uint32_t>(at45d::kPageSize);
// The status read needs a powered chip, not a type: any type opens it.
constexpr uint8_t kStatusOpenType = at45d::kFirstType;
// Bound of the ready wait after each page of a restore: a page program
// takes some 20 ms, one poll at least 4 ms even at 115200 baud.
constexpr unsigned kMaxReadyPolls = 200;

// TYPE "1" to "5": the type code is the digit's character.
std::optional<uint8_t> parse_type(const Args& args) {
  if (args.empty() || args[0].size() != 1 || at45d::page_count(static_cast<uint8_t>(args[0][0])) == 0) {
    std::fprintf(stderr, "expected a TYPE of 1 to 5 (1, 2: 1024 pages; 3, 4: 2048; 5: 4096)\n");
    return std::nullopt;
  }
  return static_cast<uint8_t>(args[0][0]);
}

std::size_t pages(uint8_t type) { return at45d::page_count(type); }

bool open_card(VelmorSession& s, uint8_t type) {
  const std::string name = std::string("at45d-") + static_cast<char>(type);
  s.use_sample_card(name.c_str());
  if (s.card_is_open(name)) return true;
  if (!s.check(s.api().AT45D_OpenCard(type), "open AT45D type " + name.substr(6))) return false;
  s.card_opened(name, [&s] { s.check(s.api().AT45D_CloseCard(), "close AT45D"); });
  return true;
}

std::optional<uint32_t> parse_page(const Args& args, uint8_t type) {
  const auto page = args.size() > 1 ? parse_number(args[1]) : std::nullopt;
  if (!page || *page >= pages(type)) {
    std::fprintf(stderr, "expected a PAGE of 0 to %zu\n", pages(type) - 1);
    return std::nullopt;
  }
  return page;
}

bool read_page_bytes(VelmorSession& s, uint32_t page, uint32_t byte, std::vector<uint8_t>& bytes) {
  return s.check(s.api().AT45D_ReadChar(page, byte, static_cast<uint32_t>(bytes.size()), bytes.data()),
                 "read page " + std::to_string(page));
}

bool read(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type) return false;
  const auto page = parse_page(args, *type);
  if (!page) return false;
  const auto byte = args.size() > 2 ? parse_number(args[2]) : std::optional<uint32_t>(0);
  if (!byte || *byte >= kPageSize) {
    std::fprintf(stderr, "expected a BYTE of 0 to %u\n", kPageSize - 1);
    return false;
  }
  const auto length = args.size() > 3 ? parse_number(args[3]) : std::optional<uint32_t>(kPageSize - *byte);
  if (!length || *length == 0 || *length > kPageSize - *byte) {
    std::fprintf(stderr, "expected a LENGTH of 1 to %u from byte %u\n", kPageSize - *byte, *byte);
    return false;
  }
  if (!open_card(s, *type)) return false;
  std::vector<uint8_t> bytes(*length);
  if (!read_page_bytes(s, *page, *byte, bytes)) return false;
  std::printf("page %u\n%s", *page, hex_dump(bytes.data(), bytes.size(), *byte).c_str());
  return true;
}

bool write(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type) return false;
  const auto page = parse_page(args, *type);
  if (!page) return false;
  const auto byte = args.size() == 4 ? parse_number(args[2]) : std::nullopt;
  const auto data = args.size() == 4 ? parse_hex(args[3]) : std::nullopt;
  if (!byte || !data || data->empty() || *byte >= kPageSize || data->size() > kPageSize - *byte) {
    std::fprintf(stderr, "expected TYPE PAGE BYTE HEX, the bytes within the page's %u\n", kPageSize);
    return false;
  }
  if (!open_card(s, *type)) return false;
  const StatusCode status = [&] {
    const WaitNotice notice("the card: rewriting page " + std::to_string(*page));
    return s.api().AT45D_WriteChar(*page, *byte, static_cast<uint32_t>(data->size()), data->data());
  }();
  if (!s.check(status, "write")) return false;
  std::vector<uint8_t> back(data->size());
  if (!read_page_bytes(s, *page, *byte, back)) return false;
  if (back != *data) {
    std::printf("wrote %zu bytes into page %u, but it reads back %s\n", data->size(), *page,
                hex(back.data(), back.size()).c_str());
    return false;
  }
  std::printf("wrote %zu bytes into page %u from byte %u; the rest of the page is kept; they read back the same\n",
              data->size(), *page, *byte);
  return true;
}

bool status(VelmorSession& s, const Args&) {
  bool opened = false;
  for (uint8_t type = at45d::kFirstType; type <= at45d::kLastType && !opened; ++type) {
    opened = s.card_is_open(std::string("at45d-") + static_cast<char>(type));
  }
  if (!opened && !open_card(s, kStatusOpenType)) return false;
  uint8_t byte = 0;
  if (!s.check(s.api().AT45D_ReadStatus(&byte), "status")) return false;
  std::printf("status 0x%02X: %s; last compare: %s; density bits %u%u%u%u\n", byte,
              (byte & at45d::kStatusReady) != 0 ? "ready" : "busy (an internal operation is running)",
              (byte & at45d::kStatusCompareDiffers) != 0 ? "page and buffer differ" : "equal (or none made)",
              (byte >> 5) & 1u, (byte >> 4) & 1u, (byte >> 3) & 1u, (byte >> 2) & 1u);
  return true;
}

bool dump_memory(VelmorSession& s, uint8_t type, std::vector<uint8_t>& image) {
  image.assign(pages(type) * kPageSize, 0);
  return image::in_pieces("reading", image.size(), kPageSize, [&](std::size_t offset, std::size_t) {
    return s.check(s.api().AT45D_ReadChar(static_cast<uint32_t>(offset / kPageSize), 0, kPageSize,
                                          image.data() + offset),
                   "read page " + std::to_string(offset / kPageSize));
  });
}

// Polls the status until the chip is ready, at most kMaxReadyPolls times.
bool wait_ready(VelmorSession& s) {
  for (unsigned poll = 0; poll < kMaxReadyPolls; ++poll) {
    uint8_t byte = 0;
    if (!s.check(s.api().AT45D_ReadStatus(&byte), "status")) return false;
    if ((byte & at45d::kStatusReady) != 0) return true;
  }
  std::fprintf(stderr, "the chip stayed busy for %u status reads\n", kMaxReadyPolls);
  return false;
}

bool dump(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  if (!type || !image::file_arguments(args) || !open_card(s, *type)) return false;
  std::vector<uint8_t> image;
  if (!dump_memory(s, *type, image) || !image::write_file(args[1], image)) return false;
  std::printf("%zu pages of AT45D type %c in %s\n", pages(*type), static_cast<char>(*type), args[1].c_str());
  return true;
}

// Each page is programmed whole through buffer 1, erase included.
bool restore(VelmorSession& s, const Args& args) {
  const auto type = parse_type(args);
  std::vector<uint8_t> image;
  if (!type || !image::file_arguments(args) || !image::read_file(args[1], pages(*type) * kPageSize, image) ||
      !open_card(s, *type)) {
    return false;
  }
  const bool written = image::in_pieces("writing", image.size(), kPageSize, [&](std::size_t offset, std::size_t) {
    const auto page = static_cast<uint32_t>(offset / kPageSize);
    return s.check(s.api().AT45D_MainMemWrite(0, page, 0, kPageSize, image.data() + offset),
                   "write page " + std::to_string(page)) &&
           wait_ready(s);
  });
  std::vector<uint8_t> back;
  if (!written || !dump_memory(s, *type, back)) return false;
  const long difference = image::first_difference(image, back);
  if (difference >= 0) {
    std::printf("restored %s, but the card differs from it in page %ld at byte %ld\n", args[1].c_str(),
                difference / static_cast<long>(kPageSize), difference % static_cast<long>(kPageSize));
    return false;
  }
  std::printf("restored %zu pages from %s; the card reads back the same\n", pages(*type), args[1].c_str());
  return true;
}

bool demo(VelmorSession& s) {
  bool ok = read(s, {"3", "0", "0", "32"});
  ok = write(s, {"3", "0", "0x40", "48656C6C6F2C20636172642E"}) && ok;  // "Hello, card."
  ok = read(s, {"3", "0", "0x40", "16"}) && ok;
  ok = status(s, {}) && ok;
  return ok;
}

const RegisterVelmor kDemo(DemoPart{23, "AT45D card", &demo});
const RegisterVelmor kCommands({
    {"at45d-read", "TYPE PAGE [BYTE [LENGTH]]", "AT45D: hex dump of a page (TYPE 1 to 5)", nullptr, &read},
    {"at45d-write", "TYPE PAGE BYTE HEX", "AT45D: write bytes into a page, keeping the rest of it", nullptr, &write},
    {"at45d-status", "", "AT45D: the chip's status byte in words", nullptr, &status},
    {"at45d-dump", "TYPE FILE", "AT45D: every page into FILE", nullptr, &dump},
    {"at45d-restore", "TYPE FILE", "AT45D: every page from FILE, verified by reading it back", nullptr, &restore},
});

}  // namespace
}  // namespace kdx::tool
