/*
 * tarsk.h - public interface of Tarsk, the driver library for the contact
 * smart-card reader without a microcontroller: the card's I/O contact is the
 * serial data line, its reset is RTS, card presence is CTS, and device
 * presence shows as DSR following DTR. The host performs ISO/IEC 7816-3
 * itself.
 *
 * Conventions of every export:
 *   - flat C functions, stdcall on 32-bit Windows (KDX_CALL);
 *   - every argument occupies one 32-bit slot; integer arguments are declared
 *     uint32_t and only the low bits named in each entry are used; byte
 *     counts are 32 bits;
 *   - results are StatusCode values (ST_... below), 0 meaning success;
 *   - byte-array arguments and results of the card and cipher exports are
 *     raw bytes in string mode 0 and upper-case hexadecimal text (two
 *     characters per byte, either case accepted on input) in string mode 1;
 *     lengths always count bytes;
 *   - one calling thread at a time; the library runs one presence-monitor
 *     thread of its own while a card is active.
 */
#ifndef TARSK_H
#define TARSK_H

#include "kdx_common.h"
#include "kdx_port.h"

KDX_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------
 * Status codes. Codes not listed name no condition; "message only" codes have
 * a text but no export returns them.
 */
enum {
  ST_OK = 0,
  ST_NO_CARD_OR_AUTH = 1,
  ST_DATA_CHECK = 2,
  ST_VALUE_OVERFLOW = 3,
  ST_CARD_AUTH_FAILED = 4,
  ST_PARITY = 5,
  ST_CARD_COMM = 6,
  ST_CARD_NUMBER = 8,
  ST_NOT_AUTHENTICATED = 10,
  ST_BIT_COUNT = 11,
  ST_BYTE_COUNT = 12,
  ST_IDLE = 13,
  ST_RESTORE_FAILED = 14,
  ST_WRITE_FAILED = 15,
  ST_INCREMENT_FAILED = 16,
  ST_DECREMENT_FAILED = 17,
  ST_READ_FAILED = 18,
  ST_INTERRUPTED = 20,
  ST_NOT_VALUE_BLOCK = 21,
  ST_NOT_SUPPORTED = 32,
  ST_BAD_PARAMETER = 33,
  ST_PORT_INIT_FAILED = 34,
  ST_PORT_CLOSE_FAILED = 35,
  ST_GET_STATE_FAILED = 36,
  ST_SET_STATE_FAILED = 37,
  ST_THREAD_FAILED = 38,
  ST_EVENT_FAILED = 39,
  ST_SEND_FAILED = 40,
  ST_RECEIVE_FAILED = 41,
  ST_ALLOC_FAILED = 42,
  ST_FREE_FAILED = 43,
  ST_ALREADY_OPEN = 44,
  ST_NOT_OPEN = 45,
  ST_NO_DEVICE = 46,
  ST_COMM_ERROR = 47,
  ST_NO_CARD = 48,
  ST_UNKNOWN_CARD = 49,
  ST_WRONG_CARD_TYPE = 50,
  ST_ADDRESS_OVERFLOW = 51,
  ST_LENGTH_OVERFLOW = 52,
  ST_BAD_ZONE = 53,
  ST_ACCESS_OVERFLOW = 54,
  ST_BAD_INDEX = 55,
  ST_WRONG_PASSWORD = 56,
  ST_AUTH_FAILED = 57,
  ST_CARD_NOT_POWERED = 58,
  ST_NO_ATR = 59,
  ST_BAD_ATR = 60,
  ST_PROTOCOL_UNSUPPORTED = 61,
  ST_APDU_LENGTH = 62,
  ST_APDU_FORMAT = 63,
  ST_NO_RESPONSE = 64,
  ST_EDC_ERROR = 65,
  ST_ATR_INCOMPLETE = 66,
  ST_PPS_FAILED = 67,
  ST_BAUD_UNSUPPORTED = 68,
  ST_BAD_RESPONSE = 69,
};

/* ---------------------------------------------------------------------------
 * String mode and hexadecimal text. None of these needs a session.
 */

/* mode (low 8 bits) 0: raw bytes, 1: hexadecimal text; 0 at load.
 * Another value: ST_BAD_PARAMETER, mode unchanged. */
KDX_API StatusCode KDX_CALL KDX_SetStringMode(uint32_t mode);
/* Writes the current mode (one byte). NULL: ST_BAD_PARAMETER. */
KDX_API StatusCode KDX_CALL KDX_GetStringMode(uint8_t* destination);
/* Two characters to one byte: source[0] is the high nibble. A lower-case
 * a to f in the source is turned to upper case in place. Characters are not
 * checked: a non-hexadecimal one yields a meaningless byte. */
KDX_API void KDX_CALL KDX_String2Hex(uint8_t* destination, char* source);
/* One byte to two upper-case characters, destination[1] written first, so
 * byte i of a buffer may be encoded into characters 2i and 2i+1 of the same
 * buffer. */
KDX_API void KDX_CALL KDX_Hex2String(char* destination, const uint8_t* source);
/* Fills count (low 8 bits) random bytes, or 2 x count characters in string
 * mode 1, with no terminator; 0. Byte 0 comes from the C runtime's rand()
 * seeded with the millisecond tick count, every later byte from rand()
 * seeded with the byte before it. NOT suitable for secrets, keys or
 * authentication challenges: the whole string follows from its first byte. */
KDX_API StatusCode KDX_CALL KDX_GetRandStr(uint8_t* destination, uint32_t count);

/* ---------------------------------------------------------------------------
 * Messages.
 */

/* Copies the 32-byte GBK message of code (low 16 bits, 0 to 69) to
 * destination; 0. A code above 69 (or a NULL destination): ST_BAD_PARAMETER,
 * nothing written. */
KDX_API StatusCode KDX_CALL KDX_ErrorMsg(uint32_t code, uint8_t* destination);

KDX_EXTERN_C_END

#endif /* TARSK_H */
