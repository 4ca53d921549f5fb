// The AT1608: its layout and exports for the secure-memory commands.
#include "cards/at_secure.h"
#include "kdx/secure_commands.h"

namespace kdx::tool {
namespace {

namespace layout = kdx::velmor::at_secure::at1608;
using secure::Field;
using Kind = Field::Kind;

const secure::Family kAt1608{
    "AT1608",
    "at1608",
    layout::kConfigZone,
    layout::kZoneSize,
    layout::kConfigSize,
    layout::kPasswordIndexes,
    0x08,
    [](uint8_t index) { return layout::pac_address(index); },
    0x07,
    layout::kCiAddress,
    0,
    {
        {"answer to reset", 0, 4, Kind::bytes},
        {"LHC lot history code", layout::kLhcAddress, layout::kLhcSize, Kind::bytes},
        {"FC fabrication code", layout::kFcAddress, layout::kFcSize, Kind::bytes},
        {"CMC card manufacturer", layout::kCmcAddress, layout::kCmcSize, Kind::bytes},
        {"AR", layout::kArAddress, layout::kUserZones, Kind::access_register},
        {"AAC", kdx::velmor::at_secure::kAacAddress, 1, Kind::counter},
        {"Nc identification", layout::kNcAddress, layout::kNcSize, Kind::bytes},
        {"Ci cryptogram", layout::kCiAddress, 8, Kind::bytes},
        {"Gc secret seed", layout::kGcAddress, 8, Kind::bytes},
        {"MTZ memory test zone", layout::kMtzAddress, layout::kMtzSize, Kind::bytes},
        {"passwords", layout::kPasswordsAddress, 0, Kind::password},
    },
    &VelmorApi::AT1608_OpenCard,
    &VelmorApi::AT1608_CloseCard,
    &VelmorApi::AT1608_ReadChar,
    &VelmorApi::AT1608_WriteChar,
    &VelmorApi::AT1608_VerifyPWD,
    &VelmorApi::AT1608_Auth,
    &VelmorApi::AT1608_ReadFuse,
    &VelmorApi::AT1608_WriteFuse,
};

const int kRegistered = secure::register_family<kAt1608>(35);

}  // namespace
}  // namespace kdx::tool
