// The tool's Tarsk mode: one session with the serial-line reader (embedded
// simulated interface device or a real port), and the commands that run in
// it. Command files register their commands and their part of the
// demonstration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kdx/tarsk_api.h"
#include "kdx/tool.h"
#include "kdx/traced_port.h"
#include "sim/serial_line_device.h"
#include "sim/virtual_port.h"

namespace kdx::tool {

class TarskSession : public StatusReporter<TarskApi> {
 public:
  TarskSession(const Options& options, const TarskApi& api);
  ~TarskSession();

  // The simulated interface device, or nullptr on a real port. Call its
  // members only through with_device(), which holds the clock's lock.
  bool simulated() const { return embedded_ != nullptr; }
  template <typename Action>
  void with_device(Action action) {
    if (!embedded_) return;
    auto held = embedded_->clock.lock();
    action(embedded_->device);
  }

  // Opens and closes the library session; open() prints a failure.
  bool open();
  void close();

  // Puts the card named `card` (see make_slot_card) in the simulated slot,
  // in place of the one there; false for an unknown name.
  bool put_card(const std::string& card);
  // The last card put in the slot ("none" for an empty slot).
  const std::string& card_name() const { return card_name_; }
  // The simulated port's line settings and time-outs; false on a real port.
  bool port_state(KDX_LineSettings& settings, KDX_Timeouts& timeouts) const;

  bool tracing() const { return options_.trace; }
  bool auto_get_response() const { return options_.auto_get_response; }

  // What went over the line so far under --trace (a real port's writes,
  // reads and settings, or the simulated line's bytes both ways and its
  // settings), else nothing; and the T=1 blocks in it.
  std::vector<LineEvent> line_events() const;
  LineDecoding decode() const { return decode_line(line_events(), !simulated()); }
  // The line trace as text, the decoded blocks among the bytes.
  std::string format_trace() const;

 private:
  struct Embedded {
    sim::VirtualClock clock;
    sim::VirtualPort port{clock};
    sim::SerialLineDevice device{port};
  };
  const Options& options_;
  std::unique_ptr<Embedded> embedded_;
  std::unique_ptr<TracedPort> traced_;  // a real port under --trace
  std::string card_name_;
  bool open_ = false;
};

struct TarskCommand {
  const char* name;
  const char* arguments;  // usage text of the arguments
  const char* summary;
  bool needs_session;     // run on an open session (opened first when alone)
  // Returns false when the command failed (it has said why).
  bool (*run)(TarskSession& session, const Args& args);
};

std::vector<TarskCommand>& tarsk_commands();

// What --card and the simulator's insert take: "none" (no card), "silent" (a
// card that never answers), the name of a sample card, or an ATR in hex (a
// card that answers with it). nullptr for "none" and for anything else
// unknown; known_card() tells them apart.
std::unique_ptr<sim::SlotCard> make_slot_card(const std::string& card);
bool known_card(const std::string& card);
inline constexpr const char* kEmptySlot = "none";
inline constexpr const char* kDefaultCard = "t0";
// The usage lines of the sample cards.
void print_slot_cards();

// A part of `kdx --reader tarsk demo`; parts run in the order of their keys.
struct TarskDemoPart {
  int order;
  const char* title;
  bool (*run)(TarskSession& session);
};
std::vector<TarskDemoPart>& tarsk_demo_parts();

struct RegisterTarsk {
  explicit RegisterTarsk(std::initializer_list<TarskCommand> commands) {
    for (const auto& command : commands) tarsk_commands().push_back(command);
  }
  explicit RegisterTarsk(const TarskDemoPart& part) { tarsk_demo_parts().push_back(part); }
};

}  // namespace kdx::tool
