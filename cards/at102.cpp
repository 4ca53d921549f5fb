// The AT102 family's core (open and close, byte operations on a memory map,
// field accessors, programming cycles, the attempt-counter procedure) and
// the AT102 driver: 196 bytes with a security code, two application zones
// with their erase keys, and the erase counter of the second zone.
//
// Nothing is cached: each operation rewinds the card's address counter
// first, and whatever the card refused shows only in what it reads back.
#include <algorithm>
#include <array>
#include <cstring>

#include "cards/at102_family.h"
#include "cards/memory_card.h"
#include "link/frame.h"
#include "link/primitives.h"
#include "link/session.h"

namespace kdx::velmor::at102 {
namespace {

constexpr uint8_t kOn = 1;
constexpr uint8_t kOff = 0;
constexpr uint32_t kProgrammingDelayMs = 5;

// One step of a programming cycle: a line set to a value, or the
// programming delay (line 0).
struct LineStep {
  uint8_t line;
  uint8_t value;
};
constexpr uint8_t kDelay = 0;
constexpr LineStep kWriteZeroCycle[] = {{kPgm, 1}, {kIo, 0}, {kClk, 1}, {kPgm, 0}, {kDelay, 0}, {kClk, 0}};
constexpr LineStep kEraseCycle[] = {{kPgm, 1}, {kIo, 1}, {kClk, 1}, {kPgm, 0}, {kDelay, 0}, {kClk, 0}};
constexpr LineStep kFuseCycle[] = {{kFus, 1}, {kPgm, 1}, {kIo, 0}, {kClk, 1}, {kPgm, 0},
                                   {kDelay, 0}, {kIo, 1}, {kClk, 0}, {kFus, 0}};

StatusCode run_steps(std::span<const LineStep> steps) {
  for (const LineStep& step : steps) {
    if (step.line == kDelay) {
      primitive::delay_1ms(kProgrammingDelayMs);
      continue;
    }
    const StatusCode status = primitive::put_io(step.line, step.value);
    if (status != ST_OK) return status;
  }
  return ST_OK;
}

uint8_t whole_memory(const CardMap& map) { return static_cast<uint8_t>(map.zones.size() - 1); }

// The zone's checks; on ST_OK with a non-zero length, `card_address` is
// where the bytes start on the card.
StatusCode check(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, const void* data,
                 uint16_t& card_address) {
  const bool zone_valid = zone < map.zones.size();
  const StatusCode status =
      cards::check_access(zone_valid, address, length, zone_valid ? map.zones[zone].size : 0, data);
  if (status == ST_OK && length != 0) card_address = static_cast<uint16_t>(map.zones[zone].base + address);
  return status;
}

}  // namespace

StatusCode open_card() {
  if (!link::is_open()) return ST_NOT_OPEN;
  StatusCode status = session::test_door();
  if (status != ST_OK) return status;
  status = primitive::power(kPower, kOn);
  if (status != ST_OK) return status;
  return primitive::single_step(kRewind);
}

StatusCode close_card() {
  if (!link::is_open()) return ST_NOT_OPEN;
  return primitive::power(kPower, kOff);
}

StatusCode position(uint16_t byte_address) {
  const StatusCode status = primitive::single_step(kRewind);
  if (status != ST_OK) return status;
  return primitive::multi_step(kAdvance, byte_address);
}

StatusCode read(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, uint8_t* destination) {
  uint16_t card_address = 0;
  StatusCode status = check(map, address, length, zone, destination, card_address);
  if (status != ST_OK || length == 0) return status;
  status = position(card_address);
  if (status != ST_OK) return status;
  // Read into a buffer of our own: the caller's bytes change only when
  // every frame came in whole.
  std::array<uint8_t, kLargeMemorySize> bytes{};
  for (std::size_t done = 0; done < length;) {
    const auto piece = static_cast<uint16_t>(std::min<std::size_t>(length - done, map.read_piece));
    status = cards::clock_in_frame(kRead, bytes.data() + done, piece);
    if (status != ST_OK) return status;
    done += piece;
  }
  std::memcpy(destination, bytes.data(), length);
  return ST_OK;
}

StatusCode write(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone, const uint8_t* source) {
  uint16_t card_address = 0;
  StatusCode status = check(map, address, length, zone, source, card_address);
  if (status != ST_OK || length == 0) return status;
  status = position(card_address);
  for (std::size_t done = 0; status == ST_OK && done < length;) {
    const auto piece = static_cast<uint16_t>(std::min<std::size_t>(length - done, kWritePiece));
    status = primitive::out_byte(kWrite, source + done, piece);
    done += piece;
  }
  return status;
}

StatusCode erase(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone) {
  uint16_t card_address = 0;
  // Nothing is copied: any non-null pointer passes the pointer check.
  StatusCode status = check(map, address, length, zone, &map, card_address);
  if (status != ST_OK || length == 0) return status;
  status = position(card_address);
  for (std::size_t done = 0; status == ST_OK && done < length;) {
    const auto piece = static_cast<uint16_t>(std::min<std::size_t>(length - done, kErasePiece));
    status = primitive::multi_step(map.erase_code, piece);
    done += piece;
  }
  return status;
}

StatusCode erase_and_write(const CardMap& map, uint16_t address, uint16_t length, uint8_t zone,
                           const uint8_t* source) {
  uint16_t card_address = 0;
  const StatusCode status = check(map, address, length, zone, source, card_address);
  if (status != ST_OK || length == 0) return status;
  const StatusCode erased = erase(map, address, length, zone);
  return erased != ST_OK ? erased : write(map, address, length, zone, source);
}

StatusCode read_value(const CardMap& map, uint16_t address, uint8_t zone, uint32_t* out) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (out == nullptr) return ST_BAD_PARAMETER;
  uint8_t bytes[cards::kValueSize] = {};
  const StatusCode status = read(map, address, cards::kValueSize, zone, bytes);
  if (status != ST_OK) return status;
  uint32_t value = 0;
  for (std::size_t i = cards::kValueSize; i-- > 0;) value = (value << 8) | bytes[i];
  *out = value;
  return ST_OK;
}

StatusCode write_value(const CardMap& map, uint16_t address, uint8_t zone, uint32_t value) {
  uint8_t bytes[cards::kValueSize];
  cards::store_value(value, bytes);
  return erase_and_write(map, address, cards::kValueSize, zone, bytes);
}

StatusCode read_field(const CardMap& map, const Field& field, uint8_t* destination) {
  return read(map, field.address, field.size, whole_memory(map), destination);
}

StatusCode write_field(const CardMap& map, const Field& field, const uint8_t* source) {
  return erase_and_write(map, field.address, field.size, whole_memory(map), source);
}

StatusCode read_indexed(const CardMap& map, std::span<const Field> fields, uint8_t index, uint8_t* destination) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= fields.size()) return ST_BAD_INDEX;
  return read_field(map, fields[index], destination);
}

StatusCode read_counter(const CardMap& map, uint8_t index, uint8_t* destination) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= map.counters.size() || !map.counters[index]) return ST_BAD_INDEX;
  return read_field(map, *map.counters[index], destination);
}

StatusCode write_indexed(const CardMap& map, std::span<const Field> fields, uint8_t index, const uint8_t* source) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= fields.size()) return ST_BAD_INDEX;
  return write_field(map, fields[index], source);
}

StatusCode clock_pulses(unsigned count) { return cards::pulse_line(kClk, count); }
StatusCode write_zero_cycle() { return run_steps(kWriteZeroCycle); }
StatusCode erase_cycle() { return run_steps(kEraseCycle); }
StatusCode fuse_cycle() { return run_steps(kFuseCycle); }

StatusCode counter_procedure(unsigned bits, unsigned& searched) {
  searched = 0;
  StatusCode status = primitive::put_io(kIo, 1);
  if (status != ST_OK) return status;
  uint8_t bit = 0;
  status = primitive::get_io(kIo, bit);
  // Bound: at most `bits` pulses; the bit after the counter belongs to the
  // next field and is never read.
  while (status == ST_OK && bit == 0) {
    status = clock_pulses(1);
    if (status != ST_OK) return status;
    if (++searched == bits) return ST_WRONG_PASSWORD;
    status = primitive::get_io(kIo, bit);
  }
  if (status != ST_OK) return status;
  status = write_zero_cycle();
  if (status != ST_OK) return status;
  return erase_cycle();
}

StatusCode present_code(uint16_t code_address, const uint8_t* code, std::size_t size) {
  StatusCode status = position(code_address);
  for (std::size_t i = 0; status == ST_OK && i < size; ++i) status = primitive::power(kCompare, code[i]);
  return status;
}

StatusCode verify_with_counter(unsigned bits, unsigned closing) {
  unsigned searched = 0;
  StatusCode status = counter_procedure(bits, searched);
  if (status != ST_OK) return status;
  uint8_t bit = 0;
  status = primitive::get_io(kIo, bit);
  if (status != ST_OK) return status;
  const StatusCode result = bit != 0 ? ST_OK : ST_WRONG_PASSWORD;
  status = clock_pulses(closing - searched);
  return status != ST_OK ? status : result;
}

StatusCode write_fuse(uint16_t fuse_address) {
  if (!link::is_open()) return ST_NOT_OPEN;
  const StatusCode status = position(fuse_address);
  return status != ST_OK ? status : fuse_cycle();
}

namespace {

namespace m = map102;
constexpr uint8_t kZone1 = 0, kZone2 = 1;
// Closing pulses after the searches: the security code's counter is 4
// bits; after the erase counter the driver gives 129 - n.
constexpr unsigned kScClosing = m::kScAttempts;
constexpr unsigned kEc2Closing = m::kEc2Erases + 1;

StatusCode verify_pwd(uint8_t first, uint8_t second) {
  if (!link::is_open()) return ST_NOT_OPEN;
  const uint8_t code[] = {first, second};
  const StatusCode status = present_code(m::kSc.address, code, sizeof code);
  return status != ST_OK ? status : verify_with_counter(m::kScAttempts, kScClosing);
}

StatusCode erase_app(bool use_counter, uint8_t zone, const uint8_t (&key)[6]) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (zone != kZone1 && zone != kZone2) return ST_BAD_ZONE;
  const Field& field = zone == kZone1 ? m::kEz1 : m::kEz2;
  StatusCode status = present_code(field.address, key, field.size);
  if (status != ST_OK) return status;
  if (zone == kZone2 && use_counter) {
    unsigned searched = 0;
    status = counter_procedure(m::kEc2Erases, searched);
    if (status != ST_OK) return status;
    return clock_pulses(kEc2Closing - searched);
  }
  status = erase_cycle();
  return status != ST_OK ? status : clock_pulses(1);
}

StatusCode az2_erase_unlimited() {
  if (!link::is_open()) return ST_NOT_OPEN;
  StatusCode status = position(m::kAz2UnlimitedByte);
  if (status == ST_OK) status = clock_pulses(1);
  return status != ST_OK ? status : fuse_cycle();
}

StatusCode erase_global() {
  if (!link::is_open()) return ST_NOT_OPEN;
  const StatusCode status = position(m::kGlobalErase);
  return status != ST_OK ? status : erase_cycle();
}

}  // namespace
}  // namespace kdx::velmor::at102

using namespace kdx::velmor;
using at102::kAt102;
using cards::low8;

extern "C" {

KDX_API StatusCode KDX_CALL AT102_OpenCard(void) { return at102::open_card(); }
KDX_API StatusCode KDX_CALL AT102_CloseCard(void) { return at102::close_card(); }
KDX_API StatusCode KDX_CALL AT1604_OpenCard(void) { return at102::open_card(); }
KDX_API StatusCode KDX_CALL AT1604_CloseCard(void) { return at102::close_card(); }
KDX_API StatusCode KDX_CALL AT6601_OpenCard(void) { return at102::open_card(); }
KDX_API StatusCode KDX_CALL AT6601_CloseCard(void) { return at102::close_card(); }

KDX_API StatusCode KDX_CALL AT102_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination) {
  return at102::read(kAt102, low8(address), low8(length), low8(zone), destination);
}

KDX_API StatusCode KDX_CALL AT102_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source) {
  return at102::write(kAt102, low8(address), low8(length), low8(zone), source);
}

KDX_API StatusCode KDX_CALL AT102_EraseWord(uint32_t address, uint32_t length, uint32_t zone) {
  return at102::erase(kAt102, low8(address), low8(length), low8(zone));
}

KDX_API StatusCode KDX_CALL AT102_ReadValue(uint32_t address, uint32_t zone, uint32_t* out) {
  return at102::read_value(kAt102, low8(address), low8(zone), out);
}

KDX_API StatusCode KDX_CALL AT102_WriteValue(uint32_t address, uint32_t zone, uint32_t value) {
  return at102::write_value(kAt102, low8(address), low8(zone), value);
}

KDX_API StatusCode KDX_CALL AT102_VerifyPWD(uint32_t first, uint32_t second) {
  return at102::verify_pwd(low8(first), low8(second));
}

KDX_API StatusCode KDX_CALL AT102_EraseApp(uint32_t use_counter, uint32_t zone, uint32_t k1, uint32_t k2, uint32_t k3,
                                           uint32_t k4, uint32_t k5, uint32_t k6) {
  const uint8_t key[] = {low8(k1), low8(k2), low8(k3), low8(k4), low8(k5), low8(k6)};
  return at102::erase_app(low8(use_counter) != 0, low8(zone), key);
}

KDX_API StatusCode KDX_CALL AT102_WriteFuse(void) { return at102::write_fuse(at102::map102::kFuse); }
KDX_API StatusCode KDX_CALL AT102_AZ2EraseUnlimited(void) { return at102::az2_erase_unlimited(); }
KDX_API StatusCode KDX_CALL AT102_EraseGlobal(void) { return at102::erase_global(); }

KDX_API StatusCode KDX_CALL AT102_ReadFC(uint8_t* destination) { return at102::read_field(kAt102, kAt102.fc, destination); }
KDX_API StatusCode KDX_CALL AT102_ReadIC(uint8_t* destination) { return at102::read_field(kAt102, kAt102.ic, destination); }
KDX_API StatusCode KDX_CALL AT102_WriteIC(const uint8_t* source) { return at102::write_field(kAt102, kAt102.ic, source); }
KDX_API StatusCode KDX_CALL AT102_ReadCPZ(uint8_t* destination) {
  return at102::read_field(kAt102, kAt102.cpz, destination);
}
KDX_API StatusCode KDX_CALL AT102_WriteCPZ(const uint8_t* source) {
  return at102::write_field(kAt102, kAt102.cpz, source);
}
KDX_API StatusCode KDX_CALL AT102_ReadMTZ(uint8_t* destination) {
  return at102::read_field(kAt102, kAt102.mtz, destination);
}
KDX_API StatusCode KDX_CALL AT102_WriteMTZ(const uint8_t* source) {
  return at102::write_field(kAt102, kAt102.mtz, source);
}
KDX_API StatusCode KDX_CALL AT102_ReadPAC(uint32_t index, uint8_t* destination) {
  return at102::read_counter(kAt102, low8(index), destination);
}
KDX_API StatusCode KDX_CALL AT102_ReadPWD(uint32_t index, uint8_t* destination) {
  return at102::read_indexed(kAt102, kAt102.codes, low8(index), destination);
}
KDX_API StatusCode KDX_CALL AT102_WritePWD(uint32_t index, const uint8_t* source) {
  return at102::write_indexed(kAt102, kAt102.codes, low8(index), source);
}

}  // extern "C"
