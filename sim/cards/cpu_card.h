// A microprocessor card behind the reader's CPU-card commands, and the
// reader's ISO buffer that collects what the card sends.
//
// The model is reactive: nothing runs between reader commands. What the card
// sends is a timeline of bytes at given virtual times; at each command the
// bytes whose time has come are moved into the ISO buffer. So a card that
// answers with a NULL byte after 1000 ms and its status word later is just
// two entries on the timeline, and the host's polling sees them appear.
//
// Reader commands served:
//   58 (data 1)  contacts on and reset: the ISO buffer is emptied and the
//                ATR for power-on (if any) follows;
//   58 (data 0)  contacts off: whatever the card had still to send is lost;
//   59           warm reset of a powered card: as power-on, with the ATR for
//                a warm reset;
//   60           the ISO buffer: everything since it was last emptied (the
//                first 195 bytes, what one response frame carries);
//   61           empties the ISO buffer;
//   62           passes the frame's bytes to the card; the ISO buffer then
//                holds only what the card sends after them. Answered with
//                an empty response frame.
//
// The card's T=0 side: the first five bytes of a command are its header;
// the application (T0Application) answers with a Script of bytes to send,
// which may end by waiting for data bytes from the host; when they have
// come, the application is asked again. Bytes that arrive while the card is
// not waiting for data begin a new command (what the card still had to send
// is dropped).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/reader_sim.h"

namespace kdx::sim {

inline constexpr uint8_t kT0Null = 0x60;
inline constexpr std::size_t kT0HeaderSize = 5;

// What the card does next: bytes, one character time apart unless a pause
// stands before them, optionally ended by waiting for bytes from the host.
class Script {
 public:
  struct Step {
    uint64_t pause_ns;  // silence before this byte, on top of its character time
    uint8_t byte;
  };

  Script& send(std::span<const uint8_t> bytes);
  Script& send(std::initializer_list<uint8_t> bytes) { return send(std::span<const uint8_t>(bytes.begin(), bytes.size())); }
  Script& pause_ms(uint32_t milliseconds);
  Script& nulls(unsigned count, uint32_t gap_ms = 0);
  Script& status(uint16_t sw) { return send({static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw & 0xFF)}); }
  // After the bytes so far, wait for `count` bytes from the host. Ends the
  // script: what follows the data is the application's next answer.
  Script& receive(std::size_t count);

  const std::vector<Step>& steps() const { return steps_; }
  std::size_t receive_count() const { return receive_; }

 private:
  std::vector<Step> steps_;
  uint64_t pause_ns_ = 0;
  std::size_t receive_ = 0;
};

// The card's application: what it answers to each command.
class T0Application {
 public:
  using Header = std::span<const uint8_t, kT0HeaderSize>;
  virtual ~T0Application() = default;
  // The five header bytes have arrived.
  virtual Script on_header(Header header) = 0;
  // The bytes the last script waited for have arrived; `data` holds all data
  // bytes of this command so far.
  virtual Script on_data(Header /*header*/, std::span<const uint8_t> /*data*/) { return {}; }
  // The card was reset (power-on or warm reset): what a real card keeps in
  // RAM (the selected file, a response waiting, security state) is gone;
  // what it keeps in EEPROM (file contents) stays.
  virtual void on_reset() {}
};

struct CpuCardConfig {
  std::optional<std::vector<uint8_t>> power_on_atr;  // nullopt: silent after power-on
  std::optional<std::vector<uint8_t>> warm_reset_atr;
  uint64_t atr_delay_ns = 5'000'000;  // from the reset to the first ATR byte
  // One character of the card: 12 etu at 9600 bit/s.
  uint64_t character_ns = 1'250'000;
};

class CpuCard : public ReaderCard {
 public:
  // An ISO buffer this size keeps an ATR and a full-length response; bytes
  // beyond are lost, as in a reader whose buffer is full.
  static constexpr std::size_t kIsoBufferCapacity = 300;

  CpuCard(CpuCardConfig config, std::unique_ptr<T0Application> application);

  CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override;
  std::string name() const override { return "CPU"; }

  bool powered() const { return powered_; }
  // The bytes of every command 62, as the card received them.
  const std::vector<std::vector<uint8_t>>& received() const { return received_; }

 private:
  enum class Phase : uint8_t { header, receiving, answered };

  void reset(const std::optional<std::vector<uint8_t>>& atr, uint64_t now_ns);
  void arrive(uint64_t now_ns);
  void take_byte(uint8_t byte, uint64_t now_ns);
  void play(const Script& script, uint64_t now_ns);

  CpuCardConfig config_;
  std::unique_ptr<T0Application> application_;
  bool powered_ = false;
  std::deque<std::pair<uint64_t, uint8_t>> pending_;  // the card's bytes still on their way
  uint64_t line_free_ns_ = 0;                          // when the card's last scheduled byte ends
  std::vector<uint8_t> iso_buffer_;
  Phase phase_ = Phase::header;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> data_;
  std::size_t data_expected_ = 0;
  std::vector<std::vector<uint8_t>> received_;
};

// A card application played from prepared scripts, for tests: each command
// takes the next script; a script may wait for data several times (the
// pieces after each wait come from the same script's continuation list).
class ScriptedApplication : public T0Application {
 public:
  // The card's part of the next command: `parts[0]` after the header, then
  // one part each time the previous part's data has arrived.
  void add(std::vector<Script> parts);

  Script on_header(Header header) override;
  Script on_data(Header header, std::span<const uint8_t> data) override;

  const std::vector<std::vector<uint8_t>>& headers() const { return headers_; }
  // The data bytes of each command, in order.
  const std::vector<std::vector<uint8_t>>& data() const { return data_; }

 private:
  std::deque<std::vector<Script>> commands_;
  std::vector<Script> current_;
  std::size_t next_part_ = 0;
  std::vector<std::vector<uint8_t>> headers_;
  std::vector<std::vector<uint8_t>> data_;
};

}  // namespace kdx::sim
