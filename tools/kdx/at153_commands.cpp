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
    [](const VelmorApi& api, uint8_t* atr) { return api.AT153_OpenCard(atr); },
    [](const VelmorApi& api) { return api.AT153_CloseCard(); },
    [](const VelmorApi& api, uint32_t address, uint32_t length, uint32_t zone, uint8_t* out) {
      return api.AT153_ReadChar(address, length, zone, out);
    },
    [](const VelmorApi& api, uint32_t address, uint32_t length, uint32_t zone, const uint8_t* data) {
      return api.AT153_WriteChar(address, length, zone, data);
    },
    [](const VelmorApi& api, uint32_t index, const uint8_t* p) { return api.AT153_VerifyPWD(index, p[0], p[1], p[2]); },
    [](const VelmorApi& api, const uint8_t* seed, const uint8_t* challenge) { return api.AT153_Auth(seed, challenge); },
    [](const VelmorApi& api, uint8_t* fuses) { return api.AT153_ReadFuse(fuses); },
    [](const VelmorApi& api) { return api.AT153_WriteFuse(); },
};

const int kRegistered = secure::register_family<kAt153>(34);

}  // namespace
}  // namespace kdx::tool
