#include "pcsc/memory_apdu.h"

#include <algorithm>

#include "iso7816/codes.h"
#include "pcsc/t0_mapping.h"

namespace kdx::ifd {
namespace {

namespace iso = kdx::iso7816;
constexpr unsigned kMaxAttemptsShown = 15;

MemoryStatus answer(std::vector<uint8_t>& response, uint16_t sw) {
  response.push_back(static_cast<uint8_t>(sw >> 8));
  response.push_back(static_cast<uint8_t>(sw & 0xFF));
  return MemoryStatus::ok;
}

MemoryStatus read_binary(const MemoryCard& card, uint32_t address, const ParsedApdu& parsed, bool le_given,
                         std::vector<uint8_t>& response) {
  if (address >= card.size) return answer(response, iso::kWrongP1P2);
  const std::size_t count = std::min(parsed.ne, card.size - address);
  std::vector<uint8_t> data(count);
  const MemoryStatus status = card.read(address, data);
  if (status != MemoryStatus::ok) return status;
  response = data;
  // Le 00 asks for everything up to 256 bytes: no warning at the end.
  return answer(response, count < parsed.ne && le_given ? iso::kEndReached : iso::kOk);
}

MemoryStatus update_binary(const MemoryCard& card, uint32_t address, std::span<const uint8_t> data,
                           std::vector<uint8_t>& response) {
  if (address >= card.size) return answer(response, iso::kWrongP1P2);
  if (data.size() > card.size - address) return answer(response, iso::kWrongLength);
  MemoryStatus status = card.write(address, data);
  if (status != MemoryStatus::ok) return status;
  std::vector<uint8_t> back(data.size());
  status = card.read(address, back);
  if (status != MemoryStatus::ok) return status;
  return answer(response, std::equal(back.begin(), back.end(), data.begin()) ? iso::kOk : iso::kSecurityNotSatisfied);
}

MemoryStatus verify(const MemoryCard& card, uint32_t index, std::span<const uint8_t> psc, std::vector<uint8_t>& response) {
  if (card.psc_length == 0) return answer(response, iso::kFunctionNotSupported);
  if (index >= card.psc_indexes) return answer(response, iso::kWrongP1P2);
  if (psc.size() != card.psc_length) return answer(response, iso::kWrongLength);
  const MemoryStatus status = card.verify(index, psc);
  if (status == MemoryStatus::locked) return answer(response, iso::kBlocked);
  if (status != MemoryStatus::wrong_psc) return status == MemoryStatus::ok ? answer(response, iso::kOk) : status;
  unsigned attempts = 0;
  const MemoryStatus counted = card.attempts_left(index, attempts);
  if (counted != MemoryStatus::ok) return counted;
  if (attempts == 0) return answer(response, iso::kBlocked);
  return answer(response, static_cast<uint16_t>(iso::kWrongCode << 8 | iso::kAttemptsMarker | std::min(attempts, kMaxAttemptsShown)));
}

}  // namespace

MemoryStatus answer_memory_apdu(std::span<const uint8_t> apdu, const MemoryCard& card, std::vector<uint8_t>& response) {
  response.clear();
  ParsedApdu parsed;
  if (!parse_apdu(apdu, parsed)) return answer(response, iso::kWrongLength);
  if (apdu[iso::kCla] != iso::kClassReader) return answer(response, iso::kClassNotSupported);
  const uint32_t address = static_cast<uint32_t>(apdu[iso::kP1]) << 8 | apdu[iso::kP2];
  switch (apdu[iso::kIns]) {
    case iso::kReadBinary:
      if (parsed.kind != ApduCase::two) return answer(response, iso::kWrongLength);
      return read_binary(card, address, parsed, apdu[iso::kP3] != 0, response);
    case iso::kUpdateBinary:
      if (parsed.kind != ApduCase::three) return answer(response, iso::kWrongLength);
      return update_binary(card, address, apdu.subspan(iso::kHeader + 1, parsed.lc), response);
    case iso::kVerify:
      if (parsed.kind != ApduCase::three) return answer(response, iso::kWrongLength);
      if (apdu[iso::kP1] != 0) return answer(response, iso::kWrongP1P2);
      return verify(card, apdu[iso::kP2], apdu.subspan(iso::kHeader + 1, parsed.lc), response);
    default: return answer(response, iso::kInsNotSupported);
  }
}

}  // namespace kdx::ifd
