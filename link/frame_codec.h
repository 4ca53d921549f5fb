// The byte layer of the reader link, free of any port: a command frame as it
// goes on the line, and a response frame decoded as its bytes come in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::velmor::link {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kNak = 0x15;

inline constexpr std::size_t kHeaderSize = 3;  // code or status, length low, length high

uint16_t length_field(const uint8_t* frame);
uint8_t block_check(const uint8_t* frame, std::size_t count);

// Line bytes of `count` frame bytes (header, data, BCC) with every DLE
// doubled, followed by DLE ETX: at most 2 * count + 2.
constexpr std::size_t line_size_bound(std::size_t count) { return 2 * count + 2; }
std::size_t encode_line(const uint8_t* frame, std::size_t count, uint8_t* line);

// Takes the bytes of a response frame after the host's ready DLE and stores
// them in `buffer` (`capacity` bytes) as the link keeps them: a doubled DLE
// once, and the DLE of the closing DLE ETX after the BCC.
class ResponseDecoder {
 public:
  enum class State : uint8_t { more, complete, malformed, overflow };

  ResponseDecoder(uint8_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  State feed(uint8_t byte);
  State state() const { return state_; }
  // Bytes stored, the closing DLE included once complete.
  std::size_t stored() const { return stored_; }
  // The fewest line bytes that can still complete a frame of the length its
  // header announces (0 once decided). Asking for this many never reads
  // past the DLE ETX of a well-formed frame.
  std::size_t bytes_wanted() const;

 private:
  uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t stored_ = 0;
  bool escape_ = false;
  State state_ = State::more;
};

}  // namespace kdx::velmor::link
