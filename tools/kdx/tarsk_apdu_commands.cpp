// APDUs and protocol selection in the Tarsk mode: `apdu` sends a command to
// the active card (activating it first when needed), optionally doing what
// T=0 leaves to the application (GET RESPONSE after 61xx, the command again
// with the right Le after 6Cxx); `pps` negotiates protocol and factors.
// Under --trace each T=1 block of the exchange is named, and on the
// simulator each T=0 byte of the card's answer.
#include <cstdio>
#include <string>

#include "kdx/tarsk_mode.h"
#include "serial_iso/card_parameters.h"
#include "serial_iso/t0_codec.h"
#include "serial_iso/tarsk_state.h"

namespace kdx::tool {
namespace {

namespace t0 = kdx::tarsk::t0;
using Bytes = std::vector<uint8_t>;

constexpr const char* kAutoGetResponse = "--auto-get-response";
constexpr std::size_t kResponseRoom = 65538;
// GET RESPONSE and Le corrections the tool makes for one command at most.
constexpr unsigned kMaxFollowUps = 8;
constexpr uint8_t kResponseWaiting = 0x61;
constexpr uint8_t kWrongLe = 0x6C;
constexpr uint8_t kGetResponse = 0xC0;

bool ensure_active(TarskSession& s) {
  uint32_t protocol = 0;
  if (s.api().CPU_GetProtocol(&protocol) == ST_OK) return true;
  uint8_t atr[64] = {};
  uint16_t length = 0;
  return s.check(s.api().CPU_OpenCard(atr, &length), "activate");
}

// The card's bytes of the last exchange as T=0 names them: after the header
// the procedure bytes, the data they move, SW1 and SW2.
void print_procedure_bytes(TarskSession& s, const Bytes& command, std::size_t card_bytes_before) {
  std::vector<uint8_t> from_card;
  bool inverse = false;
  s.with_device([&](sim::SerialLineDevice& device) {
    const auto bytes = device.card_bytes();
    for (std::size_t i = card_bytes_before; i < bytes.size(); ++i) from_card.push_back(bytes[i].received);
    inverse = device.line_settings().parity == KDX_PARITY_ODD;
  });
  const uint8_t ins = command[t0::kInsAt];
  const bool outgoing = command.size() > t0::kHeaderSize;
  std::size_t data_left = outgoing ? 0 : (command[t0::kP3At] == 0 ? t0::kMaxResponseData : command[t0::kP3At]);
  std::printf("card, as T=0:\n");
  for (std::size_t i = 0; i < from_card.size(); ++i) {
    const uint8_t byte = inverse ? tarsk::card::inverse_transform(from_card[i]) : from_card[i];
    const t0::Procedure meaning = t0::classify(byte, ins);
    std::printf("  %02X  %s\n", byte, t0::procedure_name(meaning));
    if (meaning == t0::Procedure::sw1) {
      if (i + 1 < from_card.size()) std::printf("  %02X  SW2\n", inverse ? tarsk::card::inverse_transform(from_card[i + 1]) : from_card[i + 1]);
      return;
    }
    if (outgoing || (meaning != t0::Procedure::ack_all && meaning != t0::Procedure::ack_one)) continue;
    const std::size_t count = meaning == t0::Procedure::ack_all ? data_left : std::min<std::size_t>(data_left, 1);
    const std::size_t end = std::min(from_card.size(), i + 1 + count);
    Bytes data(from_card.begin() + static_cast<std::ptrdiff_t>(i + 1), from_card.begin() + static_cast<std::ptrdiff_t>(end));
    if (inverse) {
      for (uint8_t& b : data) b = tarsk::card::inverse_transform(b);
    }
    if (!data.empty()) std::printf("      data %s\n", hex(data.data(), data.size()).c_str());
    data_left -= data.size();
    i = end - 1;
  }
}

// One exchange; false when the library failed it (it has been said why).
// The T=1 blocks the last exchange put on the line.
void print_blocks(TarskSession& s, std::size_t blocks_before) {
  const LineDecoding decoding = s.decode();
  std::printf("blocks, as T=1:\n");
  for (std::size_t i = blocks_before; i < decoding.blocks.size(); ++i) {
    std::printf("  %c %s\n", decoding.blocks[i].from_card ? '<' : '>', decoding.blocks[i].text.c_str());
  }
}

bool exchange(TarskSession& s, Bytes command, Bytes& response) {
  std::size_t card_bytes_before = 0;
  s.with_device([&](sim::SerialLineDevice& device) { card_bytes_before = device.card_bytes().size(); });
  uint32_t protocol = 0;
  s.api().CPU_GetProtocol(&protocol);
  const std::size_t blocks_before = s.tracing() ? s.decode().blocks.size() : 0;
  std::printf("> %s\n", hex(command.data(), command.size()).c_str());
  const Bytes sent = command;
  response.assign(kResponseRoom, 0);
  uint32_t length = 0;
  const StatusCode status = [&] {
    const WaitNotice notice("the card's response");
    return s.api().CPU_IsoAPDU(command.data(), static_cast<uint32_t>(command.size()), response.data(), &length);
  }();
  if (s.tracing() && protocol == tarsk::kProtocolT1) {
    print_blocks(s, blocks_before);
  } else if (s.tracing() && sent.size() >= t0::kHeaderSize) {
    print_procedure_bytes(s, sent, card_bytes_before);
  }
  if (!s.check(status, "apdu")) return false;
  response.resize(length);
  std::printf("< %s\n", hex(response.data(), response.size()).c_str());
  return true;
}

bool apdu(TarskSession& s, const Args& args) {
  bool follow_up = s.auto_get_response();
  std::string text;
  for (const std::string& arg : args) {
    if (arg == kAutoGetResponse) {
      follow_up = true;  // also within the shell, per command
    } else {
      text += arg;
    }
  }
  const auto command = parse_hex(text);
  if (!command || command->empty()) {
    std::fprintf(stderr, "apdu: expected the command in hex, e.g. 00 B0 00 00 08\n");
    return false;
  }
  if (!ensure_active(s)) return false;
  Bytes response;
  if (!exchange(s, *command, response)) return false;
  Bytes current = *command;
  for (unsigned round = 0; follow_up && round < kMaxFollowUps && response.size() == 2; ++round) {
    if (response[0] == kResponseWaiting && current.size() >= t0::kHeaderSize) {
      current = {current[0], kGetResponse, 0x00, 0x00, response[1]};
    } else if (response[0] == kWrongLe && current.size() == t0::kHeaderSize) {
      current[t0::kP3At] = response[1];
    } else {
      break;
    }
    if (!exchange(s, current, response)) return false;
  }
  return true;
}

bool pps(TarskSession& s, const Args& args) {
  if (args.size() != 3) {
    std::fprintf(stderr, "pps: expected T FI DI (T 0 or 1, FI and DI 0 to 15)\n");
    return false;
  }
  const unsigned long t = std::stoul(args[0]);
  if (t > 1) {
    std::fprintf(stderr, "pps: T must be 0 or 1\n");
    return false;
  }
  if (!ensure_active(s)) return false;
  const uint32_t protocols = t == 0 ? tarsk::kProtocolT0 : tarsk::kProtocolT1;
  const auto fi = static_cast<uint32_t>(std::stoul(args[1]));
  const auto di = static_cast<uint32_t>(std::stoul(args[2]));
  if (!s.check(s.api().CPU_SetProtocol(protocols, fi, di), "pps")) return false;
  uint32_t protocol = 0;
  s.api().CPU_GetProtocol(&protocol);
  std::printf("protocol T=%u in force", protocol == tarsk::kProtocolT1 ? 1u : 0u);
  KDX_LineSettings settings{};
  KDX_Timeouts timeouts{};
  if (s.port_state(settings, timeouts)) std::printf(", port at %u baud", settings.baud_rate);
  std::printf("\n");
  return true;
}

const RegisterTarsk kCommands({
    {"apdu", "[--auto-get-response] HEX...",
     "send a command APDU to the card (activated first when needed); with --auto-get-response, 61xx and 6Cxx are "
     "followed up",
     true, &apdu},
    {"pps", "T FI DI", "protocol and parameter selection: T=0 or T=1, factor indices FI and DI", true, &pps},
});

}  // namespace
}  // namespace kdx::tool
