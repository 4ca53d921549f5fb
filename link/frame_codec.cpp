#include "link/frame_codec.h"

namespace kdx::velmor::link {

uint16_t length_field(const uint8_t* frame) { return static_cast<uint16_t>(frame[1] | (frame[2] << 8)); }

uint8_t block_check(const uint8_t* frame, std::size_t count) {
  uint8_t bcc = 0;
  for (std::size_t i = 0; i < count; ++i) bcc = static_cast<uint8_t>(bcc ^ frame[i]);
  return bcc;
}

std::size_t encode_line(const uint8_t* frame, std::size_t count, uint8_t* line) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) {
    line[size++] = frame[i];
    if (frame[i] == kDle) line[size++] = kDle;
  }
  line[size++] = kDle;
  line[size++] = kEtx;
  return size;
}

ResponseDecoder::State ResponseDecoder::feed(uint8_t byte) {
  if (state_ != State::more) return state_;
  if (escape_) {
    escape_ = false;
    if (byte == kEtx) return state_ = State::complete;
    if (byte != kDle) return state_ = State::malformed;
    return state_;  // a doubled DLE: the first one is already stored
  }
  if (stored_ == capacity_) return state_ = State::overflow;
  buffer_[stored_++] = byte;
  if (byte == kDle) escape_ = true;
  return state_;
}

std::size_t ResponseDecoder::bytes_wanted() const {
  if (state_ != State::more) return 0;
  // Header, data and BCC; a header not yet complete counts as n = 0.
  const std::size_t frame = kHeaderSize + (stored_ >= kHeaderSize ? length_field(buffer_) : 0) + 1;
  // A stored DLE still waiting for its partner may be the closing one.
  const std::size_t certain = escape_ ? stored_ - 1 : stored_;
  if (escape_ && certain >= frame) return 1;
  const std::size_t missing = certain < frame ? frame - certain : 0;
  return missing + 2;  // and DLE ETX
}

}  // namespace kdx::velmor::link
