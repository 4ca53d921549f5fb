// The reader's command codes and I/O line numbers, as its firmware numbers
// them. Card families add their own blocks of codes in their driver files.
#pragma once

#include <cstdint>

namespace kdx::velmor::reader {

// Commands of the link and device layer.
inline constexpr uint8_t kPutIO = 17;           // set an I/O line; no response
inline constexpr uint8_t kGetIO = 18;           // read an I/O line; response data[0] = value
inline constexpr uint8_t kCpuPower = 58;        // CPU card contacts on (1) / off (0)
inline constexpr uint8_t kCpuWarmReset = 59;    // CPU card warm reset
inline constexpr uint8_t kGetIsoBuffer = 60;    // response: the ISO buffer's bytes
inline constexpr uint8_t kClearIsoBuffer = 61;  // empty the ISO buffer
inline constexpr uint8_t kCpuTransmit = 62;     // pass bytes to the CPU card; response frame
inline constexpr uint8_t kGetVersion = 79;      // response: the version text

// I/O lines.
// Card-bus lines that some card drivers drive directly.
inline constexpr uint8_t kLine144 = 144;
inline constexpr uint8_t kLine145 = 145;
inline constexpr uint8_t kLine146 = 146;
inline constexpr uint8_t kLine149 = 149;
// Device lines.
inline constexpr uint8_t kLineLedBuzzer = 151;   // 1: LED on, buzzer off; 0: LED off, buzzer on
inline constexpr uint8_t kLineDoorSwitch = 178;  // 0: a card is in the reader
inline constexpr uint8_t kLineCardEject = 183;   // 1 pushes the card out

}  // namespace kdx::velmor::reader
