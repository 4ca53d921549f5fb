// SLE4428 commands: answer to reset, read, write, protection bits, PSC and
// error counter, and the SLE4428 part of the demonstration.
#include <cstdio>
#include <vector>

#include "kdx/sle_commands.h"

namespace kdx::tool {
namespace {

constexpr uint32_t kMemorySize = 1024;
constexpr std::size_t kPscSize = 2;
// What the reader delivers for a protected byte in the read with protection
// bits.
constexpr uint8_t kProtectedBit = 0;

const sle::Family kSle4428{
    "SLE4428",
    "sle4428",
    kMemorySize,
    kPscSize,
    0xFF,
    [](const VelmorApi& api, uint8_t* atr) { return api.SLE4428_OpenCard(atr); },
    [](const VelmorApi& api) { return api.SLE4428_CloseCard(); },
    [](const VelmorApi& api, uint32_t address, uint32_t length, uint8_t* destination) {
      return api.SLE4428_ReadChar(address, length, destination);
    },
    [](const VelmorApi& api, uint32_t address, uint32_t length, const uint8_t* source) {
      return api.SLE4428_WriteChar(address, length, source);
    },
    [](const VelmorApi& api, uint8_t* counter) { return api.SLE4428_ReadPAC(counter); },
    [](const VelmorApi& api, const uint8_t* psc) { return api.SLE4428_VerifyPWD(psc[0], psc[1]); },
    [](const VelmorApi& api, const uint8_t* psc) { return api.SLE4428_WritePWD(psc); },
};

// The protected bytes of a range, as runs of addresses.
bool protection(VelmorSession& s, const Args& args) {
  uint32_t address = 0;
  uint32_t length = 0;
  if (!sle::parse_range(kSle4428, args, 0, kMemorySize, address, length) || !sle::open_card(kSle4428, s)) {
    return false;
  }
  std::vector<uint8_t> bits(length);
  if (!s.check(s.api().SLE4428_PReadChar(address, length, bits.data()), "protection bits")) return false;
  std::printf("protected bytes of 0x%X to 0x%X:", address, address + length - 1);
  bool any = false;
  for (uint32_t i = 0; i < length; ++i) {
    if (bits[i] != kProtectedBit || (i > 0 && bits[i - 1] == kProtectedBit)) continue;
    uint32_t end = i;
    while (end + 1 < length && bits[end + 1] == kProtectedBit) ++end;
    std::printf(end == i ? " 0x%X" : " 0x%X-0x%X", address + i, address + end);
    any = true;
  }
  std::printf("%s\n", any ? "" : " none");
  return true;
}

bool demo(VelmorSession& s) {
  s.use_sample_card(kSle4428.sample);
  bool ok = sle::atr(kSle4428, s, {});
  ok = sle::read(kSle4428, s, {"0x20", "32"}) && ok;
  ok = protection(s, {"0", "64"}) && ok;
  ok = sle::verify(kSle4428, s, {"FFFF"}) && ok;
  ok = sle::counter(kSle4428, s, {}) && ok;
  return ok;
}

using sle::command;
const RegisterVelmor kCommands({
    {"sle4428-atr", "", "SLE4428: power the card and show its answer to reset", "sle4428",
     &command<kSle4428, &sle::atr>},
    {"sle4428-read", "[ADDRESS [LENGTH]]", "SLE4428: hex dump of the memory", "sle4428",
     &command<kSle4428, &sle::read>},
    {"sle4428-write", "ADDRESS HEX [PSC]", "SLE4428: write bytes (presenting the PSC first)", "sle4428",
     &command<kSle4428, &sle::write>},
    {"sle4428-protection", "[ADDRESS [LENGTH]]", "SLE4428: which bytes are protected", "sle4428", &protection},
    {"sle4428-verify", "PSC", "SLE4428: present the 2-byte PSC", "sle4428", &command<kSle4428, &sle::verify>},
    {"sle4428-psc", "OLD NEW", "SLE4428: change the PSC", "sle4428", &command<kSle4428, &sle::change_psc>},
    {"sle4428-counter", "", "SLE4428: the error counter (attempts left)", "sle4428", &command<kSle4428, &sle::counter>},
});
const RegisterVelmor kDemo(DemoPart{21, "SLE4428 card", &demo});

}  // namespace
}  // namespace kdx::tool
