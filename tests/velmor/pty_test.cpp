// The POSIX serial port, for real: the library opens a pseudo-terminal
// through KDX_SetPortDevice and talks to the simulated reader serving its
// other end. This path runs in real time; nothing here waits for a time-out.
#include <gtest/gtest.h>

#include "sim/pty_server.h"
#include "velmor.h"

namespace kdx::test {
namespace {

class PtyReader : public ::testing::Test {
 protected:
  PtyReader() : server(reader) {}
  void SetUp() override {
    ASSERT_FALSE(server.device().empty()) << "no pseudo-terminal";
    ASSERT_EQ(KDX_SetPortDevice(0, server.device().c_str()), ST_OK);
    server.start();
  }
  void TearDown() override {
    KDX_ExitComm();
    server.stop();
    KDX_SetPortDevice(0, nullptr);
  }
  sim::ReaderSim reader;
  sim::PtyServer server;
};

TEST_F(PtyReader, SessionThroughTheDeviceMapping) {
  ASSERT_EQ(KDX_InitComm(0, 115200), ST_OK);
  EXPECT_EQ(KDX_SetPortDevice(0, "/dev/null"), ST_ALREADY_OPEN);  // not while open
  uint8_t version[32] = {};
  ASSERT_EQ(KDX_GetVersion(version), ST_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(version), 3), "KDX");
  EXPECT_EQ(KDX_GreenLED(0), ST_OK);
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
  reader.insert(std::make_unique<sim::ReaderCard>());
  EXPECT_EQ(KDX_TestDoor(), ST_OK);
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  server.stop();
  EXPECT_TRUE(reader.buzzer_on());
  // version, LED, door twice: every frame the reader got was whole.
  ASSERT_EQ(reader.commands().size(), 5u);
  EXPECT_EQ(reader.commands()[2], (std::vector<uint8_t>{0x11, 0x02, 0x00, 0x97, 0x00, 0x84}));
}

TEST_F(PtyReader, PortThatCannotBeOpened) {
  ASSERT_EQ(KDX_SetPortDevice(0, "/nonexistent/tty"), ST_OK);
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_PORT_INIT_FAILED);
  ASSERT_EQ(KDX_SetPortDevice(0, "/dev/null"), ST_OK);  // exists, but is no serial port
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_PORT_INIT_FAILED);
  EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
  EXPECT_EQ(KDX_SetPortDevice(4, "/dev/null"), ST_BAD_PARAMETER);
  EXPECT_EQ(KDX_SetPortDevice(0, std::string(300, 'x').c_str()), ST_BAD_PARAMETER);
}

}  // namespace
}  // namespace kdx::test
