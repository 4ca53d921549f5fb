#include "pcsc/t0_mapping.h"

#include <algorithm>

#include "iso7816/codes.h"

namespace kdx::ifd {
namespace {

namespace iso = kdx::iso7816;
constexpr std::size_t kShortMax = 256;
constexpr std::size_t kStatusWord = 2;

std::size_t length_byte(uint8_t value) { return value == 0 ? kShortMax : value; }

MapResult from_tpdu(TpduResult result) {
  switch (result) {
    case TpduResult::ok: return MapResult::ok;
    case TpduResult::absent: return MapResult::absent;
    case TpduResult::timeout: return MapResult::timeout;
    case TpduResult::failed: break;
  }
  return MapResult::failed;
}

class Mapping {
 public:
  Mapping(std::span<const uint8_t> apdu, const ParsedApdu& parsed, const TpduTransmit& transmit, const T0Limits& limits)
      : apdu_(apdu), parsed_(parsed), transmit_(transmit), limits_(limits) {}

  MapResult run(std::vector<uint8_t>& response) {
    std::vector<uint8_t> tpdu(apdu_.begin(), apdu_.begin() + iso::kHeader);
    switch (parsed_.kind) {
      case ApduCase::one: tpdu.push_back(0); break;
      case ApduCase::two: tpdu.push_back(p3_for(parsed_.ne)); break;
      case ApduCase::three:
      case ApduCase::four: tpdu.insert(tpdu.end(), apdu_.begin() + iso::kHeader, apdu_.begin() + iso::kHeader + 1 + parsed_.lc); break;
    }
    MapResult result = send(tpdu);
    if (result != MapResult::ok) return result;
    // 6Cxx: the card names the length it has; case 2 only, once per TPDU.
    if (parsed_.kind == ApduCase::two && sw1() == iso::kWrongLe) {
      tpdu[iso::kP3] = answer_[answer_.size() - 1];
      result = send(tpdu);
      if (result != MapResult::ok) return result;
    }
    data_.assign(answer_.begin(), answer_.end() - kStatusWord);
    if (parsed_.kind == ApduCase::two || parsed_.kind == ApduCase::four) {
      result = get_responses();
      if (result != MapResult::ok) return result;
    }
    if (data_.size() > parsed_.ne) data_.resize(parsed_.ne);
    response = data_;
    response.insert(response.end(), answer_.end() - kStatusWord, answer_.end());
    return MapResult::ok;
  }

 private:
  uint8_t p3_for(std::size_t wanted) const {
    const std::size_t p3 = std::min({wanted, limits_.max_response_data, kShortMax});
    return static_cast<uint8_t>(p3 == kShortMax ? 0 : p3);
  }

  uint8_t sw1() const { return answer_[answer_.size() - kStatusWord]; }

  MapResult send(const std::vector<uint8_t>& tpdu) {
    if (++tpdus_ > kMaxTpdus) return MapResult::card_misbehaves;
    answer_.clear();
    const MapResult result = from_tpdu(transmit_(tpdu, answer_));
    if (result != MapResult::ok) return result;
    return answer_.size() < kStatusWord ? MapResult::card_misbehaves : MapResult::ok;
  }

  // While the card says xx bytes wait: GET RESPONSE for them (no more than
  // the application still wants), a 6Cxx answer corrected once.
  MapResult get_responses() {
    while (sw1() == iso::kMoreData && data_.size() < parsed_.ne) {
      const std::size_t waiting = length_byte(answer_[answer_.size() - 1]);
      std::vector<uint8_t> get{apdu_[iso::kCla], iso::kGetResponse, 0, 0, p3_for(std::min(waiting, parsed_.ne - data_.size()))};
      MapResult result = send(get);
      if (result == MapResult::ok && sw1() == iso::kWrongLe) {
        get[iso::kP3] = answer_[answer_.size() - 1];
        result = send(get);
      }
      if (result != MapResult::ok) return result;
      data_.insert(data_.end(), answer_.begin(), answer_.end() - kStatusWord);
    }
    return MapResult::ok;
  }

  std::span<const uint8_t> apdu_;
  const ParsedApdu& parsed_;
  const TpduTransmit& transmit_;
  const T0Limits& limits_;
  std::vector<uint8_t> answer_;
  std::vector<uint8_t> data_;
  std::size_t tpdus_ = 0;
};

}  // namespace

bool parse_apdu(std::span<const uint8_t> apdu, ParsedApdu& parsed) {
  parsed = ParsedApdu{};
  if (apdu.size() < iso::kHeader) return false;
  if (apdu.size() == iso::kHeader) return true;
  if (apdu.size() == iso::kHeader + 1) {
    parsed.kind = ApduCase::two;
    parsed.ne = length_byte(apdu[iso::kHeader]);
    return true;
  }
  const std::size_t lc = apdu[iso::kHeader];
  if (lc == 0) return false;  // extended length, not carried
  parsed.lc = lc;
  if (apdu.size() == iso::kHeader + 1 + lc) {
    parsed.kind = ApduCase::three;
    return true;
  }
  if (apdu.size() == iso::kHeader + 2 + lc) {
    parsed.kind = ApduCase::four;
    parsed.ne = length_byte(apdu[apdu.size() - 1]);
    return true;
  }
  return false;
}

MapResult transmit_t0_apdu(std::span<const uint8_t> apdu, const TpduTransmit& transmit, const T0Limits& limits,
                           std::vector<uint8_t>& response) {
  ParsedApdu parsed;
  if (!parse_apdu(apdu, parsed)) return MapResult::malformed;
  return Mapping(apdu, parsed, transmit, limits).run(response);
}

}  // namespace kdx::ifd
