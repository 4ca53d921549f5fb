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
#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace kdx::velmor::link {
namespace {

LinkState& state() { return g_velmor.link; }

uint16_t length_field(const uint8_t* frame) {
  return static_cast<uint16_t>(frame[1] | (frame[2] << 8));
}

uint8_t block_check(const uint8_t* frame, std::size_t count) {
  uint8_t bcc = 0;
  for (std::size_t i = 0; i < count; ++i) bcc = static_cast<uint8_t>(bcc ^ frame[i]);
  return bcc;
}

bool read_is(uint8_t expected) {
  uint8_t byte = 0;
  return read_byte(byte) == ByteRead::byte && byte == expected;
}

void write_stuffed(uint8_t byte) {
  write_byte(byte);
  if (byte == kDle) write_byte(kDle);
}

void clear(uint8_t* buffer) { std::memset(buffer, 0, kFrameBufferSize); }

// Reads the frame that follows the ready DLE into the ReceiveBuffer, up to
// and including the DLE of DLE ETX. Returns the number of bytes stored, or 0
// when the frame is malformed, incomplete or too long.
std::size_t receive_frame_bytes(uint8_t* buffer) {
  std::size_t stored = 0;
  for (;;) {
    uint8_t byte = 0;
    if (read_byte(byte) != ByteRead::byte) return 0;
    if (stored == kFrameBufferSize) return 0;
    buffer[stored++] = byte;
    if (byte != kDle) continue;
    uint8_t next = 0;
    if (read_byte(next) != ByteRead::byte) return 0;
    if (next == kEtx) return stored;
    if (next != kDle) return 0;
  }
}

}  // namespace

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
  if (!is_open()) return ByteRead::failed;
  ReaderSession& session = *state().session;
  uint8_t received = 0;
  uint32_t count = 0;
  if (!session.port_handle->read(&received, 1, &session.read_record, count)) return ByteRead::failed;
  if (count == 0) return ByteRead::none;
  byte = received;
  return ByteRead::byte;
}

void write_byte(uint8_t byte) {
  if (!is_open()) return;
  ReaderSession& session = *state().session;
  uint32_t count = 0;
  session.port_handle->write(&byte, 1, &session.write_record, count);
}

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

  bool repeated_after_nak = false;
  for (int tries = 3; tries > 0; --tries) {
    write_byte(kStx);
    if (!read_is(kDle)) continue;
    for (std::size_t i = 0; i < kHeaderSize + n + 1; ++i) write_stuffed(frame[i]);
    write_byte(kDle);
    write_byte(kEtx);
    if (read_is(kDle)) {
      // A frame that needed a second sending is still reported as failed.
      if (repeated_after_nak) return ST_COMM_ERROR;
      clear(frame);
      return ST_OK;
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
  for (int reads = 0; reads < 3 && !got_stx; ++reads) got_stx = read_is(kStx);
  if (!got_stx) return ST_COMM_ERROR;
  write_byte(kDle);
  const std::size_t stored = receive_frame_bytes(frame);
  if (stored == 0) return ST_COMM_ERROR;
  write_byte(kDle);
  // The BCC must lie among the bytes received, before the closing DLE.
  const std::size_t n = length_field(frame);
  if (kHeaderSize + n + 1 >= stored) return ST_COMM_ERROR;
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
