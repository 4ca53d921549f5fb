#include "sim/sample_cards.h"

#include "sim/cards/cpu_file_system.h"

namespace kdx::sim {
namespace {

std::unique_ptr<ReaderCard> make_blank() { return std::make_unique<ReaderCard>(); }

}  // namespace

const std::vector<SampleCard>& sample_cards() {
  static const std::vector<SampleCard> cards = {
      {"blank", "a card the reader cannot talk to (every read gives 0xFF)", &make_blank},
      {"cpu", "a T=0 CPU card with a small file system (SELECT, READ BINARY, UPDATE BINARY)", &make_file_system_card},
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
