#include "pcsc/device_name.h"

#include <gtest/gtest.h>

namespace kdx::ifd {
namespace {

struct NameCase {
  const char* text;
  bool ok;
  ReaderKind kind;
  bool simulated;
  const char* port;
  const char* card;
  uint8_t at24c_type = 0;
};

TEST(DeviceName, ParsesEveryFormAndRefusesMalformedOnes) {
  const NameCase cases[] = {
      {"velmor:/dev/ttyUSB0", true, ReaderKind::velmor, false, "/dev/ttyUSB0", ""},
      {"tarsk:/dev/ttyS0", true, ReaderKind::tarsk, false, "/dev/ttyS0", ""},
      {"sim:tarsk?card=t1", true, ReaderKind::tarsk, true, "", "t1"},
      {"sim:velmor?card=sle4442", true, ReaderKind::velmor, true, "", "sle4442"},
      {"sim:velmor:card=sle4428", true, ReaderKind::velmor, true, "", "sle4428"},
      {"sim:velmor", true, ReaderKind::velmor, true, "", ""},
      {"sim:tarsk?card=a&card=t0", true, ReaderKind::tarsk, true, "", "t0"},
      {"", false, ReaderKind::velmor, false, "", ""},
      {"/dev/ttyS0", false, ReaderKind::velmor, false, "", ""},
      {"velmor:", false, ReaderKind::velmor, false, "", ""},
      {"velmor:ttyS0", false, ReaderKind::velmor, false, "", ""},
      {"other:/dev/ttyS0", false, ReaderKind::velmor, false, "", ""},
      {"sim:", false, ReaderKind::velmor, true, "", ""},
      {"sim:other?card=t0", false, ReaderKind::velmor, true, "", ""},
      {"sim:tarsk?card=", false, ReaderKind::tarsk, true, "", ""},
      {"sim:tarsk?speed=9600", false, ReaderKind::tarsk, true, "", ""},
      {"sim:tarsk?", true, ReaderKind::tarsk, true, "", ""},
      {"tarsk:/dev/tty\nS0", false, ReaderKind::tarsk, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=5", true, ReaderKind::velmor, false, "/dev/ttyUSB0", "", 5},
      {"velmor:/dev/ttyUSB0?at24c=10", true, ReaderKind::velmor, false, "/dev/ttyUSB0", "", 10},
      {"velmor:/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0", true, ReaderKind::velmor, false,
       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0", ""},
      {"velmor:/dev/serial/by-path/pci-0000:00:14.0:at24c=1", true, ReaderKind::velmor, false,
       "/dev/serial/by-path/pci-0000:00:14.0", "", 1},
      {"sim:velmor:card=at24c-3&at24c=3", true, ReaderKind::velmor, true, "", "at24c-3", 3},
      {"velmor:/dev/ttyUSB0:card=cpu", false, ReaderKind::velmor, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=0", false, ReaderKind::velmor, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=11", false, ReaderKind::velmor, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=05", false, ReaderKind::velmor, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=", false, ReaderKind::velmor, false, "", ""},
      {"velmor:/dev/ttyUSB0:at24c=99999999999", false, ReaderKind::velmor, false, "", ""},
      {"tarsk:/dev/ttyS0:at24c=5", false, ReaderKind::tarsk, false, "", ""},
      {"sim:tarsk?at24c=5", false, ReaderKind::tarsk, true, "", ""},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.text);
    DeviceName name;
    std::string error;
    ASSERT_EQ(parse_device_name(c.text, name, error), c.ok);
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(name.kind, c.kind);
    EXPECT_EQ(name.simulated, c.simulated);
    EXPECT_EQ(name.port, c.port);
    EXPECT_EQ(name.card, c.card);
    EXPECT_EQ(name.at24c_type, c.at24c_type);
  }
}

TEST(DeviceName, RefusesAnOverlongName) {
  DeviceName name;
  std::string error;
  EXPECT_FALSE(parse_device_name("velmor:/" + std::string(kMaxDeviceName, 'a'), name, error));
}

TEST(DeviceName, ChannelNumbersMapToSerialPorts) {
  EXPECT_EQ(channel_port(0x0103F8), "/dev/ttyS0");
  EXPECT_EQ(channel_port(0x0102E8), "/dev/ttyS3");
  EXPECT_EQ(channel_port(5), "/dev/ttyS5");
  EXPECT_EQ(channel_port(0x10000), "");
}

}  // namespace
}  // namespace kdx::ifd
