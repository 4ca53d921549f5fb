#include "kdx/t1_trace.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <span>

#include "serial_iso/atr_interpretation.h"
#include "serial_iso/card_parameters.h"
#include "serial_iso/t1_block.h"
#include "serial_iso/t1_exchange.h"
#include "serial_iso/tarsk_state.h"
#include "sim/serial_line_device.h"

namespace kdx::tool {
namespace {

namespace t1 = kdx::tarsk::t1;
namespace atr = kdx::tarsk::atr;

constexpr uint8_t kPpss = 0xFF;
constexpr uint8_t kPpsOptionalMask = 0x70;  // PPS0 bits announcing PPS1 to PPS3
constexpr uint8_t kPpsProtocolMask = 0x0F;
constexpr std::size_t kPpsFixedBytes = 3;   // PPSS PPS0 PCK

std::string dec(std::size_t value) { return std::to_string(value); }
std::string hex2(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value));
  return text;
}

const char* s_kind_name(t1::SKind kind) {
  switch (kind) {
    case t1::SKind::resynch: return "RESYNCH";
    case t1::SKind::ifs: return "IFS";
    case t1::SKind::abort: return "ABORT";
    case t1::SKind::wtx: return "WTX";
  }
  return "?";
}

// A block that parsed: what it is.
std::string describe_valid(const t1::Parsed& block) {
  switch (block.kind) {
    case t1::Kind::i: {
      const std::size_t size = block.information.size();
      return "I(" + dec(block.sequence) + (block.more ? ",M) " : ") ") + dec(size) + (size == 1 ? " byte" : " bytes");
    }
    case t1::Kind::r: {
      const char* error = block.error == t1::RError::none             ? ""
                          : block.error == t1::RError::edc_or_parity ? " EDC/parity error"
                                                                     : " other error";
      return "R(" + dec(block.sequence) + ")" + error;
    }
    case t1::Kind::s: {
      std::string text = std::string("S(") + s_kind_name(block.s_kind) + (block.s_response ? " response" : " request");
      if (!block.information.empty()) text.append(" ").append(dec(block.information[0]));
      return text + ")";
    }
  }
  return "?";
}

// Assembles the blocks of one direction and names them.
class Assembler {
 public:
  bool empty() const { return bytes_.empty(); }
  void clear() { bytes_.clear(); }

  // Adds a byte as it is meant (the convention undone); returns true when it
  // completed a block, now in bytes().
  bool add(uint8_t byte, t1::Edc edc) {
    bytes_.push_back(byte);
    if (bytes_.size() < t1::kPrologueSize) return false;
    return bytes_.size() == t1::kPrologueSize + bytes_[2] + t1::epilogue_size(edc);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

std::string describe(const std::vector<uint8_t>& bytes, t1::Edc edc, std::size_t ifs, const char* ifs_name) {
  const t1::Parsed block = t1::parse(bytes, edc, ifs);
  switch (block.fault) {
    case t1::Fault::none: return describe_valid(block);
    case t1::Fault::edc: {
      if (bytes[2] == t1::kReservedLen) return "LEN 255 (reserved), bad EDC";
      // What the block says, had its EDC been right.
      std::array<uint8_t, t1::kMaxBlockSize> fixed{};
      const std::size_t information = bytes.size() - t1::kPrologueSize - t1::epilogue_size(edc);
      const std::size_t size = t1::build(bytes[0], bytes[1], std::span(bytes).subspan(t1::kPrologueSize, information),
                                         edc, fixed);
      const std::string meant = describe(std::vector<uint8_t>(fixed.begin(), fixed.begin() + static_cast<std::ptrdiff_t>(size)),
                                         edc, ifs, ifs_name);
      return meant + ", bad EDC";
    }
    case t1::Fault::short_block:
      return "incomplete block: " + dec(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    case t1::Fault::long_block: return "block longer than its LEN";
    case t1::Fault::nad: return "NAD " + hex2(bytes[0]) + " (not 00), invalid block";
    case t1::Fault::reserved_len: return "LEN 255 (reserved), invalid block";
    case t1::Fault::too_long:
      return "I-block of " + dec(bytes[2]) + " bytes, longer than " + ifs_name + " " + dec(ifs);
    case t1::Fault::reserved_pcb: return "PCB " + hex2(bytes[1]) + ": reserved bits or no known kind, invalid block";
    case t1::Fault::wrong_len: return "PCB " + hex2(bytes[1]) + " with LEN " + dec(bytes[2]) + ": wrong for its kind";
    case t1::Fault::bad_parameter:
      return "PCB " + hex2(bytes[1]) + " with " + dec(bytes[3]) + ": value not allowed";
  }
  return "?";
}

class Decoder {
 public:
  explicit Decoder(std::vector<DecodedBlock>& out) : out_(out) {}

  void reset(bool held, std::size_t event) {
    flush(event);
    if (held) {
      phase_ = Phase::in_reset;
    } else if (phase_ == Phase::in_reset) {
      phase_ = Phase::atr;
      atr_.clear();
    }
  }

  void host(uint8_t wire, std::size_t event) {
    if (phase_ == Phase::atr) phase_ = Phase::other;  // the host spoke before the ATR was whole
    if (phase_ == Phase::in_reset || phase_ == Phase::other) return;
    const uint8_t byte = meant(wire);
    if (phase_ == Phase::after_atr && byte == kPpss) {
      phase_ = Phase::pps;
      pps_request_.clear();
      pps_answer_.clear();
    }
    if (phase_ == Phase::pps) {
      if (!pps_answer_.empty()) phase_ = Phase::other;  // a second request: not followed
      pps_request_.push_back(byte);
      return;
    }
    if (phase_ == Phase::after_atr) phase_ = t1_ ? Phase::t1 : Phase::other;
    if (phase_ != Phase::t1) return;
    if (!from_card_.empty()) emit(from_card_, true, event);
    if (host_.add(byte, edc_)) emit(host_, false, event);
  }

  void card(uint8_t wire, std::size_t event) {
    switch (phase_) {
      case Phase::atr: return atr_byte(wire, event);
      case Phase::pps: return pps_byte(meant(wire), event);
      case Phase::t1: break;
      default: return;
    }
    if (!host_.empty()) emit(host_, false, event);
    if (from_card_.add(meant(wire), edc_)) emit(from_card_, true, event);
  }

  void flush(std::size_t event) {
    if (!host_.empty()) emit(host_, false, event);
    if (!from_card_.empty()) emit(from_card_, true, event);
  }

 private:
  // in_reset: nothing to read; atr: the card's answer to reset; after_atr:
  // before the first host byte (a PPS request, or the protocol's first);
  // other: a protocol this decoder leaves alone.
  enum class Phase : uint8_t { unknown, in_reset, atr, after_atr, pps, t1, other };

  uint8_t meant(uint8_t wire) const { return inverse_ ? tarsk::card::inverse_transform(wire) : wire; }

  void atr_byte(uint8_t wire, std::size_t event) {
    if (atr_.size() >= tarsk::kAtrCapacity) {
      phase_ = Phase::other;
      return;
    }
    atr_.push_back(wire);
    CardRecord record{};
    record.atr_length = static_cast<uint8_t>(atr_.size());
    std::memcpy(record.atr, atr_.data(), atr_.size());
    atr::PortParameters port{9600, KDX_STOPBITS_TWO};
    const StatusCode status = atr::interpret(record, port);
    if (status == ST_ATR_INCOMPLETE) return;
    if (status != ST_OK) {
      phase_ = Phase::other;
      return;
    }
    inverse_ = record.inverse_convention != 0;
    edc_ = record.edc_kind != 0 ? t1::Edc::crc : t1::Edc::lrc;
    atr_ifsc_ = atr::announced_ifsc(record);
    ifsc_ = atr_ifsc_;
    ifsd_ = tarsk::kHostIfsd;
    t1_ = record.protocol == tarsk::kProtocolT1;
    phase_ = Phase::after_atr;
    std::string text = std::string("ATR: ") + (t1_ ? "T=1" : "T=0") + (inverse_ ? ", inverse convention" : "");
    if (t1_) text += ", IFSC " + dec(ifsc_) + (edc_ == t1::Edc::crc ? ", CRC" : ", LRC");
    out_.push_back({event, true, text});
  }

  static std::size_t pps_size(const std::vector<uint8_t>& message) {
    return message.size() < 2 ? SIZE_MAX : kPpsFixedBytes + std::popcount(static_cast<unsigned>(message[1] & kPpsOptionalMask));
  }

  void pps_byte(uint8_t byte, std::size_t event) {
    pps_answer_.push_back(byte);
    if (pps_answer_.size() < pps_size(pps_answer_)) return;
    const bool accepted = pps_answer_[0] == kPpss && pps_request_.size() >= 2 &&
                          (pps_answer_[1] & kPpsProtocolMask) == (pps_request_[1] & kPpsProtocolMask);
    const unsigned t = pps_answer_[1] & kPpsProtocolMask;
    out_.push_back({event, true, accepted ? "PPS answer: T=" + dec(t) + " in force" : "PPS answer refused"});
    t1_ = accepted && t == 1;
    phase_ = t1_ ? Phase::after_atr : Phase::other;
  }

  void emit(Assembler& assembler, bool from_card, std::size_t event) {
    const std::vector<uint8_t>& bytes = assembler.bytes();
    const std::size_t ifs = from_card ? ifsd_ : ifsc_;
    out_.push_back({event, from_card, describe(bytes, edc_, ifs, from_card ? "IFSD" : "IFSC")});
    follow(t1::parse(bytes, edc_, ifs), from_card);
    assembler.clear();
  }

  // The information sizes the blocks agree on.
  void follow(const t1::Parsed& block, bool from_card) {
    if (block.fault != t1::Fault::none || block.kind != t1::Kind::s || !block.s_response) return;
    if (block.s_kind == t1::SKind::ifs) {
      // The response confirms the value the other side asked for.
      (from_card ? ifsd_ : ifsc_) = block.information[0];
    } else if (block.s_kind == t1::SKind::resynch && from_card) {
      ifsc_ = atr_ifsc_;
      ifsd_ = tarsk::kHostIfsd;
    }
  }

  std::vector<DecodedBlock>& out_;
  Phase phase_ = Phase::unknown;
  std::vector<uint8_t> atr_;
  std::vector<uint8_t> pps_request_;
  std::vector<uint8_t> pps_answer_;
  bool inverse_ = false;
  bool t1_ = false;
  t1::Edc edc_ = t1::Edc::lrc;
  std::size_t atr_ifsc_ = atr::kDefaultIfsc;
  std::size_t ifsc_ = atr::kDefaultIfsc;
  std::size_t ifsd_ = tarsk::kHostIfsd;
  Assembler host_;
  Assembler from_card_;
};

// Whether the bytes the line returns right after write `index` are its echo.
bool echoed(const std::vector<LineEvent>& events, std::size_t index) {
  const std::vector<uint8_t>& written = events[index].bytes;
  std::size_t matched = 0;
  for (std::size_t i = index + 1; i < events.size() && events[i].kind != LineEvent::Kind::to_card; ++i) {
    if (events[i].kind != LineEvent::Kind::from_line) continue;
    for (uint8_t byte : events[i].bytes) {
      if (matched == written.size()) return true;
      if (byte != written[matched++]) return false;
    }
  }
  return matched == written.size();
}

}  // namespace

std::vector<LineEvent> simulated_line_events(const sim::SerialLineDevice& device,
                                             std::string (*describe)(const KDX_LineSettings&)) {
  const auto writes = device.settings_writes();
  const auto host = device.host_bytes();
  const auto card = device.card_bytes();
  std::vector<LineEvent> events;
  events.reserve(writes.size() + host.size() + card.size());
  std::size_t w = 0;
  std::size_t h = 0;
  std::size_t c = 0;
  constexpr uint64_t kNever = UINT64_MAX;
  while (w < writes.size() || h < host.size() || c < card.size()) {
    const uint64_t write_at = w < writes.size() ? writes[w].time_ns : kNever;
    const uint64_t host_at = h < host.size() ? host[h].time_ns : kNever;
    const uint64_t card_at = c < card.size() ? card[c].time_ns : kNever;
    // A byte complete at the time of a write went out before it.
    if (host_at <= card_at && host_at <= write_at) {
      events.push_back({LineEvent::Kind::to_card, host_at, {host[h++].byte}, false, {}});
    } else if (card_at <= write_at) {
      // What the host's port delivered.
      events.push_back({LineEvent::Kind::from_line, card_at, {card[c++].received}, false, {}});
    } else {
      const KDX_LineSettings& settings = writes[w++].settings;
      events.push_back({LineEvent::Kind::settings, write_at, {}, settings.rts_control == KDX_LINE_CONTROL_ENABLE,
                        describe(settings)});
    }
  }
  return events;
}

LineDecoding decode_line(const std::vector<LineEvent>& events, bool echoes) {
  LineDecoding decoding;
  decoding.echo.assign(events.size(), 0);
  Decoder decoder(decoding.blocks);
  bool rts_on = false;
  bool line_echoes = false;
  std::size_t echo_left = 0;
  for (std::size_t index = 0; index < events.size(); ++index) {
    const LineEvent& event = events[index];
    switch (event.kind) {
      case LineEvent::Kind::settings:
        if (event.rts_on != rts_on) decoder.reset(event.rts_on, index);
        rts_on = event.rts_on;
        break;
      case LineEvent::Kind::to_card:
        if (echoes) {
          line_echoes = line_echoes || echoed(events, index);
          echo_left = line_echoes ? event.bytes.size() : 0;
        }
        for (uint8_t byte : event.bytes) decoder.host(byte, index);
        break;
      case LineEvent::Kind::from_line:
        for (uint8_t byte : event.bytes) {
          if (echo_left > 0) {
            --echo_left;
            ++decoding.echo[index];
          } else {
            decoder.card(byte, index);
          }
        }
        break;
    }
  }
  if (!events.empty()) decoder.flush(events.size() - 1);
  return decoding;
}

}  // namespace kdx::tool
