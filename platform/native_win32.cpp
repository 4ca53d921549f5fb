// Win32 implementation of the native platform: COM ports through CreateFileA
// with DCBs and COMMTIMEOUTS, overlapped or blocking transfers, GetTickCount
// and Sleep, LocalAlloc for the records, the process heap for the frame
// buffers, CreateThread.
#include <windows.h>

#include <new>

#include "native.h"

namespace kdx::platform {
struct Thread {
  HANDLE handle;
};
}  // namespace kdx::platform

namespace kdx::platform::native {
namespace {

// An Event* is the event's HANDLE itself.
HANDLE handle_of(Event* event) { return reinterpret_cast<HANDLE>(event); }

void copy_to_dcb(const LineSettings& settings, DCB& dcb) {
  dcb.BaudRate = settings.baud_rate;
  dcb.ByteSize = settings.byte_size;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stop_bits;
  dcb.fParity = settings.parity_check != 0 ? TRUE : FALSE;
  dcb.fDtrControl = settings.dtr_control & 3u;
  dcb.fRtsControl = settings.rts_control & 3u;
  dcb.fOutxDsrFlow = settings.out_dsr_flow != 0 ? TRUE : FALSE;
  dcb.fOutxCtsFlow = settings.out_cts_flow != 0 ? TRUE : FALSE;
  dcb.fDsrSensitivity = settings.dsr_sensitivity != 0 ? TRUE : FALSE;
}

LineSettings settings_of(const DCB& dcb) {
  LineSettings settings{};
  settings.baud_rate = dcb.BaudRate;
  settings.byte_size = dcb.ByteSize;
  settings.parity = dcb.Parity;
  settings.stop_bits = dcb.StopBits;
  settings.parity_check = dcb.fParity ? 1 : 0;
  settings.dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
  settings.rts_control = static_cast<uint8_t>(dcb.fRtsControl);
  settings.out_dsr_flow = dcb.fOutxDsrFlow ? 1 : 0;
  settings.out_cts_flow = dcb.fOutxCtsFlow ? 1 : 0;
  settings.dsr_sensitivity = dcb.fDsrSensitivity ? 1 : 0;
  return settings;
}

class Win32Port final : public Port {
 public:
  explicit Win32Port(HANDLE handle) : handle_(handle) {}
  ~Win32Port() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  bool set_event_mask(uint32_t mask) override { return SetCommMask(handle_, mask) != FALSE; }
  bool setup_queues(uint32_t in_size, uint32_t out_size) override {
    return SetupComm(handle_, in_size, out_size) != FALSE;
  }
  bool purge(uint32_t flags) override { return PurgeComm(handle_, flags) != FALSE; }

  bool set_timeouts(const Timeouts& timeouts) override {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.read_interval;
    t.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
    t.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    t.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
    t.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return SetCommTimeouts(handle_, &t) != FALSE;
  }

  // The whole DCB read last is kept, so that writing the settings back
  // changes only the fields the libraries own and leaves the rest (flow
  // control characters, XON limits ...) as the port had them.
  bool get_settings(LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle_, &dcb) == FALSE) return false;
    last_dcb_ = dcb;
    have_dcb_ = true;
    settings = settings_of(dcb);
    return true;
  }

  bool set_settings(const LineSettings& settings) override {
    if (!have_dcb_) {
      LineSettings current{};
      if (!get_settings(current)) return false;
    }
    DCB dcb = last_dcb_;
    copy_to_dcb(settings, dcb);
    if (SetCommState(handle_, &dcb) == FALSE) return false;
    last_dcb_ = dcb;
    return true;
  }

  bool modem_status(uint32_t& status) override {
    DWORD lines = 0;
    if (GetCommModemStatus(handle_, &lines) == FALSE) return false;
    status = lines;
    return true;
  }

  bool read(uint8_t* buffer, uint32_t count, IoRecord* overlapped, uint32_t& done) override {
    done = 0;
    DWORD moved = 0;
    if (overlapped == nullptr) {
      if (ReadFile(handle_, buffer, count, &moved, nullptr) == FALSE) return false;
    } else if (!finish_overlapped(ReadFile(handle_, buffer, count, nullptr, prepare(*overlapped)), moved)) {
      return false;
    }
    done = moved <= count ? moved : count;
    return true;
  }

  bool write(const uint8_t* buffer, uint32_t count, IoRecord* overlapped, uint32_t& done) override {
    done = 0;
    DWORD moved = 0;
    if (overlapped == nullptr) {
      if (WriteFile(handle_, buffer, count, &moved, nullptr) == FALSE) return false;
    } else if (!finish_overlapped(WriteFile(handle_, buffer, count, nullptr, prepare(*overlapped)), moved)) {
      return false;
    }
    done = moved <= count ? moved : count;
    return true;
  }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    if (CloseHandle(handle_) == FALSE) return false;
    handle_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  OVERLAPPED* prepare(const IoRecord& record) {
    operation_ = OVERLAPPED{};
    operation_.Offset = record.offset;
    operation_.OffsetHigh = record.offset_high;
    operation_.hEvent = handle_of(record.event);
    return &operation_;
  }

  // A transfer that is pending is waited for without limit on its event;
  // the port's time-outs end it.
  bool finish_overlapped(BOOL started, DWORD& moved) {
    if (started == FALSE) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (WaitForSingleObject(operation_.hEvent, INFINITE) != WAIT_OBJECT_0) return false;
    }
    return GetOverlappedResult(handle_, &operation_, &moved, FALSE) != FALSE;
  }

  HANDLE handle_;
  OVERLAPPED operation_{};
  DCB last_dcb_{};
  bool have_dcb_ = false;
};

struct Win32Start {
  ThreadProc proc;
  void* argument;
};

DWORD WINAPI win32_thread_main(LPVOID raw) {
  const Win32Start start = *static_cast<Win32Start*>(raw);
  delete static_cast<Win32Start*>(raw);
  return start.proc(start.argument);
}

}  // namespace

std::string default_device(uint8_t index) {
  char name[16];
  wsprintfA(name, "COM%d", static_cast<int>(index) + 1);
  return name;
}

Port* open_port(const char* device, OpenMode mode) {
  const DWORD flags = mode == OpenMode::overlapped ? FILE_FLAG_OVERLAPPED : 0;
  HANDLE handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  Port* port = new (std::nothrow) Win32Port(handle);
  if (port == nullptr) CloseHandle(handle);
  return port;
}

uint32_t tick_count() { return GetTickCount(); }
void sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

Event* create_event() { return reinterpret_cast<Event*>(CreateEventA(nullptr, FALSE, FALSE, nullptr)); }
bool close_event(Event* event) { return CloseHandle(handle_of(event)) != FALSE; }
bool set_event(Event* event) { return SetEvent(handle_of(event)) != FALSE; }

void* local_alloc_zeroed(std::size_t size) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size); }
bool local_free(void* block) { return LocalFree(block) == nullptr; }
void* heap_alloc(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void heap_free(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

Thread* create_thread(ThreadProc proc, void* argument, std::atomic<uint32_t>& id_slot) {
  auto* thread = new (std::nothrow) Thread{nullptr};
  auto* start = new (std::nothrow) Win32Start{proc, argument};
  if (thread == nullptr || start == nullptr) {
    delete thread;
    delete start;
    return nullptr;
  }
  DWORD id = 0;
  thread->handle = CreateThread(nullptr, 0, win32_thread_main, start, CREATE_SUSPENDED, &id);
  if (thread->handle == nullptr) {
    delete thread;
    delete start;
    return nullptr;
  }
  id_slot.store(id);
  ResumeThread(thread->handle);
  return thread;
}

bool join_thread(Thread* thread) {
  return thread != nullptr && WaitForSingleObject(thread->handle, INFINITE) == WAIT_OBJECT_0;
}

bool close_thread(Thread* thread) {
  if (thread == nullptr) return false;
  if (CloseHandle(thread->handle) == FALSE) return false;
  delete thread;
  return true;
}

}  // namespace kdx::platform::native
