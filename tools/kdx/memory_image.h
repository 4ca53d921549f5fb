// Whole-memory images of the AT24C and AT45D cards: files, and the runs of
// page-aligned calls that read or write them, with progress on stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kdx::tool::image {

// TYPE FILE: two arguments, else false (said so).
bool file_arguments(const std::vector<std::string>& args);

// The file's bytes; false (said why) when it cannot be read or does not
// hold exactly `size` bytes.
bool read_file(const std::string& path, std::size_t size, std::vector<uint8_t>& bytes);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Calls step(offset, count) for the pieces of `piece` bytes that make up
// `total`, stopping at the first that fails, and shows on stderr
// "label: done/total bytes, elapsed, remaining" as it goes.
bool in_pieces(const std::string& label, std::size_t total, std::size_t piece,
               const std::function<bool(std::size_t offset, std::size_t count)>& step);

// The first offset where the two differ, or -1 when they are equal.
long first_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace kdx::tool::image
