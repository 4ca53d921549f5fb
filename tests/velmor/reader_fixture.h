// A Velmor session against the simulated reader on a virtual clock: port
// index 0 is served by a VirtualPort whose far end is a ReaderSim.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fault_points.h"
#include "sim/reader_sim.h"
#include "sim/virtual_port.h"
#include "velmor.h"

namespace kdx::test {

using Bytes = std::vector<uint8_t>;

class ReaderFixture : public ::testing::Test {
 protected:
  ReaderFixture() : port(clock) {
    reader.attach_to(port);
    EXPECT_EQ(KDX_SetPortBackend(0, &port.backend()), ST_OK);
  }
  ~ReaderFixture() override {
    kdx::platform::faults::disarm_all();
    // A test may leave a half-closed session behind; close what is left.
    for (int i = 0; i < 3 && KDX_ExitComm() != ST_OK; ++i) {
    }
    KDX_SetPortBackend(0, nullptr);
  }

  // Opens the session at `baud` and forgets the frames of the opening.
  void open(uint32_t baud = 9600) {
    ASSERT_EQ(KDX_InitComm(0, baud), ST_OK);
    reader.clear_trace();
  }

  // A command frame as the reader receives it: code, length, data, BCC.
  static Bytes frame(uint8_t code, const Bytes& data = {}) {
    Bytes bytes(3 + data.size());
    bytes[0] = code;
    bytes[1] = static_cast<uint8_t>(data.size() & 0xFF);
    bytes[2] = static_cast<uint8_t>(data.size() >> 8);
    std::copy(data.begin(), data.end(), bytes.begin() + 3);
    uint8_t bcc = 0;
    for (uint8_t b : bytes) bcc = static_cast<uint8_t>(bcc ^ b);
    bytes.push_back(bcc);
    return bytes;
  }

  double elapsed_ms(uint64_t since_ns) const {
    return static_cast<double>(clock.now_ns() - since_ns) / 1e6;
  }

  // The bytes the host put on the line, in order.
  Bytes host_bytes() const {
    Bytes bytes;
    for (const auto& entry : reader.trace()) {
      if (entry.direction == sim::Direction::host_to_reader) bytes.push_back(entry.byte);
    }
    return bytes;
  }

  sim::VirtualClock clock;
  sim::VirtualPort port;
  sim::ReaderSim reader;
};

}  // namespace kdx::test
