// The reader link: the two frame buffers, port access, and the sending and
// receiving of one frame (frame.cpp describes the wire format and the bounds
// on time).
#pragma once

#include <cstdint>

#include "link/frame_codec.h"
#include "link/velmor_state.h"

namespace kdx::velmor::link {

inline constexpr std::size_t kMaxCommandData = kFrameBufferSize - kHeaderSize - 1;   // 196
inline constexpr std::size_t kMaxResponseData = kFrameBufferSize - kHeaderSize - 2;  // 195

// Every read waits at most this long for a byte; writes get as long.
inline constexpr uint32_t kByteTimeoutMs = KDX_VELMOR_BYTE_TIMEOUT_MS;
inline constexpr platform::Timeouts kLinkTimeouts{
    kByteTimeoutMs,  // read interval
    0,               // read total multiplier
    kByteTimeoutMs,  // read total constant
    0,               // write total multiplier
    kByteTimeoutMs,  // write total constant
};

// Bounds on the time of one exchange, whatever the reader sends. A response
// frame must be complete within kFrameSlackMs plus twice the line time of the
// longest frame; a write of n bytes gets kByteTimeoutMs plus twice their line
// time; draining stale input stops after kDrainLimitMs even on a line that
// never falls quiet. The line counts as quiet after kQuietCharacters
// character times without a byte, and never less than kMinQuietGapMs.
inline constexpr uint32_t kFrameSlackMs = KDX_VELMOR_FRAME_SLACK_MS;
inline constexpr uint32_t kDrainLimitMs = KDX_VELMOR_DRAIN_LIMIT_MS;
inline constexpr uint32_t kQuietCharacters = 8;
inline constexpr uint32_t kMinQuietGapMs = 20;

StatusCode open_link(ReaderSession* session);  // OpenKDXInfo
void close_link();                             // CloseKDXInfo
bool has_buffers();
// A session with a non-zero port handle is held.
bool is_open();

enum class ByteRead : uint8_t { byte, none, failed };
ByteRead read_byte(uint8_t& byte);
void write_byte(uint8_t byte);

// Builds a command frame in the SendBuffer. false when the buffers are
// missing or the data cannot fit; nothing is changed then.
bool build_command(uint8_t code, const uint8_t* data, std::size_t count);

StatusCode send_command();
StatusCode receive_response();

// Reads and drops whatever the reader still sends, until the line has been
// quiet for the quiet gap (or kDrainLimitMs passed).
void drain_until_quiet();

// Milliseconds that `bytes` characters take on the session's line (8N1),
// rounded up.
uint32_t line_time_ms(std::size_t bytes);

// The data of the last response: its length field, bounded by what the
// ReceiveBuffer can hold, and the bytes from offset 3.
std::size_t response_length();
const uint8_t* response_data();

}  // namespace kdx::velmor::link
