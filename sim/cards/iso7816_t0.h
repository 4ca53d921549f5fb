// The T=0 side of the ISO/IEC 7816-3 card model: the card takes a 5-byte
// header, then leads with procedure bytes.
//
//   - INS 6X or 9X: 6D00 at once (such an INS would collide with SW1).
//   - An instruction without data (case 1): SW1 SW2.
//   - Data to the card (cases 3 and 4): P3 bytes, asked for with INS (all
//     at once), INS XOR FF (one byte), or a mix of both; then SW1 SW2, or
//     61xx when the command has response data (case 4), which a GET
//     RESPONSE (INS C0) with Le = xx fetches.
//   - Data from the card (case 2, Le = P3, 0 meaning 256): the data with the
//     same procedure bytes, then SW1 SW2; 6Cxx when Le is not what the
//     command has.
// A configurable number of NULLs goes before every procedure byte (SW1
// after data included), and while a slow command works the card sends
// NULLs to keep the host waiting.
//
// Host faults are logged: data the card has not asked for yet, and any byte
// while the card has the turn (such bytes are dropped).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/cards/iso7816_application.h"

namespace kdx::sim {

class Iso7816Card;

// A byte the card sends, after a silence of `pause_ns` on top of the
// characters before it; or (sends false) only the silence.
struct CardStep {
  uint64_t pause_ns;
  uint8_t byte;
  bool sends = true;
};

// How the card asks for or sends data: all with INS, one byte at a time
// with INS XOR FF, or the first byte with INS XOR FF and the rest with INS.
enum class T0Acks : uint8_t { all, one_by_one, mixed };

struct T0Behaviour {
  unsigned nulls = 0;  // NULLs before each procedure byte
  T0Acks acks = T0Acks::all;
  // INS + 1 and its complement instead of INS and its complement (the old
  // programming-voltage procedure bytes).
  bool vpp_acks = false;
  uint32_t work_ms = 0;       // a command's work before the card answers
  uint32_t keepalive_ms = 0;  // a NULL this often while it works (0: none)
  bool endless_nulls = false; // after every header, NULLs (every keepalive_ms or 500 ms) without end
};

class T0CardProtocol {
 public:
  T0CardProtocol(Iso7816Card& card, IsoApplication& application, const T0Behaviour& behaviour);

  void on_byte(uint8_t byte, uint64_t now_ns);

 private:
  using Step = CardStep;
  enum class Phase : uint8_t { header, data, card };

  void on_header(uint64_t now_ns);
  void on_data_complete(uint64_t now_ns);
  // Asks for the next data bytes to the card (INS or its complement).
  void ask_for_data(uint64_t now_ns);
  // How many bytes the next acknowledgement moves, with `moved` of `total`
  // moved so far, and the procedure byte that announces it.
  std::size_t next_ack(std::size_t moved, std::size_t total, uint8_t& byte) const;
  void procedure(std::vector<Step>& steps, uint8_t byte) const;
  // The configured work and what the application asks for on top.
  void work(std::vector<Step>& steps, uint32_t application_ms) const;
  void status(std::vector<Step>& steps, uint16_t sw) const;
  void response(std::vector<Step>& steps, const std::vector<uint8_t>& data, uint16_t sw) const;
  void get_response(std::vector<Step>& steps, uint32_t le);
  // The card has the turn until the steps are out; then the host may send
  // `allowed` data bytes, or (0) the next header.
  void play(const std::vector<Step>& steps, uint64_t now_ns, std::size_t allowed);
  void endless_nulls(uint64_t now_ns);

  Iso7816Card& card_;
  IsoApplication& application_;
  T0Behaviour behaviour_;
  Phase phase_ = Phase::header;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> data_;
  std::size_t data_total_ = 0;
  std::size_t expected_ = 0;  // data bytes the card takes now
  std::optional<std::vector<uint8_t>> waiting_response_;
};

}  // namespace kdx::sim
