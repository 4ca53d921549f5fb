// kdx-readersim: the simulated reader on a pseudo-terminal, for any program
// that opens a serial port (a library built for Linux with the device
// mapping, or the Windows build under Wine with COM1 mapped to the pty).
//
//   kdx-readersim [--link PATH] [--card NAME] [--version TEXT] [--trace FILE]
//                 [--silent | --silent-after BYTES | --hang-up-after BYTES]
//
// Prints the pseudo-terminal's path, serves until SIGINT or SIGTERM, then
// writes the frames it saw to the trace file. The last three options make a
// faulty reader: one that never answers, one that stops answering after so
// many bytes (in the middle of a frame, say), one that closes the
// pseudo-terminal under its client after so many bytes.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/pty_server.h"
#include "sim/sample_cards.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int usage() {
  std::fprintf(stderr,
               "usage: kdx-readersim [--link PATH] [--card NAME] [--version TEXT] [--trace FILE]\n"
               "                     [--silent | --silent-after BYTES | --hang-up-after BYTES]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link_path, card_name, version = "KDX-R2 SIM V1.00", trace_path;
  bool silent = false;
  long silent_after = -1, hang_up_after = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (option == "--silent") {
      silent = true;
      continue;
    }
    if (value == nullptr) return usage();
    ++i;
    if (option == "--link") {
      link_path = value;
    } else if (option == "--card") {
      card_name = value;
    } else if (option == "--version") {
      version = value;
    } else if (option == "--trace") {
      trace_path = value;
    } else if (option == "--silent-after") {
      silent_after = std::strtol(value, nullptr, 10);
    } else if (option == "--hang-up-after") {
      hang_up_after = std::strtol(value, nullptr, 10);
    } else {
      return usage();
    }
  }
  kdx::sim::ReaderSim reader(version);
  reader.set_silent(silent);
  if (silent_after >= 0) reader.go_silent_after(static_cast<std::size_t>(silent_after));
  if (!card_name.empty()) {
    auto card = kdx::sim::make_sample_card(card_name);
    if (card == nullptr) {
      std::fprintf(stderr, "kdx-readersim: no sample card %s\n", card_name.c_str());
      return 2;
    }
    reader.insert(std::move(card));
  }
  kdx::sim::PtyServer server(reader);
  if (server.device().empty()) {
    std::fprintf(stderr, "kdx-readersim: cannot create a pseudo-terminal\n");
    return 1;
  }
  if (!link_path.empty()) {
    unlink(link_path.c_str());
    if (symlink(server.device().c_str(), link_path.c_str()) != 0) {
      std::perror("kdx-readersim: symlink");
      return 1;
    }
  }
  if (hang_up_after >= 0) server.hang_up_after(static_cast<std::size_t>(hang_up_after));
  std::printf("%s\n", server.device().c_str());
  std::fflush(stdout);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  server.start();
  while (g_stop == 0) pause();
  server.stop();
  if (!link_path.empty()) unlink(link_path.c_str());
  if (!trace_path.empty()) {
    std::ofstream(trace_path) << reader.format_frames();
  }
  return 0;
}
