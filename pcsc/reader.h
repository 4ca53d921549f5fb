// One reader behind one channel: a session of a library instance of its
// own, on a real serial port or on the embedded simulator. The handler's
// exports hold the channel's lock around every call, so a Reader is only
// ever used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kdx_ifd.h"

#include "pcsc/device_name.h"

namespace kdx::ifd {

// The card side of the embedded simulator, for tests and demonstrations.
class SimulatedSlot {
 public:
  virtual ~SimulatedSlot() = default;
  // false for an unknown card name; "none" empties the slot.
  virtual bool insert(const std::string& card) = 0;
  virtual void remove() = 0;
  // Pulls the card `ms` of simulated time from now, for example in the
  // middle of the next exchange.
  virtual void remove_in(uint32_t ms) = 0;
  // The reader is unplugged: it answers nothing more and drives no line.
  virtual void unplug() = 0;
  // The host protocol faults the card model noticed (empty for a host that
  // keeps to the protocol).
  virtual std::vector<std::string> violations() const = 0;
};

class Reader {
 public:
  virtual ~Reader() = default;

  // IFD_ICC_PRESENT or IFD_ICC_NOT_PRESENT (or a communication error).
  virtual RESPONSECODE presence() = 0;
  // Power up (or warm reset) and the ATR; IFD_ICC_NOT_PRESENT for an empty
  // slot, IFD_ERROR_POWER_ACTION for a card that does not answer.
  virtual RESPONSECODE power_up(bool reset, std::vector<uint8_t>& atr) = 0;
  virtual RESPONSECODE power_down() = 0;
  // SCARD_PROTOCOL_T0 or _T1, with PTS1 when the flags name it.
  virtual RESPONSECODE set_protocol(DWORD protocol, UCHAR flags, UCHAR pts1) = 0;
  // One APDU; `response` gets data and SW1 SW2.
  virtual RESPONSECODE transmit(std::span<const uint8_t> command, std::vector<uint8_t>& response) = 0;
  // The protocol the card runs now (SCARD_PROTOCOL_...), 0 when unpowered.
  virtual DWORD protocol() const = 0;

  // nullptr on a real port.
  virtual SimulatedSlot* simulated_slot() { return nullptr; }
};

// Opens a session on the reader the name describes; nullptr with `result`
// (an IFD_* code) and `error` when it cannot.
std::unique_ptr<Reader> open_velmor(const DeviceName& name, RESPONSECODE& result, std::string& error);
std::unique_ptr<Reader> open_tarsk(const DeviceName& name, RESPONSECODE& result, std::string& error);

// The length of an ISO/IEC 7816-3 ATR as its T0 and TDi bytes announce it
// (TCK counted when a protocol other than T=0 is named); 0 when `bytes`
// holds less than that.
std::size_t iso_atr_length(std::span<const uint8_t> bytes);

}  // namespace kdx::ifd
