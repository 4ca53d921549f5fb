// A session with an activated ISO/IEC 7816-3 card model, for the exchange
// tests, and a card that plays a fixed script instead of the protocol, for
// cards that break it.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "sim/cards/iso7816_card.h"
#include "tarsk/line_fixture.h"

namespace kdx::test {

inline const Bytes kPlainAtr = {0x3B, 0x02, 0x14, 0x50};
// Inverse convention, TA1 0x11 (as the card means it).
inline const Bytes kInverseAtr = {0x3F, 0x13, 0x11, 0x4B, 0x44, 0x58};

inline Bytes hex_bytes(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

// A card that answers to reset with `atr` and then, each time the host has
// sent the number of bytes a reply waits for, sends that reply (`gap_ms`
// of silence after its first byte). It keeps to no protocol.
class ScriptCard : public sim::SlotCard {
 public:
  struct Reply {
    std::size_t after_host_bytes;
    Bytes bytes;
    uint32_t gap_ms = 0;
  };
  ScriptCard(Bytes atr, std::deque<Reply> replies) : atr_(std::move(atr)), replies_(std::move(replies)) {}

  void on_inserted(sim::CardLine& line, uint64_t) override { line_ = &line; }
  void on_removed(uint64_t) override { line_ = nullptr; }
  void on_reset(bool held, uint64_t now_ns) override {
    if (held || line_ == nullptr) return;
    heard_ = 0;
    line_->schedule(now_ns + 3 * sim::kNsPerMs, [this] {
      for (uint8_t b : atr_) line_->send(b);
    });
  }
  void on_host_byte(uint8_t, const sim::LineSettings&, uint64_t now_ns) override {
    ++heard_;
    if (replies_.empty() || heard_ < replies_.front().after_host_bytes) return;
    const Reply reply = replies_.front();
    replies_.pop_front();
    heard_ = 0;
    uint64_t at = now_ns + sim::kNsPerMs;
    for (std::size_t i = 0; i < reply.bytes.size(); ++i) {
      line_->schedule(at, [this, b = reply.bytes[i]] { line_->send(b); });
      if (i == 0) at += reply.gap_ms * sim::kNsPerMs;
    }
  }

 private:
  Bytes atr_;
  std::deque<Reply> replies_;
  std::size_t heard_ = 0;
  sim::CardLine* line_ = nullptr;
};

class CardExchange : public LineFixture {
 protected:
  sim::Iso7816Card& insert_iso(sim::Iso7816CardConfig config) {
    auto card = std::make_unique<sim::Iso7816Card>(std::move(config));
    sim::Iso7816Card& inserted = *card;
    device.insert(std::move(card));
    return inserted;
  }

  // Opens the session and activates whatever card is in the slot.
  void activate() {
    open();
    uint8_t atr[64] = {};
    uint16_t length = 0;
    ASSERT_EQ(CPU_OpenCard(atr, &length), ST_OK);
    device.clear_trace();
  }

  std::vector<std::string> violations(const sim::Iso7816Card& card) const {
    auto held = clock.lock();
    return card.violations();
  }

  // The bytes the host wrote since the trace was last cleared.
  Bytes host_written() const {
    Bytes bytes;
    for (const auto& entry : device.host_bytes()) bytes.push_back(entry.byte);
    return bytes;
  }
};

}  // namespace kdx::test
