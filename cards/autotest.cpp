// Card type detection: each family's probe powers the card through the
// family's exports, reads a few identifying bytes, and unpowers it again;
// the first pattern that matches names the card type.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "link/frame.h"
#include "platform/platform.h"
#include "velmor.h"

namespace kdx::velmor::autotest {
namespace {

constexpr std::size_t kAreaSize = 4;
using Area = std::array<uint8_t, kAreaSize>;

// The answer area gets the answers to reset (and the AT102 family's two
// bytes), the data area the SLE cards' bytes 6 and 7. Neither is cleared
// between probes.
struct Areas {
  Area answer{};
  Area data{};
};

constexpr uint32_t kPauseMs = 1;
constexpr uint16_t kSleIdAddress = 6;
constexpr uint16_t kIdLength = 2;
constexpr uint8_t kAt1604WholeMemory = 4;

// A probe opens, reads and closes, whatever fails on the way, and returns
// the status that decides whether detection goes on.
struct Probe {
  bool pause_before;
  StatusCode (*run)(Areas& areas);
  std::optional<uint8_t> (*judge)(const Areas& areas);
};

// A failing open ends detection here: this is where a missing card shows.
StatusCode probe_secure_memory(Areas& areas) {
  const StatusCode status = AT153_OpenCard(areas.answer.data());
  AT153_CloseCard();
  return status;
}

StatusCode probe_sle4442(Areas& areas) {
  SLE4442_OpenCard(areas.answer.data());
  const StatusCode status = SLE4442_ReadChar(kSleIdAddress, kIdLength, areas.data.data());
  SLE4442_CloseCard();
  return status;
}

StatusCode probe_sle4428(Areas& areas) {
  SLE4428_OpenCard(areas.answer.data());
  const StatusCode status = SLE4428_ReadChar(kSleIdAddress, kIdLength, areas.data.data());
  SLE4428_CloseCard();
  return status;
}

StatusCode probe_at102_family(Areas& areas) {
  AT102_OpenCard();
  const StatusCode status = AT1604_ReadChar(0, kIdLength, kAt1604WholeMemory, areas.answer.data());
  AT102_CloseCard();
  return status;
}

bool starts_with(const Area& area, std::span<const uint8_t> pattern) {
  return std::equal(pattern.begin(), pattern.end(), area.begin());
}

std::optional<uint8_t> judge_secure_memory(const Areas& areas) {
  constexpr uint8_t kAnswer[] = {0x34, 0x55, 0xAA};
  constexpr uint8_t kLastAnswerByte05 = 0x05, kLastAnswerByte85 = 0x85;
  if (!starts_with(areas.answer, kAnswer)) return std::nullopt;
  if (areas.answer[3] == kLastAnswerByte05) return 0x27;
  if (areas.answer[3] == kLastAnswerByte85) return 0x28;
  return std::nullopt;
}

std::optional<uint8_t> judge_sle4442(const Areas& areas) {
  constexpr uint8_t kAnswer[] = {0xA2, 0x13, 0x10, 0x91};
  constexpr uint8_t kId[] = {0x82, 0x05};
  if (!starts_with(areas.answer, kAnswer)) return std::nullopt;
  return starts_with(areas.data, kId) ? 0x43 : 0x44;
}

std::optional<uint8_t> judge_sle4428(const Areas& areas) {
  constexpr uint8_t kAnswer[] = {0xC9, 0x11, 0x88};
  constexpr uint8_t kLastAnswerBytes[] = {0xC8, 0x48};
  constexpr uint8_t kId[] = {0x82, 0x03};
  if (!starts_with(areas.answer, kAnswer)) return std::nullopt;
  if (std::find(std::begin(kLastAnswerBytes), std::end(kLastAnswerBytes), areas.answer[3]) ==
      std::end(kLastAnswerBytes)) {
    return std::nullopt;
  }
  return starts_with(areas.data, kId) ? 0x41 : 0x42;
}

struct IdPattern {
  uint8_t bytes[kIdLength];
  uint8_t type;
};
constexpr IdPattern kAt102FamilyIds[] = {
    {{0x72, 0x55}, 0x25}, {{0x71, 0x56}, 0x25}, {{0x16, 0x04}, 0x25}, {{0x31, 0x3A}, 0x26}, {{0x0F, 0x0F}, 0x22},
};

std::optional<uint8_t> judge_at102_family(const Areas& areas) {
  for (const IdPattern& pattern : kAt102FamilyIds) {
    if (starts_with(areas.answer, pattern.bytes)) return pattern.type;
  }
  return std::nullopt;
}

// In the order they run.
constexpr Probe kProbes[] = {
    {false, &probe_secure_memory, &judge_secure_memory},
    {true, &probe_sle4442, &judge_sle4442},
    {true, &probe_sle4428, &judge_sle4428},
    {false, &probe_at102_family, &judge_at102_family},
};

StatusCode auto_test(uint8_t* type) {
  if (!link::is_open()) return ST_NOT_OPEN;
  if (type == nullptr) return ST_BAD_PARAMETER;
  Areas areas;
  for (const Probe& probe : kProbes) {
    if (probe.pause_before) platform::sleep_ms(kPauseMs);
    const StatusCode status = probe.run(areas);
    if (status != ST_OK) return status;
    if (const std::optional<uint8_t> found = probe.judge(areas)) {
      *type = *found;
      return ST_OK;
    }
  }
  return ST_UNKNOWN_CARD;
}

}  // namespace
}  // namespace kdx::velmor::autotest

extern "C" KDX_API StatusCode KDX_CALL KDX_AutoTest(uint8_t* type) { return kdx::velmor::autotest::auto_test(type); }
