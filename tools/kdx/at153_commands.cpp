// The AT153: its layout and exports for the secure-memory commands.
#include "cards/at_secure.h"
#include "kdx/secure_commands.h"

namespace kdx::tool {
namespace {

namespace layout = kdx::velmor::at_secure::at153;
using secure::Field;
using Kind = Field::Kind;

const secure::Family kAt153{
    "AT153",
    "at153",
    layout::kConfigZone,
    layout::kZoneSize,
    layout::kZoneSize,
    layout::kPasswordIndexes,
    0x02,
    [](uint8_t index) { return layout::pac_address(index); },
    0x01,
    kdx::velmor::at_secure::kAacAddress,
    1,
    {
        {"answer to reset", 0, 4, Kind::bytes},
        {"LHC lot history code", layout::kLhcAddress, layout::kLhcSize, Kind::bytes},
        {"FC fabrication code", layout::kFcAddress, layout::kFcSize, Kind::bytes},
        {"CMC card manufacturer", layout::kCmcAddress, layout::kCmcSize, Kind::bytes},
        {"AR", layout::kArAddress, layout::kUserZones, Kind::access_register},
        {"MTZ memory test zone", layout::kMtzAddress, 1, Kind::bytes},
        {"IC issuer code", layout::kIcAddress, layout::kIcSize, Kind::bytes},
        {"DCR device config", layout::kDcrAddress, 1, Kind::bytes},
        {"Nc identification", layout::kNcAddress, layout::kNcSize, Kind::bytes},
        {"AAC", kdx::velmor::at_secure::kAacAddress, 1, Kind::counter},
        {"Ci cryptogram", layout::kCiAddress, layout::kCiSize, Kind::bytes},
        {"Gc secret seed", layout::kGcAddress, 8, Kind::bytes},
        {"passwords", layout::kPasswordsAddress, 0, Kind::password},
    },
    &VelmorApi::AT153_OpenCard,
    &VelmorApi::AT153_CloseCard,
    &VelmorApi::AT153_ReadChar,
    &VelmorApi::AT153_WriteChar,
    &VelmorApi::AT153_VerifyPWD,
    &VelmorApi::AT153_Auth,
    &VelmorApi::AT153_ReadFuse,
    &VelmorApi::AT153_WriteFuse,
};

const int kRegistered = secure::register_family<kAt153>(34);

}  // namespace
}  // namespace kdx::tool
