// Card activation in the Tarsk mode: activate the card and explain its
// answer to reset, byte by byte as ISO/IEC 7816-3 lays it out and as the
// library reads it (by the library's own interpretation code); the
// protocol, a new interpretation, deactivation; the sample cards of the
// simulated slot.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "kdx/tarsk_mode.h"
#include "serial_iso/atr_interpretation.h"
#include "serial_iso/card_parameters.h"
#include "sim/cards/iso7816_card.h"

namespace kdx::tool {
namespace {

namespace atr = kdx::tarsk::atr;
namespace card = kdx::tarsk::card;
using Bytes = std::vector<uint8_t>;

constexpr const char* kSilentCard = "silent";
constexpr std::size_t kAtrBuffer = 64;  // 32 bytes, or 64 characters in string mode 1
constexpr uint8_t kLowNibble = 0x0F;
constexpr uint8_t kTaFollows = 0x10;
constexpr uint8_t kTdFollows = 0x80;
constexpr unsigned kProtocolGlobal = 15;

struct Sample {
  const char* name;
  const char* description;
  const char* atr;
  std::vector<sim::AtrPause> pauses;
};

const Sample kSamples[] = {
    {"t0", "T=0, no interface bytes (default)", "3B 02 14 50", {}},
    {"t0-negotiable", "T=0, TA1 Fi 372 Di 4, negotiable mode", "3B 13 13 4B 44 58", {}},
    {"t0-specific", "T=0 in specific mode at 38400", "3B 93 13 10 00 4B 44 58", {}},
    {"t1", "T=1, IFSC 254, CWI 5, BWI 4, LRC", "3B 84 81 31 FE 45 4B 44 58 31 E9", {}},
    {"t1-crc", "T=1 with CRC and N = 255 (one stop bit)", "3B C4 FF 81 71 FE 45 01 4B 44 58 31 17", {}},
    {"t1-defaults", "T=1 without TB3 (CWI 13, BWI 4)", "3B 81 01 4B CB", {}},
    {"dual", "T=0 first, T=1 offered, DI 6, level-4 bytes", "3B D3 96 00 80 B1 FE 45 1F 83 80 31 C0 22", {}},
    {"inverse", "inverse convention, T=0", "3F 13 11 4B 44 58", {}},
    {"chunks", "T=0, its ATR in three pieces", "3B 02 14 50", {{1, 70}, {3, 300}}},
    {"fast", "specific mode at 111600 bit/s, which no port speed matches", "3B 92 95 10 00 4B 44", {}},
};

const Sample* find_sample(const std::string& name) {
  for (const Sample& sample : kSamples) {
    if (name == sample.name) return &sample;
  }
  return nullptr;
}

// The ATR a card name stands for: a sample's, or the hex given.
std::optional<Bytes> atr_of(const std::string& name) {
  if (const Sample* sample = find_sample(name)) return parse_hex(sample->atr);
  auto bytes = parse_hex(name);
  if (!bytes || bytes->empty()) return std::nullopt;
  return bytes;
}

std::string byte_hex(uint8_t byte) { return hex(&byte, 1); }

std::string printable(const uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += std::isprint(bytes[i]) != 0 ? static_cast<char>(bytes[i]) : '.';
  return text;
}

void field(const std::string& name, uint8_t value, const std::string& meaning) {
  std::printf("  %-4s %s  %s\n", name.c_str(), byte_hex(value).c_str(), meaning.c_str());
}

// "TA2 TD2" for the interface bytes an indicator announces at `level`.
std::string announced(uint8_t indicator, unsigned level) {
  static constexpr const char* kLetters[] = {"TA", "TB", "TC", "TD"};
  std::string text;
  unsigned count = 0;
  for (unsigned k = 0; k < 4; ++k) {
    if ((indicator & (kTaFollows << k)) == 0) continue;
    if (count++ != 0) text += ' ';
    text += kLetters[k];
    text += std::to_string(level);
  }
  return count == 0 ? "no interface bytes" : text + (count == 1 ? " follows" : " follow");
}

std::string di_text(uint8_t di) {
  static constexpr const char* kDi[16] = {"RFU", "1",   "2",   "4",   "8",   "16",  "32",  "64",
                                          "12",  "20",  "RFU", "RFU", "RFU", "RFU", "RFU", "RFU"};
  return kDi[di & kLowNibble];
}

std::string fi_text(uint8_t fi) {
  static constexpr const char* kFi[16] = {"372 (f max 4 MHz)",    "372 (f max 5 MHz)",    "558 (f max 6 MHz)",
                                          "744 (f max 8 MHz)",    "1116 (f max 12 MHz)",  "1488 (f max 16 MHz)",
                                          "1860 (f max 20 MHz)",  "RFU",                  "RFU",
                                          "512 (f max 5 MHz)",    "768 (f max 7.5 MHz)",  "1024 (f max 10 MHz)",
                                          "1536 (f max 15 MHz)",  "2048 (f max 20 MHz)",  "RFU",
                                          "RFU"};
  return kFi[fi & kLowNibble];
}

std::string clock_stop_and_class(uint8_t ta) {
  static constexpr const char* kClockStop[] = {"not supported", "state L", "state H", "no preference"};
  std::string classes;
  static constexpr const char* kClasses[] = {"A (5 V)", "B (3 V)", "C (1.8 V)"};
  for (unsigned bit = 0; bit < 3; ++bit) {
    if ((ta & (1u << bit)) != 0) classes += (classes.empty() ? "" : ", ") + std::string(kClasses[bit]);
  }
  return std::string("clock stop ") + kClockStop[ta >> 6] + "; classes " + (classes.empty() ? "none" : classes);
}

// The meaning of TA, TB or TC (k = 0, 1, 2) at `level`, for the protocol
// `protocol` that the TD before it names (levels 3 and later).
std::string interface_meaning(unsigned level, unsigned k, uint8_t value, unsigned protocol) {
  if (level == 1) {
    if (k == 0) return "Fi " + fi_text(value >> 4) + ", Di " + di_text(value);
    if (k == 1) return "programming voltage (deprecated)";
    return "extra guard time N = " + std::to_string(value) + (value == 255 ? " (shortest: 12 etu, T=1 11 etu)" : "");
  }
  if (level == 2) {
    if (k == 0) {
      return "specific mode, T=" + std::to_string(value & kLowNibble) +
             ((value & 0x80) != 0 ? ", cannot change mode" : ", may change to negotiable mode") +
             ((value & 0x10) != 0 ? ", implicit parameters" : ", parameters of the interface bytes");
    }
    if (k == 1) return "programming voltage (deprecated)";
    return "WI = " + std::to_string(value) + " (T=0 work waiting time)";
  }
  if (protocol == 1) {
    if (k == 0) return "IFSC = " + std::to_string(value);
    if (k == 1) return "BWI = " + std::to_string(value >> 4) + ", CWI = " + std::to_string(value & kLowNibble);
    return std::string("EDC ") + ((value & 1) != 0 ? "CRC" : "LRC");
  }
  if (protocol == kProtocolGlobal) {
    if (k == 0) return clock_stop_and_class(value);
    if (k == 1) return "use of the C6 contact (SPU)";
  }
  return "interface byte for T=" + std::to_string(protocol);
}

// The category and compact-TLV objects of the historical bytes.
void explain_historical(const uint8_t* bytes, std::size_t count) {
  std::printf("  historical bytes (%zu): %s  \"%s\"\n", count, hex(bytes, count).c_str(), printable(bytes, count).c_str());
  if (count == 0) return;
  static constexpr const char* kTags[16] = {
      "",           "country code",       "issuer identification", "card service data",
      "initial access data", "card issuer's data", "pre-issuing data",  "card capabilities",
      "status indicator", "",               "",                      "",
      "",           "",                   "",                      "application identifier"};
  std::size_t end = count;
  if (bytes[0] == 0x00) {
    std::printf("       category 00: compact-TLV objects, then a status indicator in the last 3 bytes\n");
    end = count >= 3 ? count - 3 : 1;
  } else if (bytes[0] == 0x80) {
    std::printf("       category 80: compact-TLV objects\n");
  } else if (bytes[0] == 0x10) {
    std::printf("       category 10: a DIR data reference\n");
    return;
  } else {
    std::printf("       proprietary category\n");
    return;
  }
  for (std::size_t i = 1; i < end;) {
    const unsigned tag = bytes[i] >> 4;
    const std::size_t length = bytes[i] & kLowNibble;
    const std::size_t present = std::min(length, end - i - 1);
    std::printf("       %X%zX %s: %s%s\n", tag, length, kTags[tag][0] != '\0' ? kTags[tag] : "object",
                hex(bytes + i + 1, present).c_str(), present < length ? " (cut short)" : "");
    i += 1 + length;
  }
}

// Byte by byte, at every level, as far as the bytes go.
void explain_bytes(const Bytes& atr) {
  std::printf("ATR (%zu bytes): %s\n", atr.size(), hex(atr.data(), atr.size()).c_str());
  if (atr.empty()) return;
  field("TS", atr[0], atr[0] == atr::kTsDirect    ? "direct convention"
                      : atr[0] == atr::kTsInverse ? "inverse convention (the card's bytes, decoded)"
                                                  : "neither convention");
  if (atr.size() < 2) return;
  const uint8_t t0 = atr[1];
  const std::size_t k = t0 & kLowNibble;
  field("T0", t0, announced(t0, 1) + ", " + std::to_string(k) + " historical bytes");
  std::size_t index = 2;
  uint8_t indicator = t0;
  unsigned protocol = 0;
  bool tck_expected = false;
  static constexpr const char* kLetters[] = {"TA", "TB", "TC"};
  for (unsigned level = 1;; ++level) {
    for (unsigned b = 0; b < 3; ++b) {
      if ((indicator & (kTaFollows << b)) == 0) continue;
      if (index >= atr.size()) {
        std::printf("  (the ATR ends before %s%u)\n", kLetters[b], level);
        return;
      }
      field(kLetters[b] + std::to_string(level), atr[index], interface_meaning(level, b, atr[index], protocol));
      ++index;
    }
    if ((indicator & kTdFollows) == 0) break;
    if (index >= atr.size()) {
      std::printf("  (the ATR ends before TD%u)\n", level);
      return;
    }
    const uint8_t td = atr[index++];
    protocol = td & kLowNibble;
    tck_expected = tck_expected || protocol != 0;
    field("TD" + std::to_string(level), td,
          announced(td, level + 1) + ", T=" + std::to_string(protocol) + (protocol == kProtocolGlobal ? " (global)" : ""));
    indicator = td;
  }
  const std::size_t present = std::min(k, atr.size() - index);
  explain_historical(atr.data() + index, present);
  if (present < k) std::printf("  (%zu historical bytes missing)\n", k - present);
  index += present;
  if (index < atr.size() && tck_expected) {
    uint8_t check = 0;
    for (std::size_t i = 1; i <= index; ++i) check = static_cast<uint8_t>(check ^ atr[i]);
    field("TCK", atr[index], check == 0 ? "check byte, correct" : "check byte, WRONG");
    ++index;
  } else if (tck_expected) {
    std::printf("  (TCK missing)\n");
  }
  if (index < atr.size()) std::printf("  beyond the ATR: %s\n", hex(atr.data() + index, atr.size() - index).c_str());
}

std::string protocols(uint32_t bits) {
  std::string text;
  if ((bits & tarsk::kProtocolT0) != 0) text += "T=0";
  if ((bits & tarsk::kProtocolT1) != 0) text += text.empty() ? "T=1" : ", T=1";
  return text.empty() ? "none" : text;
}

const char* parity_name(uint8_t parity) { return parity == KDX_PARITY_ODD ? "odd" : parity == KDX_PARITY_EVEN ? "even" : "none"; }

// What the library derives from the ATR: its own interpretation code, run
// on a record of its own.
void explain_reading(TarskSession& s, const Bytes& bytes, StatusCode activation, uint32_t chosen) {
  CardRecord record{};
  record.atr_length = static_cast<uint8_t>(std::min(bytes.size(), tarsk::kAtrCapacity));
  std::memcpy(record.atr, bytes.data(), record.atr_length);
  atr::PortParameters line{9600, KDX_STOPBITS_TWO};
  const StatusCode status = atr::interpret(record, line);
  std::printf("as the library reads it:\n");
  if (status != ST_OK) {
    std::printf("  refused: status %u (%s)\n", status, s.message(status).c_str());
    return;
  }
  const bool specific = record.interface_bytes[atr::kTA1].present != 0 && record.interface_bytes[atr::kTA2].present != 0;
  const uint32_t rate = card::rate(record.fi_index, record.di_index);
  std::printf("  convention          %s (port parity %s)\n", record.inverse_convention != 0 ? "inverse" : "direct",
              record.inverse_convention != 0 ? "odd" : "even");
  std::printf("  protocols           offered %s; first %s", protocols(record.offered_protocols).c_str(),
              protocols(record.protocol).c_str());
  if (activation == ST_OK) std::printf("; in use %s", protocols(chosen).c_str());
  std::printf("\n  rate factors        FI %u (Fi %u), DI %u (Di %g): %u bit/s at 3.5712 MHz\n", record.fi_index,
              card::kFi[record.fi_index], record.di_index, static_cast<double>(card::kDi[record.di_index]), rate);
  if (specific) {
    std::printf("  mode                specific (TA2): the port runs at %u at once\n", line.baud_rate);
  } else {
    std::printf("  mode                negotiable: the card runs at 9600 until a protocol selection\n");
  }
  std::printf("  extra guard time    N = %u%s\n", record.extra_guard_time,
              line.stop_bits == KDX_STOPBITS_ONE ? " (T=1: one stop bit)" : "");
  std::printf("  work waiting time   WI %u: %u ms\n", record.wi, record.work_waiting_time);
  std::printf("  IFSC                %u\n", record.ifsc);
  if ((record.offered_protocols & tarsk::kProtocolT1) != 0) {
    std::printf("  T=1 waiting times   CWI %u: character %u ms; BWI %u: block %u ms\n", record.cwi,
                record.character_waiting_time, record.bwi, record.block_waiting_time);
    std::printf("  EDC                 %s\n", record.edc_kind != 0 ? "CRC" : "LRC");
  }
  std::printf("  historical bytes    %s\n", hex(record.historical, record.historical_count).c_str());
  std::printf("  TCK                 %s\n", record.tck.present != 0 ? byte_hex(record.tck.value).c_str() : "none");
  KDX_LineSettings settings{};
  KDX_Timeouts timeouts{};
  if (activation == ST_OK && s.port_state(settings, timeouts)) {
    std::printf("  port (simulated)    %u baud, %s parity, %s stop bit%s; read time-outs interval %u ms, total %u ms\n",
                settings.baud_rate, parity_name(settings.parity), settings.stop_bits == KDX_STOPBITS_ONE ? "one" : "two",
                settings.stop_bits == KDX_STOPBITS_ONE ? "" : "s", timeouts.read_interval, timeouts.read_total_constant);
  }
}

bool activate(TarskSession& s, const Args& args) {
  if (args.size() > 1) {
    std::fprintf(stderr, "expected at most one card: a sample name or an ATR in hex\n");
    return false;
  }
  if (!args.empty()) {
    if (!s.simulated()) {
      std::fprintf(stderr, "atr: only the simulated slot takes a card\n");
      return false;
    }
    if (!s.put_card(args[0])) {
      std::fprintf(stderr, "atr: unknown card %s\n", args[0].c_str());
      return false;
    }
    std::printf("simulator: card %s put in the slot\n", args[0].c_str());
  }
  uint8_t buffer[kAtrBuffer] = {};
  uint16_t length = 0;
  const StatusCode status = s.api().CPU_OpenCard(buffer, &length);
  uint32_t chosen = 0;
  Bytes bytes;
  if (status == ST_OK) {
    bytes.assign(buffer, buffer + std::min<std::size_t>(length, sizeof buffer));
    s.api().CPU_GetProtocol(&chosen);
    std::printf("card activated\n");
  } else {
    s.check(status, "activate");
    // On the simulator the ATR the card was given can still be explained.
    const auto given = s.simulated() ? atr_of(s.card_name()) : std::nullopt;
    if (!given) return false;
    bytes = *given;
    std::printf("the ATR the simulated card was given:\n");
  }
  explain_bytes(bytes);
  explain_reading(s, bytes, status, chosen);
  return status == ST_OK;
}

bool protocol(TarskSession& s, const Args&) {
  uint32_t value = 0;
  if (!s.check(s.api().CPU_GetProtocol(&value), "protocol")) return false;
  std::printf("protocol %s\n", protocols(value).c_str());
  return true;
}

bool update(TarskSession& s, const Args&) {
  if (!s.check(s.api().CPU_UpdateCardCapabilities(), "update")) return false;
  std::printf("ATR interpreted again, port programmed\n");
  return true;
}

bool close_card(TarskSession& s, const Args&) {
  if (!s.check(s.api().CPU_CloseCard(), "close")) return false;
  std::printf("card deactivated (held in reset)\n");
  return true;
}

bool demo_activation(TarskSession& s) {
  bool ok = true;
  for (const char* name : {"t0", "t1", "dual", "inverse", "chunks"}) {
    std::printf("\n");
    ok = activate(s, {name}) && ok;
  }
  ok = protocol(s, {}) && ok;
  ok = close_card(s, {}) && ok;
  std::printf("\n");
  activate(s, {"fast"});  // refused, as it should be
  std::printf("\n");
  activate(s, {kSilentCard});
  return ok;
}

const RegisterTarsk kCommands({
    {"atr", "[CARD]", "activate the card and explain its ATR (CARD: a sample or an ATR in hex, put in the slot first)",
     true, &activate},
    {"protocol", "", "the protocol of the active card", true, &protocol},
    {"update", "", "interpret the ATR again and program the port for it", true, &update},
    {"close", "", "deactivate the card (held in reset)", true, &close_card},
});
const RegisterTarsk kDemo(TarskDemoPart{30, "card activation and ATRs", &demo_activation});

}  // namespace

bool known_card(const std::string& card) { return card == kEmptySlot || card == kSilentCard || atr_of(card).has_value(); }

std::unique_ptr<sim::SlotCard> make_slot_card(const std::string& card) {
  if (card == kSilentCard) return std::make_unique<sim::Iso7816Card>(sim::Iso7816CardConfig{});
  const auto bytes = atr_of(card);
  if (!bytes) return nullptr;
  const Sample* sample = find_sample(card);
  return std::make_unique<sim::Iso7816Card>(
      sim::Iso7816CardConfig{*bytes, std::nullopt, sample != nullptr ? sample->pauses : std::vector<sim::AtrPause>{}});
}

void print_slot_cards() {
  std::printf("  simulated slot (--card, insert, atr): %s (no card), %s (never answers), an ATR in hex, or\n", kEmptySlot,
              kSilentCard);
  for (const Sample& sample : kSamples) std::printf("    %-14s %s: %s\n", sample.name, sample.description, sample.atr);
}

}  // namespace kdx::tool
