// Shared pieces of the kdx tool: options, output, and the modes (one per
// reader family) that the main program dispatches to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kdx::tool {

struct Options {
  std::string device;          // empty: the embedded simulator
  uint32_t baud = 9600;
  std::string library;         // empty: the library next to the tool
  std::string card;            // sample card for the embedded simulator; empty: the command's own
  bool trace = false;          // print the simulator's frames at the end
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

// Opens a library: `requested` when given, else lib<name>.so next to the
// tool (its build tree) and then the system's search path.
void* open_library(const std::string& requested, const char* name);

// Text from the library's GBK message table, as UTF-8.
std::string gbk_to_utf8(const uint8_t* text, std::size_t limit);

// "0x1F", "31", "1f" (hexadecimal with --hex) to a number.
std::optional<uint32_t> parse_number(const std::string& text);
// "3B 02 14 50", "3b021450" to bytes.
std::optional<std::vector<uint8_t>> parse_hex(const std::string& text);
std::string hex(const uint8_t* bytes, std::size_t count, const char* separator = " ");
// Offsets, hex and ASCII, 16 bytes a line.
std::string hex_dump(const uint8_t* bytes, std::size_t count, uint32_t first_address = 0);

}  // namespace kdx::tool
