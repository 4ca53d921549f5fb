// A whole SLE4442 card read (SLE4442_ReadChar(0, 256)) through the library's
// POSIX serial port, against kdx-readersim on a pseudo-terminal pacing every
// byte at the line rate, as a wire would. Reported as line_ratio: the time of
// one read over the line time of the bytes it exchanges (handshakes, frames
// with their doubled DLEs, both directions) at 8N1. 1.0 is the wire itself.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "velmor.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDle = 0x10;
constexpr double kBitsPerCharacter = 10;
constexpr std::size_t kCardSize = 256;
constexpr std::size_t kBytesPerFrame = 184;

// kdx-readersim with an SLE4442 in its slot, for the whole run.
class ReaderProcess {
 public:
  ReaderProcess() {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string program = KDX_READERSIM_PATH;
    std::string card_option = "--card", card = "sle4442", pace = "--line-rate";
    char* argv[] = {program.data(), card_option.data(), card.data(), pace.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* reader = fdopen(out[0], "r");
    char line[256] = {};
    if (reader != nullptr && std::fgets(line, sizeof line, reader) != nullptr) {
      device_ = line;
      if (!device_.empty() && device_.back() == '\n') device_.pop_back();
    }
    if (reader != nullptr) std::fclose(reader);
  }
  ~ReaderProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& device() const { return device_; }

 private:
  pid_t pid_ = -1;
  std::string device_;
};

// Line bytes of one frame (header, data, BCC, every DLE doubled, DLE ETX)
// with its STX, ready DLE and acknowledgement.
std::size_t exchange_bytes(uint8_t code, const Bytes& data) {
  Bytes frame{code, static_cast<uint8_t>(data.size() & 0xFF), static_cast<uint8_t>(data.size() >> 8)};
  frame.insert(frame.end(), data.begin(), data.end());
  uint8_t bcc = 0;
  for (uint8_t b : frame) bcc = static_cast<uint8_t>(bcc ^ b);
  frame.push_back(bcc);
  std::size_t line = 3 + 2;  // STX, ready, acknowledgement; DLE ETX
  for (uint8_t b : frame) line += b == kDle ? 2 : 1;
  return line;
}

// The read's frames: begin, the read command, end, InByte with its response
// per 184 bytes, finish.
std::size_t read_bytes(const uint8_t* card) {
  std::size_t bytes = exchange_bytes(52, {}) + exchange_bytes(56, {0x30, 0x00, 0xFF}) + exchange_bytes(53, {});
  for (std::size_t at = 0; at < kCardSize; at += kBytesPerFrame) {
    const std::size_t count = std::min(kBytesPerFrame, kCardSize - at);
    bytes += exchange_bytes(55, {static_cast<uint8_t>(count), 0});
    bytes += exchange_bytes(0, Bytes(card + at, card + at + count));
  }
  return bytes + exchange_bytes(54, {});
}

void BM_Sle4442FullReadOverPty(benchmark::State& state) {
  static ReaderProcess reader;
  const auto baud = static_cast<uint32_t>(state.range(0));
  if (reader.device().empty() || KDX_SetPortDevice(0, reader.device().c_str()) != ST_OK) {
    state.SkipWithError("kdx-readersim did not start");
    return;
  }
  uint8_t atr[4];
  if (KDX_InitComm(0, baud) != ST_OK || SLE4442_OpenCard(atr) != ST_OK) {
    state.SkipWithError("no session with the simulated reader");
    KDX_ExitComm();
    return;
  }
  uint8_t card[kCardSize];
  for (auto _ : state) {
    if (SLE4442_ReadChar(0, kCardSize, card) != ST_OK) {
      state.SkipWithError("the read failed");
      break;
    }
    benchmark::DoNotOptimize(card);
  }
  const std::size_t bytes = read_bytes(card);
  const double line_seconds = static_cast<double>(bytes) * kBitsPerCharacter / baud;
  state.counters["line_bytes"] = static_cast<double>(bytes);
  state.counters["line_ms"] = line_seconds * 1e3;
  // Seconds per iteration over line seconds per iteration.
  state.counters["line_ratio"] =
      benchmark::Counter(line_seconds * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  KDX_ExitComm();
  KDX_SetPortDevice(0, nullptr);
}
BENCHMARK(BM_Sle4442FullReadOverPty)->Arg(115200)->Arg(9600)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
