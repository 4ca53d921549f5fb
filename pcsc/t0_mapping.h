// Short command APDUs carried over T=0 TPDUs, as ISO/IEC 7816-3 maps them,
// written once over a "transmit one TPDU" function so that every reader path
// that speaks T=0 gives applications the same answers as T=1:
//
//   case 1  CLA INS P1 P2          -> CLA INS P1 P2 00
//   case 2  CLA INS P1 P2 Le       -> CLA INS P1 P2 Le; 6Cxx: again with xx
//   case 3  CLA INS P1 P2 Lc data  -> as it is
//   case 4  ... Lc data Le         -> without Le; 61xx and 9000 end it
//   cases 2 and 4: 61xx -> GET RESPONSE (CLA C0 00 00 xx), repeated while the
//   card says more is waiting, the data gathered up to Ne bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kdx::ifd {

enum class ApduCase : uint8_t { one, two, three, four };

struct ParsedApdu {
  ApduCase kind = ApduCase::one;
  std::size_t lc = 0;  // command data bytes
  std::size_t ne = 0;  // most response data bytes wanted (Le 00 = 256)
};

// Short APDUs only; false for a malformed or extended one (Lc 00 as the
// fifth byte of a longer command).
bool parse_apdu(std::span<const uint8_t> apdu, ParsedApdu& parsed);

enum class TpduResult : uint8_t { ok, absent, timeout, failed };

// Sends one TPDU (header CLA INS P1 P2 P3, then P3 data bytes or none) and
// puts the card's answer, data and SW1 SW2, into `response`.
using TpduTransmit = std::function<TpduResult(std::span<const uint8_t> tpdu, std::vector<uint8_t>& response)>;

struct T0Limits {
  // The most data bytes one TPDU may ask the card for (P3 of a case 2).
  std::size_t max_response_data = 256;
};

enum class MapResult : uint8_t { ok, malformed, absent, timeout, failed, card_misbehaves };

// One APDU through the TPDUs it needs; `response` gets data and SW1 SW2.
// Bound: at most kMaxTpdus TPDUs per APDU (a card that keeps answering 61xx
// or 6Cxx past that misbehaves).
inline constexpr std::size_t kMaxTpdus = 260;
MapResult transmit_t0_apdu(std::span<const uint8_t> apdu, const TpduTransmit& transmit, const T0Limits& limits,
                           std::vector<uint8_t>& response);

}  // namespace kdx::ifd
