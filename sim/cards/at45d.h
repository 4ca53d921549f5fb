// The AT45D DataFlash card model: 1024, 2048 or 4096 pages of 264 bytes and
// two 264-byte SRAM buffers, driven by the reader's codes 35 to 40:
//   35 power     supply on (1) or off (0); off loses the buffers
//   36 init      the bus lines to idle
//   37 select    chip select: a command begins with its opcode
//   38 deselect  ends the command; internal operations start here
//   39 in        n bytes clocked out of the chip (a response frame)
//   40 out       bytes clocked into the chip
//
// As the chip does it:
//   - page and buffer reads output from the byte address and wrap inside
//     the page or buffer; the status read outputs the status byte for as
//     long as it is clocked;
//   - buffer writes (and the buffer part of a page program through a
//     buffer) store their bytes at once, wrapping in the buffer;
//   - transfer and compare (kTransferNs) and the programming commands
//     (kProgramNs) start at the deselect and keep the chip busy; while busy
//     only the status read is served;
//   - programming with erase copies the buffer into the page, without erase
//     it ANDs the buffer into it (bits only go from 1 to 0); a page program
//     through a buffer programs the whole buffer; an auto rewrite loads the
//     page into the buffer and programs it back;
//   - status bit 7 is ready, bit 6 is set when the last compare differed,
//     bits 5 to 2 give the density.
// set_never_ready() makes a chip that stays busy for good. An unpowered
// chip reads 0xFF. The host's protocol faults are logged in violations().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cards/at45d_codes.h"
#include "sim/reader_sim.h"

namespace kdx::sim {

class At45dCard final : public ReaderCard {
 public:
  static constexpr uint64_t kTransferNs = 250'000;
  static constexpr uint64_t kProgramNs = 20'000'000;
  using Page = std::array<uint8_t, velmor::at45d::kPageSize>;

  // `pages` (1024, 2048 or 4096) erased pages, then `contents` from page 0
  // on (cut at the end of the memory).
  explicit At45dCard(std::size_t pages = 2048, const std::vector<uint8_t>& contents = {});

  CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override;
  std::string name() const override { return "AT45D"; }

  std::size_t pages() const { return pages_.size(); }
  const Page& page(std::size_t number) const { return pages_.at(number); }
  Page& page(std::size_t number) { return pages_.at(number); }
  const Page& buffer(std::size_t number) const { return buffers_.at(number); }
  bool powered() const { return powered_; }
  bool busy(uint64_t now_ns) const { return never_ready_ || now_ns < busy_until_ns_; }
  void set_never_ready(bool never) { never_ready_ = never; }
  uint8_t status_byte(uint64_t now_ns) const;
  const std::vector<std::string>& violations() const { return violations_; }

 private:
  void select(uint64_t now_ns);
  void deselect(uint64_t now_ns);
  void take(uint8_t byte);
  uint8_t output(uint64_t now_ns);
  std::size_t header_size() const;
  std::size_t page_number() const;
  std::size_t byte_address();
  void log_violation(std::string fault) { violations_.push_back(std::move(fault)); }

  std::vector<Page> pages_;
  std::array<Page, velmor::at45d::kBuffers> buffers_{};
  bool powered_ = false;
  bool selected_ = false;
  bool ignoring_ = false;  // this select window is not served
  std::vector<uint8_t> command_;
  std::size_t position_ = 0;  // in the page or buffer being read or written
  uint64_t busy_until_ns_ = 0;
  bool compare_differs_ = false;
  bool never_ready_ = false;
  uint64_t now_ns_ = 0;  // of the command being served
  std::vector<std::string> violations_;
};

}  // namespace kdx::sim
