// pcsc-lite's driver interface, version 3. Every export checks and masks its
// arguments, takes the channel's lock and hands over to the channel's
// Reader; failures are logged through pcscd's debug output.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "pcsc/channels.h"
#include "pcsc/device_name.h"
#include "kdx_ifd.h"
#include "pcsc/log.h"
#include "pcsc/reader.h"

namespace kdx::ifd {
namespace {

constexpr DWORD kSlotMask = 0xFFFF;
constexpr unsigned kChannelShift = 16;
constexpr DWORD kSlots = 1;
constexpr UCHAR kPresentAndSwallowed = 2;  // SCARD_ATTR_ICC_PRESENCE
constexpr std::size_t kMinApdu = 4;
constexpr DWORD kGetFeatureRequest = 0x42000000 + 3400;  // SCARD_CTL_CODE(3400)
constexpr char kVendorName[] = "kdx";
constexpr DWORD kVendorVersion = 0x01000000;  // 1.0.0 as major.minor.build

struct Channel {
  std::mutex mutex;
  std::unique_ptr<Reader> reader;
  std::vector<uint8_t> atr;
  bool powered = false;
  std::atomic<RESPONSECODE> last_presence{IFD_ICC_NOT_PRESENT};
};

// Never destroyed: pcscd's threads may still call in while the process
// runs its exit handlers.
std::mutex& table_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::map<DWORD, std::shared_ptr<Channel>>& table() {
  static auto* channels = new std::map<DWORD, std::shared_ptr<Channel>>;
  return *channels;
}

std::shared_ptr<Channel> find(DWORD lun) {
  if ((lun & kSlotMask) >= kSlots) {
    log_line(LogLevel::error, "Lun 0x%lX: the reader has one slot", static_cast<unsigned long>(lun));
    return nullptr;
  }
  const std::lock_guard<std::mutex> held(table_mutex());
  const auto found = table().find(lun >> kChannelShift);
  if (found == table().end()) {
    log_line(LogLevel::error, "Lun 0x%lX: no open channel", static_cast<unsigned long>(lun));
    return nullptr;
  }
  return found->second;
}

RESPONSECODE add_channel(DWORD lun, std::unique_ptr<Reader> reader) {
  const std::lock_guard<std::mutex> held(table_mutex());
  auto& channels = table();
  if (channels.count(lun >> kChannelShift) != 0 || channels.size() >= kMaxChannels) {
    log_line(LogLevel::error, "Lun 0x%lX: channel in use, or %lu channels open already", static_cast<unsigned long>(lun),
             static_cast<unsigned long>(kMaxChannels));
    return IFD_COMMUNICATION_ERROR;
  }
  auto channel = std::make_shared<Channel>();
  channel->reader = std::move(reader);
  channel->last_presence = channel->reader->presence();
  channels[lun >> kChannelShift] = std::move(channel);
  return IFD_SUCCESS;
}

std::unique_ptr<Reader> open_reader(const DeviceName& name, RESPONSECODE& result, std::string& error) {
  return name.kind == ReaderKind::velmor ? open_velmor(name, result, error) : open_tarsk(name, result, error);
}

RESPONSECODE create_by_name(DWORD lun, const char* text) {
  if ((lun & kSlotMask) >= kSlots) return IFD_COMMUNICATION_ERROR;
  DeviceName name;
  std::string error;
  const std::string_view view(text, strnlen(text, kMaxDeviceName + 1));
  if (!parse_device_name(view, name, error)) {
    log_line(LogLevel::error, "device name \"%.*s\": %s", static_cast<int>(std::min(view.size(), kMaxDeviceName)), text,
             error.c_str());
    return IFD_NO_SUCH_DEVICE;
  }
  RESPONSECODE result = IFD_COMMUNICATION_ERROR;
  auto reader = open_reader(name, result, error);
  if (!reader) {
    log_line(LogLevel::error, "%s: %s", text, error.c_str());
    return result;
  }
  log_line(LogLevel::info, "%s: reader open", text);
  return add_channel(lun, std::move(reader));
}

// A channel number names a port only; the reader on it is found by asking
// the Velmor reader for its version first, then the serial-line device for
// its DSR/DTR answer.
RESPONSECODE create_by_number(DWORD lun, DWORD number) {
  if ((lun & kSlotMask) >= kSlots) return IFD_COMMUNICATION_ERROR;
  DeviceName name;
  name.port = channel_port(static_cast<uint32_t>(number));
  if (name.port.empty()) {
    log_line(LogLevel::error, "channel 0x%lX names no serial port", static_cast<unsigned long>(number));
    return IFD_NO_SUCH_DEVICE;
  }
  RESPONSECODE result = IFD_COMMUNICATION_ERROR;
  std::string error;
  for (const ReaderKind kind : {ReaderKind::velmor, ReaderKind::tarsk}) {
    name.kind = kind;
    auto reader = open_reader(name, result, error);
    if (reader) return add_channel(lun, std::move(reader));
    log_line(LogLevel::info, "%s: %s", name.port.c_str(), error.c_str());
  }
  return result;
}

RESPONSECODE put_bytes(PDWORD length, PUCHAR value, const void* bytes, std::size_t count) {
  if (*length < count) {
    *length = 0;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (count > 0) std::memcpy(value, bytes, count);
  *length = static_cast<DWORD>(count);
  return IFD_SUCCESS;
}

RESPONSECODE put_byte(PDWORD length, PUCHAR value, UCHAR byte) { return put_bytes(length, value, &byte, 1); }

RESPONSECODE capability(Channel& channel, DWORD tag, PDWORD length, PUCHAR value) {
  switch (tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: return put_bytes(length, value, channel.atr.data(), channel.powered ? channel.atr.size() : 0);
    case SCARD_ATTR_ICC_PRESENCE:
      return put_byte(length, value, channel.reader->presence() == IFD_ICC_PRESENT ? kPresentAndSwallowed : 0);
    case SCARD_ATTR_ICC_INTERFACE_STATUS: return put_byte(length, value, channel.powered ? 1 : 0);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: {
      const DWORD protocol = channel.powered ? channel.reader->protocol() : 0;
      return put_bytes(length, value, &protocol, sizeof protocol);
    }
    case TAG_IFD_SLOTS_NUMBER: return put_byte(length, value, kSlots);
    case TAG_IFD_SIMULTANEOUS_ACCESS: return put_byte(length, value, kMaxChannels);
    case TAG_IFD_THREAD_SAFE: return put_byte(length, value, 1);  // every channel is a library instance of its own
    case TAG_IFD_SLOT_THREAD_SAFE: return put_byte(length, value, 0);
    case SCARD_ATTR_VENDOR_NAME: return put_bytes(length, value, kVendorName, sizeof kVendorName);
    case SCARD_ATTR_VENDOR_IFD_VERSION: return put_bytes(length, value, &kVendorVersion, sizeof kVendorVersion);
    default: return IFD_ERROR_TAG;
  }
}

RESPONSECODE power(Channel& channel, DWORD action, PUCHAR atr, PDWORD atr_length) {
  RESPONSECODE result = IFD_NOT_SUPPORTED;
  switch (action) {
    case IFD_POWER_DOWN:
      result = channel.reader->power_down();
      channel.powered = false;
      channel.atr.clear();
      if (atr_length != nullptr) *atr_length = 0;
      return result;
    case IFD_POWER_UP:
    case IFD_RESET: {
      std::vector<uint8_t> answer;
      result = channel.reader->power_up(action == IFD_RESET, answer);
      channel.powered = result == IFD_SUCCESS;
      channel.atr = channel.powered ? answer : std::vector<uint8_t>{};
      break;
    }
    default:
      log_line(LogLevel::error, "power action %lu unknown", static_cast<unsigned long>(action));
      return IFD_NOT_SUPPORTED;
  }
  if (atr_length != nullptr) {
    const std::size_t room = atr != nullptr ? std::min<std::size_t>(*atr_length, MAX_ATR_SIZE) : 0;
    if (channel.atr.size() > room) {
      *atr_length = 0;
      return result == IFD_SUCCESS ? IFD_ERROR_INSUFFICIENT_BUFFER : result;
    }
    if (!channel.atr.empty()) std::memcpy(atr, channel.atr.data(), channel.atr.size());
    *atr_length = static_cast<DWORD>(channel.atr.size());
  }
  return result;
}

// A call that needs a powered card: absent, or there and not powered.
RESPONSECODE unpowered(Channel& channel) {
  if (channel.reader->presence() == IFD_ICC_NOT_PRESENT) return IFD_ICC_NOT_PRESENT;
  log_line(LogLevel::error, "the card is not powered");
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE transmit(Channel& channel, PUCHAR tx, DWORD tx_length, PUCHAR rx, PDWORD rx_length) {
  const DWORD room = *rx_length;
  *rx_length = 0;
  if (tx_length < kMinApdu || tx_length > MAX_BUFFER_SIZE_EXTENDED) {
    log_line(LogLevel::error, "an APDU of %lu bytes", static_cast<unsigned long>(tx_length));
    return IFD_COMMUNICATION_ERROR;
  }
  if (!channel.powered) return unpowered(channel);
  std::vector<uint8_t> response;
  const RESPONSECODE result = channel.reader->transmit(std::span<const uint8_t>(tx, tx_length), response);
  if (result == IFD_ICC_NOT_PRESENT) {
    channel.powered = false;
    channel.atr.clear();
  }
  if (result != IFD_SUCCESS) return result;
  if (response.size() > room) {
    log_line(LogLevel::error, "a response of %zu bytes for a buffer of %lu", response.size(), static_cast<unsigned long>(room));
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  std::copy(response.begin(), response.end(), rx);
  *rx_length = static_cast<DWORD>(response.size());
  return IFD_SUCCESS;
}

// Runs `action` on the channel under its lock; IFD_COMMUNICATION_ERROR for
// a Lun without one.
template <typename Action>
RESPONSECODE with_channel(DWORD lun, Action action) {
  const std::shared_ptr<Channel> channel = find(lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  const std::lock_guard<std::mutex> held(channel->mutex);
  const RESPONSECODE result = action(*channel);
  // What the call learnt stands for presence while a later call runs.
  if (result == IFD_ICC_NOT_PRESENT) {
    channel->last_presence = IFD_ICC_NOT_PRESENT;
  } else if (channel->powered) {
    channel->last_presence = IFD_ICC_PRESENT;
  }
  return result;
}

}  // namespace

SimulatedSlot* simulated_slot(DWORD lun) {
  const std::shared_ptr<Channel> channel = find(lun);
  return channel ? channel->reader->simulated_slot() : nullptr;
}

}  // namespace kdx::ifd

using namespace kdx::ifd;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  if (DeviceName == nullptr) {
    log_line(LogLevel::error, "no device name");
    return IFD_NO_SUCH_DEVICE;
  }
  return create_by_name(Lun, DeviceName);
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) { return create_by_number(Lun, Channel); }

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::shared_ptr<kdx::ifd::Channel> channel;
  {
    const std::lock_guard<std::mutex> held(table_mutex());
    const auto found = table().find(Lun >> kChannelShift);
    if (found == table().end()) return IFD_COMMUNICATION_ERROR;
    channel = found->second;
    table().erase(found);
  }
  // Waits for a call in progress; the reader closes its session as it goes.
  const std::lock_guard<std::mutex> held(channel->mutex);
  channel->reader.reset();
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
  return with_channel(Lun, [&](kdx::ifd::Channel& c) -> RESPONSECODE { return capability(c, Tag, Length, Value); });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD, PUCHAR) {
  return with_channel(Lun, [&](kdx::ifd::Channel&) -> RESPONSECODE {
    log_line(LogLevel::info, "capability 0x%lX cannot be set", static_cast<unsigned long>(Tag));
    return IFD_NOT_SUPPORTED;
  });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR, UCHAR) {
  return with_channel(Lun, [&](kdx::ifd::Channel& c) -> RESPONSECODE {
    if (!c.powered) return unpowered(c);
    return c.reader->set_protocol(Protocol, Flags, PTS1);
  });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return with_channel(Lun, [&](kdx::ifd::Channel& c) -> RESPONSECODE { return power(c, Action, Atr, AtrLength); });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  if (TxBuffer == nullptr || RxBuffer == nullptr || RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
  return with_channel(Lun, [&](kdx::ifd::Channel& c) -> RESPONSECODE {
    const RESPONSECODE result = transmit(c, TxBuffer, TxLength, RxBuffer, RxLength);
    if (RecvPci != nullptr) RecvPci->Protocol = c.powered ? c.reader->protocol() : 0;
    return result;
  });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD pdwBytesReturned) {
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  return with_channel(Lun, [&](kdx::ifd::Channel&) -> RESPONSECODE {
    // No PIN pad, no display: the feature list is empty, and nothing else
    // is offered.
    if (dwControlCode == kGetFeatureRequest) return IFD_SUCCESS;
    log_line(LogLevel::info, "control code 0x%lX not supported", static_cast<unsigned long>(dwControlCode));
    return IFD_ERROR_NOT_SUPPORTED;
  });
}

// While a call holds the channel, the last answer stands, so that pcscd's
// polling never waits behind an exchange.
RESPONSECODE IFDHICCPresence(DWORD Lun) {
  const std::shared_ptr<kdx::ifd::Channel> channel = find(Lun);
  if (!channel) return IFD_COMMUNICATION_ERROR;
  std::unique_lock<std::mutex> held(channel->mutex, std::try_to_lock);
  if (!held.owns_lock()) return channel->last_presence;
  channel->last_presence = channel->reader->presence();
  if (channel->last_presence == IFD_ICC_NOT_PRESENT) {
    channel->powered = false;
    channel->atr.clear();
  }
  return channel->last_presence;
}

}  // extern "C"
