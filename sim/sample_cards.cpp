#include "sim/sample_cards.h"

namespace kdx::sim {
namespace {

std::unique_ptr<ReaderCard> make_blank() { return std::make_unique<ReaderCard>(); }

}  // namespace

const std::vector<SampleCard>& sample_cards() {
  static const std::vector<SampleCard> cards = {
      {"blank", "a card the reader cannot talk to (every read gives 0xFF)", &make_blank},
  };
  return cards;
}

std::unique_ptr<ReaderCard> make_sample_card(std::string_view name) {
  for (const SampleCard& card : sample_cards()) {
    if (name == card.name) return card.make();
  }
  return nullptr;
}

}  // namespace kdx::sim
