#include "serial_iso/t0_codec.h"

namespace kdx::tarsk::t0 {
namespace {

constexpr uint8_t kHighNibble = 0xF0;
constexpr uint8_t kSw1Group6 = 0x60;
constexpr uint8_t kSw1Group9 = 0x90;
constexpr uint8_t kComplement = 0xFF;
constexpr uint32_t kLargestIns = 0xFF;  // INS + 1 must stay below 0x100

bool is_sw1(uint8_t byte) {
  const uint8_t group = byte & kHighNibble;
  return byte != kNull && (group == kSw1Group6 || group == kSw1Group9);
}

}  // namespace

Procedure classify(uint8_t byte, uint8_t ins) {
  if (byte == kNull) return Procedure::null;
  if (is_sw1(byte)) return Procedure::sw1;
  const bool has_next = ins < kLargestIns;
  const uint8_t next = static_cast<uint8_t>(ins + 1);
  if (byte == ins || (has_next && byte == next)) return Procedure::ack_all;
  if (byte == (ins ^ kComplement) || (has_next && byte == (next ^ kComplement))) return Procedure::ack_one;
  return Procedure::invalid;
}

const char* procedure_name(Procedure procedure) {
  switch (procedure) {
    case Procedure::null:
      return "NULL";
    case Procedure::ack_all:
      return "ACK INS";
    case Procedure::ack_one:
      return "ACK ~INS";
    case Procedure::sw1:
      return "SW1";
    case Procedure::invalid:
      break;
  }
  return "invalid";
}

std::optional<CommandShape> shape(const uint8_t* command, uint32_t length) {
  if (length < kHeaderSize || length > kMaxCommand) return std::nullopt;
  const uint32_t p3 = command[kP3At];
  if (length == kHeaderSize) return CommandShape{0, p3 == 0 ? kMaxResponseData : p3};
  const uint32_t data = length - static_cast<uint32_t>(kHeaderSize);
  if (p3 == 0 || (data != p3 && data != p3 + 1)) return std::nullopt;
  return CommandShape{p3, 0};
}

}  // namespace kdx::tarsk::t0
