// The device names the handler takes in IFDHCreateChannelByName (the
// DEVICENAME of a reader.conf.d entry):
//
//   velmor:/dev/ttyUSB0         the reader with its own microcontroller
//   tarsk:/dev/ttyS0            the serial-line reader
//   sim:velmor?card=sle4442     a simulated reader, on a virtual clock, with a
//   sim:tarsk?card=t1           sample card in its slot (card=none: empty)
//
// Options of sim: follow '?' or ':' (reader.conf.d files take no '?':
// "sim:tarsk:card=t1"), separated by '&'; only card= is known. Parsing is
// pure and bounded by the name's length.
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
