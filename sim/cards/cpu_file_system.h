// A small card application with a file system, for the tool's demonstration
// and for exchanges that a real card would have: the master file 3F00 and
// three transparent files below it.
//
//   00 A4 00 00 02 FID   SELECT by file identifier; 61xx with the file's
//                        control information waiting, or 6A82
//   00 C0 00 00 Le       GET RESPONSE; 6Cxx when Le is not what waits
//   00 B0 P1 P2 Le       READ BINARY at offset P1 P2; 6Cxx when Le is more
//                        than the file has from there; a long read (more
//                        than 32 bytes) is preceded by a NULL byte
//   00 D6 P1 P2 Lc data  UPDATE BINARY; the data are taken one byte at a
//                        time (INS XOR 0xFF before each)
//
// Unknown instructions give 6D00, another class 6E00.
#pragma once

#include <memory>

#include "sim/cards/cpu_card.h"

namespace kdx::sim {

// The ATR of the sample card: direct convention, T=0, TB1 and TC1, and the
// historical bytes "KDX-CPU1".
extern const std::vector<uint8_t> kFileSystemCardAtr;

std::unique_ptr<T0Application> make_file_system_application();

// The sample card: the ATR above after power-on and warm reset, and the
// file system.
std::unique_ptr<ReaderCard> make_file_system_card();

}  // namespace kdx::sim
