// SLE4442 commands: answer to reset, read, write, protection bits, PSC and
// error counter, and the SLE4442 part of the demonstration.
#include <cstdio>

#include "kdx/sle_commands.h"

namespace kdx::tool {
namespace {

constexpr std::size_t kProtectedBytes = 32;
constexpr std::size_t kPscSize = 3;

const sle::Family kSle4442{
    "SLE4442",
    "sle4442",
    256,
    kPscSize,
    0x07,
    [](const VelmorApi& api, uint8_t* atr) { return api.SLE4442_OpenCard(atr); },
    [](const VelmorApi& api) { return api.SLE4442_CloseCard(); },
    [](const VelmorApi& api, uint32_t address, uint32_t length, uint8_t* destination) {
      return api.SLE4442_ReadChar(address, length, destination);
    },
    [](const VelmorApi& api, uint32_t address, uint32_t length, const uint8_t* source) {
      return api.SLE4442_WriteChar(address, length, source);
    },
    [](const VelmorApi& api, uint8_t* counter) { return api.SLE4442_ReadPAC(counter); },
    [](const VelmorApi& api, const uint8_t* psc) { return api.SLE4442_VerifyPWD(psc[0], psc[1], psc[2]); },
    [](const VelmorApi& api, const uint8_t* psc) { return api.SLE4442_WritePWD(psc); },
};

// The 32 protection bits, as the list of protected bytes among 0 to 31.
bool protection(VelmorSession& s, const Args&) {
  uint8_t bits[kProtectedBytes / 8] = {};
  if (!sle::open_card(kSle4442, s) || !s.check(s.api().SLE4442_PReadChar(bits), "protection bits")) return false;
  std::printf("protection bits %s (0 = protected); protected bytes:", hex(bits, sizeof bits).c_str());
  bool any = false;
  for (std::size_t k = 0; k < kProtectedBytes; ++k) {
    if ((bits[k / 8] & (1u << (k % 8))) != 0) continue;
    std::printf(" %zu", k);
    any = true;
  }
  std::printf("%s\n", any ? "" : " none");
  return true;
}

bool demo(VelmorSession& s) {
  s.use_sample_card(kSle4442.sample);
  bool ok = sle::atr(kSle4442, s, {});
  ok = sle::read(kSle4442, s, {"0", "64"}) && ok;
  ok = sle::counter(kSle4442, s, {}) && ok;
  ok = sle::verify(kSle4442, s, {"FFFFFF"}) && ok;
  ok = sle::write(kSle4442, s, {"0x40", "48656C6C6F2C20636172642E"}) && ok;  // "Hello, card."
  ok = sle::read(kSle4442, s, {"0x40", "16"}) && ok;
  ok = sle::counter(kSle4442, s, {}) && ok;
  return ok;
}

using sle::command;
const RegisterVelmor kCommands({
    {"sle4442-atr", "", "SLE4442: power the card and show its answer to reset", "sle4442",
     &command<kSle4442, &sle::atr>},
    {"sle4442-read", "[ADDRESS [LENGTH]]", "SLE4442: hex dump of the main memory", "sle4442",
     &command<kSle4442, &sle::read>},
    {"sle4442-write", "ADDRESS HEX [PSC]", "SLE4442: write bytes (presenting the PSC first)", "sle4442",
     &command<kSle4442, &sle::write>},
    {"sle4442-protection", "", "SLE4442: which of bytes 0 to 31 are protected", "sle4442", &protection},
    {"sle4442-verify", "PSC", "SLE4442: present the 3-byte PSC", "sle4442", &command<kSle4442, &sle::verify>},
    {"sle4442-psc", "OLD NEW", "SLE4442: change the PSC", "sle4442", &command<kSle4442, &sle::change_psc>},
    {"sle4442-counter", "", "SLE4442: the error counter (attempts left)", "sle4442", &command<kSle4442, &sle::counter>},
});
const RegisterVelmor kDemo(DemoPart{20, "SLE4442 card", &demo});

}  // namespace
}  // namespace kdx::tool
