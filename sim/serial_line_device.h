// The interface device of the serial-line card reader, simulated: the card's
// I/O contact on the data line, the card reset on RTS, card presence on CTS,
// and device presence as DSR following DTR.
//
// Seen from the host's port:
//   - DSR mirrors DTR while the device is attached (off when detached; a
//     fault can hold it on);
//   - every byte the host writes comes back, arriving with the host's own
//     character, while the device is attached and its data loop intact (a
//     filter can drop or change echoed bytes);
//   - CTS is on while a card sits in the slot; a card can be inserted or
//     pulled at any moment, for example from an action scheduled on the
//     clock in the middle of a library call;
//   - each host byte is recorded with the line settings (rate, data bits,
//     parity, stop bits) it was sent with, and each card byte with its own
//     framing and how the host port received it.
//
// A card model (SlotCard) plugged into the slot sees the reset line, and
// while it runs every host byte with its settings, so it can refuse bytes
// sent at the wrong rate or framing; it answers through its CardLine.
//
// All of it runs under the virtual clock's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/virtual_port.h"

namespace kdx::sim {

// The framing of a character the card sends: rate, parity and stop bits as
// the host's UART sees them on the wire (8 data bits).
struct CardFraming {
  uint32_t baud_rate;
  uint8_t parity;     // KDX_PARITY_...
  uint8_t stop_bits;  // KDX_STOPBITS_...
};

// A card's characters are understood at a line rate within 3 % of the
// card's rate (3 % of the line rate: the windows in which the host maps a
// card's rate to a port speed).
inline constexpr uint32_t kRateTolerancePercent = 3;
bool rates_match(uint32_t line_rate, uint32_t card_rate);

// The framing of the host's current settings.
CardFraming framing_of(const LineSettings& settings);
// Nanoseconds one character of this framing takes on the line.
uint64_t character_time_ns(const CardFraming& framing);

// The card's side of the data line, handed to a card when it is inserted.
class CardLine {
 public:
  virtual ~CardLine() = default;
  // Puts a byte on the I/O line, sent with `framing`, behind whatever the
  // card is still sending; it reaches the host when its last bit has
  // arrived. A host port whose rate does not match the card's receives a
  // garbled byte; one set to another parity with parity checking on
  // receives the byte with a parity error (delivered all the same, as by a
  // port without an error character). Bytes not yet arrived are lost when
  // the card is pulled or put in reset.
  virtual void send(uint8_t byte, const CardFraming& framing) = 0;
  // With the host's own settings.
  void send(uint8_t byte) { send(byte, framing_of(host_settings())); }
  // Runs `action` at `at_ns` under the clock's lock, unless the card has
  // been pulled or put in reset in the meantime.
  virtual void schedule(uint64_t at_ns, std::function<void()> action) = 0;
  // The host port's current settings.
  virtual LineSettings host_settings() const = 0;
  virtual uint64_t now_ns() const = 0;
};

// A card in the slot. The defaults do nothing: a card that is present and
// silent.
class SlotCard {
 public:
  virtual ~SlotCard() = default;
  // `line` stays valid until on_removed.
  virtual void on_inserted(CardLine& /*line*/, uint64_t /*now_ns*/) {}
  // RTS changed: `held` true while the card is held in reset; false lets it
  // run, and a card answers to reset after that.
  virtual void on_reset(bool /*held*/, uint64_t /*now_ns*/) {}
  // A host byte, complete at `now_ns`, while the card is not held in reset.
  virtual void on_host_byte(uint8_t /*byte*/, const LineSettings& /*settings*/, uint64_t /*now_ns*/) {}
  virtual void on_removed(uint64_t /*now_ns*/) {}
  virtual std::string name() const { return "card"; }
};

// A host byte as the device received it.
struct HostByte {
  uint64_t time_ns;
  uint8_t byte;
  LineSettings settings;  // the port's settings when the byte was sent
  bool card_in_reset;     // RTS was on
};

// A card byte as the host port received it.
struct CardByte {
  uint64_t time_ns;  // arrival of its last bit
  uint8_t sent;      // on the wire, as the card sent it
  uint8_t received;  // what the host port delivered
  CardFraming framing;
  bool rate_mismatch;  // the host's rate did not match: `received` is garbled
  bool parity_error;   // the host checks another parity than the character's
};

// A write of the host port's line settings.
struct SettingsWrite {
  uint64_t time_ns;
  LineSettings settings;
};

class SerialLineDevice final : public LinePeer, private CardLine {
 public:
  // Echoed bytes pass through the filter: `index` counts the host bytes
  // since the filter was set; nullopt drops the echo.
  using EchoFilter = std::function<std::optional<uint8_t>(uint8_t byte, std::size_t index)>;

  // Attaches itself to `port` (and detaches in the destructor).
  explicit SerialLineDevice(VirtualPort& port);
  ~SerialLineDevice() override;
  SerialLineDevice(const SerialLineDevice&) = delete;
  SerialLineDevice& operator=(const SerialLineDevice&) = delete;

  // A detached device drives no line and echoes nothing.
  void set_attached(bool attached);
  // DSR on whatever DTR says (and even when detached).
  void set_dsr_stuck_on(bool stuck);
  // An empty filter is the intact loop.
  void set_echo_filter(EchoFilter filter);
  void break_data_loop() {
    set_echo_filter([](uint8_t, std::size_t) { return std::nullopt; });
  }

  // Card slot. insert() replaces a card already there.
  void insert(std::unique_ptr<SlotCard> card);
  std::unique_ptr<SlotCard> remove();
  bool card_present() const;
  SlotCard* card() const;

  bool dtr_on() const;
  bool rts_on() const;
  LineSettings line_settings() const;
  std::vector<HostByte> host_bytes() const;
  std::vector<SettingsWrite> settings_writes() const;
  std::vector<CardByte> card_bytes() const;
  void clear_trace();

  // LinePeer.
  void on_host_byte(uint8_t byte, const LineSettings& settings, uint64_t now_ns) override;
  void on_settings(const LineSettings& settings, uint64_t now_ns) override;
  uint32_t modem_status(uint64_t now_ns) override;
  void on_port_open(uint64_t now_ns) override;
  void on_port_close(uint64_t now_ns) override;

 private:
  // CardLine.
  void send(uint8_t byte, const CardFraming& framing) override;
  void schedule(uint64_t at_ns, std::function<void()> action) override;
  LineSettings host_settings() const override;
  uint64_t now_ns() const override;

  // Takes the host's control lines; tells the card when RTS changed.
  void set_lines(bool dtr, bool rts, uint64_t now_ns);

  VirtualPort& port_;
  VirtualClock& clock_;
  bool attached_ = true;
  bool dsr_stuck_on_ = false;
  EchoFilter echo_filter_;
  std::size_t filtered_bytes_ = 0;
  std::unique_ptr<SlotCard> card_;
  uint64_t card_generation_ = 0;  // bumped when a card leaves or is reset, so its bytes in flight are lost
  uint64_t card_wire_free_ns_ = 0;
  bool dtr_ = false;
  bool rts_ = false;
  LineSettings settings_{};
  std::vector<HostByte> host_bytes_;
  std::vector<SettingsWrite> settings_writes_;
  std::vector<CardByte> card_bytes_;
};

}  // namespace kdx::sim
