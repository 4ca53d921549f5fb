// Tarsk's process-wide state, in one place. Loading the library creates none
// of it except StringMode (0): the SerialCardSession records are obtained by
// KDX_InitComm and released by KDX_ExitComm.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "tarsk.h"

// The open port and the presence monitor. Obtained zero-filled. The caller's
// thread and the presence monitor share the last four fields, which is why
// they are atomic: the monitor writes card_active (to 0) and its own thread
// id, the caller writes monitor_enable (to stop it) and card_active.
struct PortRecord {
  kdx::platform::Port* port_handle;  // null when closed
  uint8_t port_index;                // 0 to 3
  uint8_t data_bits;                 // always 8
  uint8_t parity;                    // KDX_PARITY_EVEN (direct convention) or KDX_PARITY_ODD (inverse)
  uint8_t stop_bits;                 // KDX_STOPBITS_TWO, or KDX_STOPBITS_ONE for some T=1 cards
  uint32_t baud_rate;
  uint32_t last_read_count;   // bytes delivered by the latest ReceiveData, also when it failed
  uint32_t last_write_count;  // bytes accepted by the latest SendData
  std::atomic<uint32_t> monitor_thread_id;  // non-zero while the monitor runs; its last act clears it
  kdx::platform::Thread* monitor_thread;    // null when no monitor was started or after it was stopped
  std::atomic<uint32_t> card_active;        // 1 after a successful activation
  std::atomic<uint32_t> monitor_enable;     // 1 while the monitor is to keep running
};

namespace kdx::tarsk {

inline constexpr std::size_t kAtrCapacity = 32;
inline constexpr std::size_t kHistoricalCapacity = 15;
inline constexpr std::size_t kInterfaceByteCount = 12;  // TA1 TB1 TC1 TD1, TA2 ... TD2, TA3 ... TD3

// CardRecord.protocol: 1 shifted left by the protocol number; 0 = none.
inline constexpr uint32_t kProtocolNone = 0;
inline constexpr uint32_t kProtocolT0 = 1;
inline constexpr uint32_t kProtocolT1 = 2;

struct InterfaceByte {
  uint8_t value;
  uint8_t present;  // the value is valid only when this is non-zero
};

}  // namespace kdx::tarsk

// The card half of the session: the answer to reset and what was derived
// from it. Obtained zero-filled (protocol none, direct convention, empty
// ATR); filled in by card activation.
struct CardRecord {
  uint8_t inverse_convention;
  uint8_t atr[kdx::tarsk::kAtrCapacity];  // decoded once found complete
  uint8_t atr_length;
  kdx::tarsk::InterfaceByte interface_bytes[kdx::tarsk::kInterfaceByteCount];
  kdx::tarsk::InterfaceByte tck;
  uint8_t historical[kdx::tarsk::kHistoricalCapacity];
  uint8_t historical_count;
  uint8_t fi_index;
  uint8_t di_index;
  uint8_t extra_guard_time;
  uint32_t offered_protocols;  // bit 0: T=0, bit 1: T=1
  uint32_t protocol;           // kProtocol...
  uint8_t wi;
  uint32_t work_waiting_time;  // ms, T=0
  uint8_t ifsc;
  uint8_t cwi;
  uint8_t bwi;
  uint8_t edc_kind;                  // 0: LRC, otherwise CRC
  uint32_t character_waiting_time;  // ms, T=1
  uint32_t block_waiting_time;      // ms, T=1
  uint8_t t1_send_sequence;         // 0x00 or 0x40
  uint8_t t1_receive_sequence;      // 0x00 or 0x40
};

namespace kdx::tarsk {

// Both pointers are null while no session exists.
struct SerialCardSession {
  PortRecord* port = nullptr;
  CardRecord* card = nullptr;
};

struct TarskState {
  uint8_t StringMode = 0;  // 0: raw bytes, 1: hexadecimal text
  SerialCardSession session;
};

extern TarskState g_tarsk;

}  // namespace kdx::tarsk
