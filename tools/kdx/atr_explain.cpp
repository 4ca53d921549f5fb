#include "kdx/atr_explain.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <regex>

#include "kdx/tool.h"
#include "serial_iso/atr_interpretation.h"

namespace kdx::tool {
namespace {

namespace atr = kdx::tarsk::atr;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kLowNibble = 0x0F;
constexpr uint8_t kTaFollows = 0x10;
constexpr uint8_t kTdFollows = 0x80;
constexpr unsigned kProtocolGlobal = 15;
constexpr std::size_t kMaxAtrLength = 33;  // TS and 32 more (ISO/IEC 7816-3)

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

}  // namespace

void explain_atr_bytes(const std::vector<uint8_t>& atr) {
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


std::vector<std::string> known_cards(const std::vector<uint8_t>& atr, const std::string& list_path) {
  std::vector<std::string> names;
  std::ifstream list(list_path);
  if (!list) return names;
  const std::string text = hex(atr.data(), atr.size());
  std::string line;
  bool matching = false;
  // An ATR pattern starts a line; its descriptions follow, indented by a tab.
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') {
      matching = false;
      continue;
    }
    if (line[0] == '\t') {
      if (matching) names.push_back(line.substr(1));
      continue;
    }
    try {
      matching = std::regex_match(text, std::regex(line, std::regex::icase));
    } catch (const std::regex_error&) {
      matching = false;  // a pattern this regex dialect cannot read
    }
  }
  return names;
}

int explain_atr_command(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fprintf(stderr, "kdx: atr-explain: expected an ATR in hex, e.g. kdx atr-explain \"3B 02 14 50\"\n");
    return 2;
  }
  // All arguments as one ATR, so that `3B 02 14 50` works unquoted too.
  std::string joined;
  for (const std::string& arg : args) joined += arg + " ";
  const auto bytes = parse_hex(joined);
  if (!bytes || bytes->size() < 2 || bytes->size() > kMaxAtrLength) {
    std::fprintf(stderr,
                 "kdx: atr-explain: \"%s\" is not an ATR: expected 2 to 33 bytes in hex (3B 02 14 50, 3B:02:14:50 "
                 "or 3B021450)\n",
                 joined.substr(0, joined.size() - 1).c_str());
    return 2;
  }
  if ((*bytes)[0] != atr::kTsDirect && (*bytes)[0] != atr::kTsInverse) {
    std::fprintf(stderr, "kdx: atr-explain: an ATR begins with 3B (direct convention) or 3F (inverse), not %02X\n",
                 (*bytes)[0]);
    return 2;
  }
  explain_atr_bytes(*bytes);
  const auto names = known_cards(*bytes, kSmartcardList);
  if (!names.empty()) {
    std::printf("known as (%s):\n", kSmartcardList);
    for (const std::string& name : names) std::printf("  %s\n", name.c_str());
  }
  return 0;
}

}  // namespace kdx::tool
