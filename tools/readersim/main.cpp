// kdx-readersim: the simulated reader on a pseudo-terminal, for any program
// that opens a serial port (a library built for Linux with the device
// mapping, or the Windows build under Wine with COM1 mapped to the pty).
//
//   kdx-readersim [--link PATH] [--card NAME] [--version-text TEXT] [--trace FILE]
//                 [--line-rate] [--silent | --silent-after BYTES | --hang-up-after BYTES]
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

#include <CLI/CLI.hpp>

#include "sim/pty_server.h"
#include "sim/sample_cards.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::string link_path, card_name, version = "KDX-R2 SIM V1.00", trace_path;
  bool silent = false;
  bool line_rate = false;
  long silent_after = -1, hang_up_after = -1;

  CLI::App app{"kdx-readersim: a simulated Velmor reader on a pseudo-terminal. Prints the pseudo-terminal's path, "
               "serves until SIGINT or SIGTERM, then writes the frames it saw to the trace file.",
               "kdx-readersim"};
  app.set_version_flag("--version", std::string("kdx-readersim ") + KDX_VERSION);
  app.add_option("--link", link_path, "a symbolic link to the pseudo-terminal, e.g. /tmp/ttyKDX0")->type_name("PATH");
  std::string cards;
  for (const auto& card : kdx::sim::sample_cards()) cards += std::string(cards.empty() ? "" : ", ") + card.name;
  app.add_option("--card", card_name, "a sample card in the slot: " + cards)
      ->type_name("NAME")
      ->check([](const std::string& name) {
        return kdx::sim::make_sample_card(name) != nullptr ? std::string() : "no sample card " + name;
      });
  app.add_option("--version-text", version, "the reader's version text (default \"KDX-R2 SIM V1.00\")")
      ->type_name("TEXT");
  app.add_option("--trace", trace_path, "write the frames to this file at exit")->type_name("FILE");
  app.add_flag("--line-rate", line_rate,
               "pace the bytes both ways at the baud rate the client sets, as on a real wire");
  auto* silent_option = app.add_flag("--silent", silent, "a reader that never answers");
  auto* after = app.add_option("--silent-after", silent_after, "stop answering after so many bytes")
                    ->type_name("BYTES")
                    ->check(CLI::NonNegativeNumber);
  auto* hang_up = app.add_option("--hang-up-after", hang_up_after,
                                 "close the pseudo-terminal under its client after so many bytes")
                      ->type_name("BYTES")
                      ->check(CLI::NonNegativeNumber);
  silent_option->excludes(after)->excludes(hang_up);
  after->excludes(hang_up);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    return app.exit(success);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "kdx-readersim: %s (kdx-readersim --help)\n", error.what());
    return 2;
  }
  kdx::sim::ReaderSim reader(version);
  reader.set_silent(silent);
  if (silent_after >= 0) reader.go_silent_after(static_cast<std::size_t>(silent_after));
  if (!card_name.empty()) {
    reader.insert(kdx::sim::make_sample_card(card_name));
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
  server.pace_at_line_rate(line_rate);
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
