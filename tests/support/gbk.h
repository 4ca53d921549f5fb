// UTF-8 to GBK with the C library's iconv: an independent reference for the
// libraries' message tables.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace kdx::test {

inline std::vector<uint8_t> to_gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert UTF-8 to GBK");
  std::string in = utf8;
  std::vector<char> out(in.size() * 2 + 4);
  char* in_ptr = in.data();
  char* out_ptr = out.data();
  size_t in_left = in.size();
  size_t out_left = out.size();
  const size_t done = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1) || in_left != 0) throw std::runtime_error("not convertible: " + utf8);
  return std::vector<uint8_t>(out.data(), out_ptr);
}

}  // namespace kdx::test
