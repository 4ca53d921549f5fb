#include <algorithm>
#include <cstring>

#include "cpu/cpu_card.h"
#include "link/frame.h"
#include "link/primitives.h"

namespace kdx::velmor::cpu {

bool port_open() { return link::is_open(); }

StatusCode read_iso_buffer(uint8_t* destination, std::size_t capacity, std::size_t& count) {
  count = 0;
  uint8_t scratch[link::kMaxResponseData];
  std::size_t received = 0;
  const StatusCode status = primitive::get_iso_buffer(scratch, received);
  if (status == ST_COMM_ERROR) return status;
  // Past the link, a non-zero status is the reader's own, and its response
  // frame is in the ReceiveBuffer: its length field is the reader's count.
  const uint8_t* bytes = status == ST_OK ? scratch : link::response_data();
  if (status != ST_OK) received = link::response_length();
  count = std::min(received, capacity);
  if (count != 0) std::memcpy(destination, bytes, count);
  return ST_OK;
}

}  // namespace kdx::velmor::cpu
