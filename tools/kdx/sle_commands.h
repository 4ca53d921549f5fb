// The commands the SLE4442 and SLE4428 have in common (answer to reset,
// read, write, PSC, error counter), run against a family's exports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kdx/velmor_mode.h"

namespace kdx::tool::sle {

struct Family {
  const char* name;    // "SLE4442"
  const char* sample;  // its sample card
  uint32_t memory_size;
  std::size_t psc_size;
  uint8_t counter_bits;  // the attempt bits of the error counter
  StatusCode (*open)(const VelmorApi& api, uint8_t* atr);
  StatusCode (*close)(const VelmorApi& api);
  StatusCode (*read)(const VelmorApi& api, uint32_t address, uint32_t length, uint8_t* destination);
  StatusCode (*write)(const VelmorApi& api, uint32_t address, uint32_t length, const uint8_t* source);
  StatusCode (*counter)(const VelmorApi& api, uint8_t* counter);
  StatusCode (*verify)(const VelmorApi& api, const uint8_t* psc);
  StatusCode (*write_psc)(const VelmorApi& api, const uint8_t* psc);
};

// Powers the card the first time a command of this session needs it.
bool open_card(const Family& family, VelmorSession& session);

// An address and a length from args[first], args[first + 1] within the
// card's memory; the length defaults to the rest of the memory, at most
// `default_length`. false (said why) on bad input.
bool parse_range(const Family& family, const Args& args, std::size_t first, uint32_t default_length, uint32_t& address,
                 uint32_t& length);

bool atr(const Family& family, VelmorSession& session, const Args& args);
// read [ADDRESS [LENGTH]]: a hex dump.
bool read(const Family& family, VelmorSession& session, const Args& args);
// write ADDRESS HEX [PSC]: presents the PSC first when given, and reads the
// bytes back to tell whether the card took them.
bool write(const Family& family, VelmorSession& session, const Args& args);
// verify PSC
bool verify(const Family& family, VelmorSession& session, const Args& args);
// psc OLD NEW
bool change_psc(const Family& family, VelmorSession& session, const Args& args);
bool counter(const Family& family, VelmorSession& session, const Args& args);

// A command function of `family`, as the command table takes it.
template <const Family& F, bool (*Run)(const Family&, VelmorSession&, const Args&)>
bool command(VelmorSession& session, const Args& args) {
  return Run(F, session, args);
}

}  // namespace kdx::tool::sle
