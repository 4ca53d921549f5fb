// The commands the AT153 and AT1608 share (answer to reset, read, write,
// configuration, password verification, authentication, fuses), run against
// a family's exports and layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kdx/velmor_mode.h"

namespace kdx::tool::secure {

// A configuration field shown by `config`.
struct Field {
  enum class Kind : uint8_t { bytes, access_register, counter, password };
  const char* name;
  uint8_t address;
  uint8_t length;
  Kind kind;
};

struct Family {
  const char* name;    // "AT153"
  const char* sample;  // its sample card, and the prefix of its commands
  uint8_t config_zone;  // the user zones come before it
  uint32_t zone_size;
  uint32_t config_size;
  uint8_t password_indexes;
  uint8_t read_password_bit;  // of the password index
  uint8_t (*pac_address)(uint8_t index);
  uint8_t ar_set_mask;
  uint8_t cryptogram_address;  // of the block the authentication renews
  uint8_t renewed_from;
  std::vector<Field> fields;  // the fixed fields, in address order
  // The family's exports, as members of the loaded API.
  decltype(&VelmorApi::AT153_OpenCard) open;
  decltype(&VelmorApi::AT153_CloseCard) close;
  decltype(&VelmorApi::AT153_ReadChar) read;
  decltype(&VelmorApi::AT153_WriteChar) write;
  decltype(&VelmorApi::AT153_VerifyPWD) verify;
  decltype(&VelmorApi::AT153_Auth) auth;
  decltype(&VelmorApi::AT153_ReadFuse) read_fuse;
  decltype(&VelmorApi::AT153_WriteFuse) write_fuse;
};

bool atr(const Family& family, VelmorSession& session, const Args& args);
// read ZONE [ADDRESS [LENGTH]]: a hex dump; ZONE a number or "config".
bool read(const Family& family, VelmorSession& session, const Args& args);
// write ZONE ADDRESS HEX, read back to tell whether the card took it.
bool write(const Family& family, VelmorSession& session, const Args& args);
// Every configuration field decoded, the counters as attempts left.
bool config(const Family& family, VelmorSession& session, const Args& args);
// verify INDEX PASSWORD
bool verify(const Family& family, VelmorSession& session, const Args& args);
// auth SEED [CHALLENGE]; a random challenge by default.
bool auth(const Family& family, VelmorSession& session, const Args& args);
// fuses [--yes]: shows them; with --yes blows the next intact one.
bool fuses(const Family& family, VelmorSession& session, const Args& args);

// The demonstration: answer to reset, the free zone, a password, a write
// it opens, an authentication and the zone it opens (the sample cards').
bool demo(const Family& family, VelmorSession& session);

template <const Family& F, bool (*Run)(const Family&, VelmorSession&, const Args&)>
bool command(VelmorSession& session, const Args& args) {
  return Run(F, session, args);
}
template <const Family& F>
bool family_demo(VelmorSession& session) {
  return demo(F, session);
}

using Run = bool (*)(VelmorSession& session, const Args& args);
// The commands of a family, in the order of the functions above.
struct Runs {
  Run atr, read, write, config, verify, auth, fuses;
  bool (*demo)(VelmorSession& session);
};
void register_commands(const Family& family, const Runs& runs, int demo_order);

// Registers "<sample>-atr" ... "<sample>-fuses" and the demonstration part
// of family F.
template <const Family& F>
int register_family(int demo_order) {
  static const Runs runs{&command<F, &atr>,    &command<F, &read>, &command<F, &write>, &command<F, &config>,
                         &command<F, &verify>, &command<F, &auth>, &command<F, &fuses>, &family_demo<F>};
  register_commands(F, runs, demo_order);
  return demo_order;
}

}  // namespace kdx::tool::secure
