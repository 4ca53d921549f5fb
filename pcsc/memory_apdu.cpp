#include "pcsc/memory_apdu.h"

#include <algorithm>

#include "pcsc/t0_mapping.h"

namespace kdx::ifd {
namespace {

constexpr uint8_t kClass = 0xFF;
constexpr uint8_t kReadBinary = 0xB0;
constexpr uint8_t kUpdateBinary = 0xD6;
constexpr uint8_t kVerify = 0x20;
constexpr std::size_t kIns = 1;
constexpr std::size_t kP1 = 2;
constexpr std::size_t kP2 = 3;
constexpr std::size_t kData = 5;
constexpr unsigned kMaxAttemptsShown = 15;

struct Sw {
  uint8_t sw1;
  uint8_t sw2;
};
constexpr Sw kOk{0x90, 0x00};
constexpr Sw kEndReached{0x62, 0x82};
constexpr Sw kWrongLength{0x67, 0x00};
constexpr Sw kWrongAddress{0x6B, 0x00};
constexpr Sw kNotTaken{0x69, 0x82};
constexpr Sw kLocked{0x69, 0x83};
constexpr Sw kNoPsc{0x6A, 0x81};
constexpr Sw kWrongIns{0x6D, 0x00};
constexpr Sw kWrongClass{0x6E, 0x00};
constexpr uint8_t kWrongPsc = 0x63;
constexpr uint8_t kAttemptsNibble = 0xC0;

MemoryStatus answer(std::vector<uint8_t>& response, Sw sw) {
  response.push_back(sw.sw1);
  response.push_back(sw.sw2);
  return MemoryStatus::ok;
}

MemoryStatus read_binary(const MemoryCard& card, uint32_t address, const ParsedApdu& parsed, bool le_given,
                         std::vector<uint8_t>& response) {
  if (address >= card.size) return answer(response, kWrongAddress);
  const std::size_t count = std::min(parsed.ne, card.size - address);
  std::vector<uint8_t> data(count);
  const MemoryStatus status = card.read(address, data);
  if (status != MemoryStatus::ok) return status;
  response = data;
  // Le 00 asks for everything up to 256 bytes: no warning at the end.
  return answer(response, count < parsed.ne && le_given ? kEndReached : kOk);
}

MemoryStatus update_binary(const MemoryCard& card, uint32_t address, std::span<const uint8_t> data,
                           std::vector<uint8_t>& response) {
  if (address >= card.size) return answer(response, kWrongAddress);
  if (data.size() > card.size - address) return answer(response, kWrongLength);
  MemoryStatus status = card.write(address, data);
  if (status != MemoryStatus::ok) return status;
  std::vector<uint8_t> back(data.size());
  status = card.read(address, back);
  if (status != MemoryStatus::ok) return status;
  return answer(response, std::equal(back.begin(), back.end(), data.begin()) ? kOk : kNotTaken);
}

MemoryStatus verify(const MemoryCard& card, uint32_t index, std::span<const uint8_t> psc, std::vector<uint8_t>& response) {
  if (card.psc_length == 0) return answer(response, kNoPsc);
  if (index >= card.psc_indexes) return answer(response, kWrongAddress);
  if (psc.size() != card.psc_length) return answer(response, kWrongLength);
  const MemoryStatus status = card.verify(index, psc);
  if (status == MemoryStatus::locked) return answer(response, kLocked);
  if (status != MemoryStatus::wrong_psc) return status == MemoryStatus::ok ? answer(response, kOk) : status;
  unsigned attempts = 0;
  const MemoryStatus counted = card.attempts_left(index, attempts);
  if (counted != MemoryStatus::ok) return counted;
  if (attempts == 0) return answer(response, kLocked);
  return answer(response, Sw{kWrongPsc, static_cast<uint8_t>(kAttemptsNibble | std::min(attempts, kMaxAttemptsShown))});
}

}  // namespace

MemoryStatus answer_memory_apdu(std::span<const uint8_t> apdu, const MemoryCard& card, std::vector<uint8_t>& response) {
  response.clear();
  ParsedApdu parsed;
  if (!parse_apdu(apdu, parsed)) return answer(response, kWrongLength);
  if (apdu[0] != kClass) return answer(response, kWrongClass);
  const uint32_t address = static_cast<uint32_t>(apdu[kP1]) << 8 | apdu[kP2];
  switch (apdu[kIns]) {
    case kReadBinary:
      if (parsed.kind != ApduCase::two) return answer(response, kWrongLength);
      return read_binary(card, address, parsed, apdu[4] != 0, response);
    case kUpdateBinary:
      if (parsed.kind != ApduCase::three) return answer(response, kWrongLength);
      return update_binary(card, address, apdu.subspan(kData, parsed.lc), response);
    case kVerify:
      if (parsed.kind != ApduCase::three) return answer(response, kWrongLength);
      if (apdu[kP1] != 0) return answer(response, kWrongAddress);
      return verify(card, apdu[kP2], apdu.subspan(kData, parsed.lc), response);
    default: return answer(response, kWrongIns);
  }
}

}  // namespace kdx::ifd
