// The ATR is walked at every level that T0 and the TDi bytes announce: the
// interface bytes of levels 1 to 3 are stored, those of later levels are
// stepped over, so that the historical bytes and TCK are found after all of
// them and the expected length counts them. Every TD byte is read only once
// the bytes up to it are known to be present.
#include "serial_iso/atr_interpretation.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "serial_iso/card_parameters.h"

namespace kdx::tarsk::atr {
namespace {

constexpr std::size_t kWorkingCopySize = 64;
constexpr std::size_t kHeaderLength = 2;  // TS and T0

// T0 and TDi: the high nibble announces TAi+1, TBi+1, TCi+1, TDi+1 (bits 4
// to 7); the low nibble is K in T0 and the protocol T in a TDi.
constexpr uint8_t kAnnounced = 0xF0;
constexpr uint8_t kTaFollows = 0x10;
constexpr uint8_t kTdFollows = 0x80;
constexpr uint8_t kLowNibble = 0x0F;
constexpr unsigned kFiShift = 4;
constexpr unsigned kBytesPerLevel = 4;  // TAi, TBi, TCi, TDi
constexpr unsigned kStoredLevels = kInterfaceByteCount / kBytesPerLevel;
constexpr unsigned kProtocolT0Number = 0;
constexpr unsigned kProtocolT1Number = 1;

constexpr uint8_t kMaxT1Bwi = 9;

static_assert(kHistoricalCapacity >= kLowNibble, "K historical bytes always fit");
static_assert(kAtrCapacity <= kWorkingCopySize);

// The waiting-time arithmetic: 960 etu per unit of WI and D, in milliseconds
// per second; the character margin of 11 etu; the 960 x 372 etu unit of the
// block waiting time.
constexpr float kWorkWaitingMsPerEtu = 960000.0f;
constexpr float kCharacterMarginEtu = 11.0f;
constexpr uint32_t kBlockWaitingUnit = 960 * 372;
constexpr uint32_t kMsPerSecond = 1000;

std::size_t announced_count(uint8_t indicator) {
  return static_cast<std::size_t>(std::popcount(static_cast<unsigned>(indicator & kAnnounced)));
}

unsigned protocol_number(uint8_t td) { return td & kLowNibble; }

// ST_OK once all the bytes announced so far are present: TS, T0, the
// interface bytes of every level, the K historical bytes, and TCK when a TDi
// names a protocol other than T=0. Sets the protocol from TD1 if it is still
// none.
StatusCode check_length(const uint8_t* bytes, std::size_t length, CardRecord& card) {
  const uint8_t t0 = bytes[1];
  std::size_t expected = kHeaderLength + (t0 & kLowNibble) + announced_count(t0);
  if (length < expected) return ST_ATR_INCOMPLETE;
  bool tck_counted = false;
  bool first_td = true;
  std::size_t level_start = kHeaderLength;
  uint8_t indicator = t0;
  while ((indicator & kTdFollows) != 0) {
    const std::size_t td_at = level_start + announced_count(indicator & ~kTdFollows);
    if (td_at >= length) return ST_ATR_INCOMPLETE;
    const uint8_t td = bytes[td_at];
    if (first_td && card.protocol == kProtocolNone) card.protocol = 1u << protocol_number(td);
    first_td = false;
    if (protocol_number(td) != kProtocolT0Number && !tck_counted) {
      tck_counted = true;
      ++expected;
    }
    expected += announced_count(td);
    if (length < expected) return ST_ATR_INCOMPLETE;
    level_start = td_at + 1;
    indicator = td;
  }
  return ST_OK;
}

// Stores the interface bytes of levels 1 to 3 with their flags and steps
// over those of later levels. Returns the index of the first historical
// byte.
std::size_t store_interface_bytes(const uint8_t* bytes, std::size_t length, CardRecord& card) {
  std::size_t index = kHeaderLength;
  uint8_t indicator = bytes[1];
  for (unsigned level = 0;; ++level) {
    bool td_present = false;
    uint8_t td = 0;
    for (unsigned k = 0; k < kBytesPerLevel; ++k) {
      if ((indicator & (kTaFollows << k)) == 0) continue;
      if (index >= length) return index;
      if (level < kStoredLevels) card.interface_bytes[level * kBytesPerLevel + k] = InterfaceByte{bytes[index], 1};
      if (k == kBytesPerLevel - 1) {
        td_present = true;
        td = bytes[index];
      }
      ++index;
    }
    if (!td_present) return index;
    indicator = td;
  }
}

bool names_protocol(const InterfaceByte& td, unsigned protocol) {
  return td.present != 0 && protocol_number(td.value) == protocol;
}

// Offered-protocol bits (1 shifted left by the protocol number, as
// CardRecord::protocol counts them) of the first two TD bytes.
uint32_t offered_protocols(const CardRecord& card) {
  const InterfaceByte& td1 = card.interface_bytes[kTD1];
  const InterfaceByte& td2 = card.interface_bytes[kTD2];
  uint32_t offered = 0;
  if (td1.present == 0 || names_protocol(td1, kProtocolT0Number) || names_protocol(td2, kProtocolT0Number)) {
    offered |= kProtocolT0;
  }
  if (names_protocol(td1, kProtocolT1Number) || names_protocol(td2, kProtocolT1Number)) offered |= kProtocolT1;
  return offered;
}

uint8_t value_or(const InterfaceByte& byte, uint8_t absent) { return byte.present != 0 ? byte.value : absent; }

// truncate(WI x Di x 960000) / rate. The product is held in 64 bits: with D
// up to 64 it exceeds 32.
uint32_t work_waiting_time(uint8_t wi, uint8_t di, uint32_t baud) {
  const long double product = static_cast<long double>(wi) * card::kDi[di] * kWorkWaitingMsPerEtu;
  return static_cast<uint32_t>(static_cast<uint64_t>(product) / baud);
}

// (2^CWI + 11) x 1000 / rate.
uint32_t character_waiting_time(uint8_t cwi, uint32_t baud) {
  const long double etu = static_cast<long double>(1u << cwi) + kCharacterMarginEtu;
  return static_cast<uint32_t>(etu * kMsPerSecond / baud);
}

// truncate(2^BWI x 357120 x Di / Fi + 11) x 1000 / rate.
uint32_t block_waiting_time(uint8_t bwi, uint8_t fi, uint8_t di, uint32_t baud) {
  const long double etu =
      static_cast<long double>(1u << bwi) * kBlockWaitingUnit * card::kDi[di] / card::kFi[fi] + kCharacterMarginEtu;
  return static_cast<uint32_t>(static_cast<uint64_t>(etu) * kMsPerSecond / baud);
}

StatusCode derive_parameters(CardRecord& card, PortParameters& port) {
  const InterfaceByte* bytes = card.interface_bytes;
  const InterfaceByte& ta1 = bytes[kTA1];
  card.fi_index = ta1.present != 0 ? static_cast<uint8_t>(ta1.value >> kFiShift) : kDefaultFi;
  card.di_index = ta1.present != 0 ? static_cast<uint8_t>(ta1.value & kLowNibble) : kDefaultDi;
  const uint8_t fi = card.fi_index;
  const uint8_t di = card.di_index;
  if (card::fi_reserved(fi) || card::di_reserved(di)) return ST_BAD_ATR;
  if (ta1.present != 0 && bytes[kTA2].present != 0) {
    // Specific mode: the card runs at its own rate from the end of its ATR.
    const std::optional<uint32_t> speed = card::port_speed_for(card::rate(fi, di));
    if (!speed) return ST_BAUD_UNSUPPORTED;
    port.baud_rate = *speed;
  }

  const uint8_t n = value_or(bytes[kTC1], 0);
  card.extra_guard_time = n;
  const bool t1_first = card.protocol == kProtocolT1;
  if (t1_first && n == kShortestGuardTime) port.stop_bits = KDX_STOPBITS_ONE;

  card.wi = value_or(bytes[kTC2], kDefaultWi);
  card.work_waiting_time = work_waiting_time(card.wi, di, port.baud_rate);
  card.ifsc = announced_ifsc(card);

  // The T=1 parameters of every card that offers T=1, so that a later
  // selection of T=1 finds them; the refusals only for a card whose first
  // protocol is T=1.
  const bool offers_t1 = (card.offered_protocols & kProtocolT1) != 0;
  const InterfaceByte& tb3 = bytes[kTB3];
  if (tb3.present != 0) {
    card.cwi = tb3.value & kLowNibble;
    card.bwi = static_cast<uint8_t>(tb3.value >> kFiShift);
  } else if (offers_t1) {
    card.cwi = kDefaultCwi;
    card.bwi = kDefaultBwi;
  }
  if (t1_first) {
    if (card.bwi > kMaxT1Bwi) return ST_BAD_ATR;
    // For N = 255 the guard time is the shortest, not 255 extra etu.
    if (n != kShortestGuardTime && (1u << card.cwi) < n + 1u) return ST_BAD_ATR;
  }
  if (offers_t1) {
    card.character_waiting_time = character_waiting_time(card.cwi, port.baud_rate);
    card.block_waiting_time = block_waiting_time(card.bwi, fi, di, port.baud_rate);
  }

  card.edc_kind = value_or(bytes[kTC3], 0);
  return ST_OK;
}

}  // namespace

StatusCode interpret(CardRecord& card, PortParameters& port) {
  const std::size_t length = std::min<std::size_t>(card.atr_length, kAtrCapacity);
  if (length < kHeaderLength) return ST_ATR_INCOMPLETE;
  uint8_t work[kWorkingCopySize] = {};
  std::memcpy(work, card.atr, length);
  if (work[0] == kTsInverseAsReceived) {
    for (std::size_t i = 0; i < length; ++i) work[i] = card::inverse_transform(work[i]);
  }
  if (work[0] != kTsDirect && work[0] != kTsInverse) return ST_BAD_ATR;
  card.inverse_convention = work[0] == kTsInverse ? 1 : 0;
  if ((work[1] & kTdFollows) == 0) card.protocol = kProtocolT0;

  const StatusCode status = check_length(work, length, card);
  if (status != ST_OK) return status;
  if (card.protocol != kProtocolT0 && card.protocol != kProtocolT1) {
    card.protocol = kProtocolNone;
    card.interface_bytes[kTD1].present = 0;
    card.interface_bytes[kTD2].present = 0;
    return ST_PROTOCOL_UNSUPPORTED;
  }
  std::memcpy(card.atr, work, length);

  const std::size_t historical_at = store_interface_bytes(work, length, card);
  const std::size_t present = historical_at < length ? length - historical_at : 0;
  card.historical_count = work[1] & kLowNibble;
  std::memcpy(card.historical, work + historical_at, std::min<std::size_t>(card.historical_count, present));
  const std::size_t tck_at = historical_at + card.historical_count;
  card.tck.present = 0;
  if (tck_at < length) card.tck = InterfaceByte{work[tck_at], 1};

  card.offered_protocols |= offered_protocols(card);
  return derive_parameters(card, port);
}

uint8_t announced_ifsc(const CardRecord& card) {
  const InterfaceByte& ta3 = card.interface_bytes[kTA3];
  if (ta3.present == 0 || ta3.value == 0 || ta3.value == kReservedIfsc) return kDefaultIfsc;
  return ta3.value;
}

}  // namespace kdx::tarsk::atr
