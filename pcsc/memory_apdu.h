// The storage-card pseudo-APDUs that PC/SC readers commonly offer for
// synchronous memory cards, answered by the handler itself:
//
//   FF B0 P1 P2 Le       READ BINARY from address P1 P2 (Le 00: up to 256
//                        bytes, to the end of the memory)
//   FF D6 P1 P2 Lc data  UPDATE BINARY at P1 P2, read back to check that the
//                        card took it (it ignores writes before its PSC was
//                        presented, and to protected bytes)
//   FF 20 00 P2 Lc PSC   VERIFY secret code P2 (0 for families with one
//                        PSC; Lc the family's code length)
//
// Status words: 9000; 6282 fewer bytes than Le before the end of memory;
// 6B00 address past the memory or no such code; 6700 wrong length; 6982 write not taken;
// 63Cx wrong PSC, x attempts left; 6983 card locked; 6A81 VERIFY on a
// family without a PSC; 6D00 other INS; 6E00 other CLA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kdx::ifd {

enum class MemoryStatus : uint8_t { ok, wrong_psc, locked, absent, failed };

// What one family offers, bound to the reader's session.
struct MemoryCard {
  std::size_t size = 0;        // bytes of addressable memory
  std::size_t psc_length = 0;  // 0: no PSC
  uint32_t psc_indexes = 1;    // the codes VERIFY presents: P2 from 0 to this - 1
  std::function<MemoryStatus(uint32_t address, std::span<uint8_t> destination)> read;
  std::function<MemoryStatus(uint32_t address, std::span<const uint8_t> source)> write;
  std::function<MemoryStatus(uint32_t index, std::span<const uint8_t> psc)> verify;
  // Presentation attempts left (after a wrong PSC).
  std::function<MemoryStatus(uint32_t index, unsigned& attempts)> attempts_left;
};

// `response` gets data and SW1 SW2 when the result is ok; absent and failed
// pass the card operation's failure up.
MemoryStatus answer_memory_apdu(std::span<const uint8_t> apdu, const MemoryCard& card, std::vector<uint8_t>& response);

}  // namespace kdx::ifd
