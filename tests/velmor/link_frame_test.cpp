// The framed link: bytes on the line, retries, response checks, and the
// accessors' bounds.
#include <cstring>

#include "link/velmor_state.h"
#include "velmor/reader_fixture.h"

namespace kdx::test {
namespace {

using sim::Direction;

void load_frame(const Bytes& frame) {
  SetSendCommand(frame[0]);
  SetSendLength(static_cast<uint32_t>(frame.size() - 1));
  for (std::size_t i = 1; i < frame.size(); ++i) SetSendData(static_cast<uint32_t>(2 + i), frame[i]);
}

class LinkFrame : public ReaderFixture {};

struct WireCase {
  const char* name;
  Bytes frame;  // code, then data
  Bytes line;   // what the host sends after the ready DLE
};

TEST_F(LinkFrame, CommandBytesOnTheLine) {
  const WireCase cases[] = {
      {"no data: BCC equals the code", {0x3D}, {0x3D, 0x00, 0x00, 0x3D, 0x10, 0x03}},
      {"data byte 0x10 doubled", {0x11, 0x10, 0x00}, {0x11, 0x02, 0x00, 0x10, 0x10, 0x00, 0x03, 0x10, 0x03}},
      {"BCC 0x10 doubled", {0x11, 0x12, 0x11}, {0x11, 0x02, 0x00, 0x12, 0x11, 0x10, 0x10, 0x10, 0x03}},
      {"code 0x10 doubled, BCC over undoubled bytes", {0x10}, {0x10, 0x10, 0x00, 0x00, 0x10, 0x10, 0x10, 0x03}},
  };
  open();
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    reader.clear_trace();
    load_frame(c.frame);
    ASSERT_EQ(SendCommand(), ST_OK);
    Bytes expected{0x02};
    expected.insert(expected.end(), c.line.begin(), c.line.end());
    EXPECT_EQ(host_bytes(), expected);
    EXPECT_EQ(GetSendCommand(), 0);
    EXPECT_EQ(GetSendLength(), 0);
  }
}

TEST_F(LinkFrame, LengthByteOf0x10IsDoubled) {
  open();
  SetSendCommand(0x22);
  SetSendLength(16);
  ASSERT_EQ(SendCommand(), ST_OK);
  const Bytes line = host_bytes();
  ASSERT_GE(line.size(), 5u);
  EXPECT_EQ(Bytes(line.begin(), line.begin() + 5), (Bytes{0x02, 0x22, 0x10, 0x10, 0x00}));
  // 16 zero data bytes, then BCC 0x22 ^ 0x10 = 0x32, then DLE ETX.
  EXPECT_EQ(Bytes(line.end() - 3, line.end()), (Bytes{0x32, 0x10, 0x03}));
}

TEST_F(LinkFrame, SilentReaderGetsThreeStxAbout750msApart) {
  open();
  reader.set_silent(true);
  load_frame({0x3D});
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(SendCommand(), ST_COMM_ERROR);
  EXPECT_EQ(host_bytes(), (Bytes{0x02, 0x02, 0x02}));
  std::vector<uint64_t> times;
  for (const auto& entry : reader.trace()) times.push_back(entry.time_ns);
  EXPECT_NEAR(static_cast<double>(times[1] - times[0]) / 1e6, 751.1, 0.5);
  EXPECT_NEAR(static_cast<double>(times[2] - times[1]) / 1e6, 751.1, 0.5);
  EXPECT_NEAR(elapsed_ms(start), 3 * 751.1, 1.0);
}

TEST_F(LinkFrame, ThreeNaksKeepTheFrameWithItsBcc) {
  open();
  reader.nak_frames(3);
  load_frame({0x11, 0x97, 0x01});
  EXPECT_EQ(SendCommand(), ST_COMM_ERROR);
  EXPECT_EQ(GetSendCommand(), 0x11);
  EXPECT_EQ(GetSendLength(), 2);
  EXPECT_EQ(kdx::velmor::g_velmor.link.SendBuffer[5], 0x11 ^ 0x02 ^ 0x97 ^ 0x01);
  EXPECT_TRUE(reader.commands().empty());
  EXPECT_EQ(reader.frames().size(), 3u);
}

TEST_F(LinkFrame, AFrameAcknowledgedOnlyOnItsSecondTryStillFails) {
  open();
  reader.nak_frames(1);
  load_frame({0x11, 0x97, 0x01});
  EXPECT_EQ(SendCommand(), ST_COMM_ERROR);
  EXPECT_EQ(reader.commands().size(), 1u);  // the reader did run it
  EXPECT_EQ(GetSendCommand(), 0x11);        // and the frame is kept
}

TEST_F(LinkFrame, ReadyAnswerRefusedOnceThenTheFrameGoesThrough) {
  open();
  reader.nak_stx(1);
  load_frame({0x3D});
  EXPECT_EQ(SendCommand(), ST_OK);
  EXPECT_EQ(host_bytes(), (Bytes{0x02, 0x02, 0x3D, 0x00, 0x00, 0x3D, 0x10, 0x03}));
}

TEST_F(LinkFrame, ResponseWithWrongBccIsAcknowledgedAndRefused) {
  open();
  reader.corrupt_response_bcc(1);
  load_frame({0x12, 0xB2});
  ASSERT_EQ(SendCommand(), ST_OK);
  EXPECT_EQ(RecvResponse(), ST_COMM_ERROR);
  EXPECT_EQ(host_bytes().back(), 0x10);
}

TEST_F(LinkFrame, ReaderStatusIsPassedUpWithItsData) {
  open();
  reader.override_status(1, 16);
  load_frame({0x12, 0xB2});
  ASSERT_EQ(SendCommand(), ST_OK);
  EXPECT_EQ(RecvResponse(), 16);
  EXPECT_EQ(GetRespStatus(), 16);
  EXPECT_EQ(GetRespLength(), 1);
  uint8_t* buffer = nullptr;
  GetRBuffer(&buffer);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer[3], 1);      // door line: no card
  EXPECT_EQ(buffer[5], 0x10);   // the closing DLE is stored after the BCC
}

struct ResponseCase {
  const char* name;
  Bytes raw;  // what the reader sends after the host's ready DLE
  StatusCode status;
  Bytes data;
};

TEST_F(LinkFrame, ResponseFramesTable) {
  Bytes oversized{0x00, 0xC4, 0x00};
  oversized.insert(oversized.end(), 197, 0x41);
  oversized.insert(oversized.end(), {0x00, 0x10, 0x03});
  Bytes largest{0x00, 0xC3, 0x00};
  largest.insert(largest.end(), 195, 0x00);
  largest.insert(largest.end(), {0xC3, 0x10, 0x03});
  const ResponseCase cases[] = {
      {"plain", {0x00, 0x01, 0x00, 0x41, 0x40, 0x10, 0x03}, ST_OK, {0x41}},
      {"doubled data DLE", {0x00, 0x01, 0x00, 0x10, 0x10, 0x11, 0x10, 0x03}, ST_OK, {0x10}},
      {"195 data bytes fit", largest, ST_OK, Bytes(195, 0x00)},
      {"DLE followed by another byte", {0x00, 0x01, 0x00, 0x10, 0x41, 0x51, 0x10, 0x03}, ST_COMM_ERROR, {}},
      {"longer than the buffer", oversized, ST_COMM_ERROR, {}},
      {"length field beyond the bytes sent", {0x00, 0x05, 0x00, 0x41, 0x44, 0x10, 0x03}, ST_COMM_ERROR, {}},
      {"length field pointing into the zero fill", {0x13, 0x03, 0x00, 0x10, 0x03}, ST_COMM_ERROR, {}},
      {"frame cut short", {0x00, 0x01, 0x00}, ST_COMM_ERROR, {}},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.name);
    open();  // a fresh session each time: a refused frame leaves bytes behind on the line
    reader.inject_raw_response(c.raw);
    load_frame({0x12, 0xB2});
    ASSERT_EQ(SendCommand(), ST_OK);
    ASSERT_EQ(RecvResponse(), c.status);
    if (c.status == ST_OK) {
      uint8_t* buffer = nullptr;
      GetRBuffer(&buffer);
      EXPECT_EQ(Bytes(buffer + 3, buffer + 3 + GetRespLength()), c.data);
    }
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(LinkFrame, NoStxWithinThreeReadsIsACommError) {
  open();
  reader.go_silent_after(2);  // ready and acknowledgement, then nothing
  load_frame({0x12, 0xB2});
  ASSERT_EQ(SendCommand(), ST_OK);
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(RecvResponse(), ST_COMM_ERROR);
  EXPECT_NEAR(elapsed_ms(start), 2250.0, 2.0);
}

TEST_F(LinkFrame, CommandCodeZeroAndOversizedLengthSendNothing) {
  open();
  load_frame({0x00, 0x01});
  EXPECT_EQ(SendCommand(), ST_BAD_PARAMETER);
  SetSendCommand(0x11);
  SetSendLength(197);
  EXPECT_EQ(SendCommand(), ST_BAD_PARAMETER);
  EXPECT_TRUE(reader.trace().empty());
  SetSendLength(196);
  EXPECT_EQ(SendCommand(), ST_OK);
}

TEST_F(LinkFrame, SettersNeverReachPastTheBuffer) {
  open();
  ClearSBuffer();
  SetSendData(199, 0xAA);
  SetSendData(200, 0xBB);
  SetSendData(0x100C7, 0xCC);  // only the low 16 bits of the position count: 199
  const uint8_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SetSBuffer(195, 8, source);  // would run to 203: ignored
  SetSBuffer(192, 8, source);  // ends exactly at 200
  const uint8_t* send = kdx::velmor::g_velmor.link.SendBuffer;
  EXPECT_EQ(send[199], 8);
  EXPECT_EQ(send[192], 1);
  EXPECT_EQ(send[191], 0);
}

TEST_F(LinkFrame, WithoutASessionNothingIsTouched) {
  EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
  SetSendCommand(0x11);
  SetSendLength(2);
  SetSendData(3, 1);
  SetSBuffer(3, 1, reinterpret_cast<const uint8_t*>("x"));
  SendByte(0x02);
  EXPECT_EQ(GetSendCommand(), 0);
  EXPECT_EQ(GetSendLength(), 0);
  EXPECT_EQ(GetRespStatus(), 0);
  EXPECT_EQ(GetRespLength(), 0);
  EXPECT_EQ(GetBaudRate(), 0u);
  uint8_t* buffer = reinterpret_cast<uint8_t*>(this);
  GetRBuffer(&buffer);
  EXPECT_EQ(buffer, nullptr);
  uint8_t byte = 0x5A;
  EXPECT_EQ(RecvByte(&byte), ST_NOT_OPEN);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(SendCommand(), ST_NOT_OPEN);
  EXPECT_EQ(RecvResponse(), ST_NOT_OPEN);
  EXPECT_EQ(ClearRBuffer(), ST_NOT_OPEN);
  EXPECT_EQ(ClearSBuffer(), ST_NOT_OPEN);
  EXPECT_TRUE(reader.trace().empty());
  open();
  EXPECT_EQ(IsCommOpened(), ST_OK);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
}

TEST_F(LinkFrame, RecvByteLeavesTheDestinationAloneWhenNothingCame) {
  open();
  uint8_t byte = 0x5A;
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(RecvByte(&byte), ST_OK);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_NEAR(elapsed_ms(start), 750.0, 0.5);
  SendByte(0x02);  // the reader answers a lone STX with its ready DLE
  EXPECT_EQ(RecvByte(&byte), ST_OK);
  EXPECT_EQ(byte, 0x10);
}

}  // namespace
}  // namespace kdx::test
