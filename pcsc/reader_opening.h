// What opening a reader takes for either library: an instance of its own,
// its exports, the embedded simulator or the port path, the session.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pcsc/device_name.h"
#include "pcsc/library.h"
#include "pcsc/log.h"
#include "pcsc/reader.h"
#include "sim/virtual_clock.h"
#include "sim/virtual_port.h"

namespace kdx::ifd {

// Both libraries: port index 0 (a session of its own per instance), 9600
// baud to begin with.
inline constexpr uint32_t kPortIndex = 0;
inline constexpr uint32_t kBaud = 9600;
// The simulated slot's name for no card.
inline constexpr std::string_view kEmptySlot = "none";

// The simulated slot of either reader, on a virtual clock and port of its
// own. The card side is the reader's: put(), pull(), disconnect() and
// card_violations() run under the clock's lock.
class SimulatedReaderSlot : public SimulatedSlot {
 public:
  bool insert(const std::string& card) final {
    const auto held = clock.lock();
    if (card == kEmptySlot) {
      pull();
      return true;
    }
    return put(card);
  }
  void remove() final {
    const auto held = clock.lock();
    pull();
  }
  void remove_in(uint32_t ms) final {
    const auto held = clock.lock();
    clock.schedule_in(ms * sim::kNsPerMs, [this] { pull(); });
  }
  void unplug() final {
    const auto held = clock.lock();
    disconnect();
  }
  std::vector<std::string> violations() const final {
    const auto held = clock.lock();
    return card_violations();
  }

  sim::VirtualClock clock;
  sim::VirtualPort port{clock};

 protected:
  virtual bool put(const std::string& card) = 0;  // false for an unknown card
  virtual void pull() = 0;
  virtual void disconnect() = 0;
  virtual std::vector<std::string> card_violations() const = 0;
};

struct ReaderTraits {
  const char* library;        // "libvelmor"
  const char* title;          // "Velmor", in messages
  const char* default_card;   // of the simulated slot
  uint32_t port_init_failed;  // the library's ST_PORT_INIT_FAILED
  uint32_t no_card;           // its ST_NO_CARD
};

// The library's card-present test (KDX_TestDoor) as an IFD result; a
// failing test is logged.
inline RESPONSECODE card_presence(uint32_t status, const ReaderTraits& traits) {
  if (status == 0) return IFD_ICC_PRESENT;
  if (status == traits.no_card) return IFD_ICC_NOT_PRESENT;
  log_line(LogLevel::error, "%s card-present test: status %u", traits.title, static_cast<unsigned>(status));
  return IFD_COMMUNICATION_ERROR;
}

// Api: the export table, filled by bind_api; Sim: the simulated slot;
// ReaderType: built from the instance, the table, the simulator and the
// name; its destructor ends the session. Both libraries give 0 for
// success.
template <typename ReaderType, typename Sim, typename Api>
std::unique_ptr<Reader> open_reader_of(const DeviceName& name, const ReaderTraits& traits,
                                       bool (*bind_api)(Api&, const LibraryInstance&, std::string&),
                                       RESPONSECODE& result, std::string& error) {
  result = IFD_COMMUNICATION_ERROR;
  auto library = LibraryInstance::acquire(traits.library, error);
  if (!library) return nullptr;
  Api api;
  std::string missing;
  if (!bind_api(api, *library, missing)) {
    error = std::string("the ") + traits.title + " library has no export " + missing;
    return nullptr;
  }
  std::unique_ptr<Sim> sim;
  if (name.simulated) {
    sim = std::make_unique<Sim>();
    if (!sim->insert(name.card.empty() ? traits.default_card : name.card)) {
      error = "no sample card \"" + name.card + "\" for the simulated " + traits.title + " reader";
      result = IFD_NO_SUCH_DEVICE;
      return nullptr;
    }
    if (api.KDX_SetPortBackend(kPortIndex, &sim->port.backend()) != 0) {
      error = "the simulated port was refused";
      return nullptr;
    }
  } else if (api.KDX_SetPortDevice(kPortIndex, name.port.c_str()) != 0) {
    error = "the port path was refused";
    result = IFD_NO_SUCH_DEVICE;
    return nullptr;
  }
  auto reader = std::make_unique<ReaderType>(std::move(library), api, std::move(sim), name);
  const uint32_t status = api.KDX_InitComm(kPortIndex, kBaud);
  if (status != 0) {
    error = std::string("the ") + traits.title + " session did not open, status " + std::to_string(status);
    result = status == traits.port_init_failed ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
    return nullptr;
  }
  result = IFD_SUCCESS;
  return reader;
}

}  // namespace kdx::ifd
