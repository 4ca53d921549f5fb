// The AT24C and AT45D card models driven directly with the reader's codes
// at chosen times: what the chips do on their buses.
#include <gtest/gtest.h>

#include <vector>

#include "sim/cards/at24c.h"
#include "sim/cards/at45d.h"

namespace kdx::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMs = 1'000'000;

// One reader command to a card; `read` is a count for a reading command.
struct Step {
  uint8_t code;
  Bytes data;
  uint64_t at_ms = 0;
};

Bytes count(uint16_t n) { return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}; }

// Runs the steps; returns what the reading ones answered, one after the other.
Bytes run(ReaderCard& card, const std::vector<Step>& steps) {
  Bytes answered;
  for (const Step& s : steps) {
    const CardReply reply = card.command(s.code, s.data, s.at_ms * kMs);
    if (ReaderSim::is_reading_command(s.code)) answered.insert(answered.end(), reply.data.begin(), reply.data.end());
  }
  return answered;
}

constexpr uint8_t kPower = 19, kStart = 21, kStop = 22, kSend = 24, kReceive = 25, kLast = 26;

Bytes counting(std::size_t size) {
  Bytes memory(size);
  for (std::size_t i = 0; i < size; ++i) memory[i] = static_cast<uint8_t>(i);
  return memory;
}

TEST(At24cModel, BusBehaviour) {
  struct Case {
    const char* name;
    uint8_t type;
    std::vector<Step> steps;
    Bytes answered;
    std::vector<std::pair<std::size_t, uint8_t>> memory;  // address, byte afterwards
    std::size_t violations;
  };
  const Case cases[] = {
      {"type 1: the first byte carries the address",
       1,
       {{kStart, {}}, {kSend, {0x21}}, {kReceive, count(1)}, {kLast, count(1)}, {kStop, {}}},
       {0x10, 0x11},
       {},
       0},
      {"type 4: device bit 1 is address bit 8",
       4,
       {{kStart, {}}, {kSend, {0xA2, 0x05}}, {kStart, {}}, {kSend, {0xA3}}, {kLast, count(1)}, {kStop, {}}},
       {0x05},  // memory byte 0x105 holds 0x05
       {},
       0},
      {"type 3: a device byte of another chip is not acknowledged",
       3,
       {{kStart, {}}, {kSend, {0xA2, 0x05, 0x99}}, {kStop, {}}, {kStart, {}}, {kSend, {0xA1}}, {kLast, count(1)}, {kStop, {}}},
       {0x00},  // the address counter was not moved by the ignored write
       {{5, 0x05}},
       0},
      {"type 3: the page buffer wraps in its page and is programmed at the stop",
       3,
       {{kStart, {}}, {kSend, {0xA0, 0x06, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, {kStop, {}}},
       {},
       {{6, 9}, {7, 10}, {0, 3}, {5, 8}, {8, 8}},
       2},
      {"type 3: a start before the stop drops the page",
       3,
       {{kStart, {}}, {kSend, {0xA0, 0x10, 0xEE}}, {kStart, {}}, {kStop, {}}},
       {},
       {{0x10, 0x10}},
       0},
      {"type 3: the write cycle ignores a whole transaction",
       3,
       {{kStart, {}, 0},
        {kSend, {0xA0, 0x20, 0xAA}, 0},
        {kStop, {}, 0},
        {kStart, {}, 4},
        {kSend, {0xA0, 0x21, 0xBB}, 4},
        {kStop, {}, 4},
        {kStart, {}, 6},
        {kSend, {0xA0, 0x22, 0xCC}, 6},
        {kStop, {}, 6}},
       {},
       {{0x20, 0xAA}, {0x21, 0x21}, {0x22, 0xCC}},
       1},
      {"type 3: a sequential read wraps at the end of memory",
       3,
       {{kStart, {}}, {kSend, {0xA0, 0xFE}}, {kStart, {}}, {kSend, {0xA1}}, {kReceive, count(3)}, {kLast, count(1)}, {kStop, {}}},
       {0xFE, 0xFF, 0x00, 0x01},
       {},
       0},
      {"type 10: two address bytes; a read that stops without the last byte is a fault",
       10,
       {{kStart, {}}, {kSend, {0xA0, 0x01, 0x02}}, {kStart, {}}, {kSend, {0xA1}}, {kReceive, count(2)}, {kStop, {}}},
       {0x02, 0x03},
       {},
       1},
      {"unpowered, the chip reads 0xFF and ignores writes",
       3,
       {{kPower, {0}}, {kStart, {}}, {kSend, {0xA0, 0x00, 0x55}}, {kStop, {}}, {kLast, count(1)}},
       {0xFF},
       {{0, 0}},
       0},
      {"bytes and reads outside a transaction are faults",
       3,
       {{kSend, {0xA0}}, {kLast, count(1)}},
       {0xFF},
       {},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    At24cCard card(c.type, counting(velmor::at24c::kTypes[c.type].capacity));
    card.command(kPower, Bytes{1}, 0);
    EXPECT_EQ(run(card, c.steps), c.answered);
    for (const auto& [address, byte] : c.memory) EXPECT_EQ(card.memory()[address], byte) << "at " << address;
    EXPECT_EQ(card.violations().size(), c.violations);
  }
}

constexpr uint8_t kFlashPower = 35, kSelect = 37, kDeselect = 38, kIn = 39, kOut = 40;

TEST(At45dModel, ChipBehaviour) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Bytes answered;
    std::size_t violations;
  };
  const Case cases[] = {
      {"a page read wraps inside the page",
       {{kSelect, {}}, {kOut, {0x52, 0x00, 0x03, 0x06, 0, 0, 0, 0}}, {kIn, count(3)}, {kDeselect, {}}},
       {0x0E, 0x0F, 0x08},  // page 1 from byte 262: bytes 262, 263, then 0
       0},
      {"a buffer write wraps inside the buffer",
       {{kSelect, {}}, {kOut, {0x84, 0x00, 0x01, 0x07, 1, 2, 3}}, {kDeselect, {}},
        {kSelect, {}}, {kOut, {0x54, 0x00, 0x00, 0x00, 0x00}}, {kIn, count(2)}, {kDeselect, {}}},
       {2, 3},
       0},
      {"while busy only the status read is served",
       {{kSelect, {}, 0}, {kOut, {0x83, 0x00, 0x02, 0x00}, 0}, {kDeselect, {}, 0},
        {kSelect, {}, 1}, {kOut, {0x57}, 1}, {kIn, count(2), 1}, {kDeselect, {}, 1},
        {kSelect, {}, 2}, {kOut, {0x52, 0x00, 0x02, 0x00, 0, 0, 0, 0}, 2}, {kIn, count(1), 2}, {kDeselect, {}, 2},
        {kSelect, {}, 25}, {kOut, {0x57}, 25}, {kIn, count(1), 25}, {kDeselect, {}, 25}},
       {0x1C, 0x1C, 0xFF, 0x9C},
       1},
      {"the transfer takes a quarter of a millisecond",
       {{kSelect, {}, 0}, {kOut, {0x53, 0x00, 0x02, 0x00}, 0}, {kDeselect, {}, 0},
        {kSelect, {}, 0}, {kOut, {0x57}, 0}, {kIn, count(1), 0}, {kDeselect, {}, 0},
        {kSelect, {}, 1}, {kOut, {0x57}, 1}, {kIn, count(1), 1}, {kDeselect, {}, 1}},
       {0x1C, 0x9C},
       0},
      {"a read before the address is complete is a fault",
       {{kSelect, {}}, {kOut, {0x52, 0x00}}, {kIn, count(1)}, {kDeselect, {}}},
       {0xFF},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes contents(2 * 264);
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i);
    At45dCard card(2048, contents);
    card.command(kFlashPower, Bytes{1}, 0);
    EXPECT_EQ(run(card, c.steps), c.answered);
    EXPECT_EQ(card.violations().size(), c.violations);
  }
}

TEST(At45dModel, AChipThatNeverBecomesReady) {
  At45dCard card(1024);
  card.set_never_ready(true);
  card.command(kFlashPower, Bytes{1}, 0);
  EXPECT_EQ(run(card, {{kSelect, {}, 0}, {kOut, {0x57}, 0}, {kIn, count(1), 1000}, {kDeselect, {}, 1000}}), Bytes{0x14});
  card.command(kFlashPower, Bytes{0}, 0);
  EXPECT_EQ(run(card, {{kSelect, {}}, {kOut, {0x57}}, {kIn, count(1)}, {kDeselect, {}}}), Bytes{0xFF});
}

}  // namespace
}  // namespace kdx::sim
