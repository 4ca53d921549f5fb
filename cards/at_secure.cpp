#include "cards/at_secure.h"

#include <algorithm>
#include <cstring>

#include "cards/memory_card.h"
#include "cards/two_wire_codes.h"
#include "link/frame.h"
#include "link/primitives.h"

namespace kdx::velmor::at_secure {

StatusCode transaction(std::span<const uint8_t> bytes) {
  const StatusCode status = two_wire::start_and_send(bytes);
  if (status != ST_OK) return status;
  return two_wire::stop();
}

StatusCode write_transaction(std::span<const uint8_t> bytes) {
  const StatusCode status = transaction(bytes);
  if (status != ST_OK) return status;
  primitive::delay_1ms(two_wire::kWriteCycleMs);
  return ST_OK;
}

StatusCode read_transaction(std::span<const uint8_t> command, uint8_t* destination, std::size_t length,
                            two_wire::EmptyReceive empty) {
  StatusCode status = two_wire::start_and_send(command);
  if (status != ST_OK) return status;
  status = two_wire::receive(destination, length, empty);
  if (status != ST_OK) return status;
  return two_wire::stop();
}

namespace {
std::size_t page_header(uint32_t address, uint8_t* out, const void* context) {
  out[0] = *static_cast<const uint8_t*>(context);
  out[1] = static_cast<uint8_t>(address);
  return 2;
}
}  // namespace

StatusCode write_pages(uint8_t command, uint16_t address, const uint8_t* data, std::size_t length, std::size_t page) {
  return two_wire::write_pages(address, {data, length}, page, &page_header, &command);
}

StatusCode verify_password(const Layout& layout, std::span<const uint8_t> command, uint8_t index) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (index >= layout.password_indexes) return ST_BAD_INDEX;
  StatusCode status = write_transaction(command);
  if (status != ST_OK) return status;
  uint8_t pac = 0;
  status = layout.read_config(layout.pac_address(index), 1, &pac);
  if (status != ST_OK) return status;
  return pac == kCounterOpen ? ST_OK : ST_WRONG_PASSWORD;
}

StatusCode authenticate(const Layout& layout, const uint8_t* seed, const uint8_t* challenge) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (seed == nullptr || challenge == nullptr) return ST_BAD_PARAMETER;
  uint8_t block[kBlockSize] = {};
  StatusCode status = layout.read_config(layout.cryptogram_address, kBlockSize, block);
  if (status != ST_OK) return status;

  uint8_t command[1 + kBlockSize];
  uint8_t expected[kBlockSize];
  KDX_F2(block, seed, challenge, command + 1, expected);
  uint8_t challenge_command[1 + kBlockSize] = {layout.auth_init};
  std::memcpy(challenge_command + 1, challenge, kBlockSize);
  status = write_transaction(challenge_command);
  if (status != ST_OK) return status;
  command[0] = layout.auth_verify;
  status = write_transaction(command);
  if (status != ST_OK) return status;

  uint8_t aac = 0;
  status = layout.read_config(kAacAddress, 1, &aac);
  if (status != ST_OK) return status;
  if (aac != kCounterOpen) return ST_AUTH_FAILED;
  std::memset(block, 0, sizeof block);
  status = layout.read_config(layout.cryptogram_address, kBlockSize, block);
  if (status != ST_OK) return status;
  const bool renewed = std::equal(block + layout.compared_from, block + kBlockSize, expected + layout.compared_from);
  return renewed ? ST_OK : ST_AUTH_FAILED;
}

StatusCode read_fuse(std::span<const uint8_t> command, uint8_t* out) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (out == nullptr) return ST_BAD_PARAMETER;
  uint8_t fuses = 0;
  const StatusCode status = read_transaction(command, &fuses, 1);
  if (status == ST_OK) *out = fuses;
  return status;
}

StatusCode read_ar(const Layout& layout, uint8_t zone, uint8_t* out) {
  if (zone >= layout.user_zones) return ST_BAD_INDEX;
  return layout.read_config(static_cast<uint8_t>(layout.ar_address + zone), 1, out);
}

StatusCode write_ar(const Layout& layout, uint8_t zone, uint8_t value) {
  if (zone >= layout.user_zones) return ST_BAD_INDEX;
  return layout.write_config(static_cast<uint8_t>(layout.ar_address + zone), 1, &value);
}

StatusCode read_password_field(const Layout& layout, uint8_t index, uint8_t offset, uint8_t length, uint8_t* out) {
  if (index >= layout.password_indexes) return ST_BAD_INDEX;
  return layout.read_config(static_cast<uint8_t>(layout.pac_address(index) + offset), length, out);
}

StatusCode write_password_field(const Layout& layout, uint8_t index, uint8_t offset, uint8_t length,
                                const uint8_t* data) {
  if (index >= layout.password_indexes) return ST_BAD_INDEX;
  return layout.write_config(static_cast<uint8_t>(layout.pac_address(index) + offset), length, data);
}

}  // namespace kdx::velmor::at_secure
