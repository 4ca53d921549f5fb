#include "serial_iso/t1_block.h"

#include <cassert>
#include <cstring>

#include "serial_iso/card_parameters.h"

namespace kdx::tarsk::t1 {
namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;
constexpr uint16_t kCrcInitial = 0xFFFF;
constexpr uint8_t kLargestIfs = 0xFE;
constexpr uint8_t kRErrorCodeLimit = 3;  // codes 0, 1, 2 exist

// LEN each S-block kind carries.
constexpr std::size_t s_length(SKind kind) { return kind == SKind::ifs || kind == SKind::wtx ? 1 : 0; }

Fault check_i_block(Parsed& parsed, std::size_t ifs) {
  if ((parsed.pcb & kIReserved) != 0) return Fault::reserved_pcb;
  if (parsed.information.size() > ifs) return Fault::too_long;
  parsed.kind = Kind::i;
  parsed.sequence = (parsed.pcb & kINs) != 0 ? 1 : 0;
  parsed.more = (parsed.pcb & kIMore) != 0;
  return Fault::none;
}

Fault check_r_block(Parsed& parsed) {
  parsed.kind = Kind::r;
  const uint8_t code = parsed.pcb & kRErrorMask;
  if ((parsed.pcb & kRReserved) != 0 || code >= kRErrorCodeLimit) return Fault::reserved_pcb;
  if (!parsed.information.empty()) return Fault::wrong_len;
  parsed.sequence = (parsed.pcb & kRNr) != 0 ? 1 : 0;
  parsed.error = static_cast<RError>(code);
  return Fault::none;
}

Fault check_s_block(Parsed& parsed) {
  parsed.kind = Kind::s;
  parsed.s_response = (parsed.pcb & kSResponse) != 0;
  const uint8_t code = parsed.pcb & kSKindMask;
  if (code > static_cast<uint8_t>(SKind::wtx)) return Fault::reserved_pcb;  // VPP error included: the host never sends a request for it
  parsed.s_kind = static_cast<SKind>(code);
  if (parsed.information.size() != s_length(parsed.s_kind)) return Fault::wrong_len;
  if (parsed.s_kind == SKind::ifs && (parsed.information[0] == 0 || parsed.information[0] > kLargestIfs)) {
    return Fault::bad_parameter;
  }
  if (parsed.s_kind == SKind::wtx && parsed.information[0] == 0) return Fault::bad_parameter;
  return Fault::none;
}

}  // namespace

uint8_t lrc(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum ^= byte;
  return sum;
}

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = kCrcInitial;
  for (uint8_t byte : bytes) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ kCrcPolynomial) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

std::size_t build(uint8_t nad, uint8_t pcb, std::span<const uint8_t> information, Edc edc, std::span<uint8_t> out) {
  assert(information.size() <= kMaxInformation);
  const std::size_t body = kPrologueSize + information.size();
  const std::size_t size = body + epilogue_size(edc);
  assert(out.size() >= size);
  out[0] = nad;
  out[1] = pcb;
  out[2] = static_cast<uint8_t>(information.size());
  if (!information.empty()) std::memcpy(out.data() + kPrologueSize, information.data(), information.size());
  const std::span<const uint8_t> covered = out.first(body);
  if (edc == Edc::lrc) {
    out[body] = lrc(covered);
  } else {
    const uint16_t crc = crc16(covered);
    out[body] = static_cast<uint8_t>(crc >> 8);
    out[body + 1] = static_cast<uint8_t>(crc & 0xFF);
  }
  return size;
}

void invert(std::span<uint8_t> bytes) {
  for (uint8_t& byte : bytes) byte = card::inverse_transform(byte);
}

Parsed parse(std::span<const uint8_t> block, Edc edc, std::size_t ifs) {
  Parsed parsed;
  const std::size_t epilogue = epilogue_size(edc);
  if (block.size() < kPrologueSize + epilogue) {
    parsed.fault = Fault::short_block;
    return parsed;
  }
  parsed.pcb = block[1];
  const std::size_t length = block[2];
  const std::size_t expected = kPrologueSize + length + epilogue;
  if (block.size() != expected) {
    parsed.fault = block.size() < expected ? Fault::short_block : Fault::long_block;
    return parsed;
  }
  const std::span<const uint8_t> covered = block.first(kPrologueSize + length);
  const bool edc_ok = edc == Edc::lrc ? lrc(block) == 0
                                      : crc16(covered) == ((block[expected - 2] << 8) | block[expected - 1]);
  if (!edc_ok) {
    parsed.fault = Fault::edc;
    return parsed;
  }
  if (block[0] != kNad) {
    parsed.fault = Fault::nad;
    return parsed;
  }
  if (length == kReservedLen) {
    parsed.fault = Fault::reserved_len;
    return parsed;
  }
  parsed.information = block.subspan(kPrologueSize, length);
  if ((parsed.pcb & kIBlockTypeMask) == 0) {
    parsed.fault = check_i_block(parsed, ifs);
  } else if ((parsed.pcb & kTypeMask) == kRBlock) {
    parsed.fault = check_r_block(parsed);
  } else {
    parsed.fault = check_s_block(parsed);
  }
  return parsed;
}

}  // namespace kdx::tarsk::t1
