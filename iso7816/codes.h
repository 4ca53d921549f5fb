// Command and status bytes of ISO/IEC 7816-4 (and of PC/SC's storage-card
// commands) that the handler, the drivers and the card models all speak.
// Header only: any part of the tree may include it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdx::iso7816 {

// Positions in a command APDU.
inline constexpr std::size_t kCla = 0;
inline constexpr std::size_t kIns = 1;
inline constexpr std::size_t kP1 = 2;
inline constexpr std::size_t kP2 = 3;
inline constexpr std::size_t kP3 = 4;  // Lc or Le of a short APDU
inline constexpr std::size_t kHeader = 4;

// Classes.
inline constexpr uint8_t kClassIso = 0x00;
inline constexpr uint8_t kClassProprietary = 0x80;
inline constexpr uint8_t kClassReader = 0xFF;  // commands a PC/SC reader answers itself

// Instructions.
inline constexpr uint8_t kVerify = 0x20;
inline constexpr uint8_t kSelect = 0xA4;
inline constexpr uint8_t kReadBinary = 0xB0;
inline constexpr uint8_t kGetResponse = 0xC0;
inline constexpr uint8_t kUpdateBinary = 0xD6;

// Status words.
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint8_t kMoreData = 0x61;   // SW1: SW2 bytes wait for GET RESPONSE
inline constexpr uint8_t kWrongLe = 0x6C;    // SW1: SW2 is the length the card has
inline constexpr uint8_t kWrongCode = 0x63;  // SW1 of 63Cx: a wrong code, x attempts left
inline constexpr uint8_t kAttemptsMarker = 0xC0;
inline constexpr uint16_t kEndReached = 0x6282;
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr uint16_t kBlocked = 0x6983;
inline constexpr uint16_t kNoCurrentFile = 0x6986;
inline constexpr uint16_t kFunctionNotSupported = 0x6A81;
inline constexpr uint16_t kFileNotFound = 0x6A82;
inline constexpr uint16_t kWrongP1P2 = 0x6B00;
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClassNotSupported = 0x6E00;

}  // namespace kdx::iso7816
