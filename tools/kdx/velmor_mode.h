// The tool's Velmor mode: one session with the reader (embedded simulator
// or a real port), and the commands that run in it. Command files register
// their commands and their part of the demonstration.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kdx/tool.h"
#include "kdx/traced_port.h"
#include "kdx/velmor_api.h"
#include "sim/reader_sim.h"
#include "sim/virtual_port.h"

namespace kdx::tool {

class VelmorSession : public StatusReporter<VelmorApi> {
 public:
  VelmorSession(const Options& options, const VelmorApi& api);
  ~VelmorSession();

  const Options& options() const { return options_; }
  // The simulated reader, or nullptr on a real port.
  sim::ReaderSim* simulator() { return embedded_ ? &embedded_->reader : nullptr; }

  // Puts a sample card in the simulated reader's slot unless the user chose
  // one with --card, or this sample is there already (so that a shell
  // session keeps what it wrote); nothing on a real port.
  void use_sample_card(const char* name);

  // The card a command powered, so that the commands of one session power it
  // once and the session unpowers it at its end. A new card in the slot is
  // unpowered again.
  bool card_is_open(const std::string& family) const { return open_card_ == family; }
  void card_opened(const std::string& family, std::function<void()> close_card);
  // Unpowers the card a command powered (false when there is none).
  bool close_card();

  // What went over a real port under --trace, else empty.
  std::string port_trace() const { return traced_ ? traced_->format() : ""; }

  // Opens and closes the library session.
  bool open();
  void close();

 private:
  struct Embedded {
    sim::VirtualClock clock;
    sim::VirtualPort port{clock};
    sim::ReaderSim reader;
  };
  const Options& options_;
  std::unique_ptr<Embedded> embedded_;
  std::unique_ptr<TracedPort> traced_;  // a real port under --trace
  bool card_chosen_ = false;
  std::string sample_in_slot_;
  std::string open_card_;
  std::function<void()> close_card_;
  bool open_ = false;
};

struct VelmorCommand {
  const char* name;
  const char* arguments;  // usage text of the arguments
  const char* summary;
  const char* sample_card;  // put in the simulated slot before it runs, or nullptr
  // Returns false when the command failed (it has said why).
  bool (*run)(VelmorSession& session, const Args& args);
};

std::vector<VelmorCommand>& velmor_commands();

// A part of `kdx demo`; parts run in the order of their keys.
struct DemoPart {
  int order;
  const char* title;
  bool (*run)(VelmorSession& session);
};
std::vector<DemoPart>& velmor_demo_parts();

struct RegisterVelmor {
  explicit RegisterVelmor(std::initializer_list<VelmorCommand> commands) {
    for (const auto& command : commands) velmor_commands().push_back(command);
  }
  explicit RegisterVelmor(const DemoPart& part) { velmor_demo_parts().push_back(part); }
};

}  // namespace kdx::tool
