#include <cstring>

#include "pcsc/handler_fixture.h"

namespace kdx::ifd {
namespace {

const Bytes kCpuAtr = {0x3B, 0x68, 0x00, 0x00, 'K', 'D', 'X', '-', 'C', 'P', 'U', '1'};
const Bytes kT1Atr = {0x3B, 0x84, 0x81, 0x31, 0xFE, 0x45, 0x4B, 0x44, 0x58, 0x31, 0xE9};
const Bytes kOk = {0x90, 0x00};

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes joined(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(HandlerTest, BadDeviceNamesAreRefusedWithALogLine) {
  const struct {
    const char* name;
    RESPONSECODE result;
  } cases[] = {
      {"", IFD_NO_SUCH_DEVICE},
      {"/dev/ttyS0", IFD_NO_SUCH_DEVICE},
      {"sim:velmor?card=nosuchcard", IFD_NO_SUCH_DEVICE},
      {"sim:tarsk?card=nosuchcard", IFD_NO_SUCH_DEVICE},
      {"sim:tarsk?baud=9600", IFD_NO_SUCH_DEVICE},
      {"velmor:/nonexistent/tty", IFD_NO_SUCH_DEVICE},
      {"tarsk:/nonexistent/tty", IFD_NO_SUCH_DEVICE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    EXPECT_EQ(open(c.name), c.result);
    EXPECT_FALSE(log.empty());
  }
  EXPECT_EQ(IFDHCreateChannelByName(kLun, nullptr), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHCreateChannel(kLun, 0x7FFFFFFF), IFD_NO_SUCH_DEVICE);
  // Every other call on a channel that is not open.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_COMMUNICATION_ERROR);
  power_up();
  EXPECT_EQ(last, IFD_COMMUNICATION_ERROR);
}

TEST_F(HandlerTest, CapabilitiesPcscdAsksFor) {
  ASSERT_EQ(open("sim:velmor?card=cpu"), IFD_SUCCESS);
  const struct {
    DWORD tag;
    Bytes value;
  } cases[] = {
      {TAG_IFD_SLOTS_NUMBER, {1}},
      {TAG_IFD_SIMULTANEOUS_ACCESS, {static_cast<uint8_t>(kMaxChannels)}},
      {TAG_IFD_THREAD_SAFE, {1}},
      {TAG_IFD_SLOT_THREAD_SAFE, {0}},
      {SCARD_ATTR_ICC_PRESENCE, {2}},
      {SCARD_ATTR_ICC_INTERFACE_STATUS, {0}},
      {TAG_IFD_ATR, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    UCHAR value[64] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, c.tag, &length, value), IFD_SUCCESS);
    EXPECT_EQ(Bytes(value, value + length), c.value);
  }
  UCHAR value[64] = {};
  DWORD length = sizeof value;
  EXPECT_EQ(IFDHGetCapabilities(kLun, 0x7777, &length, value), IFD_ERROR_TAG);
  EXPECT_EQ(power_up(), kCpuAtr);
  length = sizeof value;
  ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
  EXPECT_EQ(Bytes(value, value + length), kCpuAtr);
  length = 4;
  EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(HandlerTest, ControlOffersNoFeatures) {
  ASSERT_EQ(open("sim:velmor"), IFD_SUCCESS);
  UCHAR out[16];
  DWORD returned = 99;
  EXPECT_EQ(IFDHControl(kLun, 0x42000000 + 3400, nullptr, 0, out, sizeof out, &returned), IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
  returned = 99;
  EXPECT_EQ(IFDHControl(kLun, 0x42000000 + 1, nullptr, 0, out, sizeof out, &returned), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

TEST_F(HandlerTest, VelmorCpuCardApdusSeeIsoCaseMapping) {
  ASSERT_EQ(open("sim:velmor?card=cpu"), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  ASSERT_EQ(power_up(), kCpuAtr);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  // SELECT as case 4: the card's 61 0D is fetched inside the driver.
  const Bytes fcp = {0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x00, 0x01, 0x80, 0x02, 0x00, 0x22};
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00}), joined(fcp, kOk));
  // Case 3 SELECT leaves the 61xx to the application.
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}), (Bytes{0x61, 0x0D}));
  // Case 2 with Le 00: the card's 6C22 resends with its length.
  EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x00, 0x00}), joined(text("Hello from the simulated CPU card."), kOk));
  EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x06, 0x04}), joined(text("from"), kOk));
  // Case 3 UPDATE BINARY, byte by byte on the card's side, then read back.
  EXPECT_EQ(transmit({0x00, 0xD6, 0x00, 0x00, 0x02, 'J', 'e'}), kOk);
  EXPECT_EQ(transmit({0x00, 0xB0, 0x00, 0x00, 0x05}), joined(text("Jello"), kOk));
  // Case 1.
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x00}), (Bytes{0x67, 0x00}));
  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
}

TEST_F(HandlerTest, ShortOversizedAndUnfittingApdus) {
  ASSERT_EQ(open("sim:velmor?card=cpu"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), kCpuAtr);
  const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00};
  const Bytes malformed[] = {
      {0x00, 0xA4, 0x00},                            // short
      {0x00, 0xA4, 0x00, 0x00, 0x03, 0x00, 0x01},    // Lc past the end
      Bytes(5 + 200, 0x00),                          // more than the reader carries
  };
  for (const Bytes& apdu : malformed) {
    log.clear();
    EXPECT_TRUE(transmit(apdu).empty());
    EXPECT_EQ(last, IFD_COMMUNICATION_ERROR);
    EXPECT_FALSE(log.empty());
  }
  // 15 bytes of answer for a buffer of 14: refused, nothing written.
  EXPECT_TRUE(transmit(select, kLun, 14).empty());
  EXPECT_EQ(last, IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(transmit(select, kLun, 15).size(), 15u);
}

TEST_F(HandlerTest, CardPulledMidExchangeIsReportedAbsent) {
  ASSERT_EQ(open("sim:velmor?card=cpu"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), kCpuAtr);
  ASSERT_EQ(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x02}), (Bytes{0x61, 0x0D}));
  // A long read makes the card work; it is pulled meanwhile.
  slot().remove_in(50);
  EXPECT_TRUE(transmit({0x00, 0xB0, 0x00, 0x00, 0x40}).empty());
  EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(transmit({0x00, 0xB0, 0x00, 0x00, 0x04}).empty());
  EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
  power_up();
  EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
  // Back in: powered afresh.
  ASSERT_TRUE(slot().insert("cpu"));
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(power_up(), kCpuAtr);
}

TEST_F(HandlerTest, Sle4442ThroughStorageCardApdus) {
  ASSERT_EQ(open("sim:velmor?card=sle4442"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), (Bytes{0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91}));
  const struct {
    const char* what;
    Bytes apdu;
    Bytes response;
  } steps[] = {
      {"read", {0xFF, 0xB0, 0x00, 0x20, 0x10}, joined(text("KDX SLE4442 card"), kOk)},
      {"read past the end stops there", {0xFF, 0xB0, 0x00, 0xFE, 0x04}, {0xFF, 0xFF, 0x62, 0x82}},
      {"read outside", {0xFF, 0xB0, 0x01, 0x00, 0x01}, {0x6B, 0x00}},
      {"write before the PSC is not taken", {0xFF, 0xD6, 0x00, 0x40, 0x02, 'H', 'i'}, {0x69, 0x82}},
      {"wrong PSC: two attempts left", {0xFF, 0x20, 0x00, 0x00, 0x03, 0x12, 0x34, 0x56}, {0x63, 0xC2}},
      {"PSC of the wrong length", {0xFF, 0x20, 0x00, 0x00, 0x02, 0xFF, 0xFF}, {0x67, 0x00}},
      {"right PSC", {0xFF, 0x20, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0xFF}, kOk},
      {"write", {0xFF, 0xD6, 0x00, 0x40, 0x02, 'H', 'i'}, kOk},
      {"read what was written", {0xFF, 0xB0, 0x00, 0x40, 0x02}, joined(text("Hi"), kOk)},
      {"protected byte not taken", {0xFF, 0xD6, 0x00, 0x00, 0x01, 0x00}, {0x69, 0x82}},
      {"write past the end", {0xFF, 0xD6, 0x00, 0xFF, 0x02, 0x00, 0x00}, {0x67, 0x00}},
      {"other instruction", {0xFF, 0xCA, 0x00, 0x00, 0x00}, {0x6D, 0x00}},
      {"other class", {0x00, 0xB0, 0x00, 0x00, 0x01}, {0x6E, 0x00}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(transmit(step.apdu), step.response);
  }
}

TEST_F(HandlerTest, Sle4428ThroughStorageCardApdus) {
  ASSERT_EQ(open("sim:velmor?card=sle4428"), IFD_SUCCESS);
  const Bytes atr = power_up();
  ASSERT_EQ(last, IFD_SUCCESS);
  ASSERT_EQ(atr.size(), 6u);
  EXPECT_EQ(atr[0], 0x3B);
  EXPECT_EQ(transmit({0xFF, 0xB0, 0x00, 0x20, 0x10}), joined(text("KDX SLE4428 card"), kOk));
  const Bytes tail = transmit({0xFF, 0xB0, 0x03, 0xF0, 0x00});  // Le 00: up to the end, no warning
  ASSERT_EQ(tail.size(), 16u + 2u);
  EXPECT_EQ(Bytes(tail.end() - 2, tail.end()), kOk);
  EXPECT_EQ(transmit({0xFF, 0x20, 0x00, 0x00, 0x02, 0x00, 0x00}), (Bytes{0x63, 0xC7}));
  EXPECT_EQ(transmit({0xFF, 0x20, 0x00, 0x00, 0x02, 0xFF, 0xFF}), kOk);
  EXPECT_EQ(transmit({0xFF, 0xD6, 0x02, 0x00, 0x03, 1, 2, 3}), kOk);
  EXPECT_EQ(transmit({0xFF, 0xB0, 0x02, 0x00, 0x03}), (Bytes{1, 2, 3, 0x90, 0x00}));
}

TEST_F(HandlerTest, EmptySlotAndBlankCard) {
  ASSERT_EQ(open("sim:velmor?card=none"), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  power_up();
  EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
  ASSERT_TRUE(slot().insert("blank"));
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  log.clear();
  power_up();
  EXPECT_EQ(last, IFD_ERROR_POWER_ACTION);
  EXPECT_FALSE(log.empty());
}

TEST_F(HandlerTest, TarskActivationPresenceAndProtocol) {
  ASSERT_EQ(open("sim:tarsk?card=t1"), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  ASSERT_EQ(power_up(), kT1Atr);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(power_up(kLun, IFD_RESET), kT1Atr);
  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
  slot().remove();
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  power_up();
  EXPECT_EQ(last, IFD_ICC_NOT_PRESENT);
  ASSERT_TRUE(slot().insert("silent"));
  power_up();
  EXPECT_EQ(last, IFD_ERROR_POWER_ACTION);
  ASSERT_TRUE(slot().insert("t0"));
  EXPECT_EQ(power_up(), (Bytes{0x3B, 0x02, 0x14, 0x50}));
  EXPECT_TRUE(slot().violations().empty());
}

TEST_F(HandlerTest, SeveralReadersOfBothKindsAtOnce) {
  constexpr DWORD kSecond = 0x20000;
  constexpr DWORD kThird = 0x30000;
  ASSERT_EQ(open("sim:velmor?card=sle4442"), IFD_SUCCESS);
  ASSERT_EQ(open("sim:velmor?card=cpu", kSecond), IFD_SUCCESS);
  ASSERT_EQ(open("sim:tarsk?card=t1", kThird), IFD_SUCCESS);
  EXPECT_EQ(open("sim:tarsk", kThird), IFD_COMMUNICATION_ERROR);  // Lun in use
  EXPECT_EQ(power_up(kSecond), kCpuAtr);
  EXPECT_EQ(power_up(kLun), (Bytes{0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91}));
  EXPECT_EQ(power_up(kThird), kT1Atr);
  EXPECT_EQ(transmit({0xFF, 0xB0, 0x00, 0x20, 0x03}, kLun), joined(text("KDX"), kOk));
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}, kSecond), (Bytes{0x61, 0x0D}));
  // A closed channel's library instance serves the next one.
  EXPECT_EQ(IFDHCloseChannel(kSecond), IFD_SUCCESS);
  opened.erase(std::find(opened.begin(), opened.end(), kSecond));
  ASSERT_EQ(open("sim:velmor?card=sle4428", kSecond), IFD_SUCCESS);
  EXPECT_EQ(power_up(kSecond).size(), 6u);
}

}  // namespace
}  // namespace kdx::ifd

namespace kdx::ifd {
namespace {

TEST_F(HandlerTest, Sle4442LockedAfterThreeWrongPscs) {
  ASSERT_EQ(open("sim:velmor?card=sle4442"), IFD_SUCCESS);
  ASSERT_EQ(power_up().size(), 6u);
  const Bytes wrong = {0xFF, 0x20, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(transmit(wrong), (Bytes{0x63, 0xC2}));
  EXPECT_EQ(transmit(wrong), (Bytes{0x63, 0xC1}));
  EXPECT_EQ(transmit(wrong), (Bytes{0x69, 0x83}));
  EXPECT_EQ(transmit({0xFF, 0x20, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0xFF}), (Bytes{0x69, 0x83}));
  EXPECT_EQ(transmit({0xFF, 0xD6, 0x00, 0x40, 0x01, 0x41}), (Bytes{0x69, 0x82}));
}

TEST_F(HandlerTest, ProtocolSelectionOnTheSerialLineReader) {
  ASSERT_EQ(open("sim:tarsk?card=t0"), IFD_SUCCESS);
  ASSERT_EQ(power_up(), (Bytes{0x3B, 0x02, 0x14, 0x50}));
  // The card runs T=0 at the default rate already: nothing to negotiate.
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, IFD_NEGOTIATE_PTS1, 0x11, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_RAW, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  DWORD protocol = 0;
  DWORD length = sizeof protocol;
  ASSERT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &length, reinterpret_cast<PUCHAR>(&protocol)),
            IFD_SUCCESS);
  EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
  log.clear();
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_COMMUNICATION_ERROR);
  EXPECT_TRUE(transmit({0x00, 0xA4, 0x00, 0x00}).empty());
  EXPECT_EQ(last, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(log.size(), 2u);
  slot().remove();
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_ICC_NOT_PRESENT);
}

}  // namespace
}  // namespace kdx::ifd

#include <atomic>
#include <thread>

namespace kdx::ifd {
namespace {

// pcscd calls from a thread per reader and polls presence from others: the
// channels run side by side, and polling never waits behind an exchange.
TEST_F(HandlerTest, ChannelsRunSideBySideWhilePresenceIsPolled) {
  constexpr DWORD kSecond = 0x20000;
  constexpr int kRounds = 20;
  ASSERT_EQ(open("sim:velmor?card=cpu"), IFD_SUCCESS);
  ASSERT_EQ(open("sim:velmor?card=sle4442", kSecond), IFD_SUCCESS);
  ASSERT_EQ(power_up(kLun), kCpuAtr);
  ASSERT_EQ(power_up(kSecond).size(), 6u);
  std::atomic<bool> done{false};
  std::atomic<int> absent{0};
  std::thread poller([&] {
    while (!done) {
      for (const DWORD lun : {kLun, kSecond}) {
        if (IFDHICCPresence(lun) != IFD_ICC_PRESENT) ++absent;
      }
    }
  });
  const auto rounds = [](DWORD lun, const Bytes& apdu, std::size_t expected_size) {
    int good = 0;
    for (int i = 0; i < kRounds; ++i) {
      UCHAR rx[MAX_BUFFER_SIZE];
      DWORD length = sizeof rx;
      Bytes tx = apdu;
      if (IFDHTransmitToICC(lun, SCARD_IO_HEADER{SCARD_PROTOCOL_T0, 8}, tx.data(), static_cast<DWORD>(tx.size()), rx, &length,
                            nullptr) == IFD_SUCCESS &&
          length == expected_size) {
        ++good;
      }
    }
    return good;
  };
  int second_good = 0;
  std::thread second([&] { second_good = rounds(kSecond, {0xFF, 0xB0, 0x00, 0x20, 0x10}, 18); });
  const int first_good = rounds(kLun, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00}, 15);
  second.join();
  done = true;
  poller.join();
  EXPECT_EQ(first_good, kRounds);
  EXPECT_EQ(second_good, kRounds);
  EXPECT_EQ(absent, 0);
}

}  // namespace
}  // namespace kdx::ifd

namespace kdx::ifd {
namespace {

// A reader pulled off the port: every call comes back, with a failure, in
// the libraries' bounds.
TEST_F(HandlerTest, UnpluggedReaderFailsEveryCallCleanly) {
  const struct {
    const char* name;
    RESPONSECODE presence;
    RESPONSECODE transmit;
  } cases[] = {
      {"sim:velmor?card=cpu", IFD_COMMUNICATION_ERROR, IFD_COMMUNICATION_ERROR},
      // The serial-line device drives no line: no card shows on CTS.
      {"sim:tarsk?card=t0", IFD_ICC_NOT_PRESENT, IFD_ICC_NOT_PRESENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open(c.name), IFD_SUCCESS);
    ASSERT_FALSE(power_up().empty());
    log.clear();
    slot().unplug();
    EXPECT_TRUE(transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}).empty());
    EXPECT_EQ(last, c.transmit);
    EXPECT_EQ(IFDHICCPresence(kLun), c.presence);
    power_up();
    EXPECT_NE(last, IFD_SUCCESS);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    opened.clear();
  }
}

}  // namespace
}  // namespace kdx::ifd

namespace kdx::ifd {
namespace {

// Every channel the handler serves at once has a library instance of its
// own (so its own session and port), closed ones' instances included.
TEST_F(HandlerTest, AsManyReadersAsTheHandlerServes) {
  const auto lun_of = [](DWORD channel) { return channel << 16; };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    for (DWORD channel = 0; channel < kMaxChannels; ++channel) {
      SCOPED_TRACE(channel);
      const bool velmor = channel % 2 == 0;
      ASSERT_EQ(open(velmor ? "sim:velmor?card=sle4442" : "sim:tarsk?card=t0", lun_of(channel)), IFD_SUCCESS);
      ASSERT_FALSE(power_up(lun_of(channel)).empty());
      EXPECT_EQ(transmit(velmor ? Bytes{0xFF, 0xB0, 0x00, 0x20, 0x03} : Bytes{0x00, 0x44, 0x00, 0x00}, lun_of(channel)),
                velmor ? joined(text("KDX"), kOk) : kOk);
    }
    for (DWORD channel = 0; channel < kMaxChannels; ++channel) EXPECT_EQ(close(lun_of(channel)), IFD_SUCCESS);
  }
}

}  // namespace
}  // namespace kdx::ifd
