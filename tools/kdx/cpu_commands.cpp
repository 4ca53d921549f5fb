// CPU card commands: power on and explain the answer to reset, exchange
// APDUs given as hex text, and the demonstration against the sample card's
// file system.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/atr_shape.h"
#include "kdx/atr_explain.h"
#include "kdx/velmor_mode.h"

namespace kdx::tool {
namespace {

namespace cpu = kdx::velmor::cpu;

constexpr std::size_t kAtrBufferSize = cpu::kMaxAtrLength;
constexpr std::size_t kResponseTextSize = 391;
constexpr const char* kSampleCard = "cpu";
constexpr const char* kCardFamily = "cpu";

// The bytes as text, '.' for what is not printable.
std::string printable(const uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += std::isprint(bytes[i]) != 0 ? static_cast<char>(bytes[i]) : '.';
  return text;
}

bool all_printable(const uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (std::isprint(bytes[i]) == 0) return false;
  }
  return true;
}

std::string byte_hex(uint8_t byte) { return hex(&byte, 1); }

// The ATR as the reader delivered it (its count stops at TD3), explained by
// the decoder both readers share; an inverse-convention ATR is delivered as
// read (TS 03) and decoded first.
void explain_atr(const uint8_t* atr) {
  const std::size_t length = cpu::atr_shape(std::span<const uint8_t>(atr, kAtrBufferSize)).length;
  const bool inverse = atr[0] == cpu::kTsInverseAsRead;
  std::vector<uint8_t> decoded(atr, atr + length);
  for (uint8_t& byte : decoded) byte = inverse ? cpu::decode_inverse(byte) : byte;
  explain_atr_bytes(decoded);
}

bool power_on(VelmorSession& s, bool explain) {
  uint8_t atr[kAtrBufferSize] = {};
  const StatusCode status = [&s, &atr] {
    const WaitNotice notice("the card's answer to reset");
    return s.api().CPU_Open(atr);
  }();
  if (!s.check(status, "power on")) return false;
  // Powered until `off` or the end of the session, so that what a command
  // selected holds for the next line of a shell.
  s.card_opened(kCardFamily, [&s] { s.check(s.api().CPU_Close(), "power off"); });
  if (explain) {
    explain_atr(atr);
  } else {
    const std::size_t length = cpu::atr_shape(std::span<const uint8_t>(atr, sizeof atr)).length;
    std::printf("ATR: %s\n", hex(atr, length).c_str());
  }
  return true;
}

std::string status_meaning(uint8_t sw1, uint8_t sw2) {
  const std::string n = std::to_string(sw2);
  switch (sw1) {
    case 0x90: return sw2 == 0 ? "success" : "";
    case 0x61: return n + " bytes waiting: GET RESPONSE with Le " + byte_hex(sw2);
    case 0x6C: return "wrong Le: repeat with Le " + byte_hex(sw2);
    case 0x67: return "wrong length";
    case 0x69: return sw2 == 0x86 ? "no file selected" : sw2 == 0x85 ? "nothing to answer" : "command not allowed";
    case 0x6A: return sw2 == 0x82 ? "file not found" : "wrong parameters";
    case 0x6B: return "offset outside the file";
    case 0x6D: return "instruction not supported";
    case 0x6E: return "class not supported";
    case 0x6F: return sw2 == 0 ? "no answer in time, or no precise diagnosis" : "";
    default: return "";
  }
}

bool send_apdu(VelmorSession& s, const std::string& command, const char* comment = nullptr) {
  std::printf("> %s%s%s\n", command.c_str(), comment != nullptr ? "   " : "", comment != nullptr ? comment : "");
  char response[kResponseTextSize] = {};
  const StatusCode status = [&] {
    const WaitNotice notice("the card's response");
    return s.api().CPU_IsoAPDU(command.c_str(), response);
  }();
  if (!s.check(status, "apdu")) return false;
  const auto bytes = parse_hex(response);
  if (!bytes || bytes->size() < 2) {
    std::printf("< %s\n", response);
    return true;
  }
  const std::size_t data = bytes->size() - 2;
  const uint8_t sw1 = (*bytes)[data];
  const uint8_t sw2 = (*bytes)[data + 1];
  if (data != 0) {
    std::printf("< data %s", hex(bytes->data(), data).c_str());
    if (all_printable(bytes->data(), data)) std::printf("  \"%s\"", printable(bytes->data(), data).c_str());
    std::printf("\n");
  }
  std::printf("< %02X%02X  %s\n", sw1, sw2, status_meaning(sw1, sw2).c_str());
  return true;
}

bool atr(VelmorSession& s, const Args&) { return power_on(s, true); }

bool apdu(VelmorSession& s, const Args& args) {
  if (args.empty()) {
    std::fprintf(stderr, "apdu: expected one or more APDUs as hex, e.g. 00A40000020001 or \"00 A4 00 00 02 00 01\"\n");
    return false;
  }
  // Every APDU is checked before the card is touched; the library takes them
  // as plain hex text.
  std::vector<std::string> commands;
  for (const std::string& text : args) {
    const auto bytes = parse_hex(text);
    if (!bytes || bytes->empty()) {
      std::fprintf(stderr, "apdu: \"%s\" is not hex (pairs of 0-9 A-F, spaces or colons between bytes allowed)\n",
                   text.c_str());
      return false;
    }
    commands.push_back(hex(bytes->data(), bytes->size(), ""));
  }
  if (!s.card_is_open(kCardFamily) && !power_on(s, false)) return false;
  bool ok = true;
  for (const std::string& command : commands) ok = send_apdu(s, command) && ok;
  return ok;
}

bool power_off(VelmorSession& s, const Args&) {
  if (s.card_is_open(kCardFamily)) {
    s.close_card();
  } else if (!s.check(s.api().CPU_Close(), "power off")) {
    return false;
  }
  std::printf("CPU card switched off\n");
  return true;
}

bool off(VelmorSession& s, const Args&) {
  if (!s.close_card()) {
    std::printf("no card is powered\n");
    return true;
  }
  std::printf("card switched off\n");
  return true;
}

bool demo_cpu(VelmorSession& s) {
  struct Step {
    const char* command;
    const char* comment;
  };
  static constexpr Step kScript[] = {
      {"00A40000020001", "SELECT file 0001"},
      {"00C000000D", "GET RESPONSE: its control information"},
      {"00B0000040", "READ BINARY of 64 bytes: more than the file holds"},
      {"00B0000022", "READ BINARY of 34 bytes"},
      {"00a40000020002", "SELECT file 0002 (lower case works too)"},
      {"00D6000004CAFEF00D", "UPDATE BINARY: the card takes the data one byte at a time"},
      {"00B0000008", "READ BINARY of 8 bytes"},
      {"00A40000020003", "SELECT file 0003"},
      {"00B0000040", "READ BINARY of 64 bytes: the card sends a NULL byte first"},
      {"00A40000020009", "SELECT file 0009: there is none"},
      {"00EE000000", "an instruction the card does not know"},
  };
  s.use_sample_card(kSampleCard);
  if (!power_on(s, true)) return false;
  bool ok = true;
  for (const Step& step : kScript) ok = send_apdu(s, step.command, step.comment) && ok;
  return power_off(s, {}) && ok;
}

const RegisterVelmor kCommands({
    {"atr", "", "power the CPU card on and explain its answer to reset", kSampleCard, &atr},
    {"apdu", "HEX...", "send each T=0 APDU (CLA INS P1 P2 P3 [data]), powering the CPU card on first", kSampleCard, &apdu},
    {"cpu-off", "", "switch the CPU card off", nullptr, &power_off},
    {"off", "", "switch off the card a command powered (it stays powered between shell lines)", nullptr, &off},
});
const RegisterVelmor kDemo(DemoPart{40, "CPU card (T=0 APDUs)", &demo_cpu});

}  // namespace
}  // namespace kdx::tool
