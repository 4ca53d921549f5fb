// Sample AT102-family cards: one for each identification pair that card
// type detection knows, with codes and data on them.
#include <algorithm>
#include <string_view>

#include "sim/cards/at102_family.h"
#include "sim/sample_cards.h"

namespace kdx::sim {
namespace {

namespace at = kdx::velmor::at102;

void put(std::vector<uint8_t>& memory, std::size_t address, std::string_view text) {
  std::copy(text.begin(), text.end(), memory.begin() + static_cast<std::ptrdiff_t>(address));
}
void put(std::vector<uint8_t>& memory, std::size_t address, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), memory.begin() + static_cast<std::ptrdiff_t>(address));
}

// AT102: security code A1 02; erase keys E1 E1 E1 E1 E1 E1 and E2 E2 E2 E2;
// a text at the start of application zone 1, the value 1000 at the start of
// zone 2.
template <uint8_t Fc0, uint8_t Fc1>
std::unique_ptr<ReaderCard> make_at102() {
  namespace m = at::map102;
  std::vector<uint8_t> memory = At102Card::fresh(Fc0, Fc1);
  put(memory, m::kIc.address, "KDX-IC02");
  put(memory, m::kSc.address, {0xA1, 0x02});
  put(memory, m::kEz1.address, {0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1});
  put(memory, m::kEz2.address, {0xE2, 0xE2, 0xE2, 0xE2});
  put(memory, m::kAz1.address, "KDX AT102 card");
  put(memory, m::kAz2.address, {0xE8, 0x03, 0x00, 0x00});
  return std::make_unique<At102Card>(std::move(memory));
}

// AT1604 / AT6601: security code 16 00, zone codes 16 01 to 16 04, erase
// keys 16 05 to 16 08; a text at the start of each application zone.
template <const at::CardMap& Map, uint8_t Fc0, uint8_t Fc1>
std::unique_ptr<ReaderCard> make_large() {
  std::vector<uint8_t> memory = At1604FamilyCard::fresh(Fc0, Fc1);
  put(memory, Map.ic.address, "KDX-IC16");
  for (std::size_t i = 0; i < Map.codes.size(); ++i) put(memory, Map.codes[i].address, {0x16, static_cast<uint8_t>(i)});
  const char* const texts[] = {"zone 1 text", "zone 2 text", "zone 3 text", "zone 4 text"};
  for (std::size_t z = 0; z + 1 < Map.zones.size(); ++z) put(memory, Map.zones[z].base, texts[z]);
  return std::make_unique<At1604FamilyCard>(Map, std::move(memory));
}

}  // namespace

std::vector<SampleCard> at102_family_samples() {
  return {
      {"at102", "AT102, FC 72 55; SC A1 02, keys E1x6 / E2x4", &make_at102<0x72, 0x55>},
      {"at102-7156", "AT102, FC 71 56; SC A1 02, keys E1x6 / E2x4", &make_at102<0x71, 0x56>},
      {"at1604", "AT1604, FC 16 04; SC 16 00, zone codes 16 01-04, keys 16 05-08", &make_large<at::kAt1604, 0x16, 0x04>},
      {"at1604-313a", "AT1604, FC 31 3A; codes as at1604", &make_large<at::kAt1604, 0x31, 0x3A>},
      {"at6601", "AT6601, FC 0F 0F; SC 16 00, zone codes 16 01-04, keys 16 05-08", &make_large<at::kAt6601, 0x0F, 0x0F>},
  };
}

}  // namespace kdx::sim
