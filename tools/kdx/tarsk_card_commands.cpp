// Card activation in the Tarsk mode: activate the card and explain its
// answer to reset, byte by byte as ISO/IEC 7816-3 lays it out and as the
// library reads it (by the library's own interpretation code); the
// protocol, a new interpretation, deactivation; the sample cards of the
// simulated slot.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "kdx/atr_explain.h"
#include "kdx/tarsk_mode.h"
#include "serial_iso/atr_interpretation.h"
#include "serial_iso/card_parameters.h"
#include "sim/cards/iso7816_card.h"
#include "sim/cards/iso7816_t1.h"

namespace kdx::tool {
namespace {

namespace atr = kdx::tarsk::atr;
namespace card = kdx::tarsk::card;
using Bytes = std::vector<uint8_t>;

constexpr const char* kSilentCard = "silent";
constexpr std::size_t kAtrBuffer = 64;  // 32 bytes, or 64 characters in string mode 1

struct Sample {
  const char* name;
  const char* description;
  const char* atr;
  std::vector<sim::AtrPause> pauses;
  sim::T0Behaviour t0{};
  // T=1: the EDC of the card's block with this number (from 1, counted over
  // the card's life in the slot) is wrong, once; 0 for none.
  unsigned bad_edc_block = 0;
};

const Sample kSamples[] = {
    {"t0", "T=0, no interface bytes (default)", "3B 02 14 50", {}},
    {"t0-negotiable", "T=0, TA1 Fi 372 Di 4, negotiable mode", "3B 13 13 4B 44 58", {}},
    {"t0-specific", "T=0 in specific mode at 38400", "3B 93 13 10 00 4B 44 58", {}},
    {"t1", "T=1, IFSC 254, CWI 5, BWI 4, LRC", "3B 84 81 31 FE 45 4B 44 58 31 E9", {}},
    {"t1-crc", "T=1 with CRC and N = 255 (one stop bit)", "3B C4 FF 81 71 FE 45 01 4B 44 58 31 17", {}},
    {"t1-inverse", "T=1 in inverse convention with CRC", "3F 84 81 71 FE 45 01 4B 44 58 31 A8", {}},
    {"t1-noisy", "T=1 like t1, the EDC of the second block it sends is wrong", "3B 84 81 31 FE 45 4B 44 58 31 E9", {},
     {}, 2},
    {"t1-defaults", "T=1 without TB3 (CWI 13, BWI 4)", "3B 81 01 4B CB", {}},
    {"dual", "T=0 first, T=1 offered, DI 6, level-4 bytes", "3B D3 96 00 80 B1 FE 45 1F 83 80 31 C0 22", {}},
    {"inverse", "inverse convention, T=0", "3F 13 11 4B 44 58", {}},
    {"t0-nulls", "T=0, two NULLs before every procedure byte", "3B 02 14 50", {}, {.nulls = 2}},
    {"t0-bytewise", "T=0, every data byte asked for with INS XOR FF", "3B 02 14 50", {}, {.acks = sim::T0Acks::one_by_one}},
    {"t0-slow", "T=0, 2.5 s per command with NULLs every 400 ms", "3B 02 14 50", {}, {.work_ms = 2500, .keepalive_ms = 400}},
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
  const StatusCode status = [&] {
    const WaitNotice notice("the card's answer to reset");
    return s.api().CPU_OpenCard(buffer, &length);
  }();
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
  explain_atr_bytes(bytes);
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
  sim::Iso7816CardConfig config{*bytes, std::nullopt, sample != nullptr ? sample->pauses : std::vector<sim::AtrPause>{}};
  if (sample != nullptr) config.t0 = sample->t0;
  config.protocol = sim::t1_protocol();  // answers in T=1 where its ATR offers it
  if (sample != nullptr && sample->bad_edc_block != 0) {
    config.protocol = [block = sample->bad_edc_block](sim::Iso7816Card& owner) {
      auto protocol = sim::t1_protocol()(owner);
      static_cast<sim::Iso7816T1&>(*protocol).inject(sim::T1Fault::corrupt_edc, block);
      return protocol;
    };
  }
  return std::make_unique<sim::Iso7816Card>(std::move(config));
}

void print_slot_cards() {
  std::printf("  simulated slot (--card, insert, atr): %s (no card), %s (never answers), an ATR in hex, or\n", kEmptySlot,
              kSilentCard);
  for (const Sample& sample : kSamples) std::printf("    %-14s %s: %s\n", sample.name, sample.description, sample.atr);
}

}  // namespace kdx::tool
