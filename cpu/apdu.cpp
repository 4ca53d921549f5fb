// One T=0 command APDU through the reader, given and answered as hex text.
//
// The host sends the five header bytes with command 62 and then polls the
// ISO buffer without pause, looking at one card byte per read: procedure
// bytes (INS, INS complemented, NULL) steer the exchange, anything else is
// the status word, preceded by the data of a command that reads. Each read
// returns everything since the last transmission, so the host keeps its own
// read position. A NULL byte buys the card 4000 ms more; a card silent past
// the deadline is reported as "6F00", and so is one that is still sending
// NULLs when the whole call reaches kCallLimitMs.
#include <cstring>

#include "cpu/cpu_card.h"
#include "link/frame.h"
#include "link/primitives.h"
#include "link/reader_codes.h"
#include "link/velmor_state.h"

namespace kdx::velmor::cpu {
namespace {

constexpr uint8_t kNull = 0x60;
constexpr uint8_t kComplement = 0xFF;
constexpr uint32_t kDeadlineMs = 4000;
constexpr uint32_t kNullExtensionMs = 4000;
constexpr uint32_t kResponsePauseMs = 1000;
// No exchange takes longer than this from its start, however many NULL bytes
// the card sends; past it the exchange counts as timed out.
constexpr uint32_t kCallLimitMs = KDX_VELMOR_APDU_LIMIT_MS;
constexpr uint8_t kProtocolT0 = 0;

constexpr std::size_t kHeaderLength = 5;
constexpr std::size_t kIns = 1;
constexpr std::size_t kP3 = 4;
constexpr std::size_t kApduSize = 200;
constexpr std::size_t kMaxCommandDigits = 2 * kApduSize;
// The most data a command APDU holds behind its header; one command 62
// carries them all.
constexpr std::size_t kMaxCommandData = kApduSize - kHeaderLength;
constexpr std::size_t kMaxResponseBytes = (kResponseTextSize - 1) / 2;
constexpr char kTimedOut[] = "6F00";
constexpr char kHexDigits[] = "0123456789ABCDEF";

static_assert(kMaxCommandData <= link::kMaxCommandData);
static_assert(sizeof kTimedOut <= kResponseTextSize);

int hex_value(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

struct CommandApdu {
  uint8_t bytes[kApduSize] = {};  // CLA INS P1 P2 P3 data; what the text leaves out is 00
  std::size_t length = 0;
};

// Length first, then the digits, then the conversion, so that a text of odd
// length is refused before any character is looked at.
StatusCode parse_command(const char* text, CommandApdu& apdu) {
  std::size_t digits = 0;
  while (digits <= kMaxCommandDigits && text[digits] != '\0') ++digits;
  if (digits > kMaxCommandDigits || digits % 2 != 0) return ST_APDU_LENGTH;
  for (std::size_t i = 0; i < digits; ++i) {
    if (hex_value(text[i]) < 0) return ST_BAD_PARAMETER;
  }
  apdu.length = digits / 2;
  for (std::size_t i = 0; i < apdu.length; ++i) {
    apdu.bytes[i] = static_cast<uint8_t>(hex_value(text[2 * i]) << 4 | hex_value(text[2 * i + 1]));
  }
  return ST_OK;
}

// Command 62 with `count` bytes for the card, and the reader's response.
StatusCode transmit(const uint8_t* data, std::size_t count) {
  if (!link::build_command(reader::kCpuTransmit, data, count)) return ST_BAD_PARAMETER;
  const StatusCode status = link::send_command();
  if (status != ST_OK) return status;
  return link::receive_response();
}

enum class Verdict : uint8_t { waiting, complete, data_sent, timed_out, failed };

class Exchange {
 public:
  Exchange(const CommandApdu& apdu, uint32_t call_start)
      : apdu_(apdu),
        ins_(apdu.bytes[kIns]),
        outstanding_(apdu.bytes[kP3] + 2u),
        to_send_(apdu.bytes[kP3]),
        call_start_(call_start) {}

  // The three cases of T=0, told apart by P3 and the length of the text.
  Verdict run() {
    if (apdu_.bytes[kP3] == 0) return wait(&Exchange::no_data);
    if (apdu_.length == kHeaderLength) return wait(&Exchange::data_from_card);
    const Verdict sending = wait(&Exchange::data_to_card);
    if (sending == Verdict::timed_out) platform::sleep_ms(kResponsePauseMs);
    if (sending != Verdict::data_sent) return sending;
    platform::sleep_ms(kResponsePauseMs);
    return wait(&Exchange::no_data);
  }

  StatusCode failure() const { return failure_; }

  // The response as upper-case hex text with its terminator.
  void write_text(char* text) const {
    for (std::size_t i = 0; i < response_length_; ++i) {
      *text++ = kHexDigits[response_[i] >> 4];
      *text++ = kHexDigits[response_[i] & 0x0F];
    }
    *text = '\0';
  }

 private:
  using Rule = Verdict (Exchange::*)();

  // Polls until the rule decides or the deadline passes. Each pass measures
  // the time before it reads, so a byte that arrives by the last read still
  // counts.
  Verdict wait(Rule rule) {
    start_ = platform::tick_count();
    deadline_ms_ = kDeadlineMs;
    position_ = 0;
    for (;;) {
      const uint32_t elapsed = platform::tick_count() - start_;
      if (read_iso_buffer(card_, sizeof card_, received_) != ST_OK) return fail(ST_COMM_ERROR);
      if (received_ > position_) {
        const Verdict verdict = (this->*rule)();
        if (verdict != Verdict::waiting) return verdict;
      }
      if (elapsed >= deadline_ms_ || platform::tick_count() - call_start_ >= kCallLimitMs) return Verdict::timed_out;
    }
  }

  // Case 1, and the card's answer after the data of case 3.
  Verdict no_data() {
    if (card_[position_] == kNull) return null_byte();
    return take_as_status();
  }

  // Case 2: P3 data bytes and the status word expected from the card.
  Verdict data_from_card() {
    const uint8_t byte = card_[position_];
    const std::size_t behind = received_ - position_ - 1;
    if (byte == ins_ && behind >= outstanding_) {
      append(card_ + position_ + 1, behind);
      return Verdict::complete;
    }
    if (byte == (ins_ ^ kComplement) && behind >= 1) {
      append(card_ + position_ + 1, 1);
      position_ += 2;
      return --outstanding_ == 0 ? Verdict::complete : Verdict::waiting;
    }
    if (byte == kNull) return null_byte();
    if (byte == ins_ || byte == (ins_ ^ kComplement)) return Verdict::waiting;
    return take_as_status();
  }

  // Case 3: P3 data bytes for the card, all at once after INS or one at a
  // time after each INS complemented. Anything else refuses the command
  // before its data.
  Verdict data_to_card() {
    const uint8_t byte = card_[position_];
    const uint8_t* next = apdu_.bytes + kHeaderLength + (apdu_.bytes[kP3] - to_send_);
    if (byte == ins_) {
      const StatusCode status = transmit(next, to_send_);
      if (status != ST_OK) return fail(status);
      to_send_ = 0;
      return Verdict::data_sent;
    }
    if (byte == (ins_ ^ kComplement)) {
      const StatusCode status = transmit(next, 1);
      if (status != ST_OK) return fail(status);
      position_ = 0;
      return --to_send_ == 0 ? Verdict::data_sent : Verdict::waiting;
    }
    if (byte == kNull) return null_byte();
    return take_as_status();
  }

  Verdict null_byte() {
    deadline_ms_ += kNullExtensionMs;
    ++position_;
    return Verdict::waiting;
  }

  // Everything from the read position on joins the response; two bytes or
  // more make it a complete answer.
  Verdict take_as_status() {
    append(card_ + position_, received_ - position_);
    position_ = received_;
    return response_length_ >= 2 ? Verdict::complete : Verdict::waiting;
  }

  // Bound: the caller's text holds 195 bytes; a card that sends more in one
  // exchange has the excess dropped.
  void append(const uint8_t* bytes, std::size_t count) {
    const std::size_t room = kMaxResponseBytes - response_length_;
    if (count > room) count = room;
    std::memcpy(response_ + response_length_, bytes, count);
    response_length_ += count;
  }

  Verdict fail(StatusCode status) {
    failure_ = status;
    return Verdict::failed;
  }

  const CommandApdu& apdu_;
  const uint8_t ins_;
  std::size_t outstanding_;
  std::size_t to_send_;
  uint8_t card_[link::kMaxResponseData] = {};
  std::size_t received_ = 0;
  std::size_t position_ = 0;
  const uint32_t call_start_;
  uint32_t start_ = 0;
  uint32_t deadline_ms_ = kDeadlineMs;
  uint8_t response_[kMaxResponseBytes] = {};
  std::size_t response_length_ = 0;
  StatusCode failure_ = ST_OK;
};

}  // namespace

StatusCode iso_apdu(const char* command, char* response) {
  CommandApdu apdu;
  StatusCode status = parse_command(command, apdu);
  if (status != ST_OK) return status;
  // Only T=0 passes through the reader.
  if (g_velmor.CardProtocol != kProtocolT0) return ST_PROTOCOL_UNSUPPORTED;
  const uint8_t p3 = apdu.bytes[kP3];
  if (p3 == 0 && apdu.length > kHeaderLength) return ST_APDU_FORMAT;
  if (apdu.length > kHeaderLength && p3 > kMaxCommandData) return ST_APDU_LENGTH;

  const uint32_t call_start = platform::tick_count();
  status = transmit(apdu.bytes, kHeaderLength);
  if (status != ST_OK) return status;
  Exchange exchange(apdu, call_start);
  const Verdict verdict = exchange.run();
  if (verdict == Verdict::failed) return exchange.failure();
  primitive::clear_iso_buffer();
  if (verdict == Verdict::complete) {
    exchange.write_text(response);
  } else {
    std::memcpy(response, kTimedOut, sizeof kTimedOut);
  }
  return ST_OK;
}

}  // namespace kdx::velmor::cpu

using namespace kdx::velmor;

extern "C" KDX_API StatusCode KDX_CALL CPU_IsoAPDU(const char* command, char* response) {
  if (!cpu::port_open()) return ST_NOT_OPEN;
  if (command == nullptr || response == nullptr) return ST_BAD_PARAMETER;
  return cpu::iso_apdu(command, response);
}
