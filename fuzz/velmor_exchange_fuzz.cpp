// Whole exchanges with the simulated reader, with arbitrary bytes reaching
// the host between and during them: leftovers of an earlier answer, line
// noise, a reader that babbles. Whatever arrives, every call ends within its
// exchanges' time bound on the virtual clock, and once the line is healthy
// again (nothing more in flight) the next calls succeed.
//
// Input: rounds of one control byte and the stale bytes it announces.
// Control: bits 0-1 the export, bits 2-3 when the stale bytes arrive
// (kArrivalMs after the round starts), bits 4-7 how many (0 to 15, fewer
// when the input ends).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_target.h"
#include "sim/cards/sle4442.h"
#include "sim/reader_sim.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_port.h"
#include "velmor.h"

namespace {

constexpr uint32_t kBaud = 9600;
constexpr unsigned kMaxRounds = 6;
constexpr uint8_t kExportBits = 0x03;
constexpr unsigned kArrivalShift = 2;
constexpr uint8_t kArrivalBits = 0x03;
constexpr unsigned kCountShift = 4;
// Before the call (it must discard them), during its STX handshake, during
// the response, and after the call is likely over.
constexpr uint32_t kArrivalMs[] = {0, 1, 30, 900};
constexpr uint32_t kReadLength = 64;
constexpr std::size_t kVersionRoom = 32;

// One exchange at most: three tries of STX, handshake, frame, handshake with
// a drain after each, the STX search, the frame's own limit and a last
// drain (the sums in velmor.h's "Time" comment), at kBaud.
constexpr uint64_t kLongestFrameBytes = 402;
constexpr uint64_t kFrameLineMs = 2 * kLongestFrameBytes * 10 * 1000 / kBaud + 1;
constexpr uint64_t kExchangeLimitMs = 3 * (4 * KDX_VELMOR_BYTE_TIMEOUT_MS + KDX_VELMOR_DRAIN_LIMIT_MS) +
                                      3 * KDX_VELMOR_BYTE_TIMEOUT_MS + KDX_VELMOR_FRAME_SLACK_MS + kFrameLineMs +
                                      KDX_VELMOR_DRAIN_LIMIT_MS;

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "velmor_exchange_fuzz: %s\n", what);
  std::abort();
}

struct Export {
  unsigned exchanges;  // the most the call makes, each within kExchangeLimitMs
  StatusCode (*call)();
};

StatusCode get_version() {
  auto version = std::make_unique<uint8_t[]>(kVersionRoom);
  return KDX_GetVersion(version.get());
}

StatusCode read_card() {
  auto data = std::make_unique<uint8_t[]>(kReadLength);
  return SLE4442_ReadChar(0, kReadLength, data.get());
}

StatusCode test_door() { return KDX_TestDoor(); }

StatusCode read_line() {
  uint8_t value = 0;
  return GetIO(178, &value);
}

constexpr Export kExports[] = {{1, get_version}, {1, read_card}, {1, test_door}, {1, read_line}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  kdx::sim::VirtualClock clock;
  kdx::sim::VirtualPort port(clock);
  kdx::sim::ReaderSim reader;
  reader.attach_to(port);
  reader.insert(std::make_unique<kdx::sim::Sle4442Card>());
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK) return 0;
  require(KDX_InitComm(0, kBaud) == ST_OK, "session opened");
  uint8_t atr[4];
  require(SLE4442_OpenCard(atr) == ST_OK, "card opened");

  uint64_t last_arrival_ns = 0;
  std::size_t next = 0;
  for (unsigned round = 0; round < kMaxRounds && next < size; ++round) {
    const uint8_t control = data[next++];
    const Export& chosen = kExports[control & kExportBits];
    const uint64_t start_ns = clock.now_ns();
    const uint64_t arrival_ns = start_ns + kArrivalMs[(control >> kArrivalShift) & kArrivalBits] * kdx::sim::kNsPerMs;
    for (unsigned i = 0; i < (control >> kCountShift) && next < size; ++i) {
      port.deliver_at(data[next++], arrival_ns);
      last_arrival_ns = std::max(last_arrival_ns, arrival_ns);  // an earlier round's may land later
    }
    chosen.call();
    require(clock.now_ns() - start_ns <= chosen.exchanges * kExchangeLimitMs * kdx::sim::kNsPerMs, "call within its bound");
  }

  // A healthy line: every stale byte has landed and the host has the turn.
  if (clock.now_ns() < last_arrival_ns) clock.sleep_ns(last_arrival_ns - clock.now_ns());
  for (const Export& healthy : kExports) require(healthy.call() == ST_OK, "call on a healthy line");

  KDX_ExitComm();
  KDX_SetPortBackend(0, nullptr);
  return 0;
}
