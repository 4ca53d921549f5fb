/*
 * kdx_port.h - the port seam of both reader libraries.
 *
 * A library reaches its reader through a serial port chosen by a port index
 * (0 to 3, "COM1" to "COM4" on Windows). Two extension exports, present in
 * both libraries under the same names, change what an index stands for:
 *
 *   KDX_SetPortDevice   maps the index to another device path, for example
 *                       "/dev/ttyUSB0" or the slave side of a pseudo-terminal
 *                       on Linux, or "\\\\.\\COM12" on Windows. By default index
 *                       n opens "/dev/ttyS<n>" on Linux and "COM<n+1>" on
 *                       Windows.
 *
 *   KDX_SetPortBackend  plugs a table of callbacks in place of the serial
 *                       port for the index. Whatever the library would do
 *                       with the port (open, line settings, time-outs, purge,
 *                       blocking reads and writes, modem lines, close) is
 *                       handed to the table. The table may also supply the
 *                       clock (tick count and sleep) that the library uses for
 *                       all its waits and deadlines, so that a simulated
 *                       reader can run on a virtual clock. A test harness in
 *                       any language that can build a C structure of function
 *                       pointers (C, C++, Python ctypes ...) can stand in for
 *                       the reader this way without recompiling the library.
 *
 * The values in KDX_LineSettings use the Windows DCB codes, since both
 * libraries store them as such in their session records.
 *
 * Both libraries are single-caller libraries: configure the seam before
 * KDX_InitComm and do not change it while a session is open on that index.
 * Tarsk's presence monitor runs on a thread of its own while a card is
 * active: it calls modem_status and sleep (and reports itself through
 * thread_event) while the application's thread may be inside any other
 * callback, so a backend for Tarsk must take calls from two threads at once.
 */
#ifndef KDX_PORT_H
#define KDX_PORT_H

#include "kdx_common.h"

KDX_EXTERN_C_BEGIN

/* Parity codes (DCB.Parity). */
#define KDX_PARITY_NONE 0u
#define KDX_PARITY_ODD 1u
#define KDX_PARITY_EVEN 2u
#define KDX_PARITY_MARK 3u
#define KDX_PARITY_SPACE 4u

/* Stop-bit codes (DCB.StopBits). */
#define KDX_STOPBITS_ONE 0u
#define KDX_STOPBITS_ONE_HALF 1u
#define KDX_STOPBITS_TWO 2u

/* DTR and RTS control codes (DCB.fDtrControl, DCB.fRtsControl). Disable
 * drives the line off, enable drives it on. */
#define KDX_LINE_CONTROL_DISABLE 0u
#define KDX_LINE_CONTROL_ENABLE 1u
#define KDX_LINE_CONTROL_HANDSHAKE 2u
#define KDX_LINE_CONTROL_TOGGLE 3u

/* Purge flags (PurgeComm). */
#define KDX_PURGE_TXABORT 0x0001u
#define KDX_PURGE_RXABORT 0x0002u
#define KDX_PURGE_TXCLEAR 0x0004u
#define KDX_PURGE_RXCLEAR 0x0008u

/* Modem status bits (GetCommModemStatus). */
#define KDX_MODEM_CTS_ON 0x0010u
#define KDX_MODEM_DSR_ON 0x0020u
#define KDX_MODEM_RING_ON 0x0040u
#define KDX_MODEM_RLSD_ON 0x0080u

/* Event mask bit (SetCommMask): a character was received. */
#define KDX_EVENT_RXCHAR 0x0001u

/* The line settings a library reads and writes (the used part of a DCB). */
typedef struct KDX_LineSettings {
  uint32_t baud_rate;       /* bits per second */
  uint8_t byte_size;        /* data bits, 5 to 8 */
  uint8_t parity;           /* KDX_PARITY_... */
  uint8_t stop_bits;        /* KDX_STOPBITS_... */
  uint8_t parity_check;     /* non-zero: received parity errors are checked */
  uint8_t dtr_control;      /* KDX_LINE_CONTROL_... */
  uint8_t rts_control;      /* KDX_LINE_CONTROL_... */
  uint8_t out_dsr_flow;     /* non-zero: output held while DSR is off */
  uint8_t out_cts_flow;     /* non-zero: output held while CTS is off */
  uint8_t dsr_sensitivity;  /* non-zero: bytes received while DSR is off are dropped */
  uint8_t reserved[3];      /* zero */
} KDX_LineSettings;

/* Read and write time-outs in milliseconds, with the COMMTIMEOUTS meaning:
 * a read ends when the gap between two bytes exceeds read_interval (0: no
 * interval limit) or when read_total_multiplier * count + read_total_constant
 * has passed since the read began (both 0: no total limit); a read with
 * read_interval 0xFFFFFFFF and both totals 0 returns at once with what has
 * arrived. The write total works the same way (both 0: no limit). */
typedef struct KDX_Timeouts {
  uint32_t read_interval;
  uint32_t read_total_multiplier;
  uint32_t read_total_constant;
  uint32_t write_total_multiplier;
  uint32_t write_total_constant;
} KDX_Timeouts;

/* Thread events passed to KDX_PortBackend.thread_event. */
#define KDX_THREAD_CREATED 1  /* reported by the creating thread before the new one runs */
#define KDX_THREAD_EXITING 2  /* reported by a library thread as its last act */

#define KDX_PORT_BACKEND_VERSION 1u

/*
 * A port backend. Every callback receives `context` as its first argument.
 * Callbacks returning int report success with 0 and failure with any other
 * value; the library turns a failure into the status its contract gives for
 * the Windows call that stands behind it (for example "line settings cannot
 * be written"). A NULL callback is treated as a call that succeeds and does
 * nothing, except for read and write, which are required.
 */
typedef struct KDX_PortBackend {
  uint32_t version;  /* KDX_PORT_BACKEND_VERSION */
  void* context;

  /* The library opens the port (0 = opened) and closes it (0 = closed). */
  int (*open)(void* context);
  int (*close)(void* context);

  /* Reads up to `count` bytes into `buffer`, waiting as the last time-outs
   * set say. Returns the number of bytes read (0 when the time-outs expired
   * with nothing), or -1 on failure. A result above `count` is a failure. */
  int32_t (*read)(void* context, uint8_t* buffer, uint32_t count);
  /* Writes `count` bytes. Returns the number accepted, or -1 on failure. */
  int32_t (*write)(void* context, const uint8_t* buffer, uint32_t count);

  int (*get_settings)(void* context, KDX_LineSettings* settings);
  int (*set_settings)(void* context, const KDX_LineSettings* settings);
  int (*set_timeouts)(void* context, const KDX_Timeouts* timeouts);
  int (*purge)(void* context, uint32_t flags);                  /* KDX_PURGE_... */
  int (*setup_queues)(void* context, uint32_t in_size, uint32_t out_size);
  int (*set_event_mask)(void* context, uint32_t mask);          /* KDX_EVENT_... */
  int (*modem_status)(void* context, uint32_t* status);         /* KDX_MODEM_... */

  /* Optional clock. When both are set, the library uses them for every tick
   * count and sleep, for as long as this backend stays attached. */
  uint32_t (*tick_count)(void* context);  /* milliseconds, wrapping */
  void (*sleep)(void* context, uint32_t milliseconds);
  /* Optional: told about the library's own threads (KDX_THREAD_...), so a
   * virtual clock can wait for them before it moves time on. */
  void (*thread_event)(void* context, int event);
} KDX_PortBackend;

#ifndef KDX_BOTH_LIBRARIES /* (the functions are each library's own) */
/*
 * KDX_SetPortDevice(port, path)
 *   port  low 8 bits: port index 0 to 3.
 *   path  NUL-terminated device path of at most 255 characters, copied; NULL
 *         or "" restores the default name.
 *   Returns 0; 1 (Velmor) or 33 (Tarsk) when the index or path is out of
 *   range; 12 (Velmor) or 44 (Tarsk) while a session is open.
 */
KDX_API StatusCode KDX_CALL KDX_SetPortDevice(uint32_t port, const char* path);

/*
 * KDX_SetPortBackend(port, backend)
 *   port     low 8 bits: port index 0 to 3.
 *   backend  table to copy, or NULL to detach and return to the device. The
 *            table must stay valid (its context and functions) until it is
 *            detached; the structure itself is copied.
 *   Returns 0; the library's bad-parameter status for an index out of range,
 *   a wrong version or a table without read or write; its already-open
 *   status while a session is open.
 */
KDX_API StatusCode KDX_CALL KDX_SetPortBackend(uint32_t port, const KDX_PortBackend* backend);

#endif

KDX_EXTERN_C_END

#endif /* KDX_PORT_H */
