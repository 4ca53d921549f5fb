#include "kdx/tarsk_mode.h"

#include <cstdio>

namespace kdx::tool {
namespace {

constexpr uint32_t kPortIndex = 0;

bool run_command(TarskSession& session, const Args& words) {
  const TarskCommand* command = find_named(tarsk_commands(), words[0]);
  if (command == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", words[0].c_str());
    return false;
  }
  return command->run(session, Args(words.begin() + 1, words.end()));
}

void usage();

int run(const Options& options, const Args& args) {
  TarskApi api;
  if (!load_library(options, "tarsk", "Tarsk", api)) return 2;
  if (!options.card.empty() && !known_card(options.card)) {
    std::fprintf(stderr, "kdx: unknown card %s for the simulated slot (kdx --help)\n", options.card.c_str());
    return 2;
  }
  const bool shell = args[0] == "shell";
  const bool demo = args[0] == "demo";
  const TarskCommand* single = find_named(tarsk_commands(), args[0]);
  if (!shell && !demo && single == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", args[0].c_str());
    return 2;
  }
  TarskSession session(options, api);
  const bool ok =
      run_in_session(session, args, tarsk_demo_parts(), &run_command, &usage, single == nullptr || single->needs_session);
  session.close();
  if (options.trace) {
    std::printf("\n%s (> to the card, < from the line, = settings as written; T=1 blocks decoded):\n%s",
                session.simulated() ? "simulated line" : options.device.c_str(), session.format_trace().c_str());
  }
  return ok ? 0 : 1;
}

void usage() {
  std::printf("  demo                  a short session against the simulated interface device\n");
  std::printf("  shell                 commands from standard input, one per line, in one session\n");
  print_commands(tarsk_commands());
  print_slot_cards();
}

const RegisterMode kTarskMode({"tarsk", "the serial-line reader (the host speaks ISO/IEC 7816-3 itself)", &run, &usage});

const char* parity_letter(uint8_t parity) {
  switch (parity) {
    case KDX_PARITY_ODD: return "O";
    case KDX_PARITY_EVEN: return "E";
    case KDX_PARITY_MARK: return "M";
    case KDX_PARITY_SPACE: return "S";
    default: return "N";
  }
}

std::string describe(const KDX_LineSettings& line) {
  char text[96];
  std::snprintf(text, sizeof text, "%u %u%s%s DTR %s RTS %s", static_cast<unsigned>(line.baud_rate),
                static_cast<unsigned>(line.byte_size), parity_letter(line.parity),
                line.stop_bits == KDX_STOPBITS_TWO ? "2" : line.stop_bits == KDX_STOPBITS_ONE_HALF ? "1.5" : "1",
                line.dtr_control == KDX_LINE_CONTROL_ENABLE ? "on" : "off",
                line.rts_control == KDX_LINE_CONTROL_ENABLE ? "on" : "off");
  return text;
}

}  // namespace

std::vector<TarskCommand>& tarsk_commands() {
  static std::vector<TarskCommand> all;
  return all;
}

std::vector<TarskDemoPart>& tarsk_demo_parts() {
  static std::vector<TarskDemoPart> all;
  return all;
}

TarskSession::TarskSession(const Options& options, const TarskApi& api)
    : StatusReporter(api), options_(options) {
  if (!options_.device.empty()) {
    if (options_.trace) {
      traced_ = std::make_unique<TracedPort>(options_.device);
      api_.KDX_SetPortBackend(kPortIndex, traced_->backend());
    } else {
      api_.KDX_SetPortDevice(kPortIndex, options_.device.c_str());
    }
    return;
  }
  embedded_ = std::make_unique<Embedded>();
  api_.KDX_SetPortBackend(kPortIndex, &embedded_->port.backend());
  put_card(options_.card.empty() ? kDefaultCard : options_.card);
}

bool TarskSession::put_card(const std::string& card) {
  if (!embedded_ || !known_card(card)) return false;
  card_name_ = card;
  auto held = embedded_->clock.lock();
  embedded_->device.insert(make_slot_card(card));
  return true;
}

bool TarskSession::port_state(KDX_LineSettings& settings, KDX_Timeouts& timeouts) const {
  if (!embedded_) return false;
  settings = embedded_->port.settings();
  timeouts = embedded_->port.timeouts();
  return true;
}

TarskSession::~TarskSession() {
  close();
  if (embedded_ || traced_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
}

bool TarskSession::open() {
  const StatusCode status = [this] {
    const WaitNotice notice("the interface device to answer");
    return api_.KDX_InitComm(kPortIndex, options_.baud);
  }();
  open_ = status == ST_OK;
  const bool port_refused = status == ST_PORT_INIT_FAILED || status == ST_GET_STATE_FAILED || status == ST_SET_STATE_FAILED;
  return check(status, "open", port_refused ? port_problem(options_.device) : "");
}

void TarskSession::close() {
  if (!open_) return;
  open_ = false;
  check(api_.KDX_ExitComm(), "close");
}

std::vector<LineEvent> TarskSession::line_events() const {
  if (traced_) return traced_->events();
  if (!embedded_ || !options_.trace) return {};
  auto held = embedded_->clock.lock();
  return simulated_line_events(embedded_->device, &describe);
}

std::string TarskSession::format_trace() const {
  const std::vector<LineEvent> events = line_events();
  const LineDecoding decoding = decode_line(events, !simulated());
  return format_line_trace(events, &decoding, simulated());
}

}  // namespace kdx::tool
