// What the SLE4442 and SLE4428 card models share, as the reader drives
// them.
//
// The reader's family codes map onto the card's contacts:
//   power        supply on (data byte 1) or off (0); off forgets the
//                presented PSC
//   reset        the card restarts and outputs its answer to reset
//   begin        start condition: a card command follows
//   send         the three command bytes (control, address, data)
//   end          stop condition: the card takes the command, which puts it
//                into output mode (a read) or processing mode (a write or a
//                compare); with no command pending it ends the output
//   clock in     n bytes clocked out of the card (a response frame); the
//                card's output runs on across frames, and reads idle (0xFF)
//                past its end or in any other mode
//   process      the clocks of a whole erase-and-write cycle: completes the
//                operation in processing
//   finish       back to idle
//   line 144     the clock contact: each rising edge is one processing
//                clock; a compare needs two, an erase-and-write hundreds
//   line 145     the reader's hold on the I/O contact: 1 releases it, which
//                ends processing mode, finished or not
// A card that is not powered ignores everything but power.
//
// PSC verification, as the chips do it: spending an attempt (clearing a bit
// of the error counter, which needs no PSC) opens a comparison and locks the
// card; each PSC byte is then compared; when all of them were compared equal
// the card is unlocked until it is unpowered. Only an unlocked card takes
// writes to its memory, its protection bits, its PSC, and an erase of its
// error counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/reader_sim.h"

namespace kdx::sim {

class SleCard : public ReaderCard {
 public:
  struct ReaderCodes {
    uint8_t power;
    uint8_t reset;
    uint8_t begin;
    uint8_t end;
    uint8_t finish;
    uint8_t clock_in;  // the one that clocks the answer to reset
    uint8_t send;
    uint8_t process;
  };

  CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override;
  void put_line(uint8_t line, uint8_t value, uint64_t now_ns) override;
  uint8_t get_line(uint8_t line, uint64_t now_ns) override;

  bool powered() const { return powered_; }
  // The PSC was presented correctly since the card was powered.
  bool unlocked() const { return unlocked_; }

 protected:
  SleCard(const ReaderCodes& codes, std::size_t psc_size);

  static constexpr unsigned kCompareClocks = 2;
  static constexpr unsigned kEraseWriteClocks = 255;

  // The family's part: the bytes of its answer to reset, and what one
  // command does at the stop condition (through the two calls below).
  virtual std::vector<uint8_t> answer_to_reset() const = 0;
  virtual void take_command(uint8_t control, uint8_t address, uint8_t data) = 0;

  // Output mode: `bytes` are clocked out by reader code `clock_code`.
  void start_output(uint8_t clock_code, std::vector<uint8_t> bytes);
  // Processing mode: `action` happens once the card had `clocks` clocks.
  void start_processing(unsigned clocks, std::function<void()> action);

  // A write to the error counter (`bits` are its attempt bits). Locked, bits
  // can only be cleared; unlocked, the counter takes the value. A write that
  // only clears bits spends an attempt: the card locks and a comparison
  // opens.
  void write_error_counter(uint8_t& counter, uint8_t value, uint8_t bits);
  // PSC byte `index` compared during a comparison.
  void compare_psc_byte(std::size_t index, bool equal);

 private:
  enum class Mode : uint8_t { idle, command, output, processing };

  void power(bool on);
  void clock(unsigned clocks);
  CardReply clock_out(uint8_t code, std::span<const uint8_t> data);

  ReaderCodes codes_;
  std::size_t psc_size_;
  bool powered_ = false;
  bool unlocked_ = false;
  Mode mode_ = Mode::idle;
  std::vector<uint8_t> command_;
  uint8_t output_code_ = 0;
  std::vector<uint8_t> output_;
  std::size_t output_position_ = 0;
  unsigned clocks_needed_ = 0;
  unsigned clocks_ = 0;
  std::function<void()> action_;
  bool comparing_ = false;
  unsigned compared_ = 0;  // bit i: PSC byte i was compared
  bool all_equal_ = false;
  uint8_t line_144_ = 0;
  uint8_t line_145_ = 1;
};

}  // namespace kdx::sim
