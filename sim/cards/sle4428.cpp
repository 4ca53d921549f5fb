#include "sim/cards/sle4428.h"

#include <algorithm>

namespace kdx::sim {
namespace {

namespace card = kdx::velmor::sle4428;

constexpr SleCard::ReaderCodes kCodes{card::kPower,  card::kReset,   card::kBegin, card::kEnd,
                                      card::kFinish, card::kClockIn, card::kSend,  card::kProcess};
constexpr std::array<uint8_t, card::kAtrSize> kFreshAtr{0xC9, 0x11, 0x88, 0xC8};
constexpr uint8_t kHiddenPsc = 0x00;
constexpr uint8_t kProtectedBit = 0;
constexpr uint8_t kUnprotectedBit = 1;
constexpr uint8_t kCounterBits = 0xFF;

bool is_psc_address(std::size_t address) {
  return address >= card::kPscAddress && address < card::kPscAddress + card::kPscSize;
}

}  // namespace

Sle4428Contents Sle4428Contents::fresh() {
  Sle4428Contents contents{};
  contents.memory.fill(0xFF);
  std::copy(kFreshAtr.begin(), kFreshAtr.end(), contents.memory.begin());
  return contents;
}

Sle4428Card::Sle4428Card(const Sle4428Contents& contents) : SleCard(kCodes, card::kPscSize), contents_(contents) {}

std::vector<uint8_t> Sle4428Card::answer_to_reset() const {
  return {contents_.memory.begin(), contents_.memory.begin() + card::kAtrSize};
}

void Sle4428Card::take_command(uint8_t control, uint8_t address_low, uint8_t data) {
  const std::size_t address = (std::size_t{control} >> card::kHighAddressShift) << 8 | address_low;
  switch (control & card::kCommandMask) {
    case card::kRead: {
      std::vector<uint8_t> bytes;
      for (std::size_t a = address; a < card::kMemorySize; ++a) {
        bytes.push_back(is_psc_address(a) && !unlocked() ? kHiddenPsc : contents_.memory[a]);
      }
      start_output(card::kClockIn, std::move(bytes));
      return;
    }
    case card::kReadProtection: {
      std::vector<uint8_t> bits;
      for (std::size_t a = address; a < card::kMemorySize; ++a) {
        bits.push_back(contents_.protected_bytes[a] ? kProtectedBit : kUnprotectedBit);
      }
      start_output(card::kClockInProtection, std::move(bits));
      return;
    }
    case card::kWrite:
    case card::kWriteProtect: {
      const bool protect = (control & card::kCommandMask) == card::kWriteProtect;
      start_processing(kEraseWriteClocks, [this, address, data, protect] { write(address, data, protect); });
      return;
    }
    case card::kWriteCounter:
      if (address != card::kCounterAddress) return;
      start_processing(kEraseWriteClocks, [this, data] {
        write_error_counter(contents_.memory[card::kCounterAddress], data, kCounterBits);
      });
      return;
    case card::kCompare:
      if (!is_psc_address(address)) return;
      start_processing(kCompareClocks, [this, address, data] {
        compare_psc_byte(address - card::kPscAddress, contents_.memory[address] == data);
      });
      return;
    default:
      return;  // not a command of this card: it stays idle
  }
}

void Sle4428Card::write(std::size_t address, uint8_t data, bool protect) {
  if (!unlocked() || contents_.protected_bytes[address]) return;
  contents_.memory[address] = data;
  if (protect) contents_.protected_bytes[address] = true;
}

}  // namespace kdx::sim
