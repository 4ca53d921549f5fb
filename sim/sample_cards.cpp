#include "sim/sample_cards.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "cards/at_secure.h"
#include "sim/cards/at_secure_card.h"
#include "sim/cards/at24c.h"
#include "sim/cards/at45d.h"
#include "sim/cards/cpu_file_system.h"
#include "sim/cards/iso7816_t1.h"
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

// Variants for card type detection: other identification bytes, the other
// fourth byte of the SLE4428's answer to reset.
std::unique_ptr<ReaderCard> make_sle4442_other() {
  Sle4442Contents contents = Sle4442Contents::fresh();
  put(contents.main, kTextAddress, "KDX SLE4442 card");
  return std::make_unique<Sle4442Card>(contents);
}
Sle4428Contents sle4428_with(uint8_t last_answer_byte, bool id) {
  constexpr uint8_t kId[] = {0x82, 0x03};
  Sle4428Contents contents = Sle4428Contents::fresh();
  contents.memory[3] = last_answer_byte;
  if (id) put(contents.memory, kIdAddress, kId);
  return contents;
}
std::unique_ptr<ReaderCard> make_sle4428_48() { return std::make_unique<Sle4428Card>(sle4428_with(0x48, true)); }
std::unique_ptr<ReaderCard> make_sle4428_other() { return std::make_unique<Sle4428Card>(sle4428_with(0xC8, false)); }

// The secure-memory samples: seed Gc 01 23 .. EF, cryptogram 11 22 .. 88
// (AT153: behind the AAC), and passwords aa bb cc with aa = 0x10 * (2 *
// set + read) + 1 (set 0 write 01 02 03, set 0 read 11 12 13, set 1 write 21
// 22 23 ...). User zone 0 is free and holds a text; zone 1 takes writes
// after the write password of set 1; zone 2 needs the authentication to read
// and to write. The fuses are intact.
constexpr uint8_t kSampleGc[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr uint8_t kSampleCryptogram[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
// Access registers: bit 5 at 0 = writing needs the set's write password,
// bits 6 and 7 at 0 = reading and writing need the authentication; the low
// bits name the set (AT153: bit 0).
constexpr uint8_t kAt153WriteAfterSet1 = 0xDF;
constexpr uint8_t kAt1608WriteAfterSet1 = 0xD9;
constexpr uint8_t kAuthenticatedOnly = 0x3F;

void fill_secure_sample(SecureMemoryCard& card, std::size_t sets, uint8_t read_bit, uint8_t (*pac_address)(uint8_t),
                        std::size_t gc_address, std::string_view text) {
  auto& config = card.config();
  put(config, gc_address, kSampleGc);
  for (uint8_t index = 0; index < 2 * sets; ++index) {
    const uint8_t set = index & (read_bit - 1);
    const uint8_t read = (index & read_bit) != 0 ? 1 : 0;
    const uint8_t first = static_cast<uint8_t>(0x10 * (2 * set + read) + 1);
    const uint8_t password[] = {first, static_cast<uint8_t>(first + 1), static_cast<uint8_t>(first + 2)};
    put(config, pac_address(index) + 1u, password);
  }
  put(card.zones()[0], 0, text);
}

std::unique_ptr<ReaderCard> make_at153() {
  namespace layout = kdx::velmor::at_secure::at153;
  auto card = std::make_unique<At153Card>();
  fill_secure_sample(*card, 2, 0x02, &layout::pac_address, layout::kGcAddress, "KDX AT153 card");
  std::copy(kSampleCryptogram + 1, std::end(kSampleCryptogram), card->config().begin() + layout::kCiAddress);
  card->config()[layout::kArAddress + 1] = kAt153WriteAfterSet1;
  card->config()[layout::kArAddress + 2] = kAuthenticatedOnly;
  return card;
}

std::unique_ptr<ReaderCard> make_at1608() {
  namespace layout = kdx::velmor::at_secure::at1608;
  auto card = std::make_unique<At1608Card>();
  fill_secure_sample(*card, 8, 0x08, &layout::pac_address, layout::kGcAddress, "KDX AT1608 card");
  put(card->config(), layout::kCiAddress, kSampleCryptogram);
  card->config()[layout::kArAddress + 1] = kAt1608WriteAfterSet1;
  card->config()[layout::kArAddress + 2] = kAuthenticatedOnly;
  return card;
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
  static std::vector<SampleCard> cards = {
      {"blank", "a card the reader cannot talk to (every read gives 0xFF)", &make_blank},
      {"sle4442", "SLE4442 with data at 0x20; PSC FF FF FF, 3 attempts left; bytes 0 to 7 protected", &make_sle4442},
      {"sle4428", "SLE4428 with data at 0x20; PSC FF FF, 8 attempts left; bytes 0 to 7 protected", &make_sle4428},
      {"at153", "AT153 with a text in zone 0; zone 1 written after password set 1, zone 2 after authentication; Gc 0123456789ABCDEF",
       &make_at153},
      {"at1608", "AT1608 with a text in zone 0; zone 1 written after password set 1, zone 2 after authentication; Gc 0123456789ABCDEF",
       &make_at1608},
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
      {"sle4442-other", "SLE4442 without the identification bytes 82 05 at byte 6", &make_sle4442_other},
      {"sle4428-48", "SLE4428 answering C9 11 88 48, identification bytes 82 03", &make_sle4428_48},
      {"sle4428-other", "SLE4428 without the identification bytes 82 03 at byte 6", &make_sle4428_other},
  };
  static const bool with_at102_family = [] {
    for (SampleCard& card : at102_family_samples()) cards.push_back(std::move(card));
    return true;
  }();
  (void)with_at102_family;
  return cards;
}

std::unique_ptr<ReaderCard> make_sample_card(std::string_view name) {
  for (const SampleCard& card : sample_cards()) {
    if (name == card.name) return card.make();
  }
  return nullptr;
}

}  // namespace kdx::sim

namespace kdx::sim {

const std::vector<SerialLineSample>& serial_line_samples() {
  static const std::vector<SerialLineSample> samples = {
      {"t0", "T=0, no interface bytes (default)", {0x3B, 0x02, 0x14, 0x50}},
      {"t0-negotiable", "T=0, TA1 Fi 372 Di 4, negotiable mode", {0x3B, 0x13, 0x13, 0x4B, 0x44, 0x58}},
      {"t0-specific", "T=0 in specific mode at 38400", {0x3B, 0x93, 0x13, 0x10, 0x00, 0x4B, 0x44, 0x58}},
      {"t1", "T=1, IFSC 254, CWI 5, BWI 4, LRC", {0x3B, 0x84, 0x81, 0x31, 0xFE, 0x45, 0x4B, 0x44, 0x58, 0x31, 0xE9}},
      {"t1-crc", "T=1 with CRC and N = 255 (one stop bit)",
       {0x3B, 0xC4, 0xFF, 0x81, 0x71, 0xFE, 0x45, 0x01, 0x4B, 0x44, 0x58, 0x31, 0x17}},
      {"t1-inverse", "T=1 in inverse convention with CRC",
       {0x3F, 0x84, 0x81, 0x71, 0xFE, 0x45, 0x01, 0x4B, 0x44, 0x58, 0x31, 0xA8}},
      {"t1-noisy", "T=1 like t1, the EDC of the second block it sends is wrong",
       {0x3B, 0x84, 0x81, 0x31, 0xFE, 0x45, 0x4B, 0x44, 0x58, 0x31, 0xE9}, {}, {}, 2},
      {"t1-defaults", "T=1 without TB3 (CWI 13, BWI 4)", {0x3B, 0x81, 0x01, 0x4B, 0xCB}},
      {"dual", "T=0 first, T=1 offered, DI 6, level-4 bytes",
       {0x3B, 0xD3, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x80, 0x31, 0xC0, 0x22}},
      {"inverse", "inverse convention, T=0", {0x3F, 0x13, 0x11, 0x4B, 0x44, 0x58}},
      {"t0-nulls", "T=0, two NULLs before every procedure byte", {0x3B, 0x02, 0x14, 0x50}, {}, {.nulls = 2}},
      {"t0-bytewise", "T=0, every data byte asked for with INS XOR FF", {0x3B, 0x02, 0x14, 0x50}, {},
       {.acks = T0Acks::one_by_one}},
      {"t0-slow", "T=0, 2.5 s per command with NULLs every 400 ms", {0x3B, 0x02, 0x14, 0x50}, {},
       {.work_ms = 2500, .keepalive_ms = 400}},
      {"chunks", "T=0, its ATR in three pieces", {0x3B, 0x02, 0x14, 0x50}, {{1, 70}, {3, 300}}},
      {"fast", "specific mode at 111600 bit/s, which no port speed matches", {0x3B, 0x92, 0x95, 0x10, 0x00, 0x4B, 0x44}},
  };
  return samples;
}

const SerialLineSample* find_serial_line_sample(std::string_view name) {
  for (const SerialLineSample& sample : serial_line_samples()) {
    if (name == sample.name) return &sample;
  }
  return nullptr;
}

std::unique_ptr<Iso7816Card> make_iso_card(std::vector<uint8_t> atr, const SerialLineSample* sample) {
  Iso7816CardConfig config{std::move(atr)};
  if (sample != nullptr) {
    config.pauses = sample->pauses;
    config.t0 = sample->t0;
  }
  config.protocol = t1_protocol();  // answers in T=1 where its ATR offers it
  if (sample != nullptr && sample->bad_edc_block != 0) {
    config.protocol = [block = sample->bad_edc_block](Iso7816Card& owner) {
      auto protocol = t1_protocol()(owner);
      static_cast<Iso7816T1&>(*protocol).inject(T1Fault::corrupt_edc, block);
      return protocol;
    };
  }
  return std::make_unique<Iso7816Card>(std::move(config));
}

std::unique_ptr<Iso7816Card> make_serial_line_card(std::string_view name) {
  if (name == kSilentCard) return std::make_unique<Iso7816Card>(Iso7816CardConfig{});
  const SerialLineSample* sample = find_serial_line_sample(name);
  return sample != nullptr ? make_iso_card(sample->atr, sample) : nullptr;
}

}  // namespace kdx::sim
