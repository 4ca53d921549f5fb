// Bus transactions on the reader's two-wire bus, built from the reader
// primitives: what the AT24C, AT153 and AT1608 drivers share. Every
// function stops at the first non-zero status and returns it, so a failed
// transaction is left without its stop condition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "velmor.h"

namespace kdx::velmor::two_wire {

// The card's supply: Power(19, 1 or 0).
StatusCode power(bool on);
// Start condition, SingleStep(21).
StatusCode start();
// Stop condition, SingleStep(22).
StatusCode stop();
// The bytes clocked out to the card in one OutByte(24). At most the
// largest frame the link carries.
StatusCode send(std::span<const uint8_t> bytes);
// Start condition, then the bytes in one OutByte(24).
StatusCode start_and_send(std::span<const uint8_t> bytes);

// Whether a read of one byte first sends an acknowledged receive of count 0.
enum class EmptyReceive : uint8_t { skip, send };

// The data phase of a read: count - 1 bytes received with acknowledge
// (command 25) in frames of at most 184, then the last byte without
// (command 26), all consecutively into destination. A count of 0 sends
// nothing. An answer of another length than asked is ST_COMM_ERROR;
// nothing is written past destination + count.
StatusCode receive(uint8_t* destination, std::size_t count, EmptyReceive empty = EmptyReceive::skip);

// One write transaction per page: the header the caller builds for the
// page's first address, then data up to the end of that page (the first
// page runs from `address`, later ones are whole, the last may be short);
// start, one OutByte(24) of header and data, stop, Delay1ms(10).
// header(address, out) writes at most kMaxHeader bytes and returns their
// number. page_size is at least 1 and at most kMaxPage.
inline constexpr std::size_t kMaxHeader = 3;
inline constexpr std::size_t kMaxPage = 64;
using HeaderBuilder = std::size_t (*)(uint32_t address, uint8_t* out, const void* context);
StatusCode write_pages(uint32_t address, std::span<const uint8_t> data, std::size_t page_size,
                       HeaderBuilder header, const void* context = nullptr);

// The write-cycle wait after each page.
inline constexpr uint32_t kWriteCycleMs = 10;

}  // namespace kdx::velmor::two_wire
