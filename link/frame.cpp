// Reader link framing.
//
// Wire format, host to reader (a command):
//
//   host    STX                 frame bytes, 0x10 doubled     DLE ETX
//   reader        DLE (ready)                                          DLE (ack)
//
//   frame bytes = code, length low, length high, n data bytes, BCC
//   BCC         = XOR of code, both length bytes and the data (n + 3 bytes)
//
// Every frame byte equal to DLE (0x10), the BCC included, goes out twice;
// the closing DLE ETX never does. A ready or acknowledgement byte that is not
// DLE, or none within the 750 ms byte time-out, counts as a NAK (0x15): the
// host tries up to three times, resending the whole frame from STX.
//
// Reader to host (a response to a reading command) is the mirror image: the
// reader sends STX, the host answers DLE, the reader sends the frame (status
// byte in place of the code) and DLE ETX, the host acknowledges with DLE
// before it checks the BCC. The host never sends NAK.
//
// Staying in step: the host has the turn before its STX, so anything still
// in the input then is stale and is discarded. After a wrong handshake byte
// or a failed reception the rest of the broken exchange may still be on its
// way; the link reads it away until the line falls quiet, so that it is not
// taken for the answer to the next command. A byte time-out needs no such
// drain: the line was quiet for 750 ms.
//
// Speed: the frame goes out in one write, and a response is read in runs of
// as many bytes as its header says are still to come, so a frame costs a few
// system calls rather than one per byte. Each read still ends after 750 ms
// without a byte.
#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace kdx::velmor::link {
namespace {

constexpr uint32_t kBitsPerCharacter = 10;  // start, 8 data, stop
constexpr std::size_t kMaxLineFrame = line_size_bound(kFrameBufferSize);
constexpr std::size_t kDrainChunk = 64;

LinkState& state() { return g_velmor.link; }
ReaderSession& session() { return *state().session; }

// A limit on the time of one step, on the library's clock.
class Deadline {
 public:
  explicit Deadline(uint32_t limit_ms) : start_(platform::tick_count()), limit_(limit_ms) {}
  bool passed() const { return platform::tick_count() - start_ >= limit_; }

 private:
  uint32_t start_;
  uint32_t limit_;
};

// Reads up to `count` bytes; `got` 0 means the byte time-out passed.
bool read_some(uint8_t* buffer, std::size_t count, uint32_t& got) {
  got = 0;
  if (!is_open()) return false;
  return session().port_handle->read(buffer, static_cast<uint32_t>(count), &session().read_record, got);
}

// Writes all `count` bytes, in as few writes as the port allows. A write
// that moves nothing, or a line that takes more than twice the bytes' line
// time (plus one byte time-out), ends it; the lost bytes then show up as a
// missing acknowledgement.
void write_all(const uint8_t* bytes, std::size_t count) {
  if (!is_open()) return;
  const Deadline deadline(kByteTimeoutMs + 2 * line_time_ms(count));
  std::size_t done = 0;
  while (done < count) {
    uint32_t moved = 0;
    const bool ok = session().port_handle->write(bytes + done, static_cast<uint32_t>(count - done),
                                                 &session().write_record, moved);
    if (!ok || moved == 0) return;
    done += moved;
    if (deadline.passed()) return;
  }
}

enum class Answer : uint8_t { expected, other, none };

// One handshake byte. A wrong one means the reader is out of step with us:
// what else it sends is drained.
Answer expect(uint8_t wanted) {
  uint8_t byte = 0;
  switch (read_byte(byte)) {
    case ByteRead::byte:
      if (byte == wanted) return Answer::expected;
      drain_until_quiet();
      return Answer::other;
    case ByteRead::none:
    case ByteRead::failed:
      break;
  }
  return Answer::none;
}

void discard_stale_input() {
  if (is_open()) session().port_handle->purge(KDX_PURGE_RXCLEAR);
}

void clear(uint8_t* buffer) { std::memset(buffer, 0, kFrameBufferSize); }

enum class Reception : uint8_t { complete, broken, silent };

// Reads the frame that follows the ready DLE into the ReceiveBuffer, up to
// and including the DLE of DLE ETX.
Reception receive_frame_bytes(ResponseDecoder& decoder) {
  const Deadline deadline(kFrameSlackMs + 2 * line_time_ms(kMaxLineFrame));
  uint8_t chunk[kMaxLineFrame];
  while (decoder.state() == ResponseDecoder::State::more) {
    const std::size_t wanted = std::min(decoder.bytes_wanted(), sizeof chunk);
    uint32_t got = 0;
    if (!read_some(chunk, wanted, got)) return Reception::silent;
    if (got == 0) return Reception::silent;
    // Bytes behind a decided frame were sent before our acknowledgement:
    // they belong to no exchange and go with the rest.
    for (uint32_t i = 0; i < got && decoder.feed(chunk[i]) == ResponseDecoder::State::more; ++i) {
    }
    if (decoder.state() == ResponseDecoder::State::more && deadline.passed()) return Reception::broken;
  }
  return decoder.state() == ResponseDecoder::State::complete ? Reception::complete : Reception::broken;
}

}  // namespace

uint32_t line_time_ms(std::size_t bytes) {
  const uint32_t baud = is_open() && session().baud_rate != 0 ? session().baud_rate : 300;
  return static_cast<uint32_t>((bytes * kBitsPerCharacter * 1000 + baud - 1) / baud);
}

void drain_until_quiet() {
  if (!is_open()) return;
  platform::Port& port = *session().port_handle;
  const uint32_t gap = std::max(kMinQuietGapMs, line_time_ms(kQuietCharacters));
  port.set_timeouts(platform::Timeouts{gap, 0, gap, 0, kByteTimeoutMs});
  const Deadline deadline(kDrainLimitMs);
  uint8_t chunk[kDrainChunk];
  uint32_t got = 0;
  while (read_some(chunk, sizeof chunk, got) && got != 0 && !deadline.passed()) {
  }
  port.set_timeouts(kLinkTimeouts);
}

bool has_buffers() { return state().SendBuffer != nullptr && state().ReceiveBuffer != nullptr; }

bool is_open() { return state().session != nullptr && state().session->port_handle != nullptr; }

StatusCode open_link(ReaderSession* session) {
  if (session == nullptr) return ST_BAD_PARAMETER;
  auto* send = static_cast<uint8_t*>(platform::heap_alloc(kFrameBufferSize));
  if (send == nullptr) return ST_ALLOC_FAILED;
  auto* receive = static_cast<uint8_t*>(platform::heap_alloc(kFrameBufferSize));
  if (receive == nullptr) {
    platform::heap_free(send);
    return ST_ALLOC_FAILED;
  }
  clear(send);
  clear(receive);
  // A second open replaces the buffers rather than leaking them.
  platform::heap_free(state().SendBuffer);
  platform::heap_free(state().ReceiveBuffer);
  state().SendBuffer = send;
  state().ReceiveBuffer = receive;
  state().session = session;
  return ST_OK;
}

void close_link() {
  platform::heap_free(state().SendBuffer);
  platform::heap_free(state().ReceiveBuffer);
  state() = LinkState{};
}

ByteRead read_byte(uint8_t& byte) {
  uint8_t received = 0;
  uint32_t count = 0;
  if (!read_some(&received, 1, count)) return ByteRead::failed;
  if (count == 0) return ByteRead::none;
  byte = received;
  return ByteRead::byte;
}

void write_byte(uint8_t byte) { write_all(&byte, 1); }

bool build_command(uint8_t code, const uint8_t* data, std::size_t count) {
  if (!has_buffers() || count > kMaxCommandData || (count != 0 && data == nullptr)) return false;
  uint8_t* frame = state().SendBuffer;
  frame[0] = code;
  frame[1] = static_cast<uint8_t>(count & 0xFF);
  frame[2] = static_cast<uint8_t>(count >> 8);
  if (count != 0) std::memcpy(frame + kHeaderSize, data, count);
  return true;
}

StatusCode send_command() {
  if (!has_buffers() || !is_open()) return ST_NOT_OPEN;
  uint8_t* frame = state().SendBuffer;
  if (frame[0] == 0) return ST_BAD_PARAMETER;
  const std::size_t n = length_field(frame);
  if (n > kMaxCommandData) return ST_BAD_PARAMETER;
  frame[kHeaderSize + n] = block_check(frame, kHeaderSize + n);
  uint8_t line[kMaxLineFrame];
  const std::size_t line_size = encode_line(frame, kHeaderSize + n + 1, line);

  discard_stale_input();
  bool repeated_after_nak = false;
  for (int tries = 3; tries > 0; --tries) {
    write_byte(kStx);
    if (expect(kDle) != Answer::expected) continue;
    write_all(line, line_size);
    if (expect(kDle) == Answer::expected) {
      if (!repeated_after_nak) {
        clear(frame);
        return ST_OK;
      }
      // A frame that needed a second sending is still reported as failed;
      // the reader executed it and may be answering.
      drain_until_quiet();
      return ST_COMM_ERROR;
    }
    repeated_after_nak = true;
  }
  return ST_COMM_ERROR;
}

StatusCode receive_response() {
  if (!has_buffers() || !is_open()) return ST_NOT_OPEN;
  uint8_t* frame = state().ReceiveBuffer;
  clear(frame);
  bool got_stx = false;
  bool other_bytes = false;
  for (int reads = 0; reads < 3 && !got_stx; ++reads) {
    uint8_t byte = 0;
    const ByteRead read = read_byte(byte);
    got_stx = read == ByteRead::byte && byte == kStx;
    other_bytes = other_bytes || (read == ByteRead::byte && !got_stx);
  }
  if (!got_stx) {
    if (other_bytes) drain_until_quiet();
    return ST_COMM_ERROR;
  }
  write_byte(kDle);
  ResponseDecoder decoder(frame, kFrameBufferSize);
  switch (receive_frame_bytes(decoder)) {
    case Reception::complete:
      break;
    case Reception::broken:
      drain_until_quiet();
      return ST_COMM_ERROR;
    case Reception::silent:
      return ST_COMM_ERROR;
  }
  write_byte(kDle);
  // The BCC must lie among the bytes received, before the closing DLE.
  const std::size_t n = length_field(frame);
  if (kHeaderSize + n + 1 >= decoder.stored()) return ST_COMM_ERROR;
  if (block_check(frame, kHeaderSize + n) != frame[kHeaderSize + n]) return ST_COMM_ERROR;
  return frame[0];
}

std::size_t response_length() {
  if (!has_buffers()) return 0;
  return std::min<std::size_t>(length_field(state().ReceiveBuffer), kMaxResponseData);
}

const uint8_t* response_data() { return has_buffers() ? state().ReceiveBuffer + kHeaderSize : nullptr; }

}  // namespace kdx::velmor::link

using namespace kdx::velmor;

extern "C" {

KDX_API StatusCode KDX_CALL OpenKDXInfo(ReaderSession* session) { return link::open_link(session); }

KDX_API void KDX_CALL CloseKDXInfo(void) { link::close_link(); }

KDX_API StatusCode KDX_CALL IsCommOpened(void) { return link::is_open() ? ST_OK : ST_NOT_OPEN; }

KDX_API uint32_t KDX_CALL GetBaudRate(void) {
  const ReaderSession* session = g_velmor.link.session;
  return session != nullptr ? session->baud_rate : 0;
}

KDX_API void KDX_CALL SendByte(uint32_t byte) { link::write_byte(static_cast<uint8_t>(byte & 0xFF)); }

KDX_API StatusCode KDX_CALL RecvByte(uint8_t* destination) {
  if (!link::is_open()) return ST_NOT_OPEN;
  uint8_t byte = 0;
  switch (link::read_byte(byte)) {
    case link::ByteRead::byte:
      if (destination != nullptr) *destination = byte;
      return ST_OK;
    case link::ByteRead::none:
      return ST_OK;
    case link::ByteRead::failed:
      break;
  }
  return ST_COMM_ERROR;
}

KDX_API uint8_t KDX_CALL GetRespStatus(void) {
  return link::has_buffers() ? g_velmor.link.ReceiveBuffer[0] : 0;
}

KDX_API uint16_t KDX_CALL GetRespLength(void) {
  const uint8_t* frame = g_velmor.link.ReceiveBuffer;
  return link::has_buffers() ? static_cast<uint16_t>(frame[1] | (frame[2] << 8)) : 0;
}

KDX_API void KDX_CALL GetRBuffer(uint8_t** out) {
  if (out != nullptr) *out = link::has_buffers() ? g_velmor.link.ReceiveBuffer : nullptr;
}

KDX_API StatusCode KDX_CALL ClearRBuffer(void) {
  if (!link::has_buffers()) return ST_NOT_OPEN;
  std::memset(g_velmor.link.ReceiveBuffer, 0, kFrameBufferSize);
  return ST_OK;
}

KDX_API StatusCode KDX_CALL ClearSBuffer(void) {
  if (!link::has_buffers()) return ST_NOT_OPEN;
  std::memset(g_velmor.link.SendBuffer, 0, kFrameBufferSize);
  return ST_OK;
}

KDX_API uint8_t KDX_CALL GetSendCommand(void) { return link::has_buffers() ? g_velmor.link.SendBuffer[0] : 0; }

KDX_API void KDX_CALL SetSendCommand(uint32_t code) {
  if (link::has_buffers()) g_velmor.link.SendBuffer[0] = static_cast<uint8_t>(code & 0xFF);
}

KDX_API uint16_t KDX_CALL GetSendLength(void) {
  const uint8_t* frame = g_velmor.link.SendBuffer;
  return link::has_buffers() ? static_cast<uint16_t>(frame[1] | (frame[2] << 8)) : 0;
}

KDX_API void KDX_CALL SetSendLength(uint32_t length) {
  if (!link::has_buffers()) return;
  g_velmor.link.SendBuffer[1] = static_cast<uint8_t>(length & 0xFF);
  g_velmor.link.SendBuffer[2] = static_cast<uint8_t>((length >> 8) & 0xFF);
}

KDX_API void KDX_CALL SetSendData(uint32_t position, uint32_t value) {
  const uint32_t offset = position & 0xFFFF;
  if (link::has_buffers() && offset < kFrameBufferSize) {
    g_velmor.link.SendBuffer[offset] = static_cast<uint8_t>(value & 0xFF);
  }
}

KDX_API void KDX_CALL SetSBuffer(uint32_t position, uint32_t count, const uint8_t* source) {
  const uint32_t offset = position & 0xFFFF;
  const uint32_t bytes = count & 0xFFFF;
  if (!link::has_buffers() || bytes == 0 || source == nullptr) return;
  if (offset + bytes > kFrameBufferSize) return;
  std::memcpy(g_velmor.link.SendBuffer + offset, source, bytes);
}

KDX_API StatusCode KDX_CALL SendCommand(void) { return link::send_command(); }

KDX_API StatusCode KDX_CALL RecvResponse(void) { return link::receive_response(); }

}  // extern "C"
