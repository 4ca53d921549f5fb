// Names and English texts of the statuses, for KDX_DescribeStatus. A name
// that both libraries use denotes the same condition in both (with each
// library's own number), so the shared ones are defined here once and each
// library's message table lists them at its own numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kdx::status_text {

struct Description {
  const char* name;
  const char* text;
};

inline constexpr Description kUndefined{"", "undefined status code"};

inline constexpr Description kOk{"ST_OK", "success"};
inline constexpr Description kBadParameter{"ST_BAD_PARAMETER", "bad argument"};
inline constexpr Description kPortInitFailed{"ST_PORT_INIT_FAILED", "cannot open the port"};
inline constexpr Description kPortCloseFailed{"ST_PORT_CLOSE_FAILED", "cannot close the port"};
inline constexpr Description kGetStateFailed{"ST_GET_STATE_FAILED", "cannot read the port's line settings"};
inline constexpr Description kSetStateFailed{"ST_SET_STATE_FAILED", "cannot set the port's line settings"};
inline constexpr Description kThreadFailed{"ST_THREAD_FAILED", "cannot create a thread"};
inline constexpr Description kEventFailed{"ST_EVENT_FAILED", "cannot create an event"};
inline constexpr Description kSendFailed{"ST_SEND_FAILED", "port send error"};
inline constexpr Description kReceiveFailed{"ST_RECEIVE_FAILED", "port receive error"};
inline constexpr Description kAllocFailed{"ST_ALLOC_FAILED", "out of memory"};
inline constexpr Description kFreeFailed{"ST_FREE_FAILED", "cannot release memory"};
inline constexpr Description kAlreadyOpen{"ST_ALREADY_OPEN", "the port is already open"};
inline constexpr Description kNotOpen{"ST_NOT_OPEN", "the port is not open"};
inline constexpr Description kNoDevice{"ST_NO_DEVICE", "no reader answers on the port"};
inline constexpr Description kCommError{"ST_COMM_ERROR", "communication error on the port"};
inline constexpr Description kNoCard{"ST_NO_CARD", "no card in the reader"};
inline constexpr Description kUnknownCard{"ST_UNKNOWN_CARD", "the card type cannot be recognised"};
inline constexpr Description kWrongCardType{"ST_WRONG_CARD_TYPE", "wrong card type"};
inline constexpr Description kAddressOverflow{"ST_ADDRESS_OVERFLOW", "address out of range"};
inline constexpr Description kLengthOverflow{"ST_LENGTH_OVERFLOW", "length out of range"};
inline constexpr Description kBadZone{"ST_BAD_ZONE", "bad zone or page number"};
inline constexpr Description kAccessOverflow{"ST_ACCESS_OVERFLOW", "access past the end of the card memory"};
inline constexpr Description kBadIndex{"ST_BAD_INDEX", "bad index"};
inline constexpr Description kWrongPassword{"ST_WRONG_PASSWORD", "wrong password"};
inline constexpr Description kAuthFailed{"ST_AUTH_FAILED", "authentication failed"};
inline constexpr Description kNoAtr{"ST_NO_ATR", "no answer to reset"};
inline constexpr Description kBadAtr{"ST_BAD_ATR", "wrong answer to reset"};
inline constexpr Description kProtocolUnsupported{"ST_PROTOCOL_UNSUPPORTED", "the card's protocol is not supported"};
inline constexpr Description kApduLength{"ST_APDU_LENGTH", "wrong APDU length"};
inline constexpr Description kApduFormat{"ST_APDU_FORMAT", "wrong APDU format"};

// Sets *name and *text (either may be NULL) from the table entry of `code`,
// or to "" when the code is outside the table; false then.
inline bool describe(std::span<const Description> table, uint32_t code, const char** name, const char** text) {
  const std::size_t index = code & 0xFFFFu;
  const bool known = index < table.size();
  if (name != nullptr) *name = known ? table[index].name : "";
  if (text != nullptr) *text = known ? table[index].text : "";
  return known;
}

}  // namespace kdx::status_text
