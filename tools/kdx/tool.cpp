#include "kdx/tool.h"

#include <dlfcn.h>
#include <editline/readline.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

namespace kdx::tool {

std::vector<Mode>& modes() {
  static std::vector<Mode> all;
  return all;
}

void* open_library(const std::string& requested, const char* name) {
  constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;
  if (!requested.empty()) return dlopen(requested.c_str(), kFlags);
  const std::string file = std::string("lib") + name + ".so." + KDX_TOOL_SOVERSION;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    std::string directory(self);
    directory.resize(directory.rfind('/'));
    // The build tree (tools/ beside the libraries), then the installed tree.
    for (const char* relative : {"/../", "/", "/" KDX_TOOL_LIBDIR "/"}) {
      void* handle = dlopen((directory + relative + file).c_str(), kFlags);
      if (handle != nullptr) return handle;
    }
  }
  return dlopen(file.c_str(), kFlags);
}

std::string library_error() {
  const char* error = dlerror();
  return error != nullptr ? error : "not found";
}

void keep_output_in_order() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

std::string port_problem(const std::string& device) {
  if (device.empty()) return "";
  struct stat info {};
  if (stat(device.c_str(), &info) != 0) return device + ": " + std::strerror(errno);
  if (!S_ISCHR(info.st_mode)) return device + ": not a serial port (not a character device)";
  // The same steps as the library's own opening of the port.
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return device + ": " + std::strerror(errno);
  std::string problem;
  termios settings{};
  if (isatty(fd) == 0) {
    problem = "not a serial port";
  } else if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    problem = errno == EWOULDBLOCK || errno == EBUSY ? "in use by another program" : std::strerror(errno);
  } else if (tcgetattr(fd, &settings) != 0) {
    problem = std::strerror(errno);
  }
  ioctl(fd, TIOCNXCL);
  close(fd);
  return problem.empty() ? "" : device + ": " + problem;
}

std::string status_line(StatusCode status, const char* name, const char* text, const std::string& message) {
  std::string line = "status " + std::to_string(status);
  if (*name != '\0') line += std::string(" ") + name;
  if (*text != '\0') line += std::string(*name != '\0' ? ": " : " ") + text;
  if (!message.empty()) line += " (" + message + ")";
  return line;
}

std::string gbk_to_utf8(const uint8_t* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  std::string in(reinterpret_cast<const char*>(text), length);
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out(length * 3 + 1, '\0');
  char* in_ptr = in.data();
  char* out_ptr = out.data();
  std::size_t in_left = in.size();
  std::size_t out_left = out.size();
  iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

std::optional<uint32_t> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> parse_hex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string hex(const uint8_t* bytes, std::size_t count, const char* separator) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text += separator;
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

std::string hex_dump(const uint8_t* bytes, std::size_t count, uint32_t first_address) {
  std::string text;
  char field[16];
  for (std::size_t line = 0; line < count; line += 16) {
    std::snprintf(field, sizeof field, "%04X  ", static_cast<unsigned>(first_address + line));
    text += field;
    std::string ascii;
    for (std::size_t i = line; i < line + 16; ++i) {
      if (i < count) {
        std::snprintf(field, sizeof field, "%02X ", bytes[i]);
        text += field;
        ascii += std::isprint(bytes[i]) != 0 ? static_cast<char>(bytes[i]) : '.';
      } else {
        text += "   ";
      }
      if (i == line + 7) text += ' ';
    }
    text += " |" + ascii + "|\n";
  }
  return text;
}

Args split_words(const std::string& line) {
  Args words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    if (word[0] == '#') break;
    words.push_back(word);
  }
  return words;
}

namespace {

std::atomic<bool> g_interrupted{false};
extern "C" void on_interrupt(int) { g_interrupted = true; }

}  // namespace

struct WaitNotice::State {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread thread;
};

WaitNotice::WaitNotice(std::string what) : state_(std::make_unique<State>()) {
  constexpr auto kQuietFor = std::chrono::seconds(1);
  State& state = *state_;
  state.thread = std::thread([&state, what = std::move(what), kQuietFor] {
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!state.done.wait_for(lock, kQuietFor, [&state] { return state.finished; })) {
      std::fprintf(stderr, "kdx: waiting for %s...\n", what.c_str());
    }
  });
}

WaitNotice::~WaitNotice() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->finished = true;
  }
  state_->done.notify_one();
  state_->thread.join();
}

bool watch_card(const std::function<int()>& present, const Args& args) {
  constexpr auto kPollInterval = std::chrono::milliseconds(200);
  std::optional<uint32_t> seconds;
  if (args.size() > 1 || (args.size() == 1 && !(seconds = parse_number(args[0])))) {
    std::fprintf(stderr, "watch: expected nothing (until Ctrl-C) or a number of seconds\n");
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds.value_or(0));
  g_interrupted = false;
  const auto previous = std::signal(SIGINT, on_interrupt);
  std::printf("watching the card slot%s\n", seconds ? "" : " (Ctrl-C ends)");
  int last = -2;
  bool ok = true;
  while (!g_interrupted && (!seconds || std::chrono::steady_clock::now() < end)) {
    const int now = present();
    if (now < 0) {
      ok = false;
      break;
    }
    if (now != last) {
      std::printf("%s\n", last == -2 ? (now != 0 ? "a card is in the slot" : "the slot is empty")
                                     : (now != 0 ? "card inserted" : "card removed"));
      last = now;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  std::signal(SIGINT, previous);
  return ok;
}

namespace {

bool is_quit(const Args& words) { return words.size() == 1 && (words[0] == "quit" || words[0] == "exit"); }
bool is_help(const Args& words) { return words.size() == 1 && (words[0] == "help" || words[0] == "?"); }

// The next line: from a terminal edited with libedit (its history lasts the
// session), otherwise as it comes; false at the end of the input.
bool next_line(bool terminal, std::string& line) {
  if (!terminal) return static_cast<bool>(std::getline(std::cin, line));
  char* input = readline("kdx> ");
  if (input == nullptr) return false;
  line = input;
  std::free(input);
  return true;
}

}  // namespace

bool run_lines(const std::function<bool(const Args&)>& run, void (*usage)()) {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  if (terminal) std::printf("kdx shell: `help` lists the commands, `quit` or Ctrl-D ends\n");
  bool all_ok = true;
  std::string line;
  while (next_line(terminal, line)) {
    const Args words = split_words(line);
    if (words.empty()) continue;
    if (terminal) {
      add_history(line.c_str());
    } else {
      std::printf("> %s\n", line.c_str());
    }
    if (is_quit(words)) break;
    if (is_help(words)) {
      usage();
      continue;
    }
    all_ok = run(words) && all_ok;
  }
  return all_ok;
}

}  // namespace kdx::tool
