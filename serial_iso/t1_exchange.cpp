#include "serial_iso/t1_exchange.h"

namespace kdx::tarsk {

StatusCode t1_transmit(SerialCardSession&, std::span<const uint8_t>, std::span<uint8_t>, std::size_t& length) {
  length = 0;
  return ST_NOT_SUPPORTED;  // the block exchange follows
}

}  // namespace kdx::tarsk
