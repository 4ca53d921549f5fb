// Velmor's process-wide state, in one place. Loading the library creates
// none of it; KDX_InitComm and the card operations fill it in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/auth_cipher.h"
#include "platform/platform.h"
#include "velmor.h"

// The record of the open port. Allocated zero-filled by KDX_InitComm, freed
// by KDX_ExitComm; the link layer holds a reference while it is open.
struct ReaderSession {
  kdx::platform::Port* port_handle;
  uint8_t byte_size;  // 8
  uint8_t parity;     // 0, no parity
  uint8_t stop_bits;  // 0, one stop bit
  uint32_t baud_rate;
  kdx::platform::IoRecord write_record;
  kdx::platform::IoRecord read_record;
};

namespace kdx::velmor {

inline constexpr std::size_t kFrameBufferSize = 200;

struct LinkState {
  ReaderSession* session = nullptr;  // held between OpenKDXInfo and CloseKDXInfo
  uint8_t* SendBuffer = nullptr;
  uint8_t* ReceiveBuffer = nullptr;
};

struct VelmorState {
  ReaderSession* session = nullptr;  // the module's session pointer
  LinkState link;
  uint8_t CardProtocol = 0;          // 0: T=0, 1: T=1, as the last ATR analysis found
  crypto::AuthCipherState AuthCipherState;  // the secure-memory authentication cipher's registers
};

extern VelmorState g_velmor;

}  // namespace kdx::velmor
