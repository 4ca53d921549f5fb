// The device names the handler takes in IFDHCreateChannelByName (the
// DEVICENAME of a reader.conf.d entry):
//
//   velmor:/dev/ttyUSB0         the reader with its own microcontroller
//   tarsk:/dev/ttyS0            the serial-line reader
//   sim:velmor?card=sle4442     a simulated reader, on a virtual clock, with a
//   sim:tarsk?card=t1           sample card in its slot (card=none: empty)
//
// Options follow '?' or ':' (reader.conf.d files take no '?':
// "sim:tarsk:card=t1"), separated by '&': card= (simulated readers) and
// at24c=N (the Velmor reader: AT24C cards of type N, 1 to 10, are taken;
// nothing on such a card tells its type). After a port path options go
// behind its last ':' or '?' ("velmor:/dev/ttyUSB0:at24c=5"); a path may
// hold ':' itself as long as its last part has no '='. Parsing is pure and
// bounded by the name's length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kdx::ifd {

enum class ReaderKind : uint8_t { velmor, tarsk };

struct DeviceName {
  ReaderKind kind = ReaderKind::velmor;
  bool simulated = false;
  std::string port;  // the serial device (real readers)
  std::string card;  // the sample card (simulated readers); empty: the default
  uint8_t at24c_type = 0;  // 0: no AT24C cards
};

// Longest name taken; pcscd passes at most MAX_DEVICENAME (255) anyway.
inline constexpr std::size_t kMaxDeviceName = 255;

// False, with `error` saying why, for a malformed name. Card names are not
// checked here: the simulator knows its cards.
bool parse_device_name(std::string_view text, DeviceName& name, std::string& error);

// The serial device of a pcsc-lite channel number: the legacy port addresses
// 0x0103F8, 0x0102F8, 0x0103E8, 0x0102E8 are /dev/ttyS0 to 3, and a small
// number n (below 256) is /dev/ttyS<n>. Empty for anything else.
std::string channel_port(uint32_t channel);

}  // namespace kdx::ifd
