#include "sim/sample_cards.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "sim/cards/at24c.h"
#include "sim/cards/at45d.h"
#include "sim/cards/cpu_file_system.h"
#include "sim/cards/sle4428.h"
#include "sim/cards/sle4442.h"

namespace kdx::sim {
namespace {

// Issuer data of the SLE samples: an identification pair at bytes 6 and 7
// behind the answer to reset, a text and a 32-bit value after the first 32
// bytes. The first 8 bytes are protected.
constexpr std::size_t kIdAddress = 6;
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kTextAddress = 0x20;
constexpr std::size_t kValueAddress = 0x30;
constexpr uint8_t kValue[] = {0xE8, 0x03, 0x00, 0x00};  // 1000

template <typename Memory>
void put(Memory& memory, std::size_t address, std::string_view text) {
  std::copy(text.begin(), text.end(), memory.begin() + static_cast<std::ptrdiff_t>(address));
}

template <typename Memory, std::size_t N>
void put(Memory& memory, std::size_t address, const uint8_t (&bytes)[N]) {
  std::copy(bytes, bytes + N, memory.begin() + static_cast<std::ptrdiff_t>(address));
}

std::unique_ptr<ReaderCard> make_blank() { return std::make_unique<ReaderCard>(); }

std::unique_ptr<ReaderCard> make_sle4442() {
  constexpr uint8_t kId[] = {0x82, 0x05};
  Sle4442Contents contents = Sle4442Contents::fresh();
  put(contents.main, kIdAddress, kId);
  put(contents.main, kTextAddress, "KDX SLE4442 card");
  put(contents.main, kValueAddress, kValue);
  contents.protection[0] = static_cast<uint8_t>(0xFF << kHeaderBytes);
  return std::make_unique<Sle4442Card>(contents);
}

std::unique_ptr<ReaderCard> make_sle4428() {
  constexpr uint8_t kId[] = {0x82, 0x03};
  Sle4428Contents contents = Sle4428Contents::fresh();
  put(contents.memory, kIdAddress, kId);
  put(contents.memory, kTextAddress, "KDX SLE4428 card");
  put(contents.memory, kValueAddress, kValue);
  for (std::size_t a = 0; a < kHeaderBytes; ++a) contents.protected_bytes[a] = true;
  return std::make_unique<Sle4428Card>(contents);
}

// AT24C and AT45D samples: a text at the start and a 32-bit value behind
// it, the rest erased.
std::vector<uint8_t> memory_sample(std::string_view family) {
  std::vector<uint8_t> memory(kValueAddress + sizeof kValue, 0xFF);
  put(memory, 0, "KDX " + std::string(family) + " card");
  put(memory, kValueAddress, kValue);
  return memory;
}

template <uint8_t Type>
std::unique_ptr<ReaderCard> make_at24c() {
  return std::make_unique<At24cCard>(Type, memory_sample("AT24C"));
}

template <uint8_t Type>
std::unique_ptr<ReaderCard> make_at45d() {
  return std::make_unique<At45dCard>(velmor::at45d::page_count(Type), memory_sample("AT45D"));
}

}  // namespace

const std::vector<SampleCard>& sample_cards() {
  static const std::vector<SampleCard> cards = {
      {"blank", "a card the reader cannot talk to (every read gives 0xFF)", &make_blank},
      {"sle4442", "SLE4442 with data at 0x20; PSC FF FF FF, 3 attempts left; bytes 0 to 7 protected", &make_sle4442},
      {"sle4428", "SLE4428 with data at 0x20; PSC FF FF, 8 attempts left; bytes 0 to 7 protected", &make_sle4428},
      {"at24c-1", "AT24C type 1 (128 bytes), a text at 0 and a value at 0x30", &make_at24c<1>},
      {"at24c-2", "AT24C type 2 (128 bytes), the same data", &make_at24c<2>},
      {"at24c-3", "AT24C type 3 (256 bytes), the same data", &make_at24c<3>},
      {"at24c-4", "AT24C type 4 (512 bytes), the same data", &make_at24c<4>},
      {"at24c-5", "AT24C type 5 (1 KiB), the same data", &make_at24c<5>},
      {"at24c-6", "AT24C type 6 (2 KiB), the same data", &make_at24c<6>},
      {"at24c-7", "AT24C type 7 (4 KiB), the same data", &make_at24c<7>},
      {"at24c-8", "AT24C type 8 (8 KiB), the same data", &make_at24c<8>},
      {"at24c-9", "AT24C type 9 (16 KiB), the same data", &make_at24c<9>},
      {"at24c-10", "AT24C type 10 (32 KiB), the same data", &make_at24c<10>},
      {"at45d-1", "AT45D type 1 (1024 pages of 264 bytes), a text in page 0", &make_at45d<0x31>},
      {"at45d-2", "AT45D type 2 (1024 pages), the same data", &make_at45d<0x32>},
      {"at45d-3", "AT45D type 3 (2048 pages), the same data", &make_at45d<0x33>},
      {"at45d-4", "AT45D type 4 (2048 pages), the same data", &make_at45d<0x34>},
      {"at45d-5", "AT45D type 5 (4096 pages), the same data", &make_at45d<0x35>},
      {"cpu", "a T=0 CPU card with a small file system (SELECT, READ BINARY, UPDATE BINARY)", &make_file_system_card},
  };
  return cards;
}

std::unique_ptr<ReaderCard> make_sample_card(std::string_view name) {
  for (const SampleCard& card : sample_cards()) {
    if (name == card.name) return card.make();
  }
  return nullptr;
}

}  // namespace kdx::sim
