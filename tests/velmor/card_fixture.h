// For the memory-card tests: a card model in the reader's slot with the
// session open, runs of expected frames, and a card that answers reads with
// a fixed number of bytes.
#pragma once

#include <memory>

#include "velmor/reader_fixture.h"

namespace kdx::test {

using Frames = std::vector<Bytes>;

inline Frames operator+(Frames a, const Frames& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

template <typename Card>
class CardFixture : public ReaderFixture {
 protected:
  // Puts `card` in the slot and opens the session; the frames so far are
  // forgotten.
  Card& insert(std::unique_ptr<Card> card) {
    Card& model = *card;
    reader.insert(std::move(card));
    open();
    return model;
  }
  Card& model() { return static_cast<Card&>(*reader.card()); }

  static Bytes put_io(uint8_t line, uint8_t value) { return frame(17, {line, value}); }
  // `count` pulses on line 144: 1, then 0.
  static Frames pulses(unsigned count) {
    Frames frames;
    for (unsigned i = 0; i < count; ++i) {
      frames.push_back(put_io(144, 1));
      frames.push_back(put_io(144, 0));
    }
    return frames;
  }
  // A card command framed by the family's begin, send and end codes.
  static Frames card_command(const uint8_t (&codes)[3], uint8_t control, uint8_t address, uint8_t data) {
    return {frame(codes[0]), frame(codes[1], {control, address, data}), frame(codes[2])};
  }
};

// Answers every reading command with `count` bytes 0x5A, whatever was asked.
class FixedLengthCard : public sim::ReaderCard {
 public:
  explicit FixedLengthCard(std::size_t count) : count_(count) {}
  sim::CardReply command(uint8_t, std::span<const uint8_t>, uint64_t) override {
    return {0, Bytes(count_, 0x5A)};
  }

 private:
  std::size_t count_;
};

}  // namespace kdx::test
