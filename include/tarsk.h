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
 * Port session, lines and raw transfer.
 *
 * Roles of the port's lines: TXD/RXD are the card's I/O contact (every byte
 * written is received back); DTR is kept on and the device returns it on
 * DSR; RTS on holds the card in reset; CTS is on while a card sits in the
 * slot. One session per process; port index n is "COM<n+1>" on Windows
 * (see kdx_port.h for other platforms and for plugged-in backends).
 */

/* Opens port (low 8 bits, 0 to 3) and tests the device. The port always
 * opens at 9600 baud, 8 data bits, even parity, two stop bits, DTR on, RTS
 * off, output held while DSR is off and input dropped while DSR is off;
 * baud (300 to 115200) is only range-checked. The device test runs twice,
 * 200 ms apart, before it counts as failed. 0, ST_ALREADY_OPEN (checked
 * before the arguments), ST_BAD_PARAMETER, ST_ALLOC_FAILED,
 * ST_PORT_INIT_FAILED, ST_GET_STATE_FAILED, ST_SET_STATE_FAILED, or the
 * device test's status; after any failure there is no session. */
KDX_API StatusCode KDX_CALL KDX_InitComm(uint32_t port, uint32_t baud);
/* Ends the session: deactivates an active card, stops the presence monitor
 * (waiting until its thread has ended), closes the port and releases the
 * session. 0, also when nothing was open. ST_PORT_CLOSE_FAILED or
 * ST_FREE_FAILED leave what is not yet released in place; calling again
 * continues from there. */
KDX_API StatusCode KDX_CALL KDX_ExitComm(void);
/* 0 while a session with an open port exists, else ST_NOT_OPEN. */
KDX_API StatusCode KDX_CALL IsCommOpened(void);
/* Device test: DSR must follow DTR off and on, and the 8 bytes "KDX-TEST"
 * sent while RTS holds the card in reset must come back unchanged. Leaves
 * DTR on and RTS off, waits 85 ms and purges. 0, ST_NOT_OPEN, ST_NO_DEVICE,
 * ST_COMM_ERROR (echo not received in full), ST_GET_STATE_FAILED,
 * ST_SET_STATE_FAILED. */
KDX_API StatusCode KDX_CALL KDX_TestDevice(void);
/* Card-present test on CTS: 0 when a card is in the slot; ST_NO_CARD (and
 * the card counts as no longer active) when not; ST_NOT_OPEN. */
KDX_API StatusCode KDX_CALL KDX_TestDoor(void);
/* Applies the card's line parameters as card activation found them: parity
 * by convention, baud rate and stop bits, and the read time-outs of the
 * card's protocol. 0, ST_NOT_OPEN, ST_GET_STATE_FAILED,
 * ST_SET_STATE_FAILED. */
KDX_API StatusCode KDX_CALL KDX_ConfigureSerialPort(void);
/* One blocking write of count (32-bit) bytes from buffer. 0 when all were
 * written, else ST_COMM_ERROR. Bound: ST_NOT_OPEN without a session,
 * ST_BAD_PARAMETER for a NULL buffer with a non-zero count. */
KDX_API StatusCode KDX_CALL SendData(const uint8_t* buffer, uint32_t count);
/* One blocking read of up to count (32-bit) bytes into buffer, ended by the
 * current read time-outs; nothing beyond the bytes read is written. 0 when
 * all count bytes arrived, else ST_COMM_ERROR; the bytes that did arrive are
 * in buffer. Bound: ST_NOT_OPEN without a session, ST_BAD_PARAMETER for a
 * NULL buffer with a non-zero count. */
KDX_API StatusCode KDX_CALL ReceiveData(uint8_t* buffer, uint32_t count);

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
