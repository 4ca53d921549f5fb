#include "kdx/memory_image.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kdx::tool::image {
namespace {

using Clock = std::chrono::steady_clock;

// A progress line at most once a second of real time, and the last one.
constexpr std::chrono::seconds kProgressInterval{1};

void show(const std::string& label, std::size_t done, std::size_t total, Clock::time_point started) {
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const double remaining = done == 0 ? 0 : elapsed * static_cast<double>(total - done) / static_cast<double>(done);
  std::fprintf(stderr, "\r%s: %zu/%zu bytes, elapsed %.0f s, remaining %.0f s  ", label.c_str(), done, total, elapsed,
               remaining);
  std::fflush(stderr);
}

}  // namespace

bool file_arguments(const std::vector<std::string>& args) {
  if (args.size() == 2) return true;
  std::fprintf(stderr, "expected TYPE FILE\n");
  return false;
}

bool read_file(const std::string& path, std::size_t size, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (bytes.size() != size) {
    std::fprintf(stderr, "%s holds %zu bytes; the card takes exactly %zu\n", path.c_str(), bytes.size(), size);
    return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool in_pieces(const std::string& label, std::size_t total, std::size_t piece,
               const std::function<bool(std::size_t offset, std::size_t count)>& step) {
  const Clock::time_point started = Clock::now();
  Clock::time_point shown = started;
  bool ok = true;
  for (std::size_t offset = 0; offset < total && ok; offset += piece) {
    if (Clock::now() - shown >= kProgressInterval) {
      show(label, offset, total, started);
      shown = Clock::now();
    }
    ok = step(offset, std::min(piece, total - offset));
  }
  if (ok) show(label, total, total, started);
  std::fprintf(stderr, "\n");
  return ok;
}

long first_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const auto [in_a, in_b] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (in_a == a.end() && in_b == b.end()) return -1;
  return static_cast<long>(in_a - a.begin());
}

}  // namespace kdx::tool::image
