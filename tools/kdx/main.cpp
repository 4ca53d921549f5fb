// kdx: a command-line tool for the two reader libraries.
//
//   kdx [options] COMMAND [ARGUMENTS]        one command in one session
//   kdx [options] shell                       commands from standard input
//   kdx --reader tarsk [options] COMMAND      the serial-line reader
//
// Without --device the tool talks to a simulated reader embedded in it, on a
// virtual clock; with --device it opens that serial port. Options may stand
// anywhere on the line; "--" ends them.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "kdx/atr_explain.h"
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

// The options' help, then each mode's commands (the mode prints them).
void usage(const CLI::App& app) {
  std::cout << app.help() << "\n" << std::flush;
  std::printf("either reader:\n");
  std::printf("  %-21s %s\n", "atr-explain HEX", "explain any ATR offline (names the card where pcsc-tools' list is installed)");
  std::printf("  %-21s %s\n\n", "watch", "report card insertion and removal until interrupted (Ctrl-C)");
  for (const auto& mode : modes_in_order()) {
    std::printf("%s: %s\n", mode.name, mode.summary);
    mode.usage();
    std::printf("\n");
  }
  std::printf("Hex arguments may be written 00A40400, \"00 A4 04 00\" or 00:A4:04:00.\n");
}

}  // namespace

int main(int argc, char** argv) {
  kdx::tool::keep_output_in_order();
  Options options;
  std::string reader = kDefaultReader;
  std::string baud;
  Args args;

  CLI::App app{"kdx: the Velmor and Tarsk smart-card readers, real or simulated", "kdx"};
  app.set_help_flag();  // printed below, with the modes' commands
  bool help = false;
  app.add_flag("-h,--help", help, "print this help and exit");
  app.set_version_flag("--version", std::string("kdx ") + KDX_VERSION);
  std::vector<std::string> reader_names;
  for (const auto& mode : modes_in_order()) reader_names.emplace_back(mode.name);
  app.add_option("--reader", reader, "reader family (default velmor)")
      ->type_name("NAME")
      ->check(CLI::IsMember(reader_names));
  app.add_option("--device", options.device, "a real reader on this serial port (default: the embedded simulator)")
      ->type_name("PATH");
  app.add_option("--baud", baud, "line rate in bit/s (default 9600)")
      ->type_name("N")
      ->check([](const std::string& text) {
        return kdx::tool::parse_number(text) ? std::string() : "expected a number of bits per second, e.g. 9600";
      });
  app.add_option("--card", options.card, "the card in the simulated reader (default: the command's own sample)")
      ->type_name("NAME");
  app.add_flag("--trace", options.trace, "print the bytes or frames on the line");
  app.add_flag("--yes", options.yes, "confirm what cannot be undone (blowing a card's fuse)");
  app.add_option("--family", options.family, "dump / restore: the card family (default: detected)")->type_name("NAME");
  app.add_option("--type", options.type, "dump / restore: the AT24C or AT45D card type")->type_name("N");
  app.add_flag("--auto-get-response", options.auto_get_response,
               "Tarsk apdu: follow 61xx with GET RESPONSE and 6Cxx with the command again at the right Le");
  app.add_option("--lib", options.library, "the library to load (default: the installed one, or the build tree's)")
      ->type_name("FILE");
  app.add_option("command", args, "COMMAND and its ARGUMENTS (see below); `shell` reads commands from standard input")
      ->type_name("COMMAND [ARGUMENTS]");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    return app.exit(success);  // --version
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "kdx: %s (kdx --help)\n", error.what());
    return 2;
  }
  if (help || (!args.empty() && args[0] == "help" && args.size() == 1)) {
    usage(app);
    return 0;
  }
  if (args.empty()) {
    std::fprintf(stderr, "kdx: expected a command, e.g. `kdx demo` (kdx --help lists them)\n");
    return 2;
  }
  if (!baud.empty()) options.baud = *kdx::tool::parse_number(baud);
  if (!options.device.empty() && !options.card.empty()) {
    std::fprintf(stderr, "kdx: --card chooses the simulator's card; it has no meaning with --device\n");
    return 2;
  }
  if (args[0] == "atr-explain") return kdx::tool::explain_atr_command(Args(args.begin() + 1, args.end()));
  for (const auto& mode : kdx::tool::modes()) {
    if (reader == mode.name) return mode.run(options, args);
  }
  return 2;  // (IsMember above admits only registered modes)
}
