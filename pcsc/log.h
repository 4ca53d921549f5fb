// Log lines through pcscd's debug output (its log_msg, found in the process
// at run time), or standard error outside pcscd. Tests can take the lines.
#pragma once

#include <functional>
#include <string>

namespace kdx::ifd {

enum class LogLevel : int { debug = 0, info = 1, error = 2, critical = 3 };  // PCSC_LOG_...

void log_line(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replaces the output (nullptr: back to pcscd's or standard error).
void set_log_sink(std::function<void(LogLevel, const std::string&)> sink);

}  // namespace kdx::ifd
