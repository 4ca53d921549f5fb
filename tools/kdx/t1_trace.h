// T=1 blocks read back out of a line trace, for --trace on the serial-line
// reader. The trace is what went over the line in time order: the host's
// writes, what the line returned, and the writes of the line settings
// (whose RTS holds the card in reset). A real port returns the echo of each
// write before the card's bytes; the simulated device records the card's
// bytes apart, without the echo.
//
// The decoder follows the session as the line shows it: each release of
// reset starts an answer to reset, which the library's own interpretation
// reads for protocol, convention, EDC and IFSC; a PPS exchange may change
// the protocol; in T=1 the bytes of each direction are put together into
// blocks (a block of one side ends, short, when the other side speaks) and
// taken apart by the library's own block codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kdx_port.h"

namespace kdx::sim {
class SerialLineDevice;
}

namespace kdx::tool {

struct LineEvent {
  enum class Kind : uint8_t { to_card, from_line, settings };
  Kind kind;
  uint64_t time_ns;
  std::vector<uint8_t> bytes;  // as on the wire
  bool rts_on = false;         // settings: the card held in reset
  std::string settings;        // settings: how the trace shows them
};

struct DecodedBlock {
  std::size_t event;  // the event that holds the block's last byte
  bool from_card;
  std::string text;   // "I(0,M) 32 bytes", "R(1)", "S(WTX request 2)", "I(1) 10 bytes, bad EDC" ...
};

struct LineDecoding {
  std::vector<DecodedBlock> blocks;
  // Per event: how many of its bytes (from_line) were the echo of a write.
  std::vector<std::size_t> echo;
};

// The simulated line in time order (call with the clock's lock held): each
// host byte, each card byte as the host's port received it, each settings
// write shown by `describe`.
std::vector<LineEvent> simulated_line_events(const sim::SerialLineDevice& device,
                                             std::string (*describe)(const KDX_LineSettings&));

// `echoes`: the line returns each write before anything else (a real port);
// the first bytes read after a write are then set aside as its echo, as the
// library does, once the line has shown that it echoes.
LineDecoding decode_line(const std::vector<LineEvent>& events, bool echoes);

}  // namespace kdx::tool
