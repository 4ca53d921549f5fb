// Any bytes as a received T=1 block: the parser reads nothing outside them,
// and what it reports holds together (a block it accepts is exactly its
// prologue, information and EDC, the information inside the input, no
// I-block longer than the IFS it was given). Input: one byte of options
// (bit 0 CRC, bits 1-7 the IFS), then the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_target.h"
#include "serial_iso/t1_block.h"

using namespace kdx::tarsk::t1;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Edc edc = (data[0] & 1) != 0 ? Edc::crc : Edc::lrc;
  const std::size_t ifs = 1 + ((data[0] >> 1) * 2);
  // An exact copy on the heap, so that any read past it is seen.
  const std::size_t length = size - 1;
  std::unique_ptr<uint8_t[]> block(new uint8_t[length == 0 ? 1 : length]);
  for (std::size_t i = 0; i < length; ++i) block[i] = data[1 + i];
  const std::span<const uint8_t> bytes(block.get(), length);
  const Parsed parsed = parse(bytes, edc, ifs);
  if (parsed.fault != Fault::none) return 0;
  if (length != kPrologueSize + parsed.information.size() + epilogue_size(edc)) std::abort();
  if (parsed.information.data() != block.get() + kPrologueSize) std::abort();
  if (parsed.kind == Kind::i && parsed.information.size() > ifs) std::abort();
  // Built again from what was parsed, the block is the same.
  uint8_t rebuilt[kMaxBlockSize];
  if (build(bytes[0], parsed.pcb, parsed.information, edc, rebuilt) != length) std::abort();
  for (std::size_t i = 0; i < length; ++i) {
    if (rebuilt[i] != bytes[i]) std::abort();
  }
  return 0;
}
