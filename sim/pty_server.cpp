#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <thread>

namespace kdx::sim {
namespace {

constexpr int kPollMs = 20;
constexpr uint64_t kBitsPerCharacter = 10;  // start, 8 data, stop
// A pacing sleep shorter than this is skipped; the next one makes up for it.
constexpr uint64_t kMinSleepNs = 200000;

struct SpeedEntry {
  speed_t code;
  uint32_t baud;
};
constexpr SpeedEntry kSpeeds[] = {
    {B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},   {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
};

uint64_t monotonic_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void make_raw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

PtyServer::PtyServer(ReaderSim& reader) : reader_(reader) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    hang_up();
    return;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    hang_up();
    return;
  }
  device_ = name;
  slave_ = open(device_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ >= 0) make_raw(slave_);
  make_raw(master_);
  reader_.set_transport(
      [this](uint8_t byte) {
        if (hang_up_armed_.load()) {
          if (bytes_until_hang_up_.load() == 0) return;
          --bytes_until_hang_up_;
        }
        if (pace_) {
          // Each byte of a run is due one character time after the one
          // before it; a byte late through scheduling goes at once, so the
          // run keeps the line's rate on average.
          if (run_starts_) to_client_free_ns_ = std::max(to_client_free_ns_, monotonic_ns());
          run_starts_ = false;
          to_client_free_ns_ += character_ns();
          wait_until(to_client_free_ns_);
        }
        while (write(master_, &byte, 1) < 0 && errno == EINTR) {
        }
      },
      [] { return monotonic_ns(); });
}

PtyServer::~PtyServer() {
  stop();
  hang_up();
}

void PtyServer::run() {
  while (!stopping_.load() && master_ >= 0) {
    pollfd entry{master_, POLLIN, 0};
    const int ready = poll(&entry, 1, kPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    uint8_t buffer[256];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EIO) continue;
      break;
    }
    const uint64_t arrived = monotonic_ns();
    for (ssize_t i = 0; i < got; ++i) {
      if (pace_) {
        // The bytes came in one piece; on a wire each takes its own time.
        from_client_free_ns_ = std::max(from_client_free_ns_, arrived) + character_ns();
        wait_until(from_client_free_ns_);
      }
      run_starts_ = true;  // what the reader sends now starts a run
      reader_.on_host_byte(buffer[i]);
    }
    if (hang_up_armed_.load() && bytes_until_hang_up_.load() == 0) {
      hang_up();
      break;
    }
  }
}

uint64_t PtyServer::character_ns() const {
  termios t{};
  uint32_t baud = 9600;
  if (slave_ >= 0 && tcgetattr(slave_, &t) == 0) {
    for (const SpeedEntry& entry : kSpeeds) {
      if (entry.code == cfgetospeed(&t)) baud = entry.baud;
    }
  }
  return kBitsPerCharacter * 1000000000u / baud;
}

void PtyServer::wait_until(uint64_t ns) const {
  const uint64_t now = monotonic_ns();
  if (ns > now + kMinSleepNs) std::this_thread::sleep_for(std::chrono::nanoseconds(ns - now));
}

void PtyServer::hang_up_after(std::size_t bytes) {
  bytes_until_hang_up_.store(bytes);
  hang_up_armed_.store(true);
}

void PtyServer::start() {
  stopping_.store(false);
  thread_ = std::thread([this] { run(); });
}

void PtyServer::stop() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
}

void PtyServer::hang_up() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = -1;
  master_ = -1;
}

}  // namespace kdx::sim
