#include "sim/cards/at45d.h"

#include <algorithm>
#include <cstdio>

namespace kdx::sim {
namespace {

namespace chip = kdx::velmor::at45d;

constexpr uint8_t kIdleLine = 0xFF;
constexpr uint8_t kStatusBadParameter = 1;
constexpr std::size_t kMaxResponseData = 195;

// Which buffer's opcode `opcode` is in `table`, or -1.
int buffer_of(uint8_t opcode, const uint8_t (&table)[chip::kBuffers]) {
  for (std::size_t b = 0; b < chip::kBuffers; ++b) {
    if (table[b] == opcode) return static_cast<int>(b);
  }
  return -1;
}

bool is(uint8_t opcode, const uint8_t (&table)[chip::kBuffers]) { return buffer_of(opcode, table) >= 0; }

int buffer_number(uint8_t opcode) {
  for (const auto* table : {&chip::kBufferRead, &chip::kPageToBufferTransfer, &chip::kPageToBufferCompare,
                            &chip::kBufferWrite, &chip::kBufferToPageWithErase, &chip::kBufferToPageWithoutErase,
                            &chip::kPageProgramThroughBuffer, &chip::kAutoPageRewrite}) {
    const int b = buffer_of(opcode, *table);
    if (b >= 0) return b;
  }
  return -1;
}

bool known(uint8_t opcode) {
  return opcode == chip::kMainMemoryPageRead || opcode == chip::kStatusRead || buffer_number(opcode) >= 0;
}

// Bits 5 to 2 of the status byte.
uint8_t density_bits(std::size_t pages) {
  switch (pages) {
    case 1024:
      return 0x14;
    case 4096:
      return 0x24;
    default:
      return 0x1C;
  }
}

std::string hex_byte(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

At45dCard::At45dCard(std::size_t pages, const std::vector<uint8_t>& contents) {
  Page erased;
  erased.fill(kIdleLine);
  pages_.assign(pages, erased);
  buffers_.fill(erased);
  const std::size_t count = std::min(contents.size(), pages * chip::kPageSize);
  for (std::size_t i = 0; i < count; ++i) pages_[i / chip::kPageSize][i % chip::kPageSize] = contents[i];
}

uint8_t At45dCard::status_byte(uint64_t now_ns) const {
  uint8_t status = density_bits(pages_.size());
  if (!busy(now_ns)) status |= chip::kStatusReady;
  if (compare_differs_) status |= chip::kStatusCompareDiffers;
  return status;
}

CardReply At45dCard::command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) {
  now_ns_ = now_ns;
  if (code == chip::kPower) {
    if (data.empty()) return {};
    const bool on = data[0] != 0;
    if (on && !powered_) {
      Page undefined;
      undefined.fill(kIdleLine);
      buffers_.fill(undefined);
    }
    powered_ = on;
    selected_ = false;
    return {};
  }
  if (!powered_) return ReaderCard::command(code, data, now_ns);
  switch (code) {
    case chip::kInit:
      return {};
    case chip::kSelect:
      select(now_ns);
      return {};
    case chip::kDeselect:
      deselect(now_ns);
      return {};
    case chip::kClockOut:
      if (!selected_) {
        log_violation("bytes sent while the chip was not selected");
        return {};
      }
      for (uint8_t byte : data) take(byte);
      return {};
    case chip::kClockIn: {
      const std::size_t count = data.size() >= 2 ? static_cast<std::size_t>(data[0] | (data[1] << 8)) : 0;
      if (count > kMaxResponseData) return {kStatusBadParameter, {}};
      CardReply reply{0, std::vector<uint8_t>(count, kIdleLine)};
      if (!selected_) {
        if (count != 0) log_violation("read while the chip was not selected");
        return reply;
      }
      for (uint8_t& byte : reply.data) byte = output(now_ns);
      return reply;
    }
    default:
      return ReaderCard::command(code, data, now_ns);
  }
}

void At45dCard::select(uint64_t) {
  if (selected_) log_violation("select while already selected");
  selected_ = true;
  ignoring_ = false;
  command_.clear();
  position_ = 0;
}

std::size_t At45dCard::header_size() const {
  const uint8_t opcode = command_.at(0);
  if (opcode == chip::kStatusRead) return 1;
  if (opcode == chip::kMainMemoryPageRead) return 1 + chip::kAddressBytes + chip::kPageReadDummyBytes;
  if (is(opcode, chip::kBufferRead)) return 1 + chip::kAddressBytes + chip::kBufferReadDummyBytes;
  return 1 + chip::kAddressBytes;
}

std::size_t At45dCard::page_number() const {
  return ((std::size_t{command_[1]} << 7) | (command_[2] >> 1)) % pages_.size();
}

std::size_t At45dCard::byte_address() {
  const std::size_t byte = (std::size_t{command_[2] & 1u} << 8) | command_[3];
  if (byte < chip::kPageSize) return byte;
  log_violation("byte address " + std::to_string(byte) + " past the page");
  return byte % chip::kPageSize;
}

void At45dCard::take(uint8_t byte) {
  if (ignoring_) return;
  if (command_.empty()) {
    if (!known(byte)) {
      log_violation("unknown opcode " + hex_byte(byte));
      ignoring_ = true;
      return;
    }
    if (byte != chip::kStatusRead && busy(now_ns_)) {
      log_violation("opcode " + hex_byte(byte) + " while the chip was busy");
      ignoring_ = true;
      return;
    }
    command_.push_back(byte);
    return;
  }
  const uint8_t opcode = command_[0];
  if (command_.size() < header_size()) {
    command_.push_back(byte);
    if (command_.size() == 1 + chip::kAddressBytes && opcode != chip::kStatusRead) position_ = byte_address();
    return;
  }
  const int buffer = buffer_number(opcode);
  if (is(opcode, chip::kBufferWrite) || is(opcode, chip::kPageProgramThroughBuffer)) {
    buffers_[static_cast<std::size_t>(buffer)][position_] = byte;
    position_ = (position_ + 1) % chip::kPageSize;
    return;
  }
  log_violation("byte sent after the whole of command " + hex_byte(opcode));
}

uint8_t At45dCard::output(uint64_t now_ns) {
  if (ignoring_) return kIdleLine;
  if (command_.empty() || command_.size() < header_size()) {
    log_violation("read before the command was complete");
    return kIdleLine;
  }
  const uint8_t opcode = command_[0];
  if (opcode == chip::kStatusRead) return status_byte(now_ns);
  const Page* source = nullptr;
  if (opcode == chip::kMainMemoryPageRead) source = &pages_[page_number()];
  if (is(opcode, chip::kBufferRead)) source = &buffers_[static_cast<std::size_t>(buffer_number(opcode))];
  if (source == nullptr) {
    log_violation("read during command " + hex_byte(opcode) + ", which outputs nothing");
    return kIdleLine;
  }
  const uint8_t byte = (*source)[position_];
  position_ = (position_ + 1) % chip::kPageSize;
  return byte;
}

void At45dCard::deselect(uint64_t now_ns) {
  if (!selected_) log_violation("deselect while the chip was not selected");
  selected_ = false;
  if (ignoring_ || command_.empty()) return;
  if (command_.size() < header_size()) {
    log_violation("deselect before the address of command " + hex_byte(command_[0]) + " was complete");
    return;
  }
  const uint8_t opcode = command_[0];
  const int b = buffer_number(opcode);
  if (b < 0) return;  // the reads and the status read start nothing
  Page& buffer = buffers_[static_cast<std::size_t>(b)];
  if (is(opcode, chip::kBufferRead) || is(opcode, chip::kBufferWrite)) return;
  Page& page = pages_[page_number()];
  uint64_t duration = kProgramNs;
  if (is(opcode, chip::kPageToBufferTransfer)) {
    buffer = page;
    duration = kTransferNs;
  } else if (is(opcode, chip::kPageToBufferCompare)) {
    compare_differs_ = buffer != page;
    duration = kTransferNs;
  } else if (is(opcode, chip::kBufferToPageWithErase) || is(opcode, chip::kPageProgramThroughBuffer)) {
    page = buffer;
  } else if (is(opcode, chip::kBufferToPageWithoutErase)) {
    for (std::size_t i = 0; i < chip::kPageSize; ++i) page[i] &= buffer[i];
  } else if (is(opcode, chip::kAutoPageRewrite)) {
    buffer = page;
  }
  busy_until_ns_ = now_ns + duration;
}

}  // namespace kdx::sim
