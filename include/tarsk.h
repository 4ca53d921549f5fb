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

/* velmor.h and tarsk.h can be included together only with KDX_BOTH_LIBRARIES
 * defined before either: both libraries export the same function names (some
 * with other parameters), so one program cannot link to both. It loads each
 * with dlopen() (LoadLibrary() on Windows) and takes the functions with
 * dlsym() (GetProcAddress()). With KDX_BOTH_LIBRARIES the headers declare no
 * functions, and the status codes are named only VELMOR_ST_... and
 * TARSK_ST_...; see the README. */
#if defined(VELMOR_H) && !defined(KDX_BOTH_LIBRARIES)
#  error "velmor.h and tarsk.h together need KDX_BOTH_LIBRARIES defined first (see the comment above)"
#endif

#include "kdx_common.h"
#include "kdx_port.h"
#include "kdx_status.h"

KDX_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------
 * Status codes. Codes not listed name no condition; "message only" codes have
 * a text but no export returns them.
 */
enum {
  TARSK_ST_OK = 0,
  TARSK_ST_NO_CARD_OR_AUTH = 1,
  TARSK_ST_DATA_CHECK = 2,
  TARSK_ST_VALUE_OVERFLOW = 3,
  TARSK_ST_CARD_AUTH_FAILED = 4,
  TARSK_ST_PARITY = 5,
  TARSK_ST_CARD_COMM = 6,
  TARSK_ST_CARD_NUMBER = 8,
  TARSK_ST_NOT_AUTHENTICATED = 10,
  TARSK_ST_BIT_COUNT = 11,
  TARSK_ST_BYTE_COUNT = 12,
  TARSK_ST_IDLE = 13,
  TARSK_ST_RESTORE_FAILED = 14,
  TARSK_ST_WRITE_FAILED = 15,
  TARSK_ST_INCREMENT_FAILED = 16,
  TARSK_ST_DECREMENT_FAILED = 17,
  TARSK_ST_READ_FAILED = 18,
  TARSK_ST_INTERRUPTED = 20,
  TARSK_ST_NOT_VALUE_BLOCK = 21,
  TARSK_ST_NOT_SUPPORTED = 32,
  TARSK_ST_BAD_PARAMETER = 33,
  TARSK_ST_PORT_INIT_FAILED = 34,
  TARSK_ST_PORT_CLOSE_FAILED = 35,
  TARSK_ST_GET_STATE_FAILED = 36,
  TARSK_ST_SET_STATE_FAILED = 37,
  TARSK_ST_THREAD_FAILED = 38,
  TARSK_ST_EVENT_FAILED = 39,
  TARSK_ST_SEND_FAILED = 40,
  TARSK_ST_RECEIVE_FAILED = 41,
  TARSK_ST_ALLOC_FAILED = 42,
  TARSK_ST_FREE_FAILED = 43,
  TARSK_ST_ALREADY_OPEN = 44,
  TARSK_ST_NOT_OPEN = 45,
  TARSK_ST_NO_DEVICE = 46,
  TARSK_ST_COMM_ERROR = 47,
  TARSK_ST_NO_CARD = 48,
  TARSK_ST_UNKNOWN_CARD = 49,
  TARSK_ST_WRONG_CARD_TYPE = 50,
  TARSK_ST_ADDRESS_OVERFLOW = 51,
  TARSK_ST_LENGTH_OVERFLOW = 52,
  TARSK_ST_BAD_ZONE = 53,
  TARSK_ST_ACCESS_OVERFLOW = 54,
  TARSK_ST_BAD_INDEX = 55,
  TARSK_ST_WRONG_PASSWORD = 56,
  TARSK_ST_AUTH_FAILED = 57,
  TARSK_ST_CARD_NOT_POWERED = 58,
  TARSK_ST_NO_ATR = 59,
  TARSK_ST_BAD_ATR = 60,
  TARSK_ST_PROTOCOL_UNSUPPORTED = 61,
  TARSK_ST_APDU_LENGTH = 62,
  TARSK_ST_APDU_FORMAT = 63,
  TARSK_ST_NO_RESPONSE = 64,
  TARSK_ST_EDC_ERROR = 65,
  TARSK_ST_ATR_INCOMPLETE = 66,
  TARSK_ST_PPS_FAILED = 67,
  TARSK_ST_BAUD_UNSUPPORTED = 68,
  TARSK_ST_BAD_RESPONSE = 69,
};

/* The short status names and the functions, unless both library headers
 * are in use (KDX_BOTH_LIBRARIES, above). */
#ifndef KDX_BOTH_LIBRARIES
enum {
  ST_OK = TARSK_ST_OK,
  ST_NO_CARD_OR_AUTH = TARSK_ST_NO_CARD_OR_AUTH,
  ST_DATA_CHECK = TARSK_ST_DATA_CHECK,
  ST_VALUE_OVERFLOW = TARSK_ST_VALUE_OVERFLOW,
  ST_CARD_AUTH_FAILED = TARSK_ST_CARD_AUTH_FAILED,
  ST_PARITY = TARSK_ST_PARITY,
  ST_CARD_COMM = TARSK_ST_CARD_COMM,
  ST_CARD_NUMBER = TARSK_ST_CARD_NUMBER,
  ST_NOT_AUTHENTICATED = TARSK_ST_NOT_AUTHENTICATED,
  ST_BIT_COUNT = TARSK_ST_BIT_COUNT,
  ST_BYTE_COUNT = TARSK_ST_BYTE_COUNT,
  ST_IDLE = TARSK_ST_IDLE,
  ST_RESTORE_FAILED = TARSK_ST_RESTORE_FAILED,
  ST_WRITE_FAILED = TARSK_ST_WRITE_FAILED,
  ST_INCREMENT_FAILED = TARSK_ST_INCREMENT_FAILED,
  ST_DECREMENT_FAILED = TARSK_ST_DECREMENT_FAILED,
  ST_READ_FAILED = TARSK_ST_READ_FAILED,
  ST_INTERRUPTED = TARSK_ST_INTERRUPTED,
  ST_NOT_VALUE_BLOCK = TARSK_ST_NOT_VALUE_BLOCK,
  ST_NOT_SUPPORTED = TARSK_ST_NOT_SUPPORTED,
  ST_BAD_PARAMETER = TARSK_ST_BAD_PARAMETER,
  ST_PORT_INIT_FAILED = TARSK_ST_PORT_INIT_FAILED,
  ST_PORT_CLOSE_FAILED = TARSK_ST_PORT_CLOSE_FAILED,
  ST_GET_STATE_FAILED = TARSK_ST_GET_STATE_FAILED,
  ST_SET_STATE_FAILED = TARSK_ST_SET_STATE_FAILED,
  ST_THREAD_FAILED = TARSK_ST_THREAD_FAILED,
  ST_EVENT_FAILED = TARSK_ST_EVENT_FAILED,
  ST_SEND_FAILED = TARSK_ST_SEND_FAILED,
  ST_RECEIVE_FAILED = TARSK_ST_RECEIVE_FAILED,
  ST_ALLOC_FAILED = TARSK_ST_ALLOC_FAILED,
  ST_FREE_FAILED = TARSK_ST_FREE_FAILED,
  ST_ALREADY_OPEN = TARSK_ST_ALREADY_OPEN,
  ST_NOT_OPEN = TARSK_ST_NOT_OPEN,
  ST_NO_DEVICE = TARSK_ST_NO_DEVICE,
  ST_COMM_ERROR = TARSK_ST_COMM_ERROR,
  ST_NO_CARD = TARSK_ST_NO_CARD,
  ST_UNKNOWN_CARD = TARSK_ST_UNKNOWN_CARD,
  ST_WRONG_CARD_TYPE = TARSK_ST_WRONG_CARD_TYPE,
  ST_ADDRESS_OVERFLOW = TARSK_ST_ADDRESS_OVERFLOW,
  ST_LENGTH_OVERFLOW = TARSK_ST_LENGTH_OVERFLOW,
  ST_BAD_ZONE = TARSK_ST_BAD_ZONE,
  ST_ACCESS_OVERFLOW = TARSK_ST_ACCESS_OVERFLOW,
  ST_BAD_INDEX = TARSK_ST_BAD_INDEX,
  ST_WRONG_PASSWORD = TARSK_ST_WRONG_PASSWORD,
  ST_AUTH_FAILED = TARSK_ST_AUTH_FAILED,
  ST_CARD_NOT_POWERED = TARSK_ST_CARD_NOT_POWERED,
  ST_NO_ATR = TARSK_ST_NO_ATR,
  ST_BAD_ATR = TARSK_ST_BAD_ATR,
  ST_PROTOCOL_UNSUPPORTED = TARSK_ST_PROTOCOL_UNSUPPORTED,
  ST_APDU_LENGTH = TARSK_ST_APDU_LENGTH,
  ST_APDU_FORMAT = TARSK_ST_APDU_FORMAT,
  ST_NO_RESPONSE = TARSK_ST_NO_RESPONSE,
  ST_EDC_ERROR = TARSK_ST_EDC_ERROR,
  ST_ATR_INCOMPLETE = TARSK_ST_ATR_INCOMPLETE,
  ST_PPS_FAILED = TARSK_ST_PPS_FAILED,
  ST_BAUD_UNSUPPORTED = TARSK_ST_BAUD_UNSUPPORTED,
  ST_BAD_RESPONSE = TARSK_ST_BAD_RESPONSE
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
 * Card activation and the answer to reset (ATR).
 *
 * The card's clock is taken as 3.5712 MHz, so a card answers at 9600 baud.
 * Protocol values: 1 = T=0, 2 = T=1 (1 shifted left by the protocol number).
 */

/* Activates the card: closes and reopens the port (as KDX_ExitComm and
 * KDX_InitComm do, at 9600 baud), starts the presence monitor, holds RTS on
 * for 12 ms, then collects the ATR in reads of 50 ms and interprets it after
 * every read that brought bytes (see CPU_UpdateCardCapabilities). The card
 * is given one read plus 25 empty reads in a row (about 1.3 s) before it
 * counts as silent; bytes that keep arriving start the count again.
 * atr: 32 bytes (64 characters in string mode 1); length: the ATR's byte
 * count. On success the ATR, decoded from the inverse convention when the
 * card uses it (first byte 0x3F), is in atr (2 x length characters in string
 * mode 1, no terminator), and the port runs at the card's parameters.
 * 0, ST_BAD_PARAMETER (NULL atr or length; nothing done), ST_NOT_OPEN,
 * ST_NO_CARD, the status of the port's reopening (no session remains after
 * it fails), ST_THREAD_FAILED, ST_GET_STATE_FAILED, ST_SET_STATE_FAILED,
 * ST_NO_ATR (no byte at all), ST_ATR_INCOMPLETE (bytes came, but fewer than
 * the ATR announces), ST_BAD_ATR (33 bytes or more, or a refusal of
 * CPU_UpdateCardCapabilities), ST_PROTOCOL_UNSUPPORTED,
 * ST_BAUD_UNSUPPORTED. After a failure the card is not active. */
KDX_API StatusCode KDX_CALL CPU_OpenCard(uint8_t* atr, uint16_t* length);
/* Exactly CPU_OpenCard, including the reopening of the port. */
KDX_API StatusCode KDX_CALL CPU_Reset(uint8_t* atr, uint16_t* length);
/* Deactivates: stops the presence monitor, holds the card in reset (RTS on)
 * and purges the port, which stays open at its settings. The last ATR and
 * its parameters stay until the next activation. 0, ST_NOT_OPEN,
 * ST_GET_STATE_FAILED, ST_SET_STATE_FAILED. */
KDX_API StatusCode KDX_CALL CPU_CloseCard(void);
/* Writes the protocol of the active card. 0, ST_BAD_PARAMETER (NULL),
 * ST_NOT_OPEN, ST_NO_CARD, ST_CARD_NOT_POWERED (not activated). */
KDX_API StatusCode KDX_CALL CPU_GetProtocol(uint32_t* protocol);
/* Interprets the ATR held by the session and programs the port for it
 * (parity by convention, baud rate, stop bits, read time-outs of the
 * protocol). Bytes beginning 0x03 are decoded from the inverse convention.
 * The first protocol is T=0 without TD1, else the one TD1 names; a card also
 * offers T=0 or T=1 when TD1 or TD2 names it. The interface bytes of every
 * level are walked; those of levels 1 to 3 are used. Derived:
 *   - FI, DI from TA1 (1, 1 without it): Fi 372 372 558 744 1116 1488 1860
 *     - - 512 768 1024 1536 2048 - - and Di - 1 2 4 8 16 32 64 12 20 1/2
 *     1/4 1/8 1/16 1/32 1/64 by index, "-" being refused (ST_BAD_ATR);
 *   - with TA2 (specific mode) the card runs at Di x 3571200 / Fi at once,
 *     and the port at the speed whose +-3 % window holds that rate (115200,
 *     57600, 38400, 19200 or 9600), ST_BAUD_UNSUPPORTED when none does;
 *     without TA2 the port stays at 9600 until protocol selection;
 *   - N = TC1 (0); a T=1 card with N = 255 gets one stop bit;
 *   - work waiting time = WI x Di x 960000 / baud ms, WI = TC2 (10);
 *   - IFSC = TA3 (32); CWI, BWI = low, high nibble of TB3 (13, 4 for a card
 *     offering T=1 without TB3); for a card offering T=1 the character
 *     waiting time (2^CWI + 11) x 1000 / baud ms and the block waiting time
 *     (2^BWI x 357120 x Di / Fi + 11) x 1000 / baud ms; a card whose first
 *     protocol is T=1 is refused (ST_BAD_ATR) for BWI > 9, or for 2^CWI <=
 *     N when N < 255;
 *   - EDC kind = TC3 (0: LRC, else CRC).
 * TCK is stored but not checked. 0, ST_NOT_OPEN, ST_ATR_INCOMPLETE,
 * ST_BAD_ATR (TS neither 0x3B nor 0x3F, or a refusal above),
 * ST_PROTOCOL_UNSUPPORTED, ST_BAUD_UNSUPPORTED, ST_GET_STATE_FAILED,
 * ST_SET_STATE_FAILED. */
KDX_API StatusCode KDX_CALL CPU_UpdateCardCapabilities(void);

/* ---------------------------------------------------------------------------
 * Protocol and parameter selection (PPS).
 */

/* Asks the active card for a protocol and a pair of rate factors.
 * protocols: bit set, bit 0 T=0, bit 1 T=1; the first of T=1, T=0 that is
 * both asked for and offered by the card is requested. fi, di: low 8 bits,
 * factor indices 0 to 15 (see CPU_UpdateCardCapabilities); the rate
 * Di x 3571200 / Fi must fall in the +-3 % window of 115200, 57600, 38400,
 * 19200 or 9600.
 * The request PPSS PPS0 PPS1 PCK (FF, 0x10 | T, FI x 16 + DI, XOR of them)
 * goes out in the card's convention; the answer is read by its structure
 * and its PCK checked, within 1 s of the request and 3 s in all. An answer
 * that echoes PPS1 puts the factors in force and the port at the window's
 * speed. Any other answer is a refusal: the card is reset (as CPU_Reset
 * does) and asked once more for the default factors 0x11, after which it
 * runs at 9600 with FI = DI = 1 and the protocol it confirmed. Afterwards
 * the waiting times follow the factors in force (work waiting time
 * WI x 960 x Fi / 3.5712 MHz; character and block waiting times
 * 2^CWI + 11 etu, and 11 etu + 2^BWI x 960 x 372 / 3.5712 MHz), rounded up
 * to milliseconds, and the port's read time-outs follow them.
 * A card in its specific mode (TA2 present) takes no PPS: nothing is sent,
 * and the result is 0 when the protocol and factors asked for are those in
 * force, ST_PPS_FAILED otherwise.
 * 0, ST_NOT_OPEN, ST_NO_CARD, ST_CARD_NOT_POWERED, ST_BAD_PARAMETER (FI or
 * DI above 15; nothing sent), ST_PROTOCOL_UNSUPPORTED (nothing asked for is
 * offered; nothing changed), ST_BAUD_UNSUPPORTED (a reserved index, or a
 * rate outside every window; nothing sent, the protocol asked for recorded),
 * ST_COMM_ERROR (a transfer failed: protocol none), ST_PPS_FAILED (the
 * default factors refused, at once or after the reset: protocol none after
 * the reset), the status of the reset, ST_GET_STATE_FAILED,
 * ST_SET_STATE_FAILED. */
KDX_API StatusCode KDX_CALL CPU_SetProtocol(uint32_t protocols, uint32_t fi, uint32_t di);

/* ---------------------------------------------------------------------------
 * T=0 transmission.
 */

/* Exchanges one command APDU with the active card in T=0, whatever the
 * protocol recorded; checks, string mode and purge as CPU_IsoAPDU (below).
 * command: length (32-bit) bytes, or 2 x length characters in string mode
 * 1 (decoded in place): CLA INS P1 P2 P3 and then, for a command with data,
 * exactly P3 data bytes (1 to 255), optionally followed by one Le byte that
 * is not sent (T=0 leaves Le of a case-4 command to a later GET RESPONSE).
 * response: room for 258 bytes (2 x 258 + 1 characters in string mode 1,
 * where the text is followed by a zero byte); response_length: its byte
 * count, 0 unless the exchange ended well. For a header-only command the
 * response is up to P3 data bytes (256 for P3 = 0) and SW1 SW2; for a
 * command with data it is SW1 SW2. Status words, 61xx and 6Cxx included,
 * are part of the response: no GET RESPONSE is sent and no command
 * repeated.
 * After the header the card's procedure bytes lead: NULL (0x60) waits, INS
 * (or INS + 1) moves all remaining data, its complement exactly one byte,
 * in either direction; 6X (not 60) and 9X are SW1. Every byte written is
 * read back as its echo. Each read may take its bytes' character times
 * plus the work waiting time, and the whole exchange at most 60 s (NULLs
 * do not extend it).
 * 0, ST_BAD_PARAMETER (NULL pointer, or a non-hexadecimal character in
 * string mode 1; nothing sent), ST_NOT_OPEN, ST_NO_CARD,
 * ST_CARD_NOT_POWERED, ST_APDU_FORMAT (fewer than 5 bytes, more than 261,
 * or data of neither P3 nor P3 + 1 bytes; nothing sent), ST_COMM_ERROR
 * (echo missing or different, a byte missing within its waiting time, a
 * procedure byte outside the protocol, or the 60 s spent), ST_BAD_RESPONSE
 * (through CPU_IsoAPDUEx: more response bytes than the room stated). */
KDX_API StatusCode KDX_CALL CPU_TransmitT0(uint8_t* command, uint32_t length, uint8_t* response,
                                           uint32_t* response_length);

/* ---------------------------------------------------------------------------
 * APDU exchange with the active card.
 *
 * command: command_length (32-bit) bytes, or 2 x command_length hexadecimal
 * characters in string mode 1, decoded in place (the buffer is not
 * preserved). response: receives the response APDU, SW1 SW2 included;
 * response_length: its byte count (also after a failure: the bytes written).
 * Response bound: at most 65,538 bytes (the longest extended-length response
 * and SW1 SW2) are ever written; in string mode 1 the response comes back as
 * 2 x response_length characters followed by a zero byte, at most
 * 2 x 65,538 + 1 characters. The caller provides that much room, or uses
 * CPU_IsoAPDUEx (tarsk_apdu.h) to state the room it has. A response beyond
 * the bound ends the exchange with ST_BAD_RESPONSE.
 *
 * Every exchange ends within a bounded time whatever the card does: 60 s
 * beyond the line time of the bytes it moved (two character times a byte),
 * plus one resynchronisation. After a failure that may leave host
 * and card out of step the card is resynchronised (T=1) so that the next
 * exchange works, or marked inactive (the next call gives
 * ST_CARD_NOT_POWERED) when that fails too; a late answer is never returned
 * as the answer to a later command.
 */

/* Checks the session (ST_NOT_OPEN), the card's presence (ST_NO_CARD) and
 * activation (ST_CARD_NOT_POWERED), purges the port and runs the exchange
 * of the card's protocol: CPU_TransmitT0 for T=0 (protocol 1), CPU_TransmitT1
 * for T=1 (protocol 2). 0,
 * ST_BAD_PARAMETER (NULL pointer, or a non-hexadecimal character in string
 * mode 1: nothing sent), ST_APDU_FORMAT (command_length 0: nothing sent),
 * ST_PROTOCOL_UNSUPPORTED, or the engine's status. */
KDX_API StatusCode KDX_CALL CPU_IsoAPDU(uint8_t* command, uint32_t command_length, uint8_t* response,
                                       uint32_t* response_length);
/* The T=1 block exchange (ISO/IEC 7816-3), whatever the protocol recorded:
 * the command goes out in I-blocks of at most IFSC bytes (chained), the
 * card's chained response is acknowledged block by block, its S(IFS),
 * S(WTX) and S(ABORT) requests are answered; the host's IFSD is 32. An
 * invalid block (EDC or framing, wrong sequence number, NAD other than 0,
 * I-block longer than 32, a block missing within BWT, a gap longer than CWT,
 * an S-block not expected) is answered by an R-block, a retransmission
 * request by the block as it was sent; after three attempts the host
 * resynchronises (S(RESYNCH), up to three times). Arguments and checks as
 * CPU_IsoAPDU. 0; ST_COMM_ERROR (a block's write or echo failed);
 * ST_BAD_RESPONSE (recovery failed, the card aborted, the response did not
 * fit, or the time bound was reached). */
KDX_API StatusCode KDX_CALL CPU_TransmitT1(uint8_t* command, uint32_t command_length, uint8_t* response,
                                          uint32_t* response_length);

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
 * Those round keys are key material: they are overwritten when another key
 * replaces them, and wiped when their thread ends and, for threads still
 * running then, when the library is unloaded.
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

#endif /* KDX_BOTH_LIBRARIES */

KDX_EXTERN_C_END

#endif /* TARSK_H */
