// Named sample cards for the embedded simulator of the command-line tool and
// for the standalone reader simulator: a card model with data on it, ready
// to be put in the reader's slot.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace kdx::sim
