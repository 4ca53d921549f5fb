// Opening and closing the port session, its clean-up on every failure, and
// the device commands.
#include <cstring>

#include "velmor/reader_fixture.h"

namespace kdx::test {
namespace {

using kdx::platform::faults::Point;
using sim::PortOp;

class Session : public ReaderFixture {};

TEST_F(Session, ArgumentChecks) {
  struct Case {
    uint32_t port, baud;
    StatusCode status;
  } const cases[] = {
      {4, 9600, ST_BAD_PARAMETER},   {0, 299, ST_BAD_PARAMETER}, {0, 115201, ST_BAD_PARAMETER},
      {0, 300, ST_OK},               {0, 115200, ST_OK},         {0x100, 9600, ST_OK},  // low 8 bits: 0
      {0xFFFFFF04, 9600, ST_BAD_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.port << ", " << c.baud);
    EXPECT_EQ(KDX_InitComm(c.port, c.baud), c.status);
    if (c.status == ST_OK) {
      EXPECT_EQ(port.settings().baud_rate, c.baud);
      EXPECT_EQ(KDX_ExitComm(), ST_OK);
    }
    EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
  }
}

TEST_F(Session, SecondInitCommIsRefusedBeforeItsArguments) {
  open();
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_ALREADY_OPEN);
  EXPECT_EQ(KDX_InitComm(9, 1), ST_ALREADY_OPEN);
  EXPECT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(KDX_ExitComm(), ST_OK);  // nothing open: still 0
}

TEST_F(Session, OpeningSetsTheLineAndAsksForTheVersion) {
  const uint64_t start = clock.now_ns();
  ASSERT_EQ(KDX_InitComm(0, 19200), ST_OK);
  const auto settings = port.settings();
  EXPECT_EQ(settings.baud_rate, 19200u);
  EXPECT_EQ(settings.byte_size, 8);
  EXPECT_EQ(settings.parity, KDX_PARITY_NONE);
  EXPECT_EQ(settings.stop_bits, KDX_STOPBITS_ONE);
  EXPECT_EQ(settings.parity_check, 0);
  const KDX_Timeouts t = port.timeouts();
  EXPECT_EQ(t.read_interval, 750u);
  EXPECT_EQ(t.read_total_multiplier, 0u);
  EXPECT_EQ(t.read_total_constant, 750u);
  EXPECT_EQ(t.write_total_multiplier, 0u);
  EXPECT_EQ(t.write_total_constant, 750u);
  ASSERT_EQ(reader.commands().size(), 1u);
  EXPECT_EQ(reader.commands()[0], (Bytes{0x4F, 0x00, 0x00, 0x4F}));
  EXPECT_GE(reader.frames()[0].time_ns - start, 10 * sim::kNsPerMs);  // the 10 ms settling wait
}

TEST_F(Session, VersionTextDecidesTheDeviceTest) {
  struct Case {
    const char* version;
    StatusCode status;
  } const cases[] = {
      {"KDX-R2", ST_OK}, {"kDx", ST_OK},        {"kdxfoo", ST_OK},       {"KDY-1", ST_NO_DEVICE},
      {"KD", ST_NO_DEVICE}, {"", ST_NO_DEVICE}, {"XDK", ST_NO_DEVICE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    reader.set_version(c.version);
    EXPECT_EQ(KDX_InitComm(0, 9600), c.status);
    EXPECT_EQ(IsCommOpened(), ST_OK);  // the port stays open whatever the test said
    EXPECT_EQ(KDX_TestDevice(), c.status);
    EXPECT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, GetVersionWritesAtMost32Bytes) {
  const std::string longest(40, 'K');
  reader.set_version("KDX" + longest);
  open();
  uint8_t buffer[48];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(KDX_GetVersion(buffer), ST_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 32), ("KDX" + longest).substr(0, 32));
  EXPECT_EQ(buffer[32], 0xEE);
  EXPECT_EQ(KDX_GetVersion(nullptr), ST_BAD_PARAMETER);
}

TEST_F(Session, SilentReaderLeavesThePortOpen) {
  reader.set_silent(true);
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_COMM_ERROR);
  EXPECT_EQ(IsCommOpened(), ST_OK);
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_ALREADY_OPEN);
  EXPECT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_FALSE(port.is_open());
  reader.set_silent(false);
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_OK);
}

TEST_F(Session, EveryOpeningFailureLeavesNoSession) {
  struct Case {
    const char* name;
    std::function<void(sim::VirtualPort&)> arm;
    StatusCode status;
  };
  const Case cases[] = {
      {"session record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_alloc); }, ST_ALLOC_FAILED},
      {"read event", [](sim::VirtualPort&) { platform::faults::arm(Point::create_event, 1); }, ST_EVENT_FAILED},
      {"write event", [](sim::VirtualPort&) { platform::faults::arm(Point::create_event, 2); }, ST_EVENT_FAILED},
      {"port", [](sim::VirtualPort& p) { p.fail(PortOp::open); }, ST_PORT_INIT_FAILED},
      {"reading settings", [](sim::VirtualPort& p) { p.fail(PortOp::get_settings); }, ST_GET_STATE_FAILED},
      {"writing settings", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings); }, ST_SET_STATE_FAILED},
      {"send buffer", [](sim::VirtualPort&) { platform::faults::arm(Point::heap_alloc, 1); }, ST_ALLOC_FAILED},
      {"receive buffer", [](sim::VirtualPort&) { platform::faults::arm(Point::heap_alloc, 2); }, ST_ALLOC_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arm(port);
    EXPECT_EQ(KDX_InitComm(0, 9600), c.status);
    EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
    EXPECT_FALSE(port.is_open());
    EXPECT_TRUE(reader.commands().empty());
    platform::faults::disarm_all();
    ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);  // nothing half-open is left in the way
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
    reader.clear_trace();
  }
}

TEST_F(Session, AFailedCloseKeepsTheSessionAndCanBeFinishedLater) {
  struct Case {
    const char* name;
    std::function<void(sim::VirtualPort&)> arm;
    StatusCode status;
  };
  const Case cases[] = {
      {"port", [](sim::VirtualPort& p) { p.fail(PortOp::close); }, ST_PORT_CLOSE_FAILED},
      {"read event", [](sim::VirtualPort&) { platform::faults::arm(Point::close_event, 1); }, ST_PORT_CLOSE_FAILED},
      {"write event", [](sim::VirtualPort&) { platform::faults::arm(Point::close_event, 2); }, ST_PORT_CLOSE_FAILED},
      {"session record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_free); }, ST_FREE_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open();
    c.arm(port);
    EXPECT_EQ(KDX_ExitComm(), c.status);
    EXPECT_EQ(KDX_InitComm(0, 9600), ST_ALREADY_OPEN);
    EXPECT_EQ(KDX_ExitComm(), ST_OK);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(KDX_InitComm(0, 9600), ST_OK);
    EXPECT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, DeviceExportsNeedASession) {
  const std::function<StatusCode()> exports[] = {
      [] { return KDX_GreenLED(1); }, [] { return KDX_Buzzer(1); },     [] { return KDX_TestDoor(); },
      [] { return KDX_PushCard(); },  [] { return KDX_TestDevice(); },
      [] {
        uint8_t version[32];
        return KDX_GetVersion(version);
      },
  };
  for (const auto& call : exports) EXPECT_EQ(call(), ST_NOT_OPEN);
  open();
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  for (const auto& call : exports) EXPECT_EQ(call(), ST_NOT_OPEN);
  EXPECT_TRUE(reader.commands().empty());
}

TEST_F(Session, LedAndBuzzerShareLine151) {
  struct Case {
    StatusCode (*call)(uint32_t);
    uint32_t flag;
    uint8_t value;
  } const cases[] = {
      {KDX_GreenLED, 1, 1}, {KDX_Buzzer, 0, 1}, {KDX_GreenLED, 0, 0}, {KDX_Buzzer, 1, 0},
      {KDX_GreenLED, 0x100, 0},  // only the low 8 bits of the flag count
  };
  open();
  for (const Case& c : cases) {
    reader.clear_trace();
    EXPECT_EQ(c.call(c.flag), ST_OK);
    EXPECT_EQ(reader.commands(), std::vector<Bytes>{frame(0x11, {0x97, c.value})});
  }
  EXPECT_TRUE(reader.buzzer_on());
}

TEST_F(Session, DoorSwitchAndEject) {
  open();
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
  reader.insert(std::make_unique<sim::ReaderCard>());
  EXPECT_EQ(KDX_TestDoor(), ST_OK);
  reader.clear_trace();
  EXPECT_EQ(KDX_PushCard(), ST_OK);
  EXPECT_EQ(reader.commands(), (std::vector<Bytes>{frame(0x11, {0xB7, 0x01}), frame(0x11, {0xB7, 0x00})}));
  EXPECT_EQ(reader.ejections(), 1u);
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
}

TEST_F(Session, EjectPulseIsFortyMillisecondsLessTheBaudAllowance) {
  struct Case {
    uint32_t baud;
    double sleep_ms;
  } const cases[] = {{9600, 30}, {115200, 40}, {2400, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    open(c.baud);
    uint64_t start = clock.now_ns();
    ASSERT_EQ(KDX_GreenLED(1), ST_OK);
    ASSERT_EQ(KDX_GreenLED(1), ST_OK);
    const double two_frames = elapsed_ms(start);
    start = clock.now_ns();
    ASSERT_EQ(KDX_PushCard(), ST_OK);
    EXPECT_NEAR(elapsed_ms(start) - two_frames, c.sleep_ms, 0.01);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, DoorReadFailureIsPassedUp) {
  open();
  reader.override_status(1, 9);
  EXPECT_EQ(KDX_TestDoor(), 9);
  reader.inject_raw_response({0x00, 0x00, 0x00, 0x00, 0x10, 0x03});  // no data byte
  EXPECT_EQ(KDX_TestDoor(), ST_COMM_ERROR);
}

}  // namespace
}  // namespace kdx::test
