// The reader link: the two frame buffers, one-byte port access, and the
// sending and receiving of one frame (frame.cpp describes the wire format).
#pragma once

#include <cstdint>

#include "link/velmor_state.h"

namespace kdx::velmor::link {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kNak = 0x15;

inline constexpr std::size_t kHeaderSize = 3;  // code or status, length low, length high
inline constexpr std::size_t kMaxCommandData = kFrameBufferSize - kHeaderSize - 1;       // 196
inline constexpr std::size_t kMaxResponseData = kFrameBufferSize - kHeaderSize - 2;      // 195

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

// The data of the last response: its length field, bounded by what the
// ReceiveBuffer can hold, and the bytes from offset 3.
std::size_t response_length();
const uint8_t* response_data();

}  // namespace kdx::velmor::link
