// Device commands: version, LED, buzzer, door switch, eject, device test,
// messages, random bytes.
#include <cstdio>
#include <cstring>

#include "kdx/velmor_mode.h"

namespace kdx::tool {
namespace {

std::optional<bool> on_off(const Args& args) {
  if (args.size() == 1 && args[0] == "on") return true;
  if (args.size() == 1 && args[0] == "off") return false;
  std::fprintf(stderr, "expected on or off\n");
  return std::nullopt;
}

bool version(VelmorSession& s, const Args&) {
  uint8_t text[33] = {};
  if (!s.check(s.api().KDX_GetVersion(text), "version")) return false;
  std::printf("reader version: %s\n", reinterpret_cast<char*>(text));
  return true;
}

bool watch(VelmorSession& s, const Args& args) {
  return watch_card(
      [&s] {
        const StatusCode status = s.api().KDX_TestDoor();
        return status == ST_NO_CARD ? 0 : s.check(status, "door") ? 1 : -1;
      },
      args);
}

bool led(VelmorSession& s, const Args& args) {
  const auto on = on_off(args);
  if (!on || !s.check(s.api().KDX_GreenLED(*on ? 1 : 0), "led")) return false;
  std::printf("green LED %s\n", *on ? "on" : "off");
  return true;
}

bool buzzer(VelmorSession& s, const Args& args) {
  const auto on = on_off(args);
  if (!on || !s.check(s.api().KDX_Buzzer(*on ? 1 : 0), "buzzer")) return false;
  std::printf("buzzer %s\n", *on ? "on" : "off");
  return true;
}

bool door(VelmorSession& s, const Args&) {
  const StatusCode status = s.api().KDX_TestDoor();
  if (status == ST_NO_CARD) {
    std::printf("door: no card in the reader\n");
    return true;
  }
  if (!s.check(status, "door")) return false;
  std::printf("door: a card is in the reader\n");
  return true;
}

bool eject(VelmorSession& s, const Args&) {
  if (!s.check(s.api().KDX_PushCard(), "eject")) return false;
  std::printf("card ejected\n");
  return true;
}

bool device_test(VelmorSession& s, const Args&) {
  if (!s.check(s.api().KDX_TestDevice(), "device test")) return false;
  std::printf("device test passed\n");
  return true;
}

bool message(VelmorSession& s, const Args& args) {
  const auto code = args.size() == 1 ? parse_number(args[0]) : std::nullopt;
  if (!code) {
    std::fprintf(stderr, "expected a status number\n");
    return false;
  }
  std::printf("%s\n", s.status_text(static_cast<StatusCode>(*code)).c_str());
  return true;
}

bool random_bytes(VelmorSession& s, const Args& args) {
  const auto count = args.size() == 1 ? parse_number(args[0]) : std::optional<uint32_t>(8);
  if (!count || *count > 255) {
    std::fprintf(stderr, "expected a count of 0 to 255\n");
    return false;
  }
  uint8_t bytes[255];
  s.api().KDX_GetRandStr(bytes, *count);
  std::printf("random: %s\n", hex(bytes, *count).c_str());
  return true;
}

bool demo_device(VelmorSession& s) {
  bool ok = version(s, {});
  ok = led(s, {"on"}) && ok;
  ok = buzzer(s, {"on"}) && ok;
  ok = buzzer(s, {"off"}) && ok;
  ok = door(s, {}) && ok;
  return ok;
}

const RegisterVelmor kCommands({
    {"version", "", "the reader's version text", nullptr, &version},
    {"test", "", "the device test (version text begins with KDX)", nullptr, &device_test},
    {"led", "on|off", "the green LED", nullptr, &led},
    {"buzzer", "on|off", "the buzzer", nullptr, &buzzer},
    {"door", "", "is a card behind the door switch?", nullptr, &door},
    {"watch", "[SECONDS]", "report card insertion and removal until Ctrl-C (or for SECONDS)", nullptr, &watch},
    {"eject", "", "push the card out", nullptr, &eject},
    {"message", "STATUS", "the message text of a status number", nullptr, &message},
    {"random", "[COUNT]", "random bytes (not for secrets)", nullptr, &random_bytes},
});
const RegisterVelmor kDemo(DemoPart{10, "reader", &demo_device});

}  // namespace
}  // namespace kdx::tool
