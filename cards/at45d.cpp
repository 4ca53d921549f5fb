// AT45D DataFlash cards: one export per DataFlash command, each framed by
// one chip select and one deselect, and a byte write that keeps the rest of
// its page. The type given to AT45D_OpenCard is the driver's one byte of
// state; it fixes the number of pages.
#include <algorithm>
#include <optional>
#include <span>

#include "cards/at45d_codes.h"
#include "cards/memory_card.h"
#include "link/frame.h"
#include "link/primitives.h"
#include "link/session.h"
#include "platform/platform.h"

namespace kdx::velmor::at45d {
namespace {

// The card stays powered across a port reopen, so KDX_ExitComm leaves this.
uint8_t g_type = 0;

constexpr uint8_t kPowerOn = 1;
constexpr uint8_t kWriteBuffer = 0;  // AT45D_WriteChar works through buffer 1
constexpr uint32_t kBufferSettleMs = 10;
// The ready wait gives up once this much time has passed and at least
// kBusyPollsBeforeGivingUp polls saw the chip busy.
constexpr uint32_t kReadyTimeoutMs = 1000;
constexpr unsigned kBusyPollsBeforeGivingUp = 2;
constexpr std::size_t kMaxCommandSize = 1 + kAddressBytes + kPageReadDummyBytes;
constexpr std::size_t kMaxBlock = 1 + kAddressBytes + kPageSize;

// What an export's arguments are checked for; each function names the ones
// it has, and they are checked in this order.
struct Arguments {
  std::optional<uint8_t> buffer;
  std::optional<uint16_t> page;
  bool has_range = false;
  uint16_t byte = 0;
  uint16_t length = 0;
  const void* data = nullptr;
};

Arguments range(uint16_t byte, uint16_t length, const void* data) {
  Arguments a;
  a.has_range = true;
  a.byte = byte;
  a.length = length;
  a.data = data;
  return a;
}
Arguments with_buffer(Arguments a, uint8_t buffer) {
  a.buffer = buffer;
  return a;
}
Arguments with_page(Arguments a, uint16_t page) {
  a.page = page;
  return a;
}

StatusCode check(const Arguments& a) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (a.buffer && *a.buffer >= kBuffers) return ST_BAD_ZONE;
  if (a.page) {
    const std::size_t pages = page_count(g_type);
    if (pages == 0) return ST_WRONG_CARD_TYPE;
    if (*a.page >= pages) return ST_BAD_ZONE;
  }
  if (!a.has_range) return ST_OK;
  if (a.byte >= kPageSize) return ST_ADDRESS_OVERFLOW;
  if (a.length > kPageSize) return ST_LENGTH_OVERFLOW;
  if (std::size_t{a.byte} + a.length > kPageSize) return ST_ACCESS_OVERFLOW;
  if (a.length == 0) return ST_OK;
  return a.data == nullptr ? ST_BAD_PARAMETER : ST_OK;
}

// One DataFlash command: select, the bytes out in pieces of at most 184,
// the answer in pieces of at most 184, deselect.
StatusCode transfer(std::span<const uint8_t> out, uint8_t* answer = nullptr, std::size_t answer_size = 0) {
  StatusCode status = primitive::single_step(kSelect);
  if (status != ST_OK) return status;
  for (std::size_t sent = 0; sent < out.size();) {
    const std::size_t piece = std::min(out.size() - sent, cards::kMaxBytesPerFrame);
    status = primitive::out_byte(kClockOut, out.data() + sent, static_cast<uint16_t>(piece));
    if (status != ST_OK) return status;
    sent += piece;
  }
  status = cards::clock_in(kClockIn, answer, answer_size);
  if (status != ST_OK) return status;
  return primitive::single_step(kDeselect);
}

// The commands that name a whole page: opcode, page address with byte 0.
StatusCode page_command(const uint8_t (&opcodes)[kBuffers], uint8_t buffer, uint16_t page) {
  const StatusCode status = check(with_page(with_buffer(Arguments{}, buffer), page));
  if (status != ST_OK) return status;
  const Address address = page_address(page, 0);
  const uint8_t command[] = {opcodes[buffer], address.bytes[0], address.bytes[1], address.bytes[2]};
  return transfer(command);
}

StatusCode main_memory_read(uint16_t page, uint16_t byte, uint16_t length, uint8_t* destination) {
  const StatusCode status =
      check(with_page(range(byte, length, destination), page));
  if (status != ST_OK || length == 0) return status;
  const Address address = page_address(page, byte);
  uint8_t command[kMaxCommandSize] = {kMainMemoryPageRead, address.bytes[0], address.bytes[1], address.bytes[2]};
  return transfer(command, destination, length);
}

StatusCode buffer_read(uint8_t buffer, uint16_t byte, uint16_t length, uint8_t* destination) {
  const StatusCode status =
      check(with_buffer(range(byte, length, destination), buffer));
  if (status != ST_OK || length == 0) return status;
  const Address address = buffer_address(byte);
  const uint8_t command[1 + kAddressBytes + kBufferReadDummyBytes] = {kBufferRead[buffer], address.bytes[0],
                                                                       address.bytes[1], address.bytes[2]};
  return transfer(command, destination, length);
}

// Opcode, address and data in one block, sent in pieces in one select.
StatusCode write_block(uint8_t opcode, const Address& address, const uint8_t* data, uint16_t length) {
  uint8_t block[kMaxBlock] = {opcode, address.bytes[0], address.bytes[1], address.bytes[2]};
  std::copy_n(data, length, block + 1 + kAddressBytes);
  return transfer({block, 1 + kAddressBytes + std::size_t{length}});
}

StatusCode buffer_write(uint8_t buffer, uint16_t byte, uint16_t length, const uint8_t* source) {
  const StatusCode status =
      check(with_buffer(range(byte, length, source), buffer));
  if (status != ST_OK || length == 0) return status;
  return write_block(kBufferWrite[buffer], buffer_address(byte), source, length);
}

StatusCode main_memory_write(uint8_t buffer, uint16_t page, uint16_t byte, uint16_t length, const uint8_t* source) {
  const StatusCode status =
      check(with_page(with_buffer(range(byte, length, source), buffer), page));
  if (status != ST_OK || length == 0) return status;
  return write_block(kPageProgramThroughBuffer[buffer], page_address(page, byte), source, length);
}

StatusCode read_status_byte(uint8_t& status_byte) {
  const uint8_t command[] = {kStatusRead};
  return transfer(command, &status_byte, 1);
}

StatusCode read_status(uint8_t* out) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (out == nullptr) return ST_BAD_PARAMETER;
  uint8_t status_byte = 0;
  const StatusCode status = read_status_byte(status_byte);
  if (status == ST_OK) *out = status_byte;
  return status;
}

// Polls back to back until the chip is ready. Bound: ST_COMM_ERROR once
// kReadyTimeoutMs have passed by the tick count and at least two polls saw
// the chip busy; every poll is a whole exchange on the line, so time always
// moves, and a healthy chip on a slow line (one poll takes 1.6 s at 300
// baud) still gets its second look.
StatusCode wait_ready() {
  const uint32_t started = platform::tick_count();
  unsigned busy_polls = 0;
  for (;;) {
    uint8_t status_byte = 0;
    const StatusCode status = read_status_byte(status_byte);
    if (status != ST_OK) return status;
    if ((status_byte & kStatusReady) != 0) return ST_OK;
    ++busy_polls;
    if (busy_polls >= kBusyPollsBeforeGivingUp && platform::tick_count() - started >= kReadyTimeoutMs) {
      return ST_COMM_ERROR;
    }
  }
}

StatusCode write_char(uint16_t page, uint16_t byte, uint16_t length, const uint8_t* source) {
  StatusCode status = check(with_page(range(byte, length, source), page));
  if (status != ST_OK || length == 0) return status;
  status = page_command(kPageToBufferTransfer, kWriteBuffer, page);
  if (status != ST_OK) return status;
  status = wait_ready();
  if (status != ST_OK) return status;
  status = buffer_write(kWriteBuffer, byte, length, source);
  if (status != ST_OK) return status;
  primitive::delay_1ms(kBufferSettleMs);
  status = page_command(kBufferToPageWithErase, kWriteBuffer, page);
  if (status != ST_OK) return status;
  status = wait_ready();
  if (status != ST_OK) return status;
  status = page_command(kAutoPageRewrite, kWriteBuffer, page);
  if (status != ST_OK) return status;
  return wait_ready();
}

StatusCode read_value(uint16_t page, uint16_t byte, uint32_t* out) {
  StatusCode status = check(with_page(range(byte, cards::kValueSize, out), page));
  if (status != ST_OK) return status;
  uint8_t bytes[cards::kValueSize] = {};
  status = main_memory_read(page, byte, cards::kValueSize, bytes);
  if (status == ST_OK) *out = cards::load_value(bytes);
  return status;
}

StatusCode write_value(uint16_t page, uint16_t byte, uint32_t value) {
  uint8_t bytes[cards::kValueSize];
  cards::store_value(value, bytes);
  return write_char(page, byte, cards::kValueSize, bytes);
}

StatusCode open(uint8_t type) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (page_count(type) == 0) return ST_WRONG_CARD_TYPE;
  StatusCode status = session::test_door();
  if (status != ST_OK) return status;
  status = primitive::power(kPower, kPowerOn);
  if (status != ST_OK) return status;
  status = primitive::single_step(kInit);
  if (status != ST_OK) return status;
  g_type = type;
  return ST_OK;
}

StatusCode close() {
  g_type = 0;
  return cards::close_card(kPower);
}

}  // namespace
}  // namespace kdx::velmor::at45d

using namespace kdx::velmor;
using cards::low16;
using cards::low8;

extern "C" {

KDX_API StatusCode KDX_CALL AT45D_OpenCard(uint32_t type) { return at45d::open(low8(type)); }

KDX_API StatusCode KDX_CALL AT45D_CloseCard(void) { return at45d::close(); }

KDX_API StatusCode KDX_CALL AT45D_MainMemRead(uint32_t page, uint32_t byteAddress, uint32_t length, uint8_t* buffer) {
  return at45d::main_memory_read(low16(page), low16(byteAddress), low16(length), buffer);
}

KDX_API StatusCode KDX_CALL AT45D_BufferRead(uint32_t bufferNumber, uint32_t byteAddress, uint32_t length,
                                             uint8_t* buffer) {
  return at45d::buffer_read(low8(bufferNumber), low16(byteAddress), low16(length), buffer);
}

KDX_API StatusCode KDX_CALL AT45D_BufferWrite(uint32_t bufferNumber, uint32_t byteAddress, uint32_t length,
                                              const uint8_t* data) {
  return at45d::buffer_write(low8(bufferNumber), low16(byteAddress), low16(length), data);
}

KDX_API StatusCode KDX_CALL AT45D_MainMem2BufTrans(uint32_t bufferNumber, uint32_t page) {
  return at45d::page_command(at45d::kPageToBufferTransfer, low8(bufferNumber), low16(page));
}

KDX_API StatusCode KDX_CALL AT45D_MainMem2BufComp(uint32_t bufferNumber, uint32_t page) {
  return at45d::page_command(at45d::kPageToBufferCompare, low8(bufferNumber), low16(page));
}

KDX_API StatusCode KDX_CALL AT45D_Buf2MainMemE(uint32_t bufferNumber, uint32_t page) {
  return at45d::page_command(at45d::kBufferToPageWithErase, low8(bufferNumber), low16(page));
}

KDX_API StatusCode KDX_CALL AT45D_Buf2MainMemNoE(uint32_t bufferNumber, uint32_t page) {
  return at45d::page_command(at45d::kBufferToPageWithoutErase, low8(bufferNumber), low16(page));
}

KDX_API StatusCode KDX_CALL AT45D_MainMemWrite(uint32_t bufferNumber, uint32_t page, uint32_t byteAddress,
                                               uint32_t length, const uint8_t* data) {
  return at45d::main_memory_write(low8(bufferNumber), low16(page), low16(byteAddress), low16(length), data);
}

KDX_API StatusCode KDX_CALL AT45D_AutoReWrite(uint32_t bufferNumber, uint32_t page) {
  return at45d::page_command(at45d::kAutoPageRewrite, low8(bufferNumber), low16(page));
}

KDX_API StatusCode KDX_CALL AT45D_ReadStatus(uint8_t* status) { return at45d::read_status(status); }

KDX_API StatusCode KDX_CALL AT45D_ReadChar(uint32_t page, uint32_t byteAddress, uint32_t length, uint8_t* buffer) {
  return at45d::main_memory_read(low16(page), low16(byteAddress), low16(length), buffer);
}

KDX_API StatusCode KDX_CALL AT45D_WriteChar(uint32_t page, uint32_t byteAddress, uint32_t length,
                                            const uint8_t* data) {
  return at45d::write_char(low16(page), low16(byteAddress), low16(length), data);
}

KDX_API StatusCode KDX_CALL AT45D_ReadValue(uint32_t page, uint32_t byteAddress, uint32_t* value) {
  return at45d::read_value(low16(page), low16(byteAddress), value);
}

KDX_API StatusCode KDX_CALL AT45D_WriteValue(uint32_t page, uint32_t byteAddress, uint32_t value) {
  return at45d::write_value(low16(page), low16(byteAddress), value);
}

}  // extern "C"
