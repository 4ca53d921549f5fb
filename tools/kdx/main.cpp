// kdx: a command-line tool for the two reader libraries.
//
//   kdx [options] COMMAND [ARGUMENTS]        one command in one session
//   kdx [options] shell                       commands from standard input
//   kdx --reader tarsk [options] COMMAND      the serial-line reader
//
// Without --device the tool talks to a simulated reader embedded in it, on a
// virtual clock; with --device it opens that serial port.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "kdx/tool.h"

namespace {

using kdx::tool::Args;
using kdx::tool::Options;

constexpr const char* kDefaultReader = "velmor";

// The modes, the default one first (they register in no particular order).
std::vector<kdx::tool::Mode> modes_in_order() {
  std::vector<kdx::tool::Mode> ordered = kdx::tool::modes();
  std::stable_partition(ordered.begin(), ordered.end(),
                        [](const kdx::tool::Mode& mode) { return std::string(mode.name) == kDefaultReader; });
  return ordered;
}

void usage() {
  std::printf(
      "usage: kdx [--reader NAME] [--device PATH] [--baud N] [--card NAME] [--trace] [--lib FILE]\n"
      "           COMMAND [ARGUMENTS]\n\n"
      "  --reader NAME  reader family:");
  for (const auto& mode : modes_in_order()) std::printf(" %s", mode.name);
  std::printf(
      " (default velmor)\n"
      "  --device PATH  a real reader on this serial port (default: the embedded simulator)\n"
      "  --baud N       line rate (default 9600)\n"
      "  --card NAME    the card in the simulated reader (default: the command's own sample)\n"
      "  --trace        print the simulated reader's frames at the end\n"
      "  --lib FILE     the library to load (default: the one next to this tool)\n\n");
  for (const auto& mode : modes_in_order()) {
    std::printf("%s: %s\n", mode.name, mode.summary);
    mode.usage();
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string reader = kDefaultReader;
  Args args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (!args.empty()) {
      args.push_back(arg);
    } else if (arg == "--reader" && has_value) {
      reader = argv[++i];
    } else if (arg == "--device" && has_value) {
      options.device = argv[++i];
    } else if (arg == "--baud" && has_value) {
      const auto baud = kdx::tool::parse_number(argv[++i]);
      if (!baud) {
        std::fprintf(stderr, "kdx: bad baud rate %s\n", argv[i]);
        return 2;
      }
      options.baud = *baud;
    } else if (arg == "--card" && has_value) {
      options.card = argv[++i];
    } else if (arg == "--lib" && has_value) {
      options.library = argv[++i];
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--help" || arg == "-h" || arg == "help") {
      usage();
      return 0;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "kdx: unknown option %s (kdx --help)\n", arg.c_str());
      return 2;
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) {
    usage();
    return 2;
  }
  for (const auto& mode : kdx::tool::modes()) {
    if (reader == mode.name) return mode.run(options, args);
  }
  std::fprintf(stderr, "kdx: unknown reader %s (kdx --help)\n", reader.c_str());
  return 2;
}
