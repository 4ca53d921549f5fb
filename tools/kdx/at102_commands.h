// The AT102 family in the tool: each card's exports and memory map, for its
// own commands and for dump and restore.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cards/at102_maps.h"
#include "kdx/velmor_mode.h"

namespace kdx::tool::at102 {

struct Family {
  const char* name;    // "at102"
  const char* sample;  // its sample card
  const velmor::at102::CardMap& map;
  // The card's exports, as members of the loaded API.
  decltype(&VelmorApi::AT102_ReadChar) read;
  decltype(&VelmorApi::AT102_WriteChar) write;
  decltype(&VelmorApi::AT102_EraseWord) erase;
  decltype(&VelmorApi::AT102_WriteFuse) fuse;
};

const Family& at102();
const Family& at1604();
const Family& at6601();

// The whole-memory zone's number and size.
uint32_t whole_zone(const Family& family);
uint32_t whole_size(const Family& family);

// Powers the card the first time a command of this session needs it.
bool open_card(const Family& family, VelmorSession& session);

// A code to present: password index and its bytes ("HEX" is index 0,
// "N=HEX" index N).
struct Code {
  uint8_t index;
  std::vector<uint8_t> bytes;
};
// false (said why) for a word that is no code of the family.
bool parse_code(const Family& family, const std::string& word, Code& code);
// Presents the code: a verification, or on the AT102 an erase key through
// the zone's erase (which erases the zone; zone 2 spends one of its erase
// counter's 128 erases when `use_counter`). Says what came of it.
bool present(const Family& family, VelmorSession& session, const Code& code, bool use_counter = true);

}  // namespace kdx::tool::at102
