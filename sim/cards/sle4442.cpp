#include "sim/cards/sle4442.h"

#include <algorithm>

namespace kdx::sim {
namespace {

namespace card = kdx::velmor::sle4442;

constexpr SleCard::ReaderCodes kCodes{card::kPower,  card::kReset,   card::kBegin, card::kEnd,
                                      card::kFinish, card::kClockIn, card::kSend,  card::kProcess};
constexpr std::array<uint8_t, card::kAtrSize> kFreshAtr{0xA2, 0x13, 0x10, 0x91};
constexpr uint8_t kHiddenPsc = 0x00;

}  // namespace

Sle4442Contents Sle4442Contents::fresh() {
  Sle4442Contents contents{};
  contents.main.fill(0xFF);
  std::copy(kFreshAtr.begin(), kFreshAtr.end(), contents.main.begin());
  contents.protection.fill(0xFF);
  contents.error_counter = card::kCounterBits;
  contents.psc.fill(0xFF);
  return contents;
}

bool Sle4442Contents::is_protected(std::size_t address) const {
  return address < card::kProtectedBytes && (protection[address / 8] & (1u << (address % 8))) == 0;
}

Sle4442Card::Sle4442Card(const Sle4442Contents& contents) : SleCard(kCodes, card::kPscSize), contents_(contents) {}

std::vector<uint8_t> Sle4442Card::answer_to_reset() const {
  return {contents_.main.begin(), contents_.main.begin() + card::kAtrSize};
}

void Sle4442Card::take_command(uint8_t control, uint8_t address, uint8_t data) {
  switch (control) {
    case card::kReadBase + card::kZoneMain:
      start_output(card::kClockIn, {contents_.main.begin() + address, contents_.main.end()});
      return;
    case card::kReadBase + card::kZoneSecurity: {
      std::vector<uint8_t> security{contents_.error_counter};
      for (uint8_t b : contents_.psc) security.push_back(unlocked() ? b : kHiddenPsc);
      start_output(card::kClockIn, std::move(security));
      return;
    }
    case card::kReadBase + card::kZoneProtection:
      start_output(card::kClockIn, {contents_.protection.begin(), contents_.protection.end()});
      return;
    case card::kWriteBase + card::kZoneMain:
      start_processing(kEraseWriteClocks, [this, address, data] {
        if (unlocked() && !contents_.is_protected(address)) contents_.main[address] = data;
      });
      return;
    case card::kWriteBase + card::kZoneSecurity:
      start_processing(kEraseWriteClocks, [this, address, data] { write_security(address, data); });
      return;
    case card::kWriteBase + card::kZoneProtection:
      start_processing(kEraseWriteClocks, [this, address, data] {
        if (unlocked() && address < card::kProtectionSize) contents_.protection[address] &= data;
      });
      return;
    case card::kCompare:
      start_processing(kCompareClocks, [this, address, data] {
        if (address < card::kPscAddress || address >= card::kPscAddress + card::kPscSize) return;
        const std::size_t index = address - card::kPscAddress;
        compare_psc_byte(index, contents_.psc[index] == data);
      });
      return;
    default:
      return;  // not a command of this card: it stays idle
  }
}

void Sle4442Card::write_security(uint8_t address, uint8_t data) {
  if (address == card::kCounterAddress) {
    write_error_counter(contents_.error_counter, data, card::kCounterBits);
  } else if (address >= card::kPscAddress && address < card::kPscAddress + card::kPscSize && unlocked()) {
    contents_.psc[address - card::kPscAddress] = data;
  }
}

}  // namespace kdx::sim
