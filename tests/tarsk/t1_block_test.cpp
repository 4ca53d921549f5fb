// The T=1 block codec on bytes alone: blocks built for LRC, CRC and the
// inverse convention, compared with bytes worked out by hand, and the faults
// the parser finds.
#include <gtest/gtest.h>

#include <vector>

#include "serial_iso/t1_block.h"

namespace kdx::test {
namespace {

using namespace kdx::tarsk::t1;
using Bytes = std::vector<uint8_t>;

struct BuildRow {
  const char* name;
  uint8_t pcb;
  Bytes information;
  Edc edc;
  bool inverse;
  Bytes expected;
};

class BlockBuild : public ::testing::TestWithParam<BuildRow> {};

TEST_P(BlockBuild, GivesTheBytesOfTheLine) {
  const BuildRow& row = GetParam();
  Bytes out(kMaxBlockSize);
  const std::size_t size = build(kNad, row.pcb, row.information, row.edc, out);
  out.resize(size);
  if (row.inverse) invert(out);
  EXPECT_EQ(out, row.expected);
  if (row.inverse) invert(out);
  const Parsed parsed = parse(out, row.edc, kMaxInformation);
  EXPECT_EQ(parsed.fault, Fault::none);
  EXPECT_EQ(Bytes(parsed.information.begin(), parsed.information.end()), row.information);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BlockBuild,
    ::testing::Values(
        // XOR of 00 00 07 00 A4 04 00 02 3F 00 is 9A.
        BuildRow{"select_lrc", i_pcb(0, false), {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, Edc::lrc, false,
                 {0x00, 0x00, 0x07, 0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x9A}},
        BuildRow{"second_i_block_chained", i_pcb(1, true), {0x11}, Edc::lrc, false, {0x00, 0x60, 0x01, 0x11, 0x70}},
        BuildRow{"r_block_nr1_edc_error", r_pcb(1, RError::edc_or_parity), {}, Edc::lrc, false, {0x00, 0x91, 0x00, 0x91}},
        BuildRow{"wtx_response", s_pcb(SKind::wtx, true), {0x02}, Edc::lrc, false, {0x00, 0xE3, 0x01, 0x02, 0xE0}},
        // CRC-16 (0x1021, init FFFF, no reflection) of 00 00 00 is CC9C, high byte first.
        BuildRow{"empty_i_block_crc", i_pcb(0, false), {}, Edc::crc, false, {0x00, 0x00, 0x00, 0xCC, 0x9C}},
        BuildRow{"status_crc", i_pcb(1, false), {0x90, 0x00}, Edc::crc, false, {0x00, 0x40, 0x02, 0x90, 0x00, 0x09, 0x1B}},
        // 00 00 02 90 00 92 in the inverse convention.
        BuildRow{"status_inverse", i_pcb(0, false), {0x90, 0x00}, Edc::lrc, true, {0xFF, 0xFF, 0xBF, 0xF6, 0xFF, 0xB6}}),
    [](const auto& row) { return std::string(row.param.name); });

struct ParseRow {
  const char* name;
  Bytes block;  // without EDC: the LRC is added unless `raw`
  Fault fault;
  std::size_t ifs = 32;
  bool raw = false;
};

class BlockParse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(BlockParse, FindsTheFault) {
  const ParseRow& row = GetParam();
  Bytes block = row.block;
  if (!row.raw) block.push_back(lrc(block));
  EXPECT_EQ(parse(block, Edc::lrc, row.ifs).fault, row.fault);
}

Bytes i_block(std::size_t length) {
  Bytes block{0x00, 0x00, static_cast<uint8_t>(length)};
  block.resize(3 + length, 0x5A);
  return block;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BlockParse,
    ::testing::Values(ParseRow{"valid_i_block", i_block(32), Fault::none},
                      ParseRow{"i_block_longer_than_ifs", i_block(33), Fault::too_long},
                      ParseRow{"i_block_at_a_larger_ifs", i_block(33), Fault::none, 254},
                      ParseRow{"wrong_lrc", {0x00, 0x00, 0x01, 0x90, 0x00}, Fault::edc, 32, true},
                      ParseRow{"shorter_than_len", {0x00, 0x00, 0x05, 0x90, 0x00}, Fault::short_block, 32, true},
                      ParseRow{"longer_than_len", {0x00, 0x00, 0x00, 0x90, 0x90}, Fault::long_block, 32, true},
                      ParseRow{"no_prologue", {0x00, 0x00}, Fault::short_block, 32, true},
                      ParseRow{"nad_not_zero", {0x21, 0x00, 0x00}, Fault::nad},
                      ParseRow{"i_block_reserved_bits", {0x00, 0x01, 0x00}, Fault::reserved_pcb},
                      ParseRow{"r_block_reserved_bit", {0x00, 0xA0, 0x00}, Fault::reserved_pcb},
                      ParseRow{"r_block_error_code_3", {0x00, 0x83, 0x00}, Fault::reserved_pcb},
                      ParseRow{"r_block_with_len", {0x00, 0x80, 0x01, 0x00}, Fault::wrong_len},
                      ParseRow{"s_block_unknown_kind", {0x00, 0xC5, 0x00}, Fault::reserved_pcb},
                      ParseRow{"s_block_vpp_error", {0x00, 0xE4, 0x00}, Fault::reserved_pcb},
                      ParseRow{"wtx_without_inf", {0x00, 0xC3, 0x00}, Fault::wrong_len},
                      ParseRow{"abort_with_inf", {0x00, 0xC2, 0x01, 0x00}, Fault::wrong_len},
                      ParseRow{"ifs_request_0", {0x00, 0xC1, 0x01, 0x00}, Fault::bad_parameter},
                      ParseRow{"ifs_request_255", {0x00, 0xC1, 0x01, 0xFF}, Fault::bad_parameter},
                      ParseRow{"ifs_request_254", {0x00, 0xC1, 0x01, 0xFE}, Fault::none},
                      ParseRow{"wtx_request_0", {0x00, 0xC3, 0x01, 0x00}, Fault::bad_parameter}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(BlockParse, LenOf255IsReserved) {
  Bytes block{0x00, 0x00, 0xFF};
  block.resize(3 + 255, 0);
  block.push_back(lrc(block));
  EXPECT_EQ(parse(block, Edc::lrc, kMaxInformation).fault, Fault::reserved_len);
}

TEST(BlockParse, CrcCatchesWhatTheLrcMisses) {
  // Two flips in the same bit of two bytes keep the LRC.
  Bytes block(kMaxBlockSize);
  block.resize(build(kNad, i_pcb(0, false), Bytes{0x10, 0x20}, Edc::crc, block));
  block[3] ^= 0x01;
  block[4] ^= 0x01;
  EXPECT_EQ(parse(block, Edc::crc, 32).fault, Fault::edc);
}

}  // namespace
}  // namespace kdx::test
