// The explanation of an answer to reset, byte by byte as ISO/IEC 7816-3
// lays it out, for both readers and for `kdx atr-explain`; and the card's
// name from the ATR list of the pcsc-tools package, where it is installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdx::tool {

// Prints the ATR (TS as the convention's marker 3B or 3F, the other bytes
// already decoded) at every level, as far as the bytes go.
void explain_atr_bytes(const std::vector<uint8_t>& atr);

// The descriptions that the ATR list gives for this ATR (its patterns use
// "." for any digit); empty when the list is missing or has none.
std::vector<std::string> known_cards(const std::vector<uint8_t>& atr, const std::string& list_path);
inline constexpr const char* kSmartcardList = "/usr/share/pcsc/smartcard_list.txt";

// `kdx atr-explain HEX...`: explains each ATR offline; exit status.
int explain_atr_command(const std::vector<std::string>& args);

}  // namespace kdx::tool
