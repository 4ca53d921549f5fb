// The platform layer: the few Windows serial, timing, thread and memory
// services the two libraries are written against, behind one interface.
//
// Three implementations stand behind it:
//   - Win32 (port_win32.cpp): CreateFileA, DCBs, COMMTIMEOUTS, overlapped I/O;
//   - POSIX termios (port_posix.cpp);
//   - a backend that a program plugs in per port index through the C table of
//     kdx_port.h (port_backend.cpp), used by the simulators and tests.
// open_port() picks the backend when one is attached to the index, the
// native port otherwise. The clock is the attached backend's when it brings
// one, the system clock otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kdx_port.h"

namespace kdx::platform {

using LineSettings = KDX_LineSettings;
using Timeouts = KDX_Timeouts;

inline constexpr uint32_t kPurgeAll =
    KDX_PURGE_TXABORT | KDX_PURGE_RXABORT | KDX_PURGE_TXCLEAR | KDX_PURGE_RXCLEAR;
inline constexpr int kPortIndexCount = 4;
inline constexpr std::size_t kMaxDevicePath = 255;

// An auto-reset, initially non-signalled, unnamed event.
struct Event;
Event* create_event();
bool close_event(Event* event);
bool set_event(Event* event);

// The overlapped-I/O record of one transfer direction: its event and the
// file offsets (always 0 for a serial port).
struct IoRecord {
  Event* event = nullptr;
  uint32_t offset = 0;
  uint32_t offset_high = 0;
};

enum class OpenMode : uint8_t { overlapped, blocking };

class Port {
 public:
  virtual ~Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  virtual bool set_event_mask(uint32_t mask) = 0;
  virtual bool setup_queues(uint32_t in_size, uint32_t out_size) = 0;
  virtual bool purge(uint32_t flags) = 0;
  virtual bool set_timeouts(const Timeouts& timeouts) = 0;
  virtual bool get_settings(LineSettings& settings) = 0;
  virtual bool set_settings(const LineSettings& settings) = 0;
  virtual bool modem_status(uint32_t& status) = 0;

  // Transfers of up to `count` bytes, ended by the port's time-outs. With an
  // IoRecord the transfer is overlapped: when it is pending, the call waits
  // without limit on the record's event. `done` receives the number of
  // bytes moved, never more than `count`. false: the transfer could not be
  // started or waited for.
  virtual bool read(uint8_t* buffer, uint32_t count, IoRecord* overlapped, uint32_t& done) = 0;
  virtual bool write(const uint8_t* buffer, uint32_t count, IoRecord* overlapped,
                     uint32_t& done) = 0;

  // Closes the underlying handle; false when it cannot be closed.
  virtual bool close() = 0;

 protected:
  Port() = default;
};

// Opens the port of `index` (0 to 3): exclusive, read-write, existing device
// only. Returns nullptr when it cannot be opened.
Port* open_port(uint8_t index, OpenMode mode);
// Closes the port; on success the object is deleted and true returned. On
// failure the port stays valid, so that closing can be tried again.
bool close_port(Port* port);

enum class SeamResult : uint8_t { ok, bad_parameter, busy };
SeamResult set_port_device(uint32_t index, const char* path);
SeamResult set_port_backend(uint32_t index, const KDX_PortBackend* backend);

// Clock: milliseconds since an arbitrary start (wrapping), and sleeping.
uint32_t tick_count();
void sleep_ms(uint32_t milliseconds);

// Memory for the session records (LocalAlloc/LocalFree) and frame buffers
// (the heap). local_free returns false when the block cannot be released.
void* local_alloc_zeroed(std::size_t size);
bool local_free(void* block);
void* heap_alloc(std::size_t size);
void heap_free(void* block);

// Threads. The id slot is written with a non-zero id before the thread runs.
struct Thread;
using ThreadProc = uint32_t (*)(void* argument);
Thread* create_thread(ThreadProc proc, void* argument, std::atomic<uint32_t>& id_slot);
// Waits until the thread has returned.
bool join_thread(Thread* thread);
// Releases the handle (CloseHandle); the thread must have returned.
bool close_thread(Thread* thread);

}  // namespace kdx::platform
