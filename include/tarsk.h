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
 * Ciphers. No session is needed. Each works on the caller's block in place
 * and returns ST_OK, or ST_BAD_PARAMETER for a NULL pointer or rejected text.
 *   - DES: byte 0 of block and key carries DES bits 1 to 8, most significant
 *     bit first; the low bit of each key byte (parity) is ignored.
 *     Triple-DES is two-key EDE: K1 = key bytes 0-7, K2 = bytes 8-15.
 *   - RC6-32/20/b: every 32-bit word of key and block is read and written
 *     most significant byte first, so the result is the published cipher
 *     applied to inputs whose 4-byte groups are each reversed, with the
 *     output groups reversed back.
 * Each calling thread keeps the round keys of its last key of each kind, so
 * repeating a key skips the key schedule; results do not depend on it.
 *
 * String mode 0: block (n bytes: 8 for DES, 16 for RC6) and key (k bytes:
 * 8, 16 for Triple-DES, 16/24/32 for RC6) are raw bytes; block and key may
 * be the same buffer.
 * String mode 1: block and key are NUL-terminated texts of exactly 2n and 2k
 * hexadecimal digits (either case). In this order:
 *   1. a text of another length: ST_BAD_PARAMETER, nothing changed (at most
 *      one character past the expected length is read);
 *   2. a block character that is not a digit: ST_BAD_PARAMETER, nothing
 *      changed;
 *   3. the block text is decoded into its first n bytes (lower-case digits in
 *      the rest of the text are turned to upper case);
 *   4. a key character that is not a digit: ST_BAD_PARAMETER, the block
 *      buffer holding the decoded block;
 *   5. the key text is decoded into its first k bytes, and is left so,
 *      followed by the rest of the text;
 *   6. the result is written over the block text as 2n upper-case digits;
 *      its NUL stays in place.
 */

/* DES encryption or decryption of the 8-byte block under the 8-byte key. */
KDX_API StatusCode KDX_CALL DES_Encrypt(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL DES_Decrypt(uint8_t* block, uint8_t* key);

/* Two-key Triple-DES of the 8-byte block under the 16-byte key: encryption
 * is DES encryption with K1, decryption with K2, encryption with K1;
 * decryption the reverse. */
KDX_API StatusCode KDX_CALL TriDES_Encrypt(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL TriDES_Decrypt(uint8_t* block, uint8_t* key);

/* RC6 encryption or decryption of the 16-byte block under a key of 16
 * (_128), 24 (_192) or 32 (_256) bytes. */
KDX_API StatusCode KDX_CALL RC6_Encrypt_128(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_128(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Encrypt_192(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_192(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Encrypt_256(uint8_t* block, uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_256(uint8_t* block, uint8_t* key);

/* ---------------------------------------------------------------------------
 * Messages.
 */

/* Copies the 32-byte GBK message of code (low 16 bits, 0 to 69) to
 * destination; 0. A code above 69 (or a NULL destination): ST_BAD_PARAMETER,
 * nothing written. */
KDX_API StatusCode KDX_CALL KDX_ErrorMsg(uint32_t code, uint8_t* destination);

KDX_EXTERN_C_END

#endif /* TARSK_H */
