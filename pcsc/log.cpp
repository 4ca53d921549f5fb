#include "pcsc/log.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace kdx::ifd {
namespace {

using PcscLog = void (*)(int, const char*, ...);

// Never destroyed: a call may log while the process exits.
std::mutex& sink_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::function<void(LogLevel, const std::string&)>& sink() {
  static auto* current = new std::function<void(LogLevel, const std::string&)>;
  return *current;
}

PcscLog daemon_log() {
  static const PcscLog found = reinterpret_cast<PcscLog>(dlsym(RTLD_DEFAULT, "log_msg"));
  return found;
}

}  // namespace

void log_line(LogLevel level, const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  const std::lock_guard<std::mutex> held(sink_mutex());
  if (sink()) {
    sink()(level, text);
  } else if (PcscLog log = daemon_log()) {
    log(static_cast<int>(level), "kdx ifd: %s", text);
  } else {
    std::fprintf(stderr, "kdx ifd: %s\n", text);
  }
}

void set_log_sink(std::function<void(LogLevel, const std::string&)> replacement) {
  const std::lock_guard<std::mutex> held(sink_mutex());
  sink() = std::move(replacement);
}

}  // namespace kdx::ifd
