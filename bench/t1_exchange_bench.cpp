// One READ BINARY of 256 bytes through CPU_IsoAPDU and the T=1 exchange,
// against the T=1 sample card on the simulated line (virtual clock):
//   line_bytes / minimum_bytes  the bytes both sides put on the line, against
//       the least T=1 needs for this exchange: the command and the response
//       in blocks of at most IFSC and IFSD bytes, a prologue and an epilogue
//       per block, and the R-block that acknowledges each chained block;
//   cpu_us / line_ms_115200  the process's CPU time per exchange (the
//       library, and the simulated card and line besides, so an upper bound
//       of the host's), against the line time of the same bytes at 115,200
//       baud in the card's character framing; cpu_percent is their ratio.
#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

#include "serial_iso/t1_block.h"
#include "serial_iso/t1_exchange.h"
#include "sim/cards/iso7816_card.h"
#include "sim/cards/iso7816_t1.h"
#include "sim/serial_line_device.h"
#include "sim/virtual_port.h"
#include "tarsk.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace t1 = kdx::tarsk::t1;

// The sample card: IFSC 254, CWI 5, BWI 4, LRC, historical bytes "KDX1".
constexpr uint8_t kIfsc = 0xFE;
constexpr uint8_t kTb3 = 0x45;
const Bytes kHistorical{0x4B, 0x44, 0x58, 0x31};
const Bytes kSelectFile{0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};  // EF 0101, 600 bytes
const Bytes kReadBinary{0x00, 0xB0, 0x00, 0x00, 0x00};              // Le 256
constexpr std::size_t kResponseSize = 256 + 2;
constexpr double kReferenceBaud = 115200;

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::size_t blocks_for(std::size_t bytes, std::size_t largest) { return bytes == 0 ? 1 : (bytes + largest - 1) / largest; }

// The fewest bytes a T=1 exchange of these sizes puts on the line.
std::size_t minimum_line_bytes(std::size_t command, std::size_t response, std::size_t ifsc, std::size_t ifsd,
                               t1::Edc edc) {
  const std::size_t command_blocks = blocks_for(command, ifsc);
  const std::size_t response_blocks = blocks_for(response, ifsd);
  const std::size_t acknowledgements = (command_blocks - 1) + (response_blocks - 1);
  const std::size_t frame = t1::kPrologueSize + t1::epilogue_size(edc);
  return command + response + (command_blocks + response_blocks + acknowledgements) * frame;
}

unsigned bits_per_character(const KDX_LineSettings& settings) {
  const unsigned parity = settings.parity == KDX_PARITY_NONE ? 0 : 1;
  const unsigned stop = settings.stop_bits == KDX_STOPBITS_TWO ? 2 : 1;
  return 1 + settings.byte_size + parity + stop;
}

void ReadBinary256(benchmark::State& state) {
  kdx::sim::VirtualClock clock;
  kdx::sim::VirtualPort port(clock);
  kdx::sim::SerialLineDevice device(port);
  const Bytes atr = kdx::sim::t1_atr(kIfsc, kTb3, false, 0, kHistorical);
  auto owned = std::make_unique<kdx::sim::Iso7816Card>(
      kdx::sim::Iso7816CardConfig{atr, std::nullopt, {}, 10000, kdx::sim::t1_protocol()});
  kdx::sim::Iso7816Card& card = *owned;
  {
    auto held = clock.lock();
    device.insert(std::move(owned));
  }
  uint8_t answer[32];
  uint16_t answer_length = 0;
  Bytes response(kdx::tarsk::kMaxResponseSize);
  uint32_t length = 0;
  Bytes select = kSelectFile;
  if (KDX_SetPortBackend(0, &port.backend()) != ST_OK || KDX_InitComm(0, 9600) != ST_OK ||
      CPU_OpenCard(answer, &answer_length) != ST_OK ||
      CPU_IsoAPDU(select.data(), static_cast<uint32_t>(select.size()), response.data(), &length) != ST_OK) {
    state.SkipWithError("cannot activate the simulated T=1 card");
    return;
  }

  double cpu = 0;
  std::size_t line_bytes = 0;
  uint64_t line_ns = 0;
  KDX_LineSettings settings{};
  for (auto _ : state) {
    {
      auto held = clock.lock();
      device.clear_trace();
    }
    Bytes command = kReadBinary;
    const uint64_t began_ns = clock.now_ns();
    const double began = process_cpu_seconds();
    const StatusCode status =
        CPU_IsoAPDU(command.data(), static_cast<uint32_t>(command.size()), response.data(), &length);
    cpu += process_cpu_seconds() - began;
    line_ns += clock.now_ns() - began_ns;
    if (status != ST_OK || length != kResponseSize) {
      state.SkipWithError("the exchange failed");
      break;
    }
    auto held = clock.lock();
    line_bytes += device.host_bytes().size() + device.card_bytes().size();
    settings = device.line_settings();
  }
  {
    auto held = clock.lock();
    if (!card.violations().empty()) state.SkipWithError(card.violations().front().c_str());
  }
  KDX_ExitComm();
  KDX_SetPortBackend(0, nullptr);

  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  const double per_exchange_bytes = static_cast<double>(line_bytes) / n;
  const double minimum = static_cast<double>(
      minimum_line_bytes(kReadBinary.size(), kResponseSize, kIfsc, kdx::tarsk::kHostIfsd, t1::Edc::lrc));
  const double line_115200_s = per_exchange_bytes * bits_per_character(settings) / kReferenceBaud;
  const double cpu_s = cpu / n;
  state.counters["line_bytes"] = per_exchange_bytes;
  state.counters["minimum_bytes"] = minimum;
  state.counters["bytes_ratio"] = per_exchange_bytes / minimum;
  state.counters["cpu_us"] = cpu_s * 1e6;
  state.counters["line_ms_115200"] = line_115200_s * 1e3;
  state.counters["cpu_percent"] = 100 * cpu_s / line_115200_s;
  // The exchange's own time on the simulated line, at the card's 9600 baud.
  state.counters["virtual_ms_9600"] = static_cast<double>(line_ns) / n / 1e6;
}
BENCHMARK(ReadBinary256)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
