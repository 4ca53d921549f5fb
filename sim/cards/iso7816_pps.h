// The card model's side of protocol and parameter selection: a request
// (PPSS 0xFF as the first byte after the answer to reset, PPS0, the PPS1 to
// PPS3 that PPS0 announces, PCK) and the card's answer.
//
// The card accepts the factors it can run at (the default ones, or Fi of
// its TA1 with a Di up to that of TA1) by echoing PPS1, and then runs at
// Di x 3.5712 MHz / Fi from the end of its answer; it answers factors it
// cannot take without PPS1 (and stays at the default ones). Configured, it
// refuses every request that way, or stays silent.
//
// Host faults are logged, and leave the card mute until the next reset: a
// request to a card in its specific mode (TA2 present), a wrong PCK, or a
// protocol the card does not offer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kdx::sim {

class Iso7816Card;

// ISO/IEC 7816-3 Fi and Di by FI and DI; 0 where it leaves a value reserved.
inline constexpr uint32_t kIsoFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
inline constexpr uint32_t kIsoDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

enum class PpsAnswer : uint8_t { accept, refuse, silent };

struct PpsBehaviour {
  PpsAnswer answer = PpsAnswer::accept;
};

// What the card's own ATR offers.
struct PpsCapabilities {
  std::optional<uint8_t> ta1;
  bool specific_mode = false;
  uint32_t protocols = 1;  // bit T set when the card offers protocol T
};

class PpsCardSide {
 public:
  PpsCardSide(Iso7816Card& card, PpsBehaviour behaviour, PpsCapabilities capabilities);
  // A byte of the request; the first is PPSS.
  void on_byte(uint8_t byte, uint64_t now_ns);
  // The whole request has come (answered or not).
  bool finished() const { return finished_; }

 private:
  void on_request(uint64_t now_ns);
  bool can_run_at(uint8_t pps1) const;

  Iso7816Card& card_;
  PpsBehaviour behaviour_;
  PpsCapabilities capabilities_;
  std::vector<uint8_t> request_;
  bool finished_ = false;
};

}  // namespace kdx::sim
