// The reader's commands for the cards on its two-wire bus (AT24C, AT153,
// AT1608). Shared by the drivers and by the simulated reader's card models.
#pragma once

#include <cstdint>

namespace kdx::velmor::two_wire {

inline constexpr uint8_t kPower = 19;          // one data byte: 1 on, 0 off
inline constexpr uint8_t kReset = 20;          // reset; the card starts its answer to reset
inline constexpr uint8_t kStart = 21;          // start condition (also the repeated start)
inline constexpr uint8_t kStop = 22;           // stop condition
inline constexpr uint8_t kAnswerToReset = 23;  // clock the answer-to-reset bytes in; response frame
inline constexpr uint8_t kSend = 24;           // clock bytes out to the card
inline constexpr uint8_t kReceive = 25;        // clock bytes in, acknowledging each; response frame
inline constexpr uint8_t kReceiveLast = 26;    // clock one byte in without acknowledge; response frame

// Bit 0 of a device byte: the direction of the transaction.
inline constexpr uint8_t kWriteBit = 0x00;
inline constexpr uint8_t kReadBit = 0x01;

}  // namespace kdx::velmor::two_wire
