#include "cards/two_wire_bus.h"

#include <algorithm>

#include "cards/memory_card.h"
#include "cards/two_wire_codes.h"
#include "link/primitives.h"

namespace kdx::velmor::two_wire {

StatusCode power(bool on) { return primitive::power(kPower, on ? 1 : 0); }

StatusCode start() { return primitive::single_step(kStart); }

StatusCode stop() { return primitive::single_step(kStop); }

StatusCode send(std::span<const uint8_t> bytes) {
  if (bytes.size() > UINT16_MAX) return ST_BAD_PARAMETER;
  return primitive::out_byte(kSend, bytes.data(), static_cast<uint16_t>(bytes.size()));
}

StatusCode start_and_send(std::span<const uint8_t> bytes) {
  const StatusCode status = start();
  if (status != ST_OK) return status;
  return send(bytes);
}

StatusCode receive(uint8_t* destination, std::size_t count, EmptyReceive empty) {
  if (count == 0) return ST_OK;
  const std::size_t acknowledged = count - 1;
  StatusCode status = ST_OK;
  if (acknowledged == 0 && empty == EmptyReceive::send) {
    status = cards::clock_in_frame(kReceive, destination, 0);
  } else {
    status = cards::clock_in(kReceive, destination, acknowledged);
  }
  if (status != ST_OK) return status;
  return cards::clock_in_frame(kReceiveLast, destination + acknowledged, 1);
}

StatusCode write_pages(uint32_t address, std::span<const uint8_t> data, std::size_t page_size,
                       HeaderBuilder header, const void* context) {
  if (page_size == 0 || page_size > kMaxPage) return ST_BAD_PARAMETER;
  uint8_t chunk[kMaxHeader + kMaxPage];
  std::size_t position = 0;
  while (position < data.size()) {
    const std::size_t header_size = std::min(header(address, chunk, context), kMaxHeader);
    const std::size_t to_page_end = page_size - address % page_size;
    const std::size_t take = std::min(to_page_end, data.size() - position);
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(position), take, chunk + header_size);
    StatusCode status = start_and_send({chunk, header_size + take});
    if (status != ST_OK) return status;
    status = stop();
    if (status != ST_OK) return status;
    primitive::delay_1ms(kWriteCycleMs);
    position += take;
    address += static_cast<uint32_t>(take);
  }
  return ST_OK;
}

}  // namespace kdx::velmor::two_wire
