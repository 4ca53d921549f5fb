// Named sample cards for the embedded simulators of the command-line tool and
// of the PC/SC handler, and for the standalone reader simulator: a card
// model with data on it, ready to be put in the reader's slot.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/cards/iso7816_card.h"
#include "sim/reader_sim.h"

namespace kdx::sim {

struct SampleCard {
  const char* name;         // "sle4442", ...
  const char* description;
  std::unique_ptr<ReaderCard> (*make)();
};

// Every sample card the simulator knows, in a stable order.
const std::vector<SampleCard>& sample_cards();
// The AT102 family's samples (sim/cards/at102_samples.cpp).
std::vector<SampleCard> at102_family_samples();
// nullptr for an unknown name.
std::unique_ptr<ReaderCard> make_sample_card(std::string_view name);

// The sample cards of a serial-line slot (the Tarsk reader's): ISO/IEC
// 7816-3 cards that answer in T=1 where their ATR offers it.
struct SerialLineSample {
  const char* name;  // "t0", ...
  const char* description;
  std::vector<uint8_t> atr;
  std::vector<AtrPause> pauses{};  // within the ATR
  T0Behaviour t0{};
  // T=1: the EDC of the card's block with this number (from 1, counted over
  // the card's life in the slot) is wrong, once; 0 for none.
  unsigned bad_edc_block = 0;
};

// A card that never answers, in a serial-line slot.
inline constexpr std::string_view kSilentCard = "silent";

// Every serial-line sample, in a stable order (kSilentCard is not one).
const std::vector<SerialLineSample>& serial_line_samples();
// nullptr for an unknown name.
const SerialLineSample* find_serial_line_sample(std::string_view name);
// A card answering to reset with `atr`, with the sample's pauses and T=0
// behaviour when one is given.
std::unique_ptr<Iso7816Card> make_iso_card(std::vector<uint8_t> atr, const SerialLineSample* sample = nullptr);
// The sample named, or for kSilentCard a card that never answers; nullptr
// for another name.
std::unique_ptr<Iso7816Card> make_serial_line_card(std::string_view name);

}  // namespace kdx::sim
