#include "kdx/tool.h"

#include <dlfcn.h>
#include <iconv.h>
#include <unistd.h>

#include <cctype>
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
  const std::string file = std::string("lib") + name + ".so";
  if (!requested.empty()) return dlopen(requested.c_str(), RTLD_NOW | RTLD_LOCAL);
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    std::string directory(self);
    directory.resize(directory.rfind('/'));
    for (const char* relative : {"/../", "/"}) {
      void* handle = dlopen((directory + relative + file).c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle != nullptr) return handle;
    }
  }
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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

bool run_lines(const std::function<bool(const Args&)>& run) {
  bool all_ok = true;
  std::string line;
  while (std::getline(std::cin, line)) {
    const Args words = split_words(line);
    if (words.empty()) continue;
    std::printf("> %s\n", line.c_str());
    all_ok = run(words) && all_ok;
  }
  return all_ok;
}

}  // namespace kdx::tool
