// The T=1 block protocol of ISO/IEC 7816-3 as a card runs it, behind the
// ATR of an Iso7816Card, with an APDU application inside.
//
// From its own ATR: IFSC (TA3, 32 without it), CWI and BWI (TB3; 13 and 4
// without it), the EDC (TC3 bit 1: CRC, else LRC). Its IFSD starts at 32
// and changes with the host's S(IFS request). Timings, in the card's etu:
//   BGT = 22 etu between the leading edges of two characters sent in
//       opposite directions, both ways;
//   CWT = 11 + 2^CWI etu between the leading edges of two characters of a
//       block: a host block that stops for longer has ended, short;
//   BWT = 11 etu + 2^BWI x 960 x 372 / f: the card begins its answer within
//       it, or asks for more time first with S(WTX request) (a command whose
//       work takes more than half of it).
//
// The card keeps N(S) of its own and the N(S) it expects, chains responses
// longer than IFSD, acknowledges the host's chained I-blocks with R(N(R)),
// sends its last block again for an R-block that does not acknowledge,
// answers S(RESYNCH/IFS/ABORT request)s, and can ask for IFS of its own.
//
// Everything the host does against the protocol is logged on the card's
// violation log (Iso7816Card::violations) in ISO terms: a wrong N(S) or
// N(R), a block longer than IFSC, a wrong EDC, a byte sent while the card
// had the turn or within BGT of its last character, a gap longer than CWT,
// an S-block it did not ask for, ... An invalid host block is answered by an
// R-block with the error code, as ISO asks.
//
// Faults can be injected on the blocks the card sends (counted from 1 over
// all blocks it sends, retransmissions included), and a seeded bit-error
// rate can corrupt every byte of them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/cards/iso7816_application.h"
#include "sim/cards/iso7816_card.h"

namespace kdx::sim {

enum class T1Fault : uint8_t {
  corrupt_edc,   // the block goes out with a wrong EDC
  drop_byte,     // its last byte is not sent
  late,          // it begins after BWT
  insert_block,  // the given block goes out first; block n follows the host's next block
  insert_raw,    // as insert_block, with the given bytes exactly as they are (NAD to EDC)
  mute,          // from block n on the card sends nothing
};

struct T1CardConfig {
  // Before its first response the card asks for this IFSC (S(IFS request)).
  std::optional<uint8_t> ifs_request{};
  // The card asks for waiting time again and again and never answers.
  bool endless_wtx = false;
  // The card chains every response without end (blocks of IFSD bytes).
  bool endless_chain = false;
};

class Iso7816T1 final : public CardProtocol {
 public:
  Iso7816T1(Iso7816Card& card, T1CardConfig config);

  void on_character(uint8_t byte, uint64_t now_ns) override;
  void on_reset() override;

  // Faults on the `nth` block the card sends from now on (1: the next one).
  // `block` is the block that insert_block puts first: PCB and INF (NAD, LEN
  // and EDC are added).
  void inject(T1Fault fault, unsigned nth, std::vector<uint8_t> block = {});
  // Each bit of each byte the card sends from now on flips with
  // `probability`, drawn from a generator seeded with `seed`.
  void set_bit_error_rate(double probability, uint32_t seed);
  // The `nth` block the host sends from now on (1: the next one) is answered
  // by R-block with the EDC error code, as if it had arrived damaged.
  void reject_host_block(unsigned nth);

  // Call with the clock's lock held.
  uint8_t ifsc() const { return ifsc_; }
  uint8_t ifsd() const { return ifsd_; }
  unsigned resynchronisations() const { return resynchronisations_; }
  // Whole blocks as the card received them from the host, and as it meant
  // the ones it sent (before any fault), NAD to EDC.
  const std::vector<std::vector<uint8_t>>& host_blocks() const { return host_blocks_; }
  const std::vector<std::vector<uint8_t>>& card_blocks() const { return card_blocks_; }
  const std::vector<std::vector<uint8_t>>& commands() const { return commands_; }

 private:
  enum class Awaiting : uint8_t { nothing, ifs_response, wtx_response, abort_response };
  struct Injected {
    unsigned block;
    T1Fault fault;
    std::vector<uint8_t> bytes;
  };

  void process(const std::vector<uint8_t>& block, uint64_t now_ns);
  void on_i_block(uint8_t pcb, std::vector<uint8_t> information, uint64_t now_ns);
  void on_r_block(uint8_t pcb, uint64_t now_ns);
  void on_s_block(uint8_t pcb, const std::vector<uint8_t>& information, uint64_t now_ns);
  void invalid(const std::string& fault, uint8_t error, uint64_t now_ns);
  void ask_again(uint8_t error, uint64_t now_ns);
  void run_command(uint64_t now_ns);
  void continue_response(uint64_t at_ns);
  void send_chunk(uint64_t at_ns);
  void ask_for_time(uint64_t at_ns);
  void work_or_answer(uint64_t at_ns);
  // The part of BWT the card works before it asks for more time.
  uint64_t work_share_ns() const;
  void on_time_granted(uint64_t now_ns);
  void send(uint8_t pcb, std::vector<uint8_t> information, uint64_t at_ns);
  void send_block(std::vector<uint8_t> block, uint64_t at_ns);
  std::vector<uint8_t> frame(uint8_t pcb, const std::vector<uint8_t>& information) const;
  bool edc_ok(const std::vector<uint8_t>& block) const;
  void reset_protocol();
  // The earliest the card may answer a host block that ended at `now_ns`.
  uint64_t answer_time(uint64_t now_ns) const;
  void check_gap(std::size_t characters);

  Iso7816Card& card_;
  T1CardConfig config_;
  IsoApplication& application_;  // the card's, shared with T=0
  uint8_t atr_ifsc_ = 32;
  bool crc_ = false;
  uint64_t etu_ns_ = 1;
  uint64_t character_ns_ = 1;
  uint64_t cwt_ns_ = 1;
  uint64_t bwt_ns_ = 1;

  uint8_t ifsc_ = 32;
  uint8_t ifsd_ = 32;
  uint8_t ns_ = 0;  // N(S) of the card's next I-block
  uint8_t nr_ = 0;  // N(S) it expects in the host's next I-block
  std::vector<uint8_t> receiving_;
  std::size_t received_characters_ = 0;
  uint64_t last_character_ns_ = 0;
  bool card_turn_ = false;       // from a host block's end until the card's answer is out
  uint64_t line_free_ns_ = 0;    // when the card's last character will have been sent
  std::vector<uint8_t> last_;    // the last block it sent, as meant
  bool last_is_i_ = false;
  bool chaining_ = false;        // its last I-block had the M bit
  bool sent_any_ = false;
  Awaiting awaiting_ = Awaiting::nothing;
  uint8_t asked_value_ = 0;
  bool ifs_asked_ = false;
  std::vector<uint8_t> command_;
  std::vector<uint8_t> response_;
  std::size_t response_sent_ = 0;
  uint64_t work_left_ns_ = 0;
  uint64_t grant_ns_ = 0;  // work done in the time the last WTX asks for
  std::vector<uint8_t> held_;    // the block an inserted one stands in front of

  unsigned blocks_sent_ = 0;
  std::vector<Injected> injected_;
  std::vector<std::size_t> rejected_;  // host blocks, counted from 1
  bool mute_ = false;
  double bit_error_rate_ = 0;
  std::mt19937 random_{1};
  unsigned resynchronisations_ = 0;
  std::vector<std::vector<uint8_t>> host_blocks_;
  std::vector<std::vector<uint8_t>> card_blocks_;
  std::vector<std::vector<uint8_t>> commands_;
};

// The factory to put in Iso7816CardConfig::protocol.
CardProtocolFactory t1_protocol(T1CardConfig config = {});

// A T=1 ATR: direct convention, TC1 = `guard` (omitted when 0), TD1 and TD2
// for T=1, TA3 = `ifsc`, TB3 = `tb3`, TC3 = 1 (CRC) when `crc`, the given
// historical bytes, and TCK.
std::vector<uint8_t> t1_atr(uint8_t ifsc, uint8_t tb3, bool crc, uint8_t guard,
                            const std::vector<uint8_t>& historical = {});

}  // namespace kdx::sim
