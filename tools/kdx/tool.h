// Shared pieces of the kdx tool: options, output, and the modes (one per
// reader family) that the main program dispatches to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kdx_common.h"

namespace kdx::tool {

struct Options {
  std::string device;          // empty: the embedded simulator
  uint32_t baud = 9600;
  std::string library;         // empty: the library next to the tool
  std::string card;            // sample card for the embedded simulator; empty: the command's own
  bool trace = false;          // print the simulator's frames at the end
  bool yes = false;            // confirms what cannot be undone (blowing a fuse)
  std::string family;          // dump / restore: the card family; empty: detected
  std::string type;            // dump / restore: the card type of the AT24C and AT45D
  bool auto_get_response = false;  // Tarsk apdu: follow up 61xx and 6Cxx
};

using Args = std::vector<std::string>;

// A mode handles one reader family ("velmor", "tarsk").
struct Mode {
  const char* name;
  const char* summary;
  int (*run)(const Options& options, const Args& args);  // exit status
  void (*usage)();
};

// Modes register themselves from their own files.
std::vector<Mode>& modes();
struct RegisterMode {
  explicit RegisterMode(const Mode& mode) { modes().push_back(mode); }
};

// Opens a library: `requested` when given, else lib<name>.so.<major> next
// to the tool (its build tree), in the library directory of its installed
// tree, and then on the system's search path.
void* open_library(const std::string& requested, const char* name);
// What the dynamic loader said about the last failure.
std::string library_error();

// Standard output line-buffered even into a pipe, so that what goes to it
// and to standard error stays in the order it was written.
void keep_output_in_order();

// Why the serial port at `device` cannot be used, as the system says it
// ("No such file or directory", "not a serial port" ...); empty when it can
// be opened, or for the embedded simulator (empty path).
std::string port_problem(const std::string& device);

// "status N NAME: text (message)", leaving out what is empty.
std::string status_line(StatusCode status, const char* name, const char* text, const std::string& message);

// Text from the library's GBK message table, as UTF-8.
std::string gbk_to_utf8(const uint8_t* text, std::size_t limit);

// "0x1F", "31", "1f" (hexadecimal with --hex) to a number.
std::optional<uint32_t> parse_number(const std::string& text);
// "3B 02 14 50", "3b021450" to bytes.
std::optional<std::vector<uint8_t>> parse_hex(const std::string& text);
std::string hex(const uint8_t* bytes, std::size_t count, const char* separator = " ");
// Offsets, hex and ASCII, 16 bytes a line.
std::string hex_dump(const uint8_t* bytes, std::size_t count, uint32_t first_address = 0);

// Opens the library `name` (or the one --lib names) and looks up every
// export of `api` (a bind(api, library, missing) overload); says why not and
// returns false when that fails. `title` names the library in the message.
template <typename Api>
bool load_library(const Options& options, const char* name, const char* title, Api& api) {
  void* library = open_library(options.library, name);
  if (library == nullptr) {
    std::fprintf(stderr, "kdx: cannot load the %s library (--lib FILE): %s\n", title, library_error().c_str());
    return false;
  }
  std::string missing;
  if (!bind(api, library, missing)) {
    std::fprintf(stderr, "kdx: the library has no export %s\n", missing.c_str());
    return false;
  }
  return true;
}

// Thrown by a session's api() when the session it opened on first use
// could not be opened (the opening has said why).
struct SessionNotOpened {};

// The status printing both reader sessions share, through the library's
// own message table and status descriptions; and the library's exports.
template <typename Api>
class StatusReporter {
 public:
  explicit StatusReporter(const Api& api) : api_(api) {}
  const Api& api() const { return api_; }
  // The exports for a command. A single command opens the session when it
  // first reaches for them, so that one refused for its arguments has sent
  // nothing to the reader.
  const Api& api() {
    if (deferred_open_) {
      const std::function<bool()> open = std::move(deferred_open_);
      deferred_open_ = nullptr;
      if (!open()) throw SessionNotOpened{};
    }
    return api_;
  }
  void open_when_used(std::function<bool()> open) { deferred_open_ = std::move(open); }

  std::string message(StatusCode status) const {
    uint8_t text[32] = {};
    api_.KDX_ErrorMsg(status, text);
    return gbk_to_utf8(text, sizeof text);
  }
  // "status 2 ST_PORT_INIT_FAILED: cannot open the port (初始化串口失败！)"
  std::string status_text(StatusCode status) const {
    const char* name = "";
    const char* text = "";
    api_.KDX_DescribeStatus(status, &name, &text);
    return status_line(status, name, text, message(status));
  }
  // Prints "what: status N NAME: text (message)[: detail]" on standard
  // error for a non-zero status; true for 0.
  bool check(StatusCode status, const std::string& what, const std::string& detail = "") const {
    if (status == 0) return true;
    std::fprintf(stderr, "%s: %s%s%s\n", what.c_str(), status_text(status).c_str(), detail.empty() ? "" : ": ",
                 detail.c_str());
    return false;
  }

 protected:
  const Api& api_;
  std::function<bool()> deferred_open_;
};

// The usage lines of a mode's commands (anything with `name`, `arguments`
// and `summary`); a name with arguments too long for the column has its
// summary on the next line.
template <typename Command>
void print_commands(const std::vector<Command>& commands) {
  constexpr std::size_t kColumn = 21;
  for (const auto& command : commands) {
    const std::string left = std::string(command.name) + " " + command.arguments;
    if (left.size() > kColumn) {
      std::printf("  %s\n  %-21s %s\n", left.c_str(), "", command.summary);
    } else {
      std::printf("  %-21s %s\n", left.c_str(), command.summary);
    }
  }
}

// A command line split into words; "#" starts a comment.
Args split_words(const std::string& line);
// Runs `run` on every non-empty line of standard input; true when every line
// succeeded. From a terminal: a prompt, line editing and history, `help`
// (which calls `usage`) and `quit`; otherwise each line is echoed after "> "
// so that the output shows what it answers.
bool run_lines(const std::function<bool(const Args&)>& run, void (*usage)());

// While it lives, says on standard error "kdx: waiting for WHAT..." once a
// call has taken more than a second of real time (a real reader or card
// that is slow or silent), so that a user knows the tool is not stuck.
class WaitNotice {
 public:
  explicit WaitNotice(std::string what);
  ~WaitNotice();
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// `watch [SECONDS]`: polls `present` (1 card, 0 none, -1 failed and said
// why) a few times a second and prints each insertion and removal, until
// SIGINT (Ctrl-C), a failure, or SECONDS of real time. True unless it failed.
bool watch_card(const std::function<int()>& present, const Args& args);

// The entry of `commands` (anything with a `name`) called `name`, or nullptr.
template <typename Command>
const Command* find_named(const std::vector<Command>& commands, const std::string& name) {
  for (const auto& command : commands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// Runs demonstration parts (with `order`, `title` and `run(session)`) in the
// order of their keys; true when every part succeeded.
template <typename Part, typename Session>
bool run_demo_parts(std::vector<Part> parts, Session& session) {
  std::stable_sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.order < b.order; });
  bool all_ok = true;
  for (const Part& part : parts) {
    std::printf("\n== %s\n", part.title);
    all_ok = part.run(session) && all_ok;
  }
  return all_ok;
}

// Runs the command line `args` of a mode: `shell` and `demo` in a session
// opened first; a single command in one opened when it first reaches for
// the library (never, when it needs no session). True when all succeeded.
template <typename Session, typename Part>
bool run_in_session(Session& session, const Args& args, const std::vector<Part>& demo_parts,
                    bool (*run_command)(Session&, const Args&), void (*usage)(), bool needs_session = true) {
  if (args[0] == "shell" || args[0] == "demo") {
    if (!session.open()) return false;
    if (args[0] == "demo") return run_demo_parts(demo_parts, session);
    return run_lines([&session, run_command](const Args& words) { return run_command(session, words); }, usage);
  }
  if (needs_session) session.open_when_used([&session] { return session.open(); });
  try {
    return run_command(session, args);
  } catch (const SessionNotOpened&) {
    return false;
  }
}

}  // namespace kdx::tool

// Inside a bind() function with `api`, `library` and `missing` in scope:
// looks the export `name` up, or names it in `missing` and returns false.
#define KDX_TOOL_BIND(name)                                                \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name)); \
  if (api.name == nullptr) {                                               \
    missing = #name;                                                       \
    return false;                                                          \
  }
