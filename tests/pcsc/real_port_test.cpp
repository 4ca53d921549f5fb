// A real serial-port path: the handler opens "velmor:<pseudo-terminal>" and
// talks through the library's POSIX port to the simulated reader serving
// the other end. Real time, but nothing here waits for a time-out.
#include "pcsc/handler_fixture.h"
#include "sim/pty_server.h"
#include "sim/sample_cards.h"

namespace kdx::ifd {
namespace {

class RealPortTest : public HandlerTest {
 protected:
  RealPortTest() : server(reader) {}
  void SetUp() override {
    HandlerTest::SetUp();
    ASSERT_FALSE(server.device().empty()) << "no pseudo-terminal";
    reader.insert(sim::make_sample_card("sle4442"));
    server.start();
  }
  void TearDown() override {
    HandlerTest::TearDown();
    server.stop();
  }
  sim::ReaderSim reader;
  sim::PtyServer server;
};

TEST_F(RealPortTest, MemoryCardThroughAPseudoTerminal) {
  ASSERT_EQ(open("velmor:" + server.device()), IFD_SUCCESS);
  EXPECT_EQ(power_up(), (Bytes{0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91}));
  EXPECT_EQ(transmit({0xFF, 0xB0, 0x00, 0x20, 0x03}), (Bytes{'K', 'D', 'X', 0x90, 0x00}));
}

TEST_F(RealPortTest, ReaderHangingUpMidCallIsACommunicationError) {
  ASSERT_EQ(open("velmor:" + server.device()), IFD_SUCCESS);
  ASSERT_EQ(power_up().size(), 6u);
  server.hang_up_after(3);
  EXPECT_TRUE(transmit({0xFF, 0xB0, 0x00, 0x00, 0xFF}).empty());
  EXPECT_EQ(last, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_COMMUNICATION_ERROR);
  EXPECT_FALSE(log.empty());
}

}  // namespace
}  // namespace kdx::ifd
