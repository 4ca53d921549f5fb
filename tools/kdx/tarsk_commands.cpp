// Tarsk session and line commands (open, device test, card presence, raw
// transfers), string mode, the hex helpers, random strings, messages, and
// the simulated slot and device.
#include <cstdio>
#include <cstring>

#include "kdx/tarsk_mode.h"

namespace kdx::tool {
namespace {

constexpr std::size_t kMaxTransfer = 1024;
constexpr uint32_t kMaxRandomCount = 255;

bool open_session(TarskSession& s, const Args&) {
  if (!s.check(s.api().IsCommOpened(), "open")) return false;
  std::printf("port open at 9600 8E2, DTR on, RTS off; device test passed\n");
  return true;
}

bool device_test(TarskSession& s, const Args&) {
  if (!s.check(s.api().KDX_TestDevice(), "device test")) return false;
  std::printf("device test passed (DSR follows DTR, \"KDX-TEST\" echoed)\n");
  return true;
}

bool door(TarskSession& s, const Args&) {
  const StatusCode status = s.api().KDX_TestDoor();
  if (status == ST_NO_CARD) {
    std::printf("door: no card in the slot\n");
    return true;
  }
  if (!s.check(status, "door")) return false;
  std::printf("door: a card is in the slot\n");
  return true;
}

bool watch(TarskSession& s, const Args& args) {
  return watch_card(
      [&s] {
        const StatusCode status = s.api().KDX_TestDoor();
        return status == ST_NO_CARD ? 0 : s.check(status, "door") ? 1 : -1;
      },
      args);
}

bool send(TarskSession& s, const Args& args) {
  const auto bytes = args.size() == 1 ? parse_hex(args[0]) : std::nullopt;
  if (!bytes || bytes->size() > kMaxTransfer) {
    std::fprintf(stderr, "expected up to %zu bytes in hexadecimal\n", kMaxTransfer);
    return false;
  }
  if (!s.check(s.api().SendData(bytes->data(), static_cast<uint32_t>(bytes->size())), "send")) return false;
  std::printf("sent %zu bytes\n", bytes->size());
  return true;
}

bool receive(TarskSession& s, const Args& args) {
  const auto count = args.size() == 1 ? parse_number(args[0]) : std::nullopt;
  if (!count || *count > kMaxTransfer) {
    std::fprintf(stderr, "expected a count of 0 to %zu\n", kMaxTransfer);
    return false;
  }
  uint8_t bytes[kMaxTransfer];
  if (!s.check(s.api().ReceiveData(bytes, *count), "receive")) return false;
  std::printf("received: %s\n", hex(bytes, *count).c_str());
  return true;
}

uint8_t string_mode(TarskSession& s) {
  uint8_t mode = 0;
  s.api().KDX_GetStringMode(&mode);
  return mode;
}

bool mode(TarskSession& s, const Args& args) {
  if (!args.empty()) {
    const auto value = args.size() == 1 ? parse_number(args[0]) : std::nullopt;
    if (!value) {
      std::fprintf(stderr, "expected 0 (raw bytes) or 1 (hexadecimal text)\n");
      return false;
    }
    if (!s.check(s.api().KDX_SetStringMode(*value), "mode")) return false;
  }
  std::printf("string mode %u (%s)\n", string_mode(s), string_mode(s) == 1 ? "hexadecimal text" : "raw bytes");
  return true;
}

bool random_string(TarskSession& s, const Args& args) {
  const auto count = args.size() == 1 ? parse_number(args[0]) : std::optional<uint32_t>(8);
  if (!count || *count > kMaxRandomCount) {
    std::fprintf(stderr, "expected a count of 0 to %u\n", kMaxRandomCount);
    return false;
  }
  uint8_t result[2 * kMaxRandomCount + 1] = {};
  if (!s.check(s.api().KDX_GetRandStr(result, *count), "random")) return false;
  if (string_mode(s) == 1) {
    std::printf("random (text): %.*s\n", static_cast<int>(2 * *count), reinterpret_cast<char*>(result));
  } else {
    std::printf("random: %s\n", hex(result, *count).c_str());
  }
  return true;
}

bool string_to_byte(TarskSession& s, const Args& args) {
  if (args.size() != 1 || args[0].size() != 2) {
    std::fprintf(stderr, "expected two characters\n");
    return false;
  }
  char source[3] = {args[0][0], args[0][1], '\0'};
  uint8_t byte = 0;
  s.api().KDX_String2Hex(&byte, source);
  std::printf("\"%s\" -> 0x%02X (the source now reads \"%s\")\n", args[0].c_str(), byte, source);
  return true;
}

bool byte_to_string(TarskSession& s, const Args& args) {
  const auto value = args.size() == 1 ? parse_number(args[0]) : std::nullopt;
  if (!value || *value > 0xFF) {
    std::fprintf(stderr, "expected a byte (0 to 255, 0x.. for hexadecimal)\n");
    return false;
  }
  const uint8_t byte = static_cast<uint8_t>(*value);
  char text[3] = {};
  s.api().KDX_Hex2String(text, &byte);
  std::printf("0x%02X -> \"%s\"\n", byte, text);
  return true;
}

bool message(TarskSession& s, const Args& args) {
  const auto code = args.size() == 1 ? parse_number(args[0]) : std::nullopt;
  if (!code) {
    std::fprintf(stderr, "expected a status number\n");
    return false;
  }
  uint8_t text[32] = {};
  if (!s.check(s.api().KDX_ErrorMsg(*code, text), "message")) return false;
  std::printf("%s\n", s.status_text(static_cast<StatusCode>(*code)).c_str());
  return true;
}

// The simulated slot and device; on a real port there is nothing to do.
bool simulator_only(TarskSession& s, const char* what) {
  if (s.simulated()) return true;
  std::fprintf(stderr, "%s: only the simulated interface device can do that\n", what);
  return false;
}

bool pull(TarskSession& s, const Args&) {
  if (!simulator_only(s, "pull")) return false;
  s.with_device([](sim::SerialLineDevice& device) { device.remove(); });
  std::printf("simulator: card pulled out of the slot\n");
  return true;
}

bool insert(TarskSession& s, const Args& args) {
  if (!simulator_only(s, "insert")) return false;
  const std::string card = !args.empty() ? args[0] : s.card_name() == kEmptySlot ? kDefaultCard : s.card_name();
  if (args.size() > 1 || card == kEmptySlot || !s.put_card(card)) {
    std::fprintf(stderr, "insert: unknown card (kdx --reader tarsk --help lists them)\n");
    return false;
  }
  std::printf("simulator: card %s put in the slot\n", card.c_str());
  return true;
}

bool attach(TarskSession& s, const Args& args) {
  if (!simulator_only(s, "device")) return false;
  if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
    std::fprintf(stderr, "expected on or off\n");
    return false;
  }
  const bool on = args[0] == "on";
  s.with_device([on](sim::SerialLineDevice& device) { device.set_attached(on); });
  std::printf("simulator: interface device %s\n", on ? "attached" : "detached");
  return true;
}

bool demo_line(TarskSession& s) {
  bool ok = open_session(s, {});
  ok = device_test(s, {}) && ok;
  ok = door(s, {}) && ok;
  ok = pull(s, {}) && ok;
  ok = door(s, {}) && ok;
  ok = insert(s, {}) && ok;
  ok = door(s, {}) && ok;
  return ok;
}

bool demo_text(TarskSession& s) {
  bool ok = random_string(s, {"8"});
  ok = mode(s, {"1"}) && ok;
  ok = random_string(s, {"8"}) && ok;
  ok = mode(s, {"0"}) && ok;
  ok = string_to_byte(s, {"af"}) && ok;
  ok = byte_to_string(s, {"0x5C"}) && ok;
  ok = message(s, {"46"}) && ok;
  return ok;
}

const RegisterTarsk kCommands({
    {"open", "", "open the port and test the device (every session command does this first)", true, &open_session},
    {"test", "", "the device test (DSR follows DTR, echo of \"KDX-TEST\")", true, &device_test},
    {"door", "", "is a card in the slot (CTS)?", true, &door},
    {"watch", "[SECONDS]", "report card insertion and removal until Ctrl-C (or for SECONDS)", true, &watch},
    {"send", "HEX", "write raw bytes to the line", true, &send},
    {"receive", "COUNT", "read raw bytes from the line", true, &receive},
    {"mode", "[0|1]", "show or set the string mode", false, &mode},
    {"random", "[COUNT]", "random string (follows the string mode; not for secrets)", false, &random_string},
    {"string2hex", "XY", "two hexadecimal characters to one byte", false, &string_to_byte},
    {"hex2string", "BYTE", "one byte to two hexadecimal characters", false, &byte_to_string},
    {"message", "STATUS", "the message text of a status number", false, &message},
    {"pull", "", "simulator: pull the card out of the slot", true, &pull},
    {"insert", "[CARD]", "simulator: put a card in the slot (the last one, or a sample or an ATR in hex)", true, &insert},
    {"device", "on|off", "simulator: attach or detach the interface device", true, &attach},
});
const RegisterTarsk kLineDemo(TarskDemoPart{10, "session, device test, card presence", &demo_line});
const RegisterTarsk kTextDemo(TarskDemoPart{20, "random strings, string mode, hex helpers", &demo_text});

}  // namespace
}  // namespace kdx::tool
