/*
 * velmor.h - public interface of Velmor, the driver library for the
 * contact smart-card reader with its own microcontroller.
 *
 * The host talks to the reader over one serial port in a framed,
 * acknowledged, half-duplex protocol (see "Reader link" below). On the
 * reader's numbered commands the library builds its device functions and its
 * card drivers.
 *
 * Conventions of every export:
 *   - flat C functions, stdcall on 32-bit Windows (KDX_CALL);
 *   - every argument occupies one 32-bit slot; integer arguments are declared
 *     uint32_t and only the low 8 or 16 bits named in each entry are used
 *     (addresses and lengths 16 bits; command codes, lines, zones, flags and
 *     password bytes 8 bits);
 *   - results are StatusCode values (ST_... below), 0 meaning success; no
 *     export throws, logs, or shows anything;
 *   - one caller at a time: the session, the frame buffers and all module
 *     state are process-wide and unguarded.
 *
 * Choices this library makes where the reader's contract leaves them open
 * are marked "Bound:" in the entries below.
 */
#ifndef VELMOR_H
#define VELMOR_H

/* velmor.h and tarsk.h can be included together only with KDX_BOTH_LIBRARIES
 * defined before either: both libraries export the same function names (some
 * with other parameters), so one program cannot link to both. It loads each
 * with dlopen() (LoadLibrary() on Windows) and takes the functions with
 * dlsym() (GetProcAddress()). With KDX_BOTH_LIBRARIES the headers declare no
 * functions, and the status codes are named only VELMOR_ST_... and
 * TARSK_ST_...; see the README. */
#if defined(TARSK_H) && !defined(KDX_BOTH_LIBRARIES)
#  error "velmor.h and tarsk.h together need KDX_BOTH_LIBRARIES defined first (see the comment above)"
#endif

#include "kdx_common.h"
#include "kdx_port.h"
#include "kdx_status.h"

KDX_EXTERN_C_BEGIN

/* ---------------------------------------------------------------------------
 * Status codes. The reader's firmware reports its own failures with the same
 * numbers in the status byte of its response frames; they reach the caller
 * unchanged.
 */
enum {
  VELMOR_ST_OK = 0,
  VELMOR_ST_BAD_PARAMETER = 1,
  VELMOR_ST_PORT_INIT_FAILED = 2,
  VELMOR_ST_PORT_CLOSE_FAILED = 3,
  VELMOR_ST_GET_STATE_FAILED = 4,
  VELMOR_ST_SET_STATE_FAILED = 5,
  VELMOR_ST_THREAD_FAILED = 6,      /* message only */
  VELMOR_ST_EVENT_FAILED = 7,
  VELMOR_ST_SEND_FAILED = 8,        /* message only */
  VELMOR_ST_RECEIVE_FAILED = 9,     /* message only */
  VELMOR_ST_ALLOC_FAILED = 10,
  VELMOR_ST_FREE_FAILED = 11,
  VELMOR_ST_ALREADY_OPEN = 12,
  VELMOR_ST_NOT_OPEN = 13,
  VELMOR_ST_NO_DEVICE = 14,
  VELMOR_ST_COMM_ERROR = 15,
  VELMOR_ST_NO_CARD = 16,
  VELMOR_ST_UNKNOWN_CARD = 17,
  VELMOR_ST_WRONG_CARD_TYPE = 18,
  VELMOR_ST_ADDRESS_OVERFLOW = 19,
  VELMOR_ST_LENGTH_OVERFLOW = 20,
  VELMOR_ST_BAD_ZONE = 21,
  VELMOR_ST_ACCESS_OVERFLOW = 22,
  VELMOR_ST_BAD_INDEX = 23,
  VELMOR_ST_WRONG_PASSWORD = 24,
  VELMOR_ST_AUTH_FAILED = 25,
  VELMOR_ST_NO_ATR = 26,
  VELMOR_ST_BAD_ATR = 27,
  VELMOR_ST_PROTOCOL_UNSUPPORTED = 28,
  VELMOR_ST_APDU_LENGTH = 29,
  VELMOR_ST_APDU_FORMAT = 30
};

/* The short status names and the functions, unless both library headers
 * are in use (KDX_BOTH_LIBRARIES, above). */
#ifndef KDX_BOTH_LIBRARIES
enum {
  ST_OK = VELMOR_ST_OK,
  ST_BAD_PARAMETER = VELMOR_ST_BAD_PARAMETER,
  ST_PORT_INIT_FAILED = VELMOR_ST_PORT_INIT_FAILED,
  ST_PORT_CLOSE_FAILED = VELMOR_ST_PORT_CLOSE_FAILED,
  ST_GET_STATE_FAILED = VELMOR_ST_GET_STATE_FAILED,
  ST_SET_STATE_FAILED = VELMOR_ST_SET_STATE_FAILED,
  ST_THREAD_FAILED = VELMOR_ST_THREAD_FAILED,
  ST_EVENT_FAILED = VELMOR_ST_EVENT_FAILED,
  ST_SEND_FAILED = VELMOR_ST_SEND_FAILED,
  ST_RECEIVE_FAILED = VELMOR_ST_RECEIVE_FAILED,
  ST_ALLOC_FAILED = VELMOR_ST_ALLOC_FAILED,
  ST_FREE_FAILED = VELMOR_ST_FREE_FAILED,
  ST_ALREADY_OPEN = VELMOR_ST_ALREADY_OPEN,
  ST_NOT_OPEN = VELMOR_ST_NOT_OPEN,
  ST_NO_DEVICE = VELMOR_ST_NO_DEVICE,
  ST_COMM_ERROR = VELMOR_ST_COMM_ERROR,
  ST_NO_CARD = VELMOR_ST_NO_CARD,
  ST_UNKNOWN_CARD = VELMOR_ST_UNKNOWN_CARD,
  ST_WRONG_CARD_TYPE = VELMOR_ST_WRONG_CARD_TYPE,
  ST_ADDRESS_OVERFLOW = VELMOR_ST_ADDRESS_OVERFLOW,
  ST_LENGTH_OVERFLOW = VELMOR_ST_LENGTH_OVERFLOW,
  ST_BAD_ZONE = VELMOR_ST_BAD_ZONE,
  ST_ACCESS_OVERFLOW = VELMOR_ST_ACCESS_OVERFLOW,
  ST_BAD_INDEX = VELMOR_ST_BAD_INDEX,
  ST_WRONG_PASSWORD = VELMOR_ST_WRONG_PASSWORD,
  ST_AUTH_FAILED = VELMOR_ST_AUTH_FAILED,
  ST_NO_ATR = VELMOR_ST_NO_ATR,
  ST_BAD_ATR = VELMOR_ST_BAD_ATR,
  ST_PROTOCOL_UNSUPPORTED = VELMOR_ST_PROTOCOL_UNSUPPORTED,
  ST_APDU_LENGTH = VELMOR_ST_APDU_LENGTH,
  ST_APDU_FORMAT = VELMOR_ST_APDU_FORMAT
};

/* ---------------------------------------------------------------------------
 * Reader link.
 *
 * Two process-wide 200-byte frame buffers, both laid out as
 *   offset 0      command code (SendBuffer) or status byte (ReceiveBuffer)
 *   offset 1, 2   data length n, little-endian
 *   offset 3      n data bytes
 *   offset 3 + n  block check character (XOR of offsets 0 to n + 2)
 * and, in the ReceiveBuffer, the DLE (0x10) of the closing DLE ETX at 4 + n.
 * A command frame carries at most 196 data bytes, a response at most 195.
 *
 * On the line, one exchange is: STX (0x02) -> ready DLE (0x10) <- frame with
 * every 0x10 doubled, then DLE ETX (0x10 0x03) -> acknowledgement DLE <-.
 * Any other answer, or none within 750 ms, counts as a NAK; the host tries
 * a command three times. Reading commands are answered the same way in the
 * other direction, the host sending the ready and acknowledgement DLEs.
 *
 * The buffers exist between OpenKDXInfo and CloseKDXInfo (KDX_InitComm and
 * KDX_ExitComm call them). Bound: without them, getters return 0, setters do
 * nothing, GetRBuffer stores NULL, and the functions with a status return
 * ST_NOT_OPEN. A setter whose position or count reaches beyond the 200 bytes
 * changes nothing.
 */
/* Time. No export waits without bound, whatever the reader or card sends:
 *   - every read of the link waits at most KDX_VELMOR_BYTE_TIMEOUT_MS for a
 *     byte, and a write of n bytes at most that plus twice their line time;
 *   - SendCommand makes three tries, each a write of STX, one byte read, a
 *     write of the frame and one byte read;
 *   - RecvResponse reads at most three bytes looking for STX, then the frame,
 *     which must be complete within KDX_VELMOR_FRAME_SLACK_MS plus twice the
 *     line time of the longest frame (402 bytes: 3.1 s at 115200 baud,
 *     3.9 s at 9600, 29.8 s at 300);
 *   - after a wrong handshake byte or a broken reception, stale input is
 *     drained for at most KDX_VELMOR_DRAIN_LIMIT_MS (see "Staying in step");
 *   - so one exchange (a command and its response) ends, with ST_COMM_ERROR
 *     when the reader never completes it, within about 3 x (4 x 750 ms + 2 s)
 *     + 2.25 s + the frame limit + 2 s: under 30 s at 9600 baud. Each
 *     primitive, device command and memory-card export is a fixed sequence
 *     of such exchanges and stops at the first failure;
 *   - CPU_AnalyseATR (and CPU_Open, CPU_Reset through it) polls for 4000 ms;
 *   - CPU_IsoAPDU ends within KDX_VELMOR_APDU_LIMIT_MS of its start plus one
 *     exchange and its fixed pauses, however many NULL bytes the card sends;
 *     reaching the limit is a timed-out exchange (ST_OK with "6F00").
 */
#define KDX_VELMOR_BYTE_TIMEOUT_MS 750u
#define KDX_VELMOR_FRAME_SLACK_MS 3000u
#define KDX_VELMOR_DRAIN_LIMIT_MS 2000u
#define KDX_VELMOR_APDU_LIMIT_MS 60000u

/* Staying in step. A failed exchange does not poison the next one:
 *   - SendCommand discards any input still waiting before its STX, since the
 *     host has the turn there;
 *   - after a ready or acknowledgement byte that is not DLE, a repeated frame,
 *     or a response frame that is malformed, too long or incomplete, the link
 *     reads and drops what the reader still sends until the line has been
 *     quiet for 8 character times (at least 20 ms) or
 *     KDX_VELMOR_DRAIN_LIMIT_MS passed. A byte time-out needs no drain.
 * The bytes on the line and their order are otherwise the protocol's: a frame
 * goes out in one write, a response is read in runs of the bytes its header
 * announces, and each read still ends after 750 ms without a byte.
 */
typedef struct ReaderSession ReaderSession; /* the library's own port record */

/* Allocates both frame buffers and holds `session`. 0, or ST_ALLOC_FAILED
 * (nothing held). Bound: NULL gives ST_BAD_PARAMETER. Only KDX_InitComm has a
 * ReaderSession to pass. */
KDX_API StatusCode KDX_CALL OpenKDXInfo(ReaderSession* session);
/* Releases both buffers and forgets the session. */
KDX_API void KDX_CALL CloseKDXInfo(void);
/* 0 while a session with an open port is held, else ST_NOT_OPEN. */
KDX_API StatusCode KDX_CALL IsCommOpened(void);
/* The session's baud rate (0 without a session). */
KDX_API uint32_t KDX_CALL GetBaudRate(void);

/* Writes the low 8 bits of `byte` to the port; failures are not reported. */
KDX_API void KDX_CALL SendByte(uint32_t byte);
/* Reads one byte within 750 ms into *destination. 0 also when none came
 * (*destination unchanged); ST_COMM_ERROR when the read fails. */
KDX_API StatusCode KDX_CALL RecvByte(uint8_t* destination);

KDX_API uint8_t KDX_CALL GetRespStatus(void);   /* ReceiveBuffer[0] */
KDX_API uint16_t KDX_CALL GetRespLength(void);  /* ReceiveBuffer[1] + 256 * [2] */
/* Stores the address of the ReceiveBuffer (200 bytes) in *out. Response data
 * start at offset 3; the address is void after CloseKDXInfo. */
KDX_API void KDX_CALL GetRBuffer(uint8_t** out);
KDX_API StatusCode KDX_CALL ClearRBuffer(void); /* zero-fills the ReceiveBuffer; 0 */
KDX_API StatusCode KDX_CALL ClearSBuffer(void); /* zero-fills the SendBuffer; 0 */

KDX_API uint8_t KDX_CALL GetSendCommand(void);            /* SendBuffer[0] */
KDX_API void KDX_CALL SetSendCommand(uint32_t code);       /* low 8 bits */
KDX_API uint16_t KDX_CALL GetSendLength(void);            /* SendBuffer[1..2] */
KDX_API void KDX_CALL SetSendLength(uint32_t length);      /* low 16 bits */
/* SendBuffer[position] := value; position (low 16 bits) is an absolute
 * offset, so the first data byte is position 3; value low 8 bits. */
KDX_API void KDX_CALL SetSendData(uint32_t position, uint32_t value);
/* Copies count bytes (low 16 bits) from source to SendBuffer[position...]. */
KDX_API void KDX_CALL SetSBuffer(uint32_t position, uint32_t count, const uint8_t* source);

/* Sends the frame held in the SendBuffer, writing its BCC first. 0 clears the
 * SendBuffer. ST_BAD_PARAMETER for command code 0, and (bound) for a length
 * above 196 that the buffer cannot hold: nothing is sent. ST_COMM_ERROR after
 * three unanswered tries, and also when a try had to be repeated; the
 * SendBuffer then keeps the frame with its BCC. */
KDX_API StatusCode KDX_CALL SendCommand(void);
/* Receives one response frame into the ReceiveBuffer and returns its status
 * byte, or ST_COMM_ERROR: no STX within three reads, a malformed DLE
 * sequence, a missing byte, a frame longer than the buffer, a wrong BCC, or
 * (bound) a length field that places the BCC outside the bytes received. */
KDX_API StatusCode KDX_CALL RecvResponse(void);

/* ---------------------------------------------------------------------------
 * Port session and device commands.
 */

/* Opens COM<port+1> (port low 8 bits, 0 to 3) at `baud` (300 to 115200), 8N1,
 * and tests the reader with its version command. ST_ALREADY_OPEN (before the
 * argument test), ST_BAD_PARAMETER, ST_ALLOC_FAILED, ST_EVENT_FAILED,
 * ST_PORT_INIT_FAILED, ST_GET_STATE_FAILED, ST_SET_STATE_FAILED leave no
 * session. Otherwise the port stays open and the device test's status is
 * returned: after ST_NO_DEVICE or ST_COMM_ERROR call KDX_ExitComm before
 * trying again. */
KDX_API StatusCode KDX_CALL KDX_InitComm(uint32_t port, uint32_t baud);
/* Closes the port and frees the session; 0 also when nothing was open.
 * ST_PORT_CLOSE_FAILED or ST_FREE_FAILED leave a half-closed session that
 * the next call continues to close. */
KDX_API StatusCode KDX_CALL KDX_ExitComm(void);

/* Each of these returns ST_NOT_OPEN without a session and passes up the
 * link's and the reader's statuses unchanged. */

/* Copies the reader's version text to `destination`, no terminator added.
 * Bound: at most 32 bytes are written; NULL gives ST_BAD_PARAMETER. */
KDX_API StatusCode KDX_CALL KDX_GetVersion(uint8_t* destination);
/* Green LED on when flag (low 8 bits) is non-zero. Shares line 151 with the
 * buzzer: LED on is buzzer off. */
KDX_API StatusCode KDX_CALL KDX_GreenLED(uint32_t flag);
/* Buzzer on when flag (low 8 bits) is non-zero. */
KDX_API StatusCode KDX_CALL KDX_Buzzer(uint32_t flag);
/* 0 when a card is behind the door switch, ST_NO_CARD when not. */
KDX_API StatusCode KDX_CALL KDX_TestDoor(void);
/* Pulses the card-eject line for about 40 ms. */
KDX_API StatusCode KDX_CALL KDX_PushCard(void);
/* 0 when the reader's version text begins with "KDX" (any case), else
 * ST_NO_DEVICE. */
KDX_API StatusCode KDX_CALL KDX_TestDevice(void);

/* ---------------------------------------------------------------------------
 * Reader primitives: one framed command each, the reading ones followed by
 * one response frame. They do not check the session (the card drivers and
 * device functions do); without one they return ST_NOT_OPEN from the link.
 * Codes, lines and values are low 8 bits, counts low 16 bits.
 */

/* Command 17: sets reader I/O line `line` to `value`. */
KDX_API StatusCode KDX_CALL PutIO(uint32_t line, uint32_t value);
/* Command 18: reads line `line` into *value (written only on success).
 * Bound: a response without a data byte gives ST_COMM_ERROR. */
KDX_API StatusCode KDX_CALL GetIO(uint32_t line, uint8_t* value);
/* Command `code` with the one data byte `value`. */
KDX_API StatusCode KDX_CALL Power(uint32_t code, uint32_t value);
/* Command `code` with no data. */
KDX_API StatusCode KDX_CALL SingleStep(uint32_t code);
/* Command `code` with `count` as two data bytes, low byte first. */
KDX_API StatusCode KDX_CALL MultiStep(uint32_t code, uint32_t count);
/* Command `code` asking for `count` bytes; copies the response's data to
 * destination. Bound: never more than `count` bytes are copied, whatever
 * length the reader's frame claims; fewer when the reader sends fewer. */
KDX_API StatusCode KDX_CALL InByte(uint32_t code, uint8_t* destination, uint32_t count);
/* Command `code` carrying `count` bytes from source. Bound: a count above 196
 * gives ST_BAD_PARAMETER and sends nothing. */
KDX_API StatusCode KDX_CALL OutByte(uint32_t code, const uint8_t* source, uint32_t count);
/* Waits `milliseconds` less 100000 / baud (the time of 100 bit times);
 * no wait when that allowance is not smaller. */
KDX_API void KDX_CALL Delay1ms(uint32_t milliseconds);
/* Command 60: copies the reader's ISO buffer to destination, which must hold
 * 195 bytes (the most one response frame carries). */
KDX_API StatusCode KDX_CALL GetIsoBuffer(uint8_t* destination);
/* Command 61: empties the reader's ISO buffer. */
KDX_API StatusCode KDX_CALL ClearIsoBuffer(void);

/* ---------------------------------------------------------------------------
 * SLE4442 memory card: 256 bytes of main memory; protection bits for main
 * bytes 0 to 31 (0 = protected: the card ignores writes to the byte); the
 * 4-byte security memory, byte 0 the error counter (bits 0 to 2, one per
 * attempt left) and bytes 1 to 3 the PSC. The card takes writes only after
 * its PSC was presented (SLE4442_VerifyPWD), until it is unpowered.
 *
 * Each export is one complete card operation and keeps no state; open the
 * card first. Every export returns ST_NOT_OPEN without a session (except as
 * noted for SLE4442_PWriteChar) and passes up the first non-zero status of
 * the link or the reader; a multi-byte write that fails part-way leaves the
 * earlier bytes written. Addresses and lengths are low 16 bits, zones and
 * PSC bytes low 8 bits. Bound: a NULL pointer where bytes are to be read or
 * written gives ST_BAD_PARAMETER, after the argument checks and before any
 * frame is sent (a zero length needs no buffer). Bound: whatever number of
 * bytes the reader answers with, nothing is written past the requested
 * length; a data or status read answered with another count of bytes than
 * asked fails with ST_COMM_ERROR (the answer to reset of an open excepted).
 */

/* Powers the card and reads its 4-byte answer to reset into atr.
 * ST_NO_CARD when the door switch shows no card. */
KDX_API StatusCode KDX_CALL SLE4442_OpenCard(uint8_t* atr);
/* Unpowers the card. */
KDX_API StatusCode KDX_CALL SLE4442_CloseCard(void);
/* Reads length bytes of zone (0 main, 1 security, 4 protection) from
 * address into destination. Checks, in order: zone ST_BAD_ZONE; address 256
 * or more ST_ADDRESS_OVERFLOW; length 0 returns 0 with no card traffic;
 * length above 256 ST_LENGTH_OVERFLOW; address + length above 256
 * ST_ACCESS_OVERFLOW. The card is always clocked to the end of its 256
 * bytes (frames of at most 184). On failure destination is untouched. */
KDX_API StatusCode KDX_CALL SLE4442_Read(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination);
/* Writes length bytes from source into zone from address, one card command
 * per byte; the checks of SLE4442_Read. */
KDX_API StatusCode KDX_CALL SLE4442_Write(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source);
/* SLE4442_Read / SLE4442_Write of the main memory. */
KDX_API StatusCode KDX_CALL SLE4442_ReadChar(uint32_t address, uint32_t length, uint8_t* destination);
KDX_API StatusCode KDX_CALL SLE4442_WriteChar(uint32_t address, uint32_t length, const uint8_t* source);
/* The 4 main-memory bytes from address as a value, the byte at address least
 * significant; *out is written only on success. */
KDX_API StatusCode KDX_CALL SLE4442_ReadValue(uint32_t address, uint32_t* out);
/* Writes value's 4 bytes, least significant first, from address. */
KDX_API StatusCode KDX_CALL SLE4442_WriteValue(uint32_t address, uint32_t value);
/* The 4 protection bytes: bit k of the little-endian value belongs to main
 * byte k, 0 = protected. */
KDX_API StatusCode KDX_CALL SLE4442_PReadChar(uint8_t* destination);
/* Writes main bytes address to address + length - 1 (within the first 32)
 * and then protects them, for good. Checks before the session check:
 * address 32 or more ST_ADDRESS_OVERFLOW; length 0 returns 0; length above
 * 32 ST_LENGTH_OVERFLOW; address + length above 32 ST_ACCESS_OVERFLOW. */
KDX_API StatusCode KDX_CALL SLE4442_PWriteChar(uint32_t address, uint32_t length, const uint8_t* source);
/* *out := security byte 0, the whole error-counter byte (7 = three attempts
 * left, 0 = locked). */
KDX_API StatusCode KDX_CALL SLE4442_ReadPAC(uint8_t* out);
/* out[0..2] := security bytes 1 to 3 as the card outputs them: the PSC once
 * it was presented, zeros before. */
KDX_API StatusCode KDX_CALL SLE4442_ReadPWD(uint8_t* out);
/* Writes a new 3-byte PSC (needs a presented PSC first). */
KDX_API StatusCode KDX_CALL SLE4442_WritePWD(const uint8_t* source);
/* Presents the PSC first, second, third (low 8 bits each): spends one
 * attempt, compares the three bytes, restores the counter, and reads it
 * back. 0 when the counter came back to 7; ST_WRONG_PASSWORD for a wrong
 * PSC (one attempt fewer) or a locked card (counter 0: nothing is written).
 * Bound: the attempt is spent by clearing the lowest set bit of the counter
 * (7 -> 6 -> 4 -> 0, 5 -> 4, 3 -> 2), so exactly one attempt goes whatever
 * pattern the counter holds. */
KDX_API StatusCode KDX_CALL SLE4442_VerifyPWD(uint32_t first, uint32_t second, uint32_t third);

/* ---------------------------------------------------------------------------
 * SLE4428 memory card: 1024 bytes with a protection bit each (0 =
 * protected: the card ignores writes to the byte); the error counter at 1021
 * (eight attempts, one bit each) and the 2-byte PSC at 1022 and 1023. The
 * card takes writes only after its PSC was presented (SLE4428_VerifyPWD),
 * until it is unpowered.
 *
 * The conventions of the SLE4442 section hold, except that only the
 * requested bytes are clocked, straight into the caller's buffer: a read
 * that fails part-way leaves the bytes of its earlier frames there.
 */

/* Powers the card and reads its 4-byte answer to reset into atr.
 * ST_NO_CARD when the door switch shows no card. */
KDX_API StatusCode KDX_CALL SLE4428_OpenCard(uint8_t* atr);
/* Unpowers the card. */
KDX_API StatusCode KDX_CALL SLE4428_CloseCard(void);
/* Reads length bytes from address: zone 0 the data, zone 1 the read with
 * protection bits. Checks, in order: zone not 0 or 1 ST_BAD_ZONE; address
 * 1024 or more ST_ADDRESS_OVERFLOW; length 0 returns 0 with no card traffic;
 * length above 1024 ST_LENGTH_OVERFLOW; address + length above 1024
 * ST_ACCESS_OVERFLOW. Frames of at most 184 bytes. */
KDX_API StatusCode KDX_CALL SLE4428_Read(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination);
/* Writes length bytes from address, one card command per byte and across
 * 256-byte boundaries: zone 0 writes, zone 1 writes and protects. The checks
 * of SLE4428_Read. */
KDX_API StatusCode KDX_CALL SLE4428_Write(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source);
/* SLE4428_Read / SLE4428_Write of zone 0. */
KDX_API StatusCode KDX_CALL SLE4428_ReadChar(uint32_t address, uint32_t length, uint8_t* destination);
KDX_API StatusCode KDX_CALL SLE4428_WriteChar(uint32_t address, uint32_t length, const uint8_t* source);
/* SLE4428_Read of zone 1: one byte per card byte, as the reader delivers
 * it (the simulated reader gives the byte's protection bit: 0 protected,
 * 1 not). */
KDX_API StatusCode KDX_CALL SLE4428_PReadChar(uint32_t address, uint32_t length, uint8_t* destination);
/* SLE4428_Write of zone 1: writes the bytes and protects them, for good. */
KDX_API StatusCode KDX_CALL SLE4428_PWriteChar(uint32_t address, uint32_t length, const uint8_t* source);
/* The 4 bytes from address as a value, the byte at address least
 * significant; *out is written only on success. */
KDX_API StatusCode KDX_CALL SLE4428_ReadValue(uint32_t address, uint32_t* out);
/* Writes value's 4 bytes, least significant first, from address. */
KDX_API StatusCode KDX_CALL SLE4428_WriteValue(uint32_t address, uint32_t value);
/* *out := the error counter (byte 1021; 0xFF = eight attempts, 0 = locked). */
KDX_API StatusCode KDX_CALL SLE4428_ReadPAC(uint8_t* out);
/* out[0..1] := bytes 1022 and 1023 as the card outputs them. */
KDX_API StatusCode KDX_CALL SLE4428_ReadPWD(uint8_t* out);
/* Writes a new 2-byte PSC to 1022 and 1023 (needs a presented PSC first). */
KDX_API StatusCode KDX_CALL SLE4428_WritePWD(const uint8_t* source);
/* Presents the PSC first, second (low 8 bits each): spends one attempt,
 * compares both bytes, restores the counter, reads it back. 0 when the
 * counter came back to 0xFF; ST_WRONG_PASSWORD for a wrong PSC (one attempt
 * fewer) or a locked card (counter 0: nothing is written). An attempt is
 * spent by clearing the lowest set bit of the counter (0xFF -> 0xFE -> 0xFC
 * ... 0x80 -> 0). Bound: the same rule for every other pattern (0x7F ->
 * 0x7E, 0x05 -> 0x04), so exactly one attempt goes. */
KDX_API StatusCode KDX_CALL SLE4428_VerifyPWD(uint32_t first, uint32_t second);

/* ---------------------------------------------------------------------------
 * AT102 family: AT102 (196 bytes), AT1604 and AT6601 (2048 bytes), driven
 * bit by bit through the reader. Each export is one complete operation that
 * starts by rewinding the card's address counter; the drivers keep no
 * state. Codes presented stay in force in the card until it is unpowered.
 * Writes only program 0 bits: erase first (the ..._Write{IC,PWD,CPZ,MTZ}
 * accessors and ..._WriteValue do; ..._WriteChar does not). Whether the
 * card took a write or an erase (it refuses those it has no right for)
 * shows only in what it reads back.
 *
 * Every export returns ST_NOT_OPEN without a session and passes up the
 * first non-zero status of the link or the reader (the card may then be
 * left anywhere; the next operation rewinds it). Byte operations check, in
 * order and before any frame: zone ST_BAD_ZONE; address outside the zone
 * ST_ADDRESS_OVERFLOW; length 0 returns 0 with nothing sent; length above
 * the zone's size ST_LENGTH_OVERFLOW; address + length above it
 * ST_ACCESS_OVERFLOW; a NULL buffer ST_BAD_PARAMETER. A field index without
 * a field gives ST_BAD_INDEX. Bound: a read frame that does not carry
 * exactly the bytes asked for gives ST_COMM_ERROR and leaves the buffer
 * untouched; nothing is written past the requested length.
 *
 * AT102 zones: 0 application zone 1 (card bytes 22 to 85), 1 application
 * zone 2 (92 to 155), 2 the whole memory (0 to 194); addresses and lengths
 * are low 8 bits. AT1604 zones 0 to 3 the application zones (512, 512, 512,
 * 457 bytes from 27, 545, 1063, 1581), 4 the whole memory (0 to 2039);
 * AT6601 zones 0 to 3 (1195, 256, 256, 256 bytes from 27, 1227, 1488,
 * 1749), 4 the whole memory (0 to 2006); addresses and lengths low 16 bits.
 */

/* Door check (ST_NO_CARD), power on, rewind. The same for the three. */
KDX_API StatusCode KDX_CALL AT102_OpenCard(void);
KDX_API StatusCode KDX_CALL AT1604_OpenCard(void);
KDX_API StatusCode KDX_CALL AT6601_OpenCard(void);
/* Power off: the card forgets every code presented. */
KDX_API StatusCode KDX_CALL AT102_CloseCard(void);
KDX_API StatusCode KDX_CALL AT1604_CloseCard(void);
KDX_API StatusCode KDX_CALL AT6601_CloseCard(void);

/* Reads length bytes of zone from address: one frame on the AT102, frames
 * of 184 bytes on the others. */
KDX_API StatusCode KDX_CALL AT102_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* destination);
/* Programs the 0 bits of length bytes at address (no erase), in frames of
 * 10 bytes. */
KDX_API StatusCode KDX_CALL AT102_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source);
KDX_API StatusCode KDX_CALL AT1604_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source);
KDX_API StatusCode KDX_CALL AT6601_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* source);
/* Erases length bytes at address to 0xFF, in counts of 80. The AT102 card
 * erases 16-bit words; the reader keeps the other byte of a partly covered
 * word. */
KDX_API StatusCode KDX_CALL AT102_EraseWord(uint32_t address, uint32_t length, uint32_t zone);
KDX_API StatusCode KDX_CALL AT1604_EraseChar(uint32_t address, uint32_t length, uint32_t zone);
KDX_API StatusCode KDX_CALL AT6601_EraseChar(uint32_t address, uint32_t length, uint32_t zone);
/* The 4 bytes at address as a value, the lowest byte least significant;
 * *out is written only on success. */
KDX_API StatusCode KDX_CALL AT102_ReadValue(uint32_t address, uint32_t zone, uint32_t* out);
KDX_API StatusCode KDX_CALL AT1604_ReadValue(uint32_t address, uint32_t zone, uint32_t* out);
KDX_API StatusCode KDX_CALL AT6601_ReadValue(uint32_t address, uint32_t zone, uint32_t* out);
/* Erases the 4 bytes, then writes value there, least significant first. */
KDX_API StatusCode KDX_CALL AT102_WriteValue(uint32_t address, uint32_t zone, uint32_t value);
KDX_API StatusCode KDX_CALL AT1604_WriteValue(uint32_t address, uint32_t zone, uint32_t value);
KDX_API StatusCode KDX_CALL AT6601_WriteValue(uint32_t address, uint32_t zone, uint32_t value);

/* AT102 security code first, second (low 8 bits): spends one of the 4
 * attempts and, when the code is right, restores them and opens the card's
 * writes. 0 when the card accepted the code; ST_WRONG_PASSWORD for a wrong
 * code or no attempt left (then nothing is programmed). Bound: the search
 * for an attempt reads at most the counter's 4 bits. */
KDX_API StatusCode KDX_CALL AT102_VerifyPWD(uint32_t first, uint32_t second);
/* Presents password index (0 security code, 1 to 4 the zones' security
 * codes, 5 to 8 their erase keys; above 8 ST_BAD_INDEX) with two bytes, on
 * its 8-bit attempt counter: as AT102_VerifyPWD. On the AT6601 indexes 2 to
 * 4 have no counter: 0 means "presented", nothing is read back. */
KDX_API StatusCode KDX_CALL AT1604_VerifyPWD(uint32_t index, uint32_t first, uint32_t second);
KDX_API StatusCode KDX_CALL AT6601_VerifyPWD(uint32_t index, uint32_t first, uint32_t second);
/* Erases AT102 application zone (0 or 1; else ST_BAD_ZONE) after presenting
 * its erase key: zone 0 takes the six key bytes, zone 1 the first four.
 * For zone 1 a non-zero use_counter (low 8 bits) spends one of the 128
 * erases of its counter (ST_WRONG_PASSWORD when none is left); without it
 * the card erases zone 1 only once AT102_AZ2EraseUnlimited was done. Returns
 * 0 without reading back: a wrong key also gives 0, with the zone kept. */
KDX_API StatusCode KDX_CALL AT102_EraseApp(uint32_t use_counter, uint32_t zone, uint32_t k1, uint32_t k2, uint32_t k3,
                                           uint32_t k4, uint32_t k5, uint32_t k6);
/* Programs the issuer fuse (AT102 byte 194, AT1604 2044, AT6601 2036): for
 * good, the issuer code and the global erase are locked. */
KDX_API StatusCode KDX_CALL AT102_WriteFuse(void);
KDX_API StatusCode KDX_CALL AT1604_WriteFuse(void);
KDX_API StatusCode KDX_CALL AT6601_WriteFuse(void);
/* Programs bit 1 of AT102 byte 191: for good, application zone 2 erases
 * without its counter. */
KDX_API StatusCode KDX_CALL AT102_AZ2EraseUnlimited(void);
/* An erase cycle at AT102 byte 180: with the security code presented and
 * the fuse intact the card erases everything from byte 2 to 179 (codes,
 * counters, zones). */
KDX_API StatusCode KDX_CALL AT102_EraseGlobal(void);

/* Field accessors in the whole memory. Reads give the bytes in card order;
 * writes erase the field first (and stop at a failing erase).
 * FC 2 bytes, IC 8, CPZ 8, MTZ 2. */
KDX_API StatusCode KDX_CALL AT102_ReadFC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT102_ReadIC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT102_WriteIC(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT102_ReadCPZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT102_WriteCPZ(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT102_ReadMTZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT102_WriteMTZ(const uint8_t* source);
/* AT102 counters: index 0 the security code's (2 bytes, its first 4 bits
 * the attempts), 2 application zone 2's erase counter (16 bytes). */
KDX_API StatusCode KDX_CALL AT102_ReadPAC(uint32_t index, uint8_t* destination);
/* AT102 codes: index 0 security code (2 bytes), 1 zone 1 erase key (6),
 * 2 zone 2 erase key (4). */
KDX_API StatusCode KDX_CALL AT102_ReadPWD(uint32_t index, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT102_WritePWD(uint32_t index, const uint8_t* source);
KDX_API StatusCode KDX_CALL AT1604_ReadFC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_ReadIC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_WriteIC(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT1604_ReadCPZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_WriteCPZ(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT1604_ReadMTZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_WriteMTZ(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT6601_ReadFC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_ReadIC(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_WriteIC(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT6601_ReadCPZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_WriteCPZ(const uint8_t* source);
KDX_API StatusCode KDX_CALL AT6601_ReadMTZ(uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_WriteMTZ(const uint8_t* source);
/* The 1-byte attempt counter of password index 0 to 8 (AT6601: not 2 to
 * 4, which have none: ST_BAD_INDEX). */
KDX_API StatusCode KDX_CALL AT1604_ReadPAC(uint32_t index, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_ReadPAC(uint32_t index, uint8_t* destination);
/* The 2-byte code of password index 0 to 8. */
KDX_API StatusCode KDX_CALL AT1604_ReadPWD(uint32_t index, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT1604_WritePWD(uint32_t index, const uint8_t* source);
KDX_API StatusCode KDX_CALL AT6601_ReadPWD(uint32_t index, uint8_t* destination);
KDX_API StatusCode KDX_CALL AT6601_WritePWD(uint32_t index, const uint8_t* source);

/* ---------------------------------------------------------------------------
 * Card type detection.
 */

/* Tries the families in a fixed order, each card powered and unpowered
 * again before the next: the secure memories' answer to reset, the
 * SLE4442's and the SLE4428's answer to reset with their bytes 6 and 7,
 * then the first two bytes of an AT102-family card. On 0 *type holds the
 * card type code: 0x27, 0x28 (secure memories), 0x43, 0x44 (SLE4442), 0x41,
 * 0x42 (SLE4428), 0x25, 0x26, 0x22 (AT102 family). ST_NO_CARD without a
 * card, ST_UNKNOWN_CARD when no pattern matched, or the first failing
 * read's status; *type is then not written. The card is off at the end. */
KDX_API StatusCode KDX_CALL KDX_AutoTest(uint8_t* type);

/* ---------------------------------------------------------------------------
 * AT153 and AT1608 secure memories on the two-wire bus.
 *
 * AT153: user zones 0 to 2 and the configuration zone 3, 64 bytes each.
 * AT1608: user zones 0 to 7 of 256 bytes, selected on the card before each
 * access, and the configuration zone 8 of 128 bytes. Password sets (AT153:
 * 2, AT1608: 8) each hold a write and a read password of 3 bytes behind an
 * attempts counter (PAC); the access register (AR) of each user zone names
 * the set and whether reading and writing need its password and the
 * authentication. The authentication runs the cipher below on the card's
 * cryptogram Ci, the secret seed Gc and a host challenge; its counter (AAC)
 * is at configuration byte 32. A right password or authentication sets its
 * counter to 0xFF and opens the rights until the card is unpowered; a wrong
 * one clears one counter bit; 0 is locked for good. Fuses (bit 0 FAB, bit 1
 * CMA, bit 2 PER; 1 = intact) are blown in that order and never restored.
 *
 * Each export is one complete operation and keeps no state; open the card
 * first. Addresses and lengths are the low 8 bits (AT153) or 16 bits
 * (AT1608), zones, indexes, values and password bytes the low 8 bits. Every
 * export returns ST_NOT_OPEN without a session (the AR, PAC and PWD exports
 * test their zone or index first: ST_BAD_INDEX), and passes up the first
 * non-zero status of the link or the reader at once, sending nothing after
 * it; pages written before it stay written. Bound: a NULL pointer where bytes
 * are to be read or written gives ST_BAD_PARAMETER after the argument checks
 * and before any frame (a zero length needs no buffer). Bound: a read whose
 * answer carries another count of bytes than asked gives ST_COMM_ERROR, and
 * nothing is written past the requested length. Seed and challenge are read
 * as exactly 8 bytes.
 */

/* Powers the card, resets it, reads its 4-byte answer to reset (the
 * configuration bytes 0 to 3) into atr, and ends with a stop. ST_NO_CARD
 * when the door switch shows no card. The AT1608 names are the same two
 * functions. */
KDX_API StatusCode KDX_CALL AT153_OpenCard(uint8_t* atr);
/* Unpowers the card: its open rights and authentication are lost. */
KDX_API StatusCode KDX_CALL AT153_CloseCard(void);
KDX_API StatusCode KDX_CALL AT1608_OpenCard(uint8_t* atr);
KDX_API StatusCode KDX_CALL AT1608_CloseCard(void);

/* Reads length bytes of zone (0 to 2 user, 3 configuration) from address
 * into buffer. Checks, in order: address 64 or more ST_ADDRESS_OVERFLOW;
 * length 0 returns 0 with no card traffic; length above 64
 * ST_LENGTH_OVERFLOW; address + length above 64 ST_ACCESS_OVERFLOW; zone
 * above 3 ST_BAD_ZONE. One transaction: length - 1 acknowledged bytes (that
 * frame goes even when it asks for none), then the last byte. A zone the card
 * does not open to reading reads as 0xFF. */
KDX_API StatusCode KDX_CALL AT153_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* buffer);
/* Writes length bytes into zone from address, the checks of AT153_ReadChar,
 * in write pages of 8 (one transaction each, then 10 ms). A card that does
 * not open the zone to writing ignores the data; read back to be sure. */
KDX_API StatusCode KDX_CALL AT153_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* data);
/* The 4 bytes at address of zone as a value, the lowest address least
 * significant; *value is written only on success. */
KDX_API StatusCode KDX_CALL AT153_ReadValue(uint32_t address, uint32_t zone, uint32_t* value);
/* Writes value's 4 bytes, least significant first, from address. */
KDX_API StatusCode KDX_CALL AT153_WriteValue(uint32_t address, uint32_t zone, uint32_t value);
/* Presents password p0 p1 p2 of index (bit 0 the set, bit 1 the read
 * password; above 3 ST_BAD_INDEX, tested after the session): one
 * verification transaction, 10 ms, then the PAC read back. 0 when it reads
 * 0xFF, else ST_WRONG_PASSWORD (one attempt gone, or the set locked). */
KDX_API StatusCode KDX_CALL AT153_VerifyPWD(uint32_t index, uint32_t p0, uint32_t p1, uint32_t p2);
/* Mutual authentication with the 8-byte seed (the card's Gc) and 8-byte
 * challenge: reads the AAC and Ci (configuration 32 to 39), computes
 * KDX_F2, sends the challenge and the response (10 ms after each), and reads
 * back. 0 when the AAC reads 0xFF and the new Ci (33 to 39) is the expected
 * one, else ST_AUTH_FAILED. */
KDX_API StatusCode KDX_CALL AT153_Auth(const uint8_t* seed, const uint8_t* challenge);
/* *fuse := the fuse byte (bit set = intact). */
KDX_API StatusCode KDX_CALL AT153_ReadFuse(uint8_t* fuse);
/* Blows the next intact fuse, for good: reads the fuse byte and names the
 * fuse to the card (0x04 when it read 0x04, 0x02 for 0x06, 0x01 for any
 * other), then waits 10 ms. */
KDX_API StatusCode KDX_CALL AT153_WriteFuse(void);
/* Configuration fields (zone 3), each a plain AT153_ReadChar or
 * AT153_WriteChar: ATR 0 (4 bytes), LHC 4 (4), FC 8 (2), CMC 10 (2), AR of
 * user zone n 12 + n, MTZ 15, IC 16 (8), DCR 24, Nc 25 (7), AAC 32, Ci 33
 * (7), Gc 40 (8), PAC of index 48, 56, 52, 60 for index 0 to 3 and its
 * password (3) behind it. Out buffers hold the field's length. */
KDX_API StatusCode KDX_CALL AT153_ReadATR(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_ReadLHC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_ReadFC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_ReadCMC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteCMC(const uint8_t* data);
/* zone 0 to 2, else ST_BAD_INDEX before the session check. */
KDX_API StatusCode KDX_CALL AT153_ReadAR(uint32_t zone, uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteAR(uint32_t zone, uint32_t value);
KDX_API StatusCode KDX_CALL AT153_ReadMTZ(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteMTZ(uint32_t value);
KDX_API StatusCode KDX_CALL AT153_ReadIC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteIC(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT153_ReadDCR(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteDCR(uint32_t value);
KDX_API StatusCode KDX_CALL AT153_ReadNc(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteNc(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT153_ReadAAC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteAAC(uint32_t value);
KDX_API StatusCode KDX_CALL AT153_ReadCi(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteCi(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT153_ReadGc(uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WriteGc(const uint8_t* data);
/* index 0 to 3, else ST_BAD_INDEX before the session check. */
KDX_API StatusCode KDX_CALL AT153_ReadPAC(uint32_t index, uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WritePAC(uint32_t index, uint32_t value);
KDX_API StatusCode KDX_CALL AT153_ReadPWD(uint32_t index, uint8_t* out);
KDX_API StatusCode KDX_CALL AT153_WritePWD(uint32_t index, const uint8_t* data);

/* Selects user zone `zone` on the card (sent as it is; the card keeps its
 * low 3 bits until it is unpowered). The reads and writes select their zone
 * themselves. */
KDX_API StatusCode KDX_CALL AT1608_SetZone(uint32_t zone);
/* As AT153_ReadChar for zones 0 to 7 (user) and 8 (configuration) of 256
 * and 128 bytes, those sizes in place of 64; a zone above 8 skips the size
 * tests (ST_BAD_ZONE). A user zone is selected first, and the acknowledged
 * bytes go in frames of at most 184 (none for 1 byte). */
KDX_API StatusCode KDX_CALL AT1608_ReadChar(uint32_t address, uint32_t length, uint32_t zone, uint8_t* buffer);
/* As AT153_WriteChar with the checks of AT1608_ReadChar: a user zone
 * selected once, then write pages of 16. */
KDX_API StatusCode KDX_CALL AT1608_WriteChar(uint32_t address, uint32_t length, uint32_t zone, const uint8_t* data);
KDX_API StatusCode KDX_CALL AT1608_ReadValue(uint32_t address, uint32_t zone, uint32_t* value);
KDX_API StatusCode KDX_CALL AT1608_WriteValue(uint32_t address, uint32_t zone, uint32_t value);
/* As AT153_VerifyPWD for index 0 to 15 (bits 0 to 2 the set, bit 3 the read
 * password); the PAC is at 64 + 8 * (index & 7) + 4 * (index >> 3 & 1). */
KDX_API StatusCode KDX_CALL AT1608_VerifyPWD(uint32_t index, uint32_t p0, uint32_t p1, uint32_t p2);
/* As AT153_Auth with the 8-byte Ci at configuration 40, all 8 bytes
 * compared after. */
KDX_API StatusCode KDX_CALL AT1608_Auth(const uint8_t* seed, const uint8_t* challenge);
KDX_API StatusCode KDX_CALL AT1608_ReadFuse(uint8_t* fuse);
/* The card blows its next intact fuse, for good; then 10 ms. */
KDX_API StatusCode KDX_CALL AT1608_WriteFuse(void);
/* Configuration fields (zone 8): ATR 0 (4), LHC 4 (4), FC 8 (2), CMC 12
 * (4), AR of user zone n 16 + n, AAC 32, Nc 33 (7), Ci 40 (8), Gc 48 (8),
 * MTZ 56 (8), PAC of index as above and its password (3) behind it. */
KDX_API StatusCode KDX_CALL AT1608_ReadATR(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_ReadLHC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_ReadFC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_ReadCMC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteCMC(const uint8_t* data);
/* zone 0 to 7, else ST_BAD_INDEX before the session check. */
KDX_API StatusCode KDX_CALL AT1608_ReadAR(uint32_t zone, uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteAR(uint32_t zone, uint32_t value);
KDX_API StatusCode KDX_CALL AT1608_ReadAAC(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteAAC(uint32_t value);
KDX_API StatusCode KDX_CALL AT1608_ReadNc(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteNc(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT1608_ReadCi(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteCi(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT1608_ReadGc(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteGc(const uint8_t* data);
KDX_API StatusCode KDX_CALL AT1608_ReadMTZ(uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WriteMTZ(const uint8_t* data);
/* index 0 to 15, else ST_BAD_INDEX before the session check. */
KDX_API StatusCode KDX_CALL AT1608_ReadPAC(uint32_t index, uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WritePAC(uint32_t index, uint32_t value);
KDX_API StatusCode KDX_CALL AT1608_ReadPWD(uint32_t index, uint8_t* out);
KDX_API StatusCode KDX_CALL AT1608_WritePWD(uint32_t index, const uint8_t* data);

/* ---------------------------------------------------------------------------
 * AT24C serial EEPROM cards: plain memory on the reader's two-wire bus, no
 * protection. The type given to AT24C_OpenCard (1 to 10) is the driver's
 * one byte of state; it fixes the capacity and the write page:
 *   type       1    2    3    4    5     6     7     8     9      10
 *   bytes      128  128  256  512  1024  2048  4096  8192  16384  32768
 *   page       4    8    8    16   16    16    32    32    64     64
 * Type 1 carries the address in its first bus byte, types 2 to 6 take one
 * address byte (address bits 8 to 10 in the device byte), types 7 to 10
 * two. The type is set only by a successful open, cleared by
 * AT24C_CloseCard, and kept by KDX_ExitComm (the card stays powered).
 *
 * Every export returns ST_NOT_OPEN without a session and passes up the
 * first non-zero status of the link or the reader, at once and without a
 * stop condition; a write that fails part-way leaves its earlier pages
 * written. Addresses and lengths are low 16 bits, the type low 8 bits.
 * Checks of a read or write, in order, before any frame: ST_WRONG_CARD_TYPE
 * with no type open; length 0 returns 0 (whatever the address);
 * ST_ADDRESS_OVERFLOW for an address at or past the capacity;
 * ST_LENGTH_OVERFLOW for a length above it; ST_ACCESS_OVERFLOW when address
 * + length passes it; ST_BAD_PARAMETER for a NULL buffer. Bound: a read
 * answered with another count of bytes than asked is ST_COMM_ERROR, and
 * nothing is written past the requested length.
 */

/* Checks the type (ST_WRONG_CARD_TYPE outside 1 to 10, nothing sent) and the
 * door switch (ST_NO_CARD), powers the card and leaves its bus idle. On
 * success the type becomes current; a failure keeps the previous one. */
KDX_API StatusCode KDX_CALL AT24C_OpenCard(uint32_t type);
/* Forgets the type (always, first), then unpowers the card. */
KDX_API StatusCode KDX_CALL AT24C_CloseCard(void);
/* Reads length bytes from address into destination in one sequential read:
 * the address phase of the type, length - 1 bytes acknowledged in frames
 * of at most 184, the last without acknowledge, stop. On failure
 * destination may hold the frames received so far. */
KDX_API StatusCode KDX_CALL AT24C_ReadChar(uint32_t address, uint32_t length, uint8_t* destination);
/* Writes length bytes from source at address, one bus transaction per page
 * touched (start, device byte, address bytes and data in one send, stop),
 * each followed by a 10 ms wait for the write cycle. */
KDX_API StatusCode KDX_CALL AT24C_WriteChar(uint32_t address, uint32_t length, const uint8_t* source);
/* The 4 bytes from address as a value, the byte at address least
 * significant; the checks of AT24C_ReadChar; *out is written only on
 * success. */
KDX_API StatusCode KDX_CALL AT24C_ReadValue(uint32_t address, uint32_t* out);
/* AT24C_WriteChar of value's 4 bytes, least significant first. */
KDX_API StatusCode KDX_CALL AT24C_WriteValue(uint32_t address, uint32_t value);

/* ---------------------------------------------------------------------------
 * AT45D DataFlash cards: pages of 264 bytes (1024 for types "1" and "2",
 * 2048 for "3" and "4", 4096 for "5": codes 0x31 to 0x35) and two 264-byte
 * SRAM buffers (buffer number 0 is buffer 1, 1 is buffer 2). The type given
 * to AT45D_OpenCard is the driver's one byte of state, set only by a
 * successful open, cleared by AT45D_CloseCard, kept by KDX_ExitComm.
 *
 * Each export but AT45D_WriteChar and AT45D_WriteValue is one DataFlash
 * command between one chip select and one deselect, bytes moving in frames
 * of at most 184. Transfer, compare, program and rewrite only start the
 * chip's internal operation: poll AT45D_ReadStatus until bit 7 is set
 * before the next command. Every export returns ST_NOT_OPEN without a
 * session and passes up the first non-zero status of the link or the
 * reader at once, without a deselect. Page numbers, byte addresses and
 * lengths are low 16 bits, buffer numbers and the type low 8 bits.
 * Checks, in order, of the arguments a function has, before any frame:
 * buffer number above 1 ST_BAD_ZONE; no type open ST_WRONG_CARD_TYPE
 * (functions with a page only); page past the type's last ST_BAD_ZONE; byte
 * address 264 or more ST_ADDRESS_OVERFLOW; length above 264
 * ST_LENGTH_OVERFLOW; byte address + length above 264 ST_ACCESS_OVERFLOW;
 * length 0 returns 0; a NULL buffer ST_BAD_PARAMETER. Bound: a read
 * answered with another count of bytes than asked is ST_COMM_ERROR, and
 * nothing is written past the requested length.
 */

/* Checks the type code (ST_WRONG_CARD_TYPE outside 0x31 to 0x35, nothing
 * sent) and the door switch (ST_NO_CARD), powers the card and initialises
 * its bus. On success the type becomes current; a failure keeps the
 * previous one. */
KDX_API StatusCode KDX_CALL AT45D_OpenCard(uint32_t type);
/* Forgets the type (always, first), then unpowers the card. */
KDX_API StatusCode KDX_CALL AT45D_CloseCard(void);
/* Reads length bytes of page from byteAddress into buffer, straight from
 * the flash (opcode 0x52). */
KDX_API StatusCode KDX_CALL AT45D_MainMemRead(uint32_t page, uint32_t byteAddress, uint32_t length, uint8_t* buffer);
/* Reads length bytes of a buffer from byteAddress (0x54 / 0x56). Needs no
 * open type. */
KDX_API StatusCode KDX_CALL AT45D_BufferRead(uint32_t bufferNumber, uint32_t byteAddress, uint32_t length,
                                             uint8_t* buffer);
/* Writes length bytes into a buffer from byteAddress (0x84 / 0x87). Needs
 * no open type. */
KDX_API StatusCode KDX_CALL AT45D_BufferWrite(uint32_t bufferNumber, uint32_t byteAddress, uint32_t length,
                                              const uint8_t* data);
/* Starts copying page into a buffer (0x53 / 0x55). */
KDX_API StatusCode KDX_CALL AT45D_MainMem2BufTrans(uint32_t bufferNumber, uint32_t page);
/* Starts comparing page with a buffer (0x60 / 0x61); the result is status
 * bit 6 (set: they differ). */
KDX_API StatusCode KDX_CALL AT45D_MainMem2BufComp(uint32_t bufferNumber, uint32_t page);
/* Starts programming page from a buffer with built-in erase (0x83 / 0x86). */
KDX_API StatusCode KDX_CALL AT45D_Buf2MainMemE(uint32_t bufferNumber, uint32_t page);
/* Starts programming page from a buffer without erase (0x88 / 0x89): bits
 * only go from 1 to 0. */
KDX_API StatusCode KDX_CALL AT45D_Buf2MainMemNoE(uint32_t bufferNumber, uint32_t page);
/* Writes length bytes into a buffer from byteAddress, then the chip erases
 * page and programs the whole buffer into it (0x82 / 0x85). */
KDX_API StatusCode KDX_CALL AT45D_MainMemWrite(uint32_t bufferNumber, uint32_t page, uint32_t byteAddress,
                                               uint32_t length, const uint8_t* data);
/* Starts rewriting page through a buffer (0x58 / 0x59). */
KDX_API StatusCode KDX_CALL AT45D_AutoReWrite(uint32_t bufferNumber, uint32_t page);
/* *status := the chip's status byte (0x57): bit 7 ready, bit 6 the last
 * compare differed. Needs no open type; written only on success. */
KDX_API StatusCode KDX_CALL AT45D_ReadStatus(uint8_t* status);
/* AT45D_MainMemRead. */
KDX_API StatusCode KDX_CALL AT45D_ReadChar(uint32_t page, uint32_t byteAddress, uint32_t length, uint8_t* buffer);
/* Writes length bytes into page from byteAddress, keeping the rest of the
 * page, through buffer 1: transfer, wait, buffer write, 10 ms, program with
 * erase, wait, rewrite, wait. Each wait polls the status back to back.
 * Bound: ST_COMM_ERROR once 1000 ms have passed by the tick count and at
 * least two polls saw the chip busy. A failure before the program leaves
 * the page unchanged. */
KDX_API StatusCode KDX_CALL AT45D_WriteChar(uint32_t page, uint32_t byteAddress, uint32_t length,
                                            const uint8_t* data);
/* The 4 bytes of page from byteAddress as a value, the lowest address least
 * significant; the checks of AT45D_ReadChar; *value is written only on
 * success. */
KDX_API StatusCode KDX_CALL AT45D_ReadValue(uint32_t page, uint32_t byteAddress, uint32_t* value);
/* AT45D_WriteChar of value's 4 bytes, least significant first. */
KDX_API StatusCode KDX_CALL AT45D_WriteValue(uint32_t page, uint32_t byteAddress, uint32_t value);

/* ---------------------------------------------------------------------------
 * CPU cards (T=0) through the reader.
 *
 * The reader switches the card on and off (command 58), warm-resets it (59),
 * passes bytes to it (62) and collects every byte the card sends in its ISO
 * buffer, which the host reads whole (60) and empties (61). The library does
 * the protocol work: it decides when the answer to reset (ATR) is complete
 * and drives the T=0 procedure bytes of each command. Deadlines are measured
 * with the millisecond tick count.
 *
 * ATR length: TS, T0, the interface bytes T0, TD1 and TD2 announce, the TD
 * bytes, the historical bytes, and TCK only when TD1 names T=1; bytes that
 * TD3 and later announce are not counted. That is at most 30 bytes, and
 * exactly the number the ATR functions write; a caller finds it by the same
 * rule. An ATR must begin with 0x3B (direct convention) or 0x03 (the inverse
 * convention's TS as the reader delivers it). Bound: for 0x03 the length is
 * computed from the decoded bytes (bit 7 - i of a decoded byte is the
 * complement of bit i), while the bytes are handed over as delivered.
 *
 * Bound: each of the five returns ST_NOT_OPEN before KDX_InitComm, and
 * ST_BAD_PARAMETER for a NULL pointer; neither sends anything.
 */

/* Switches the card on and collects its ATR into `atr` (30 bytes). When no
 * valid ATR comes, warm-resets the card and tries once more; if that fails
 * too, switches the card off and returns the status of the last attempt
 * (ST_NO_ATR, ST_BAD_ATR, or a status of the reader). A link failure
 * (ST_COMM_ERROR) of the power or reset command itself is returned at once,
 * the card left as it is. */
KDX_API StatusCode KDX_CALL CPU_Open(uint8_t* atr);
/* Switches the card off (command 58 with 0). */
KDX_API StatusCode KDX_CALL CPU_Close(void);
/* Warm-resets the powered card and collects its new ATR into `atr` (30
 * bytes), as CPU_AnalyseATR. */
KDX_API StatusCode KDX_CALL CPU_Reset(uint8_t* atr);
/* Collects the ATR that is arriving or has arrived in the ISO buffer, reading
 * the buffer without pause until the ATR is complete or 4000 ms have passed
 * (ST_NO_ATR); then ST_BAD_ATR for a wrong TS, or writes the ATR to `atr`
 * (30 bytes), empties the ISO buffer and returns that command's status.
 * Records whether TD1 names T=1 for CPU_IsoAPDU, whatever the outcome. A link
 * failure returns ST_COMM_ERROR with the ISO buffer not emptied. */
KDX_API StatusCode KDX_CALL CPU_AnalyseATR(uint8_t* atr);
/* One T=0 exchange. `command` is NUL-terminated hex text, upper or lower
 * case, of CLA INS P1 P2 P3 [data]; bytes it does not give are 00 (the empty
 * text sends a header of five 00). `response` receives the card's bytes as
 * upper-case hex text ("%02X" per byte) with a terminator: the data of a
 * reading command followed by SW1 SW2, or SW1 SW2 alone. The library does not
 * act on 61xx or 6Cxx; they are returned like any status word.
 *
 * Cases: P3 = 0 sends the header only (more than 5 bytes: ST_APDU_FORMAT);
 * P3 > 0 with 5 bytes reads P3 bytes from the card; P3 > 0 with more bytes
 * sends the P3 data bytes behind the header (missing ones as 00, bytes past
 * them not at all), all at once after INS or one each after INS XOR 0xFF,
 * with a 1000 ms pause before the card's answer is awaited; any other first
 * answer refuses the command and no data are sent. NULL (0x60) bytes from
 * the card move the 4000 ms deadline 4000 ms further each. A card silent past
 * the deadline gives ST_OK with the text "6F00" (in the sending case after a
 * further 1000 ms pause); the ISO buffer is emptied after every exchange that
 * does not end on a link failure.
 *
 * Refusals, before anything is sent and with `response` untouched:
 * ST_APDU_LENGTH for an odd number of characters, ST_BAD_PARAMETER for a
 * character that is not a hex digit. Bound: ST_APDU_LENGTH for a text of
 * more than 400 digits (200 bytes) and for a sending command whose P3 is
 * above 195 (the data a command APDU holds behind its header).
 * Bound: ST_PROTOCOL_UNSUPPORTED when the last ATR named T=1 (only T=0
 * passes through the reader), after the text checks and before the case
 * checks.
 * Bound: `response` must hold 391 characters, two per byte of one ISO-buffer
 * read (195) and the terminator; a card that sends more in one exchange has
 * the excess dropped. A reader status or link failure of a command 62 is
 * returned at once; so is ST_COMM_ERROR while polling. */
KDX_API StatusCode KDX_CALL CPU_IsoAPDU(const char* command, char* response);

/* ---------------------------------------------------------------------------
 * Messages.
 */

/* Copies the 32-byte GBK message of `code` (low 16 bits) to destination,
 * which must hold 32 bytes; 0. Bound: a code above 30 yields 32 zero bytes
 * (an empty text). */
KDX_API StatusCode KDX_CALL KDX_ErrorMsg(uint32_t code, uint8_t* destination);

/* ---------------------------------------------------------------------------
 * Ciphers. Raw bytes only; no session is needed.
 *
 * The block functions work on the caller's block in place (block and key
 * may be the same buffer). They report no status: the result carries no
 * meaning (ST_OK; ST_BAD_PARAMETER for a NULL pointer, with nothing done).
 *   - DES: byte 0 of block and key carries DES bits 1 to 8, most significant
 *     bit first; the low bit of each key byte (parity) is ignored.
 *   - RC6-32/20/b: every 32-bit word of key and block is read and written
 *     most significant byte first, so the result is the published cipher
 *     applied to inputs whose 4-byte groups are each reversed, with the
 *     output groups reversed back.
 * Each calling thread keeps the round keys of its last key of each kind, so
 * repeating a key skips the key schedule; results do not depend on it.
 * Those round keys are key material: they are overwritten when another key
 * replaces them, and wiped when their thread ends and, for threads still
 * running then, when the library is unloaded.
 */

/* DES encryption or decryption of the 8-byte block under the 8-byte key. */
KDX_API StatusCode KDX_CALL DES_Encrypt(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL DES_Decrypt(uint8_t* block, const uint8_t* key);

/* RC6 encryption or decryption of the 16-byte block under a key of 16
 * (_128), 24 (_192) or 32 (_256) bytes. */
KDX_API StatusCode KDX_CALL RC6_Encrypt_128(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_128(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Encrypt_192(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_192(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Encrypt_256(uint8_t* block, const uint8_t* key);
KDX_API StatusCode KDX_CALL RC6_Decrypt_256(uint8_t* block, const uint8_t* key);

/* The secure-memory authentication cipher, used by the AT88SC153 and
 * AT88SC1608 drivers. One process-wide state of three shift registers:
 * R (7 cells of 5 bits), S (7 cells of 7 bits) and T (5 cells of 5 bits),
 * all 0 at load. The building blocks continue from whatever state the last
 * call left; only KDX_F2 clears it. */

/* One clock of the three registers: a (low 8 bits) enters R, b (low 8 bits)
 * T and c (low 8 bits) S. Bound: a value above its cells' range is xored in
 * as it is, and the feedback reduces the full sum. */
KDX_API void KDX_CALL _CalculState(uint32_t a, uint32_t b, uint32_t c);
/* Feeds the byte x (low 8 bits): R receives its low 5 bits, T its high 5
 * bits, S its low 7 bits rotated left by 3 within the byte. */
KDX_API void KDX_CALL _CalculKey(uint32_t x);
/* A clock with zero inputs; then the output nibble (0 to 15) of the new
 * state. */
KDX_API uint8_t KDX_CALL _CalculV(void);
/* _CalculV n (low 8 bits) times; the last nibble. n = 0: 0, state
 * unchanged. */
KDX_API uint8_t KDX_CALL _Calcul(uint32_t n);
/* The complete computation: clears the state, feeds cryptogramBlock, seed
 * and challenge (8 bytes each), and writes 8 bytes each of response (for the
 * card) and expectedCryptogram (the card's next cryptogram). The outputs may
 * overlap the inputs. The state is left as the computation ended. Bound: a
 * NULL pointer: nothing done. */
KDX_API void KDX_CALL KDX_F2(const uint8_t* cryptogramBlock, const uint8_t* seed, const uint8_t* challenge,
                             uint8_t* response, uint8_t* expectedCryptogram);

/* ---------------------------------------------------------------------------
 * Random string.
 */

/* Fills count (low 8 bits) bytes at destination. Byte 0 comes from the
 * C runtime's rand() seeded with the millisecond tick count, every later byte
 * from rand() seeded with the byte before it. NOT suitable for secrets, keys
 * or authentication challenges: the whole string follows from its first
 * byte. The result carries no meaning; do not test it. */
KDX_API StatusCode KDX_CALL KDX_GetRandStr(uint8_t* destination, uint32_t count);

#endif /* KDX_BOTH_LIBRARIES */

KDX_EXTERN_C_END

#endif /* VELMOR_H */
