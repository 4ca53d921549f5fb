// Opening and closing the serial-line session, the device test in its
// variants, the card-present test, the line parameters for the card and the
// raw transfers, with every failure of the port and the records.
#include <cstring>
#include <functional>

#include "tarsk/line_fixture.h"

namespace kdx::test {
namespace {

using kdx::platform::faults::Point;
using sim::PortOp;

constexpr double kCharacterMs = 1.25;  // 12 bits at 9600 baud, 8E2
constexpr double kPatternMs = 8 * kCharacterMs;

class Session : public LineFixture {};

TEST_F(Session, ArgumentChecks) {
  struct Case {
    uint32_t port, baud;
    StatusCode status;
  } const cases[] = {
      {4, 9600, ST_BAD_PARAMETER},   {0, 299, ST_BAD_PARAMETER}, {0, 115201, ST_BAD_PARAMETER},
      {0xFFFFFF04, 9600, ST_BAD_PARAMETER}, {0, 300, ST_OK},     {0, 115200, ST_OK},
      {0x100, 19200, ST_OK},  // low 8 bits: port 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.port << ", " << c.baud);
    EXPECT_EQ(KDX_InitComm(c.port, c.baud), c.status);
    if (c.status == ST_OK) {
      EXPECT_EQ(IsCommOpened(), ST_OK);
      EXPECT_EQ(port.settings().baud_rate, 9600u);  // the port always opens at 9600
      EXPECT_EQ(KDX_ExitComm(), ST_OK);
    } else {
      EXPECT_EQ(port.open_count(), 0u);
    }
    EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
  }
}

TEST_F(Session, SecondInitCommIsRefusedBeforeItsArguments) {
  open();
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_ALREADY_OPEN);
  EXPECT_EQ(KDX_InitComm(9, 1), ST_ALREADY_OPEN);
  EXPECT_EQ(IsCommOpened(), ST_OK);
  EXPECT_EQ(port.open_count(), 1u);
  EXPECT_EQ(KDX_ExitComm(), ST_OK);
  EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
  EXPECT_EQ(KDX_ExitComm(), ST_OK);  // nothing open: still 0
}

TEST_F(Session, OpeningSetsUpTheLineAndRunsTheDeviceTest) {
  TalkingCard& card = insert_card();
  const uint64_t start = clock.now_ns();
  ASSERT_EQ(KDX_InitComm(0, 115200), ST_OK);
  EXPECT_NEAR(elapsed_ms(start), kPatternMs + 85, 0.01);  // echo, then the 85 ms wait

  const KDX_LineSettings line = port.settings();
  EXPECT_EQ(line.baud_rate, 9600u);
  EXPECT_EQ(line.byte_size, 8);
  EXPECT_EQ(line.parity, KDX_PARITY_EVEN);
  EXPECT_EQ(line.stop_bits, KDX_STOPBITS_TWO);
  EXPECT_EQ(line.parity_check, 1);
  EXPECT_EQ(line.dtr_control, KDX_LINE_CONTROL_ENABLE);
  EXPECT_EQ(line.rts_control, KDX_LINE_CONTROL_DISABLE);
  EXPECT_EQ(line.out_dsr_flow, 1);
  EXPECT_EQ(line.out_cts_flow, 0);
  EXPECT_EQ(line.dsr_sensitivity, 1);
  const KDX_Timeouts t = port.timeouts();
  EXPECT_EQ(t.read_interval, 1000u);
  EXPECT_EQ(t.read_total_multiplier, 0u);
  EXPECT_EQ(t.read_total_constant, 3000u);
  EXPECT_EQ(t.write_total_multiplier, 0u);
  EXPECT_EQ(t.write_total_constant, 0u);
  EXPECT_EQ(record().port_index, 0);
  EXPECT_EQ(record().baud_rate, 9600u);
  EXPECT_EQ(record().card_active.load(), 0u);

  // Set-up, DTR off, DTR on, RTS on, RTS off: each test step rewrites the
  // settings with one control field changed.
  const auto writes = device.settings_writes();
  ASSERT_EQ(writes.size(), 5u);
  const uint8_t dtr[] = {1, 0, 1, 1, 1};
  const uint8_t rts[] = {0, 0, 0, 1, 0};
  for (std::size_t i = 0; i < writes.size(); ++i) {
    SCOPED_TRACE(i);
    KDX_LineSettings expected = line;
    expected.dtr_control = dtr[i];
    expected.rts_control = rts[i];
    EXPECT_EQ(std::memcmp(&writes[i].settings, &expected, sizeof expected), 0);
  }
  EXPECT_NEAR(static_cast<double>(clock.now_ns() - writes[4].time_ns) / 1e6, 85, 0.01);

  // The pattern went out at 9600 8E2 while RTS held the card in reset.
  EXPECT_EQ(host_text(), "KDX-TEST");
  for (const auto& sent : device.host_bytes()) {
    EXPECT_TRUE(sent.card_in_reset);
    EXPECT_EQ(sent.settings.baud_rate, 9600u);
    EXPECT_EQ(sent.settings.parity, KDX_PARITY_EVEN);
    EXPECT_EQ(sent.settings.stop_bits, KDX_STOPBITS_TWO);
  }
  EXPECT_FALSE(card.held());
  EXPECT_EQ(card.resets(), 2u);  // once when the port opened, once for the echo test
}

TEST_F(Session, WhatTheCardSaysAfterTheEchoTestIsPurged) {
  // A card that answers its release from reset, as cards do.
  struct Answering : TalkingCard {
    void on_reset(bool held, uint64_t now) override {
      TalkingCard::on_reset(held, now);
      if (!held) say({0x3B, 0x02, 0x14, 0x50});
    }
  };
  device.insert(std::make_unique<Answering>());
  open();
  uint8_t byte = 0;
  EXPECT_EQ(ReceiveData(&byte, 1), ST_COMM_ERROR);
  EXPECT_EQ(record().last_read_count, 0u);
}

// Each case is a fault of the device; the test runs twice, 200 ms apart.
TEST_F(Session, DeviceTestVariantsAtOpen) {
  using Filter = sim::SerialLineDevice::EchoFilter;
  struct Case {
    const char* name;
    bool attached, dsr_stuck_on;
    Filter echo;
    StatusCode status;
    double elapsed_ms;
    const char* sent;
  };
  const Filter broken = [](uint8_t, std::size_t) { return std::nullopt; };
  const Filter five_of_eight = [](uint8_t b, std::size_t i) {
    return i % 8 < 5 ? std::optional<uint8_t>(b) : std::nullopt;
  };
  const Filter fourth_differs = [](uint8_t b, std::size_t i) {
    return std::optional<uint8_t>(i % 8 == 3 ? b ^ 0x20 : b);
  };
  const Case cases[] = {
      {"no device", false, false, {}, ST_NO_DEVICE, 200, ""},
      {"DSR stuck on", true, true, {}, ST_NO_DEVICE, 200, ""},
      // The read waits its total time-out of 3000 ms for a first byte.
      {"data loop broken", true, false, broken, ST_COMM_ERROR, 2 * (kPatternMs + 3000) + 200, "KDX-TESTKDX-TEST"},
      // Five bytes, then the interval time-out of 1000 ms.
      {"echo cut short", true, false, five_of_eight, ST_COMM_ERROR, 2 * (kPatternMs + 1000) + 200,
       "KDX-TESTKDX-TEST"},
      {"echo differs", true, false, fourth_differs, ST_NO_DEVICE, 2 * (kPatternMs + 85) + 200, "KDX-TESTKDX-TEST"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device.set_attached(c.attached);
    device.set_dsr_stuck_on(c.dsr_stuck_on);
    device.set_echo_filter(c.echo);
    device.clear_trace();
    const unsigned openings = port.open_count();
    const uint64_t start = clock.now_ns();
    EXPECT_EQ(KDX_InitComm(0, 9600), c.status);
    EXPECT_NEAR(elapsed_ms(start), c.elapsed_ms, 0.01);
    EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
    EXPECT_EQ(tarsk::g_tarsk.session.port, nullptr);
    EXPECT_EQ(tarsk::g_tarsk.session.card, nullptr);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.open_count(), openings + 1);
    EXPECT_EQ(host_text(), c.sent);
  }
  device.set_attached(true);
  device.set_dsr_stuck_on(false);
  device.set_echo_filter({});
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_OK);
}

TEST_F(Session, ShortEchoLeavesItsCountInTheRecord) {
  open();
  device.set_echo_filter([](uint8_t b, std::size_t i) { return i < 5 ? std::optional<uint8_t>(b) : std::nullopt; });
  EXPECT_EQ(KDX_TestDevice(), ST_COMM_ERROR);
  EXPECT_EQ(record().last_write_count, 8u);
  EXPECT_EQ(record().last_read_count, 5u);
  EXPECT_FALSE(device.rts_on());
}

TEST_F(Session, DeviceTestSucceedsOnTheRetry) {
  device.set_echo_filter([](uint8_t b, std::size_t i) { return i < 8 ? std::nullopt : std::optional<uint8_t>(b); });
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(KDX_InitComm(0, 9600), ST_OK);
  EXPECT_NEAR(elapsed_ms(start), kPatternMs + 3000 + 200 + kPatternMs + 85, 0.01);
  EXPECT_EQ(IsCommOpened(), ST_OK);
}

TEST_F(Session, DeviceTestOnAnOpenSession) {
  open();
  EXPECT_EQ(KDX_TestDevice(), ST_OK);
  device.set_attached(false);
  EXPECT_EQ(KDX_TestDevice(), ST_NO_DEVICE);
  EXPECT_EQ(IsCommOpened(), ST_OK);  // the session is kept
  device.set_attached(true);
  EXPECT_EQ(KDX_TestDevice(), ST_OK);
  EXPECT_TRUE(device.dtr_on());
  EXPECT_FALSE(device.rts_on());
}

// Port operations failing inside KDX_TestDevice: the status, and where the
// control lines are left (as far as the test had changed them). The
// settings writes are, in order: DTR off, DTR on, RTS on, RTS off.
TEST_F(Session, DeviceTestLineFailures) {
  struct Case {
    const char* name;
    std::function<void(sim::VirtualPort&)> arm;
    StatusCode status;
    bool dtr_on_after, rts_on_after;
  };
  const Case cases[] = {
      {"settings not read", [](sim::VirtualPort& p) { p.fail(PortOp::get_settings); }, ST_GET_STATE_FAILED, true,
       false},
      {"DTR off not written", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings, 1); }, ST_SET_STATE_FAILED,
       true, false},
      {"DTR on not written", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings, 2); }, ST_SET_STATE_FAILED,
       false, false},
      {"RTS on not written", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings, 3); }, ST_SET_STATE_FAILED,
       true, false},
      {"send fails", [](sim::VirtualPort& p) { p.fail(PortOp::write, 1); }, ST_COMM_ERROR, true, false},
      {"send fails, RTS stays on",
       [](sim::VirtualPort& p) {
         p.fail(PortOp::write, 1);
         p.fail(PortOp::set_settings, 4);
       },
       ST_SET_STATE_FAILED, true, true},
      {"receive fails", [](sim::VirtualPort& p) { p.fail(PortOp::read, 1); }, ST_COMM_ERROR, true, false},
      {"receive fails, RTS stays on",
       [](sim::VirtualPort& p) {
         p.fail(PortOp::read, 1);
         p.fail(PortOp::set_settings, 4);
       },
       ST_SET_STATE_FAILED, true, true},
      {"RTS off not written", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings, 4); }, ST_SET_STATE_FAILED,
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open();
    c.arm(port);
    EXPECT_EQ(KDX_TestDevice(), c.status);
    EXPECT_EQ(device.dtr_on(), c.dtr_on_after);
    EXPECT_EQ(device.rts_on(), c.rts_on_after);
    EXPECT_EQ(IsCommOpened(), ST_OK);
    for (PortOp op : {PortOp::set_settings, PortOp::read, PortOp::write}) port.fail(op, 0);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, EveryOpeningFailureLeavesNoSession) {
  struct Case {
    const char* name;
    std::function<void(sim::VirtualPort&)> arm;
    StatusCode status;
  };
  const Case cases[] = {
      {"port record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_alloc, 1); }, ST_ALLOC_FAILED},
      {"card record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_alloc, 2); }, ST_ALLOC_FAILED},
      {"port", [](sim::VirtualPort& p) { p.fail(PortOp::open); }, ST_PORT_INIT_FAILED},
      {"reading settings", [](sim::VirtualPort& p) { p.fail(PortOp::get_settings); }, ST_GET_STATE_FAILED},
      {"writing settings", [](sim::VirtualPort& p) { p.fail(PortOp::set_settings); }, ST_SET_STATE_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arm(port);
    EXPECT_EQ(KDX_InitComm(0, 9600), c.status);
    EXPECT_EQ(IsCommOpened(), ST_NOT_OPEN);
    EXPECT_EQ(tarsk::g_tarsk.session.port, nullptr);
    EXPECT_EQ(tarsk::g_tarsk.session.card, nullptr);
    EXPECT_FALSE(port.is_open());
    platform::faults::disarm_all();
    ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);  // nothing half-open is left in the way
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, AFailedCloseKeepsWhatIsLeftAndCanBeFinishedLater) {
  struct Case {
    const char* name;
    std::function<void(sim::VirtualPort&)> arm;
    StatusCode status;
    StatusCode is_open_after;
  };
  const Case cases[] = {
      {"port", [](sim::VirtualPort& p) { p.fail(PortOp::close); }, ST_PORT_CLOSE_FAILED, ST_OK},
      {"port record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_free, 1); }, ST_FREE_FAILED,
       ST_NOT_OPEN},
      {"card record", [](sim::VirtualPort&) { platform::faults::arm(Point::local_free, 2); }, ST_FREE_FAILED,
       ST_NOT_OPEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open();
    c.arm(port);
    EXPECT_EQ(KDX_ExitComm(), c.status);
    EXPECT_EQ(IsCommOpened(), c.is_open_after);
    EXPECT_EQ(KDX_InitComm(0, 9600), ST_ALREADY_OPEN);
    EXPECT_EQ(KDX_ExitComm(), ST_OK);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(tarsk::g_tarsk.session.port, nullptr);
    EXPECT_EQ(tarsk::g_tarsk.session.card, nullptr);
    ASSERT_EQ(KDX_InitComm(0, 9600), ST_OK);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(Session, ExportsNeedASession) {
  uint8_t buffer[4] = {1, 2, 3, 4};
  const std::function<StatusCode()> exports[] = {
      [] { return IsCommOpened(); },
      [] { return KDX_TestDevice(); },
      [] { return KDX_TestDoor(); },
      [] { return KDX_ConfigureSerialPort(); },
      [&] { return SendData(buffer, sizeof buffer); },
      [&] { return ReceiveData(buffer, sizeof buffer); },
      [] { return SendData(nullptr, 0); },
  };
  for (const auto& call : exports) EXPECT_EQ(call(), ST_NOT_OPEN);
  open();
  ASSERT_EQ(KDX_ExitComm(), ST_OK);
  device.clear_trace();
  for (const auto& call : exports) EXPECT_EQ(call(), ST_NOT_OPEN);
  EXPECT_TRUE(device.host_bytes().empty());
  EXPECT_TRUE(device.settings_writes().empty());
  EXPECT_EQ(buffer[0], 1);
}

TEST_F(Session, CardPresentTest) {
  open();
  record().card_active.store(1);
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
  EXPECT_EQ(record().card_active.load(), 0u);

  insert_card();
  record().card_active.store(1);
  EXPECT_EQ(KDX_TestDoor(), ST_OK);
  EXPECT_EQ(record().card_active.load(), 1u);
  // A failed status read reads as all lines off.
  port.fail(PortOp::modem_status);
  EXPECT_EQ(KDX_TestDoor(), ST_NO_CARD);
  EXPECT_EQ(record().card_active.load(), 0u);
  EXPECT_EQ(KDX_TestDoor(), ST_OK);
}

TEST_F(Session, SendAndReceiveCountWhatTheyMoved) {
  TalkingCard& card = insert_card();
  open();
  const uint8_t command[] = {0x00, 0xA4, 0x04, 0x00};
  EXPECT_EQ(SendData(command, sizeof command), ST_OK);
  EXPECT_EQ(record().last_write_count, 4u);
  uint8_t echo[4] = {};
  EXPECT_EQ(ReceiveData(echo, sizeof echo), ST_OK);  // what the line delivers, echo included
  EXPECT_EQ(std::memcmp(echo, command, sizeof command), 0);
  EXPECT_EQ(record().last_read_count, 4u);

  // 11 bytes arrive where 33 are asked for: the interval time-out ends it.
  Bytes answer(11);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(0x90 + i);
  {
    auto held = clock.lock();
    card.say(answer);
  }
  uint8_t buffer[40];
  std::memset(buffer, 0xEE, sizeof buffer);
  const uint64_t start = clock.now_ns();
  EXPECT_EQ(ReceiveData(buffer, 33), ST_COMM_ERROR);
  EXPECT_NEAR(elapsed_ms(start), 11 * kCharacterMs + 1000, 0.01);
  EXPECT_EQ(record().last_read_count, 11u);
  EXPECT_EQ(Bytes(buffer, buffer + 11), answer);
  EXPECT_EQ(buffer[11], 0xEE);

  port.fail(PortOp::write, 3);  // the third byte fails
  EXPECT_EQ(SendData(command, sizeof command), ST_COMM_ERROR);
  EXPECT_EQ(record().last_write_count, 2u);
  port.fail(PortOp::read, 1);
  EXPECT_EQ(ReceiveData(buffer, 2), ST_COMM_ERROR);
  EXPECT_EQ(record().last_read_count, 0u);

  EXPECT_EQ(SendData(nullptr, 1), ST_BAD_PARAMETER);
  EXPECT_EQ(ReceiveData(nullptr, 1), ST_BAD_PARAMETER);
  EXPECT_EQ(SendData(nullptr, 0), ST_OK);
  EXPECT_EQ(record().last_write_count, 0u);
}

TEST_F(Session, LineParametersForTheCard) {
  struct Case {
    const char* name;
    uint8_t inverse;
    uint32_t protocol;
    uint32_t wwt, cwt, bwt;
    uint32_t baud;
    uint8_t stop_bits;
    uint8_t parity;
    uint32_t interval, total;
  } const cases[] = {
      {"T=0, waiting time 0", 0, tarsk::kProtocolT0, 0, 0, 0, 9600, KDX_STOPBITS_TWO, KDX_PARITY_EVEN, 1, 1},
      {"T=0", 0, tarsk::kProtocolT0, 1000, 7, 9, 38400, KDX_STOPBITS_TWO, KDX_PARITY_EVEN, 1000, 1000},
      {"no protocol", 0, tarsk::kProtocolNone, 250, 0, 0, 9600, KDX_STOPBITS_TWO, KDX_PARITY_EVEN, 250, 250},
      {"inverse T=0", 1, tarsk::kProtocolT0, 500, 0, 0, 9600, KDX_STOPBITS_TWO, KDX_PARITY_ODD, 500, 500},
      {"T=1", 0, tarsk::kProtocolT1, 77, 4, 1601, 9600, KDX_STOPBITS_TWO, KDX_PARITY_EVEN, 16, 1601},
      {"T=1, one stop bit", 0, tarsk::kProtocolT1, 0, 0, 0, 115200, KDX_STOPBITS_ONE, KDX_PARITY_EVEN, 12, 1},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CardRecord& card = card_record();
    card.inverse_convention = c.inverse;
    card.protocol = c.protocol;
    card.work_waiting_time = c.wwt;
    card.character_waiting_time = c.cwt;
    card.block_waiting_time = c.bwt;
    record().baud_rate = c.baud;
    record().stop_bits = c.stop_bits;
    ASSERT_EQ(KDX_ConfigureSerialPort(), ST_OK);
    EXPECT_EQ(record().parity, c.parity);
    const KDX_Timeouts t = port.timeouts();
    EXPECT_EQ(t.read_interval, c.interval);
    EXPECT_EQ(t.read_total_multiplier, 0u);
    EXPECT_EQ(t.read_total_constant, c.total);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 0u);
    const KDX_LineSettings line = port.settings();
    EXPECT_EQ(line.baud_rate, c.baud);
    EXPECT_EQ(line.parity, c.parity);
    EXPECT_EQ(line.parity_check, 1);
    EXPECT_EQ(line.stop_bits, c.stop_bits);
    EXPECT_EQ(line.byte_size, 8);
    EXPECT_EQ(line.dtr_control, KDX_LINE_CONTROL_ENABLE);
    EXPECT_EQ(line.rts_control, KDX_LINE_CONTROL_DISABLE);
    // The device sees the next byte with these settings.
    device.clear_trace();
    const uint8_t byte = 0x55;
    ASSERT_EQ(SendData(&byte, 1), ST_OK);
    const auto sent = device.host_bytes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].settings.baud_rate, c.baud);
    EXPECT_EQ(sent[0].settings.parity, c.parity);
    EXPECT_EQ(sent[0].settings.stop_bits, c.stop_bits);
  }
  port.fail(PortOp::get_settings);
  EXPECT_EQ(KDX_ConfigureSerialPort(), ST_GET_STATE_FAILED);
  port.fail(PortOp::set_settings);
  EXPECT_EQ(KDX_ConfigureSerialPort(), ST_SET_STATE_FAILED);
  EXPECT_EQ(IsCommOpened(), ST_OK);
}

}  // namespace
}  // namespace kdx::test
