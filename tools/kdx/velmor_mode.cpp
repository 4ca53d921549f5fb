#include "kdx/velmor_mode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "sim/sample_cards.h"

namespace kdx::tool {
namespace {

constexpr uint32_t kPortIndex = 0;

const VelmorCommand* find_command(const std::string& name) {
  for (const auto& command : velmor_commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

Args split(const std::string& line) {
  Args words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    if (word[0] == '#') break;
    words.push_back(word);
  }
  return words;
}

bool run_command(VelmorSession& session, const Args& words) {
  const VelmorCommand* command = find_command(words[0]);
  if (command == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", words[0].c_str());
    return false;
  }
  if (command->sample_card != nullptr) session.use_sample_card(command->sample_card);
  return command->run(session, Args(words.begin() + 1, words.end()));
}

bool run_shell(VelmorSession& session) {
  bool all_ok = true;
  std::string line;
  while (std::getline(std::cin, line)) {
    const Args words = split(line);
    if (words.empty()) continue;
    std::printf("> %s\n", line.c_str());
    all_ok = run_command(session, words) && all_ok;
  }
  return all_ok;
}

bool run_demo(VelmorSession& session) {
  auto parts = velmor_demo_parts();
  std::stable_sort(parts.begin(), parts.end(), [](const DemoPart& a, const DemoPart& b) { return a.order < b.order; });
  bool all_ok = true;
  for (const DemoPart& part : parts) {
    std::printf("\n== %s\n", part.title);
    all_ok = part.run(session) && all_ok;
  }
  return all_ok;
}

int run(const Options& options, const Args& args) {
  void* library = open_library(options.library, "velmor");
  if (library == nullptr) {
    std::fprintf(stderr, "kdx: cannot load the Velmor library (--lib FILE)\n");
    return 2;
  }
  VelmorApi api;
  std::string missing;
  if (!bind(api, library, missing)) {
    std::fprintf(stderr, "kdx: the library has no export %s\n", missing.c_str());
    return 2;
  }
  const bool shell = args[0] == "shell";
  const bool demo = args[0] == "demo";
  if (!shell && !demo && find_command(args[0]) == nullptr) {
    std::fprintf(stderr, "kdx: unknown command %s (kdx --help)\n", args[0].c_str());
    return 2;
  }
  VelmorSession session(options, api);
  bool ok = session.open();
  if (ok) {
    if (shell) {
      ok = run_shell(session);
    } else if (demo) {
      ok = run_demo(session);
    } else {
      ok = run_command(session, args);
    }
  }
  session.close();
  if (options.trace && session.simulator() != nullptr) {
    std::printf("\nframes (> to the reader, < from it):\n%s", session.simulator()->format_frames().c_str());
  }
  return ok ? 0 : 1;
}

void usage() {
  std::size_t width = 0;
  for (const auto& command : velmor_commands()) {
    width = std::max(width, std::strlen(command.name) + 1 + std::strlen(command.arguments));
  }
  const int column = static_cast<int>(width);
  std::printf("  %-*s %s\n", column, "demo", "a short session against the simulated reader");
  std::printf("  %-*s %s\n", column, "shell", "commands from standard input, one per line, in one session");
  for (const auto& command : velmor_commands()) {
    std::string left = std::string(command.name) + " " + command.arguments;
    std::printf("  %-*s %s\n", column, left.c_str(), command.summary);
  }
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

VelmorSession::VelmorSession(const Options& options, const VelmorApi& api) : options_(options), api_(api) {
  if (!options_.device.empty()) {
    api_.KDX_SetPortDevice(kPortIndex, options_.device.c_str());
    return;
  }
  embedded_ = std::make_unique<Embedded>();
  embedded_->reader.attach_to(embedded_->port);
  api_.KDX_SetPortBackend(kPortIndex, &embedded_->port.backend());
  if (!options_.card.empty()) {
    auto card = sim::make_sample_card(options_.card);
    if (card == nullptr) {
      std::fprintf(stderr, "kdx: no sample card %s; the slot stays empty\n", options_.card.c_str());
    } else {
      embedded_->reader.insert(std::move(card));
    }
    card_chosen_ = true;
  }
}

VelmorSession::~VelmorSession() {
  close();
  if (embedded_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
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
  const StatusCode status = api_.KDX_InitComm(kPortIndex, options_.baud);
  open_ = status == ST_OK || status == ST_NO_DEVICE || status == ST_COMM_ERROR;
  return check(status, "open");
}

void VelmorSession::close() {
  if (!open_) return;
  if (close_card_) {
    const std::function<void()> close_card = std::move(close_card_);
    close_card_ = nullptr;
    open_card_.clear();
    close_card();
  }
  open_ = false;
  check(api_.KDX_ExitComm(), "close");
}

std::string VelmorSession::message(StatusCode status) const {
  uint8_t text[32] = {};
  api_.KDX_ErrorMsg(status, text);
  return gbk_to_utf8(text, sizeof text);
}

bool VelmorSession::check(StatusCode status, const std::string& what) const {
  if (status == ST_OK) return true;
  std::printf("%s: status %u (%s)\n", what.c_str(), static_cast<unsigned>(status), message(status).c_str());
  return false;
}

}  // namespace kdx::tool
