// POSIX implementation of the native platform: termios serial ports, the
// monotonic clock, calloc/malloc for the records, pthreads.
//
// A serial port is put in raw mode at open and read with poll(), which gives
// the Windows time-out semantics: a read ends when `count` bytes arrived, when
// the gap after a received byte exceeds the interval time-out, or when the
// total time-out (multiplier * count + constant) has passed. DSR output flow
// control and DSR sensitivity, which termios lacks, are done here: a write
// waits while DSR is off, and bytes read while DSR is off are dropped.
//
// A read that has some of its bytes sleeps for the line time of the rest
// before it looks again, so a run of bytes costs a few system calls rather
// than two per byte; the interval time-out still counts from the last byte.
// A write without a write time-out never waits longer than kWriteHoldLimitMs
// for the line (DSR, or room in the output queue): Windows would wait
// forever there.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "native.h"
#include "posix_custom_baud.h"

namespace kdx::platform::native {
namespace {

constexpr uint32_t kNoWait = 0xFFFFFFFFu;
// termios has no DSR flow control or DSR sensitivity: a held write looks at
// DSR this often, and a read reads at most this much before it looks.
constexpr uint32_t kDsrPollMs = 2;
constexpr std::size_t kScratchSize = 256;
constexpr uint32_t kWriteHoldLimitMs = 5000;

struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

bool standard_speed(uint32_t baud, speed_t& code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.baud == baud) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

uint32_t baud_of(speed_t code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.code == code) return entry.baud;
  }
  return 9600;
}

uint64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// A wait for poll(): milliseconds, at most what an int holds (a larger one
// would read as "no limit").
int poll_wait(uint64_t milliseconds) {
  return static_cast<int>(std::min<uint64_t>(milliseconds, static_cast<uint64_t>(INT_MAX)));
}

// A device without modem lines (a pseudo-terminal) answers these ioctls with
// ENOTTY or EINVAL; there is nothing to drive then.
bool no_modem_lines(int error) { return error == ENOTTY || error == EINVAL; }

bool drive_line(int fd, int line, uint8_t control) {
  int request = 0;
  if (control == KDX_LINE_CONTROL_ENABLE) {
    request = TIOCMBIS;
  } else if (control == KDX_LINE_CONTROL_DISABLE) {
    request = TIOCMBIC;
  } else {
    return true;  // handshake and toggle are left to the driver
  }
  return ioctl(fd, request, &line) == 0 || no_modem_lines(errno);
}

tcflag_t size_flag(uint8_t byte_size) {
  switch (byte_size) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

class PosixPort final : public Port {
 public:
  PosixPort(int fd, const LineSettings& initial) : fd_(fd), shadow_(initial) {}
  ~PosixPort() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool set_event_mask(uint32_t) override { return fd_ >= 0; }
  bool setup_queues(uint32_t, uint32_t) override { return fd_ >= 0; }

  bool purge(uint32_t flags) override {
    bool ok = true;
    if ((flags & KDX_PURGE_RXCLEAR) != 0) ok = tcflush(fd_, TCIFLUSH) == 0 && ok;
    if ((flags & KDX_PURGE_TXCLEAR) != 0) ok = tcflush(fd_, TCOFLUSH) == 0 && ok;
    return ok;
  }

  bool set_timeouts(const Timeouts& timeouts) override {
    timeouts_ = timeouts;
    return fd_ >= 0;
  }

  bool get_settings(LineSettings& settings) override {
    if (fd_ < 0) return false;
    settings = shadow_;
    return true;
  }

  bool set_settings(const LineSettings& settings) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= size_flag(settings.byte_size) | CLOCAL | CREAD;
    switch (settings.parity) {
      case KDX_PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
      case KDX_PARITY_EVEN: t.c_cflag |= PARENB; break;
      case KDX_PARITY_MARK: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
      case KDX_PARITY_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (settings.stop_bits != KDX_STOPBITS_ONE) t.c_cflag |= CSTOPB;
    if (settings.out_cts_flow != 0) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | ISTRIP);
    if (settings.parity_check != 0) t.c_iflag |= INPCK;

    speed_t code = B9600;
    const bool standard = standard_speed(settings.baud_rate, code);
    if (standard) {
      cfsetispeed(&t, code);
      cfsetospeed(&t, code);
    }
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    if (!standard && !set_custom_baud(fd_, settings.baud_rate)) return false;
    if (!drive_line(fd_, TIOCM_DTR, settings.dtr_control)) return false;
    if (!drive_line(fd_, TIOCM_RTS, settings.rts_control)) return false;
    shadow_ = settings;
    return true;
  }

  bool modem_status(uint32_t& status) override {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return false;
    status = 0;
    if ((lines & TIOCM_CTS) != 0) status |= KDX_MODEM_CTS_ON;
    if ((lines & TIOCM_DSR) != 0) status |= KDX_MODEM_DSR_ON;
    if ((lines & TIOCM_RI) != 0) status |= KDX_MODEM_RING_ON;
    if ((lines & TIOCM_CD) != 0) status |= KDX_MODEM_RLSD_ON;
    return true;
  }

  bool read(uint8_t* buffer, uint32_t count, IoRecord*, uint32_t& done) override {
    done = 0;
    if (fd_ < 0) return false;
    if (count == 0) return true;
    const bool return_at_once = timeouts_.read_interval == kNoWait &&
                                timeouts_.read_total_multiplier == 0 && timeouts_.read_total_constant == 0;
    const uint64_t total = static_cast<uint64_t>(timeouts_.read_total_multiplier) * count +
                           timeouts_.read_total_constant;
    const uint64_t deadline = monotonic_ms() + total;
    const bool has_interval = timeouts_.read_interval != 0 && timeouts_.read_interval != kNoWait;
    const bool dsr_sensitive = shadow_.dsr_sensitivity != 0;
    uint64_t last_byte = 0;
    while (done < count) {
      int wait = -1;
      if (return_at_once) {
        wait = 0;
      } else {
        const uint64_t now = monotonic_ms();
        if (total != 0) {
          if (now >= deadline) break;
          wait = poll_wait(deadline - now);
        }
        if (done != 0 && has_interval) {
          const uint64_t gap_end = last_byte + timeouts_.read_interval;
          const int interval = poll_wait(gap_end > now ? gap_end - now : 0);
          if (wait < 0 || interval < wait) wait = interval;
        }
      }
      pollfd entry{fd_, POLLIN, 0};
      const int ready = poll(&entry, 1, wait);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (ready == 0) break;
      // Bytes that arrive while DSR is off are dropped: they are read into
      // the scratch buffer first, so that the caller's buffer only ever
      // receives the bytes counted.
      uint8_t scratch[kScratchSize];
      uint8_t* target = dsr_sensitive ? scratch : buffer + done;
      const std::size_t room = dsr_sensitive ? std::min<std::size_t>(count - done, sizeof scratch) : count - done;
      const ssize_t got = ::read(fd_, target, room);
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return false;
      }
      if (got == 0) return false;  // the other end is gone
      if (dsr_sensitive) {
        if (!dsr_on()) continue;
        std::memcpy(buffer + done, scratch, static_cast<std::size_t>(got));
      }
      done += static_cast<uint32_t>(got);
      last_byte = monotonic_ms();
      if (return_at_once) break;
      if (done < count) {
        await_line(count - done, total != 0 ? deadline : 0, has_interval ? timeouts_.read_interval : 0);
      }
    }
    return true;
  }

  bool write(const uint8_t* buffer, uint32_t count, IoRecord*, uint32_t& done) override {
    done = 0;
    if (fd_ < 0) return false;
    const uint64_t total = static_cast<uint64_t>(timeouts_.write_total_multiplier) * count +
                           timeouts_.write_total_constant;
    const uint64_t start = monotonic_ms();
    const uint64_t deadline = start + total;
    // Without a write time-out, the wait for the line is bounded from the
    // last progress instead.
    uint64_t hold_end = start + kWriteHoldLimitMs;
    const auto expired = [&] {
      const uint64_t now = monotonic_ms();
      return total != 0 ? now >= deadline : now >= hold_end;
    };
    while (done < count) {
      // DSR output flow control: output is held while DSR is off.
      if (shadow_.out_dsr_flow != 0) {
        while (!dsr_on() && !expired()) sleep_ms(kDsrPollMs);
        if (expired()) break;
      }
      const ssize_t put = ::write(fd_, buffer + done, count - done);
      if (put > 0) {
        done += static_cast<uint32_t>(put);
        hold_end = monotonic_ms() + kWriteHoldLimitMs;
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
      const uint64_t now = monotonic_ms();
      if (expired()) break;
      const uint64_t end = total != 0 ? deadline : hold_end;
      pollfd entry{fd_, POLLOUT, 0};
      if (poll(&entry, 1, poll_wait(end - now)) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  bool close() override {
    if (fd_ < 0) return true;
    // Linux releases the descriptor even when close reports an error, so it
    // is never closed twice.
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || errno == EINTR;
  }

 private:
  // Sleeps for the time `missing` characters take at the line's rate, but
  // no longer than the interval time-out (0: none) or until `deadline` (0:
  // none).
  void await_line(uint32_t missing, uint64_t deadline, uint32_t interval_ms) const {
    const uint32_t baud = shadow_.baud_rate != 0 ? shadow_.baud_rate : 9600;
    const uint64_t bits = 1u + shadow_.byte_size + (shadow_.parity != KDX_PARITY_NONE ? 1u : 0u) +
                          (shadow_.stop_bits == KDX_STOPBITS_ONE ? 1u : 2u);
    uint64_t wait_us = missing * bits * 1000000u / baud;
    if (interval_ms != 0) wait_us = std::min<uint64_t>(wait_us, uint64_t{interval_ms} * 1000u);
    if (deadline != 0) {
      const uint64_t now = monotonic_ms();
      if (now >= deadline) return;
      wait_us = std::min<uint64_t>(wait_us, (deadline - now) * 1000u);
    }
    if (wait_us == 0) return;
    timespec left{static_cast<time_t>(wait_us / 1000000u), static_cast<long>(wait_us % 1000000u) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  // DSR as flow control and sensitivity see it; a device without modem lines
  // has no DSR to wait for.
  bool dsr_on() const {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return no_modem_lines(errno);
    return (lines & TIOCM_DSR) != 0;
  }

  int fd_;
  LineSettings shadow_;
  Timeouts timeouts_{};
};

LineSettings settings_of(int fd, const termios& t) {
  LineSettings settings{};
  settings.baud_rate = baud_of(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: settings.byte_size = 5; break;
    case CS6: settings.byte_size = 6; break;
    case CS7: settings.byte_size = 7; break;
    default: settings.byte_size = 8; break;
  }
  if ((t.c_cflag & PARENB) != 0) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    if ((t.c_cflag & CMSPAR) != 0) {
      settings.parity = odd ? KDX_PARITY_MARK : KDX_PARITY_SPACE;
    } else {
      settings.parity = odd ? KDX_PARITY_ODD : KDX_PARITY_EVEN;
    }
  }
  settings.stop_bits = (t.c_cflag & CSTOPB) != 0 ? KDX_STOPBITS_TWO : KDX_STOPBITS_ONE;
  settings.parity_check = (t.c_iflag & INPCK) != 0 ? 1 : 0;
  settings.out_cts_flow = (t.c_cflag & CRTSCTS) != 0 ? 1 : 0;
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) == 0) {
    settings.dtr_control = (lines & TIOCM_DTR) != 0 ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
    settings.rts_control = (lines & TIOCM_RTS) != 0 ? KDX_LINE_CONTROL_ENABLE : KDX_LINE_CONTROL_DISABLE;
  } else {
    settings.dtr_control = KDX_LINE_CONTROL_ENABLE;
    settings.rts_control = KDX_LINE_CONTROL_ENABLE;
  }
  return settings;
}

}  // namespace

std::string default_device(uint8_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "/dev/ttyS%d", static_cast<int>(index));
  return name;
}

Port* open_port(const char* device, OpenMode) {
  const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  termios t{};
  if (isatty(fd) == 0 || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &t) != 0) {
    ::close(fd);
    return nullptr;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    ::close(fd);
    return nullptr;
  }
  Port* port = new (std::nothrow) PosixPort(fd, settings_of(fd, t));
  if (port == nullptr) ::close(fd);
  return port;
}

uint32_t tick_count() { return static_cast<uint32_t>(monotonic_ms()); }

void sleep_ms(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace kdx::platform::native

namespace kdx::platform {
// Serial I/O here is never overlapped, so an event only has to exist.
struct Event {
  std::atomic<bool> signalled{false};
};
struct Thread {
  pthread_t handle{};
  bool joined = false;
};
}  // namespace kdx::platform

namespace kdx::platform::native {
namespace {
std::atomic<uint32_t> g_next_thread_id{1};

struct PosixStart {
  ThreadProc proc;
  void* argument;
};

void* posix_thread_main(void* raw) {
  const PosixStart start = *static_cast<PosixStart*>(raw);
  delete static_cast<PosixStart*>(raw);
  start.proc(start.argument);
  return nullptr;
}
}  // namespace

Event* create_event() { return new (std::nothrow) Event; }

bool close_event(Event* event) {
  if (event == nullptr) return false;
  delete event;
  return true;
}

bool set_event(Event* event) {
  if (event == nullptr) return false;
  event->signalled.store(true);
  return true;
}

void* local_alloc_zeroed(std::size_t size) { return std::calloc(1, size); }

bool local_free(void* block) {
  std::free(block);
  return true;
}

void* heap_alloc(std::size_t size) { return std::malloc(size); }

void heap_free(void* block) { std::free(block); }

Thread* create_thread(ThreadProc proc, void* argument, std::atomic<uint32_t>& id_slot) {
  auto* thread = new (std::nothrow) Thread;
  auto* start = new (std::nothrow) PosixStart{proc, argument};
  if (thread == nullptr || start == nullptr) {
    delete thread;
    delete start;
    return nullptr;
  }
  uint32_t id = g_next_thread_id.fetch_add(1);
  if (id == 0) id = g_next_thread_id.fetch_add(1);
  id_slot.store(id);
  if (pthread_create(&thread->handle, nullptr, posix_thread_main, start) != 0) {
    id_slot.store(0);
    delete thread;
    delete start;
    return nullptr;
  }
  return thread;
}

bool join_thread(Thread* thread) {
  if (thread == nullptr) return false;
  if (thread->joined) return true;
  thread->joined = pthread_join(thread->handle, nullptr) == 0;
  return thread->joined;
}

bool close_thread(Thread* thread) {
  if (thread == nullptr) return false;
  if (!thread->joined) pthread_detach(thread->handle);
  delete thread;
  return true;
}

}  // namespace kdx::platform::native
