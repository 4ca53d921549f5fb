// Line time of whole-card AT102-family operations on the simulated reader
// (virtual clock, 9600 baud), as a ratio to the time the card's bytes alone
// take on the line (10 bit times each). The ratio is the cost of the framed,
// acknowledged link and of the driver's piece sizes; it does not depend on
// the machine.
#include <cstdio>
#include <functional>
#include <vector>

#include "sim/reader_sim.h"
#include "sim/sample_cards.h"
#include "sim/virtual_port.h"
#include "velmor.h"

namespace {

constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10;

struct Case {
  const char* name;
  const char* sample;
  double card_bytes;
  std::function<StatusCode()> run;
};

}  // namespace

int main() {
  static uint8_t buffer[2048];
  static const std::vector<uint8_t> data(2040, 0x5A);
  const Case cases[] = {
      {"AT102 read 195 bytes (one frame)", "at102", 195, [] { return AT102_ReadChar(0, 195, 2, buffer); }},
      {"AT1604 read 2040 bytes (frames of 184)", "at1604", 2040, [] { return AT1604_ReadChar(0, 2040, 4, buffer); }},
      {"AT1604 erase 2040 bytes (counts of 80)", "at1604", 2040, [] { return AT1604_EraseChar(0, 2040, 4); }},
      {"AT1604 write 2040 bytes (pieces of 10)", "at1604", 2040,
       [] { return AT1604_WriteChar(0, 2040, 4, data.data()); }},
      {"AT1604 verification (2 code bytes)", "at1604", 2, [] { return AT1604_VerifyPWD(0, 0x16, 0x00); }},
  };
  std::printf("%-42s %10s %10s %8s\n", "operation", "line s", "bytes s", "ratio");
  for (const Case& c : cases) {
    kdx::sim::VirtualClock clock;
    kdx::sim::VirtualPort port(clock);
    kdx::sim::ReaderSim reader;
    reader.attach_to(port);
    reader.insert(kdx::sim::make_sample_card(c.sample));
    if (KDX_SetPortBackend(0, &port.backend()) != ST_OK || KDX_InitComm(0, 9600) != ST_OK ||
        AT1604_OpenCard() != ST_OK) {
      std::fprintf(stderr, "cannot open the simulated reader\n");
      return 1;
    }
    const uint64_t start = clock.now_ns();
    const StatusCode status = c.run();
    const double line = static_cast<double>(clock.now_ns() - start) / 1e9;
    const double bare = c.card_bytes * kBitsPerByte / kBaud;
    std::printf("%-42s %10.2f %10.3f %8.1f%s\n", c.name, line, bare, line / bare, status == ST_OK ? "" : " (failed)");
    KDX_ExitComm();
    KDX_SetPortBackend(0, nullptr);
  }
  return 0;
}
