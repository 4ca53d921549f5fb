#include "kdx/velmor_mode.h"

#include <cstdio>

#include "sim/sample_cards.h"

namespace kdx::tool {
namespace {

constexpr uint32_t kPortIndex = 0;

const VelmorCommand* find_command(const std::string& name) { return find_named(velmor_commands(), name); }

bool run_command(VelmorSession& session, const Args& words) {
  const VelmorCommand* command = find_command(words[0]);
  if (command == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", words[0].c_str());
    return false;
  }
  if (command->sample_card != nullptr) session.use_sample_card(command->sample_card);
  return command->run(session, Args(words.begin() + 1, words.end()));
}

void usage();

int run(const Options& options, const Args& args) {
  if (!options.card.empty() && sim::make_sample_card(options.card) == nullptr) {
    std::fprintf(stderr, "kdx: no sample card %s (kdx --help lists them)\n", options.card.c_str());
    return 2;
  }
  VelmorApi api;
  if (!load_library(options, "velmor", "Velmor", api)) return 2;
  const bool shell = args[0] == "shell";
  const bool demo = args[0] == "demo";
  if (!shell && !demo && find_command(args[0]) == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", args[0].c_str());
    return 2;
  }
  VelmorSession session(options, api);
  const bool ok = run_in_session(session, args, velmor_demo_parts(), &run_command, &usage);
  session.close();
  if (options.trace && session.simulator() != nullptr) {
    std::printf("\nframes (> to the reader, < from it):\n%s", session.simulator()->format_frames().c_str());
  } else if (options.trace) {
    std::printf("\n%s (> to the reader, < from it, = line settings):\n%s", options.device.c_str(),
                session.port_trace().c_str());
  }
  return ok ? 0 : 1;
}

void usage() {
  std::printf("  demo                  a short session against the simulated reader\n");
  std::printf("  shell                 commands from standard input, one per line, in one session\n");
  print_commands(velmor_commands());
  std::printf("  sample cards (--card NAME):\n");
  for (const auto& card : sim::sample_cards()) std::printf("    %-19s %s\n", card.name, card.description);
}

const RegisterMode kVelmorMode({"velmor", "the reader with its own microcontroller (framed serial link)", &run, &usage});

}  // namespace

std::vector<VelmorCommand>& velmor_commands() {
  static std::vector<VelmorCommand> all;
  return all;
}

std::vector<DemoPart>& velmor_demo_parts() {
  static std::vector<DemoPart> all;
  return all;
}

VelmorSession::VelmorSession(const Options& options, const VelmorApi& api)
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
  embedded_->reader.attach_to(embedded_->port);
  api_.KDX_SetPortBackend(kPortIndex, &embedded_->port.backend());
  if (!options_.card.empty()) {
    // (run() has refused an unknown name)
    embedded_->reader.insert(sim::make_sample_card(options_.card));
    card_chosen_ = true;
  }
}

VelmorSession::~VelmorSession() {
  close();
  if (embedded_ || traced_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
}

void VelmorSession::use_sample_card(const char* name) {
  if (!embedded_ || card_chosen_) return;
  if (sample_in_slot_ == name && embedded_->reader.card() != nullptr) return;
  embedded_->reader.insert(sim::make_sample_card(name));
  sample_in_slot_ = name;
  open_card_.clear();
  close_card_ = nullptr;
}

void VelmorSession::card_opened(const std::string& family, std::function<void()> close_card) {
  open_card_ = family;
  close_card_ = std::move(close_card);
}

bool VelmorSession::open() {
  const StatusCode status = [this] {
    const WaitNotice notice("the reader to answer");
    return api_.KDX_InitComm(kPortIndex, options_.baud);
  }();
  open_ = status == ST_OK || status == ST_NO_DEVICE || status == ST_COMM_ERROR;
  const bool port_refused = status == ST_PORT_INIT_FAILED || status == ST_GET_STATE_FAILED || status == ST_SET_STATE_FAILED;
  return check(status, "open", port_refused ? port_problem(options_.device) : "");
}

bool VelmorSession::close_card() {
  if (!close_card_) return false;
  const std::function<void()> close = std::move(close_card_);
  close_card_ = nullptr;
  open_card_.clear();
  close();
  return true;
}

void VelmorSession::close() {
  if (!open_) return;
  close_card();
  open_ = false;
  check(api_.KDX_ExitComm(), "close");
}

}  // namespace kdx::tool
