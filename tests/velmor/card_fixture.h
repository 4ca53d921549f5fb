// For the memory-card tests: a card model in the reader's slot with the
// session open, runs of expected frames, and a card that answers reads with
// a fixed number of bytes.
#pragma once

#include <functional>
#include <memory>
#include <span>

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
  struct CheckCase {
    const char* name;
    std::function<StatusCode()> call;
    StatusCode status;
  };
  // Each call returns its status without a byte on the line.
  void expect_no_traffic(std::span<const CheckCase> cases) {
    for (const CheckCase& c : cases) {
      SCOPED_TRACE(c.name);
      reader.clear_trace();
      EXPECT_EQ(c.call(), c.status);
      EXPECT_TRUE(reader.trace().empty());
    }
  }

  // An operation whose frame after the first `accepted` ones fails: the
  // reader NAKs it at every try, or answers it with status 21.
  struct FaultCase {
    const char* name;
    bool unlock_first;
    std::size_t accepted;
    bool nak;
    std::function<StatusCode()> call;
    StatusCode status;
    std::function<void(const Card&)> check;  // what the card holds afterwards
  };
  static constexpr uint8_t kFaultStatus = 21;

  // Runs each case in a session of its own, on the card `prepare` sets up:
  // the operation ends with the failing frame's status and sends nothing
  // after it.
  void run_fault_cases(std::span<const FaultCase> cases, const std::function<void(bool unlock)>& prepare) {
    for (const FaultCase& c : cases) {
      SCOPED_TRACE(c.name);
      prepare(c.unlock_first);
      reader.after_commands(c.accepted, [&] {
        if (c.nak) {
          reader.nak_frames(3);
        } else {
          reader.override_status(1, kFaultStatus);
        }
      });
      EXPECT_EQ(c.call(), c.status);
      EXPECT_EQ(reader.commands().size(), c.accepted + (c.nak ? 0 : 1));
      c.check(model());
      ASSERT_EQ(KDX_ExitComm(), ST_OK);
    }
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
  sim::CardReply command(uint8_t, std::span<const uint8_t>, uint64_t) override { return {0, Bytes(count_, 0x5A)}; }

 private:
  std::size_t count_;
};

}  // namespace kdx::test
