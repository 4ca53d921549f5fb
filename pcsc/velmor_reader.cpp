// The Velmor reader behind a channel: CPU cards through the reader's T=0
// path, synchronous memory cards through their drivers and the storage-card
// pseudo-APDUs.
#include <algorithm>
#include <cstring>

#include "pcsc/library.h"
#include "pcsc/log.h"
#include "pcsc/memory_apdu.h"
#include "pcsc/reader.h"
#include "pcsc/reader_opening.h"
#include "pcsc/t0_mapping.h"
#include "pcsc/velmor_families.h"
#include "sim/cards/at102_family.h"
#include "sim/cards/at45d.h"
#include "sim/cards/two_wire_card.h"
#include "sim/reader_sim.h"
#include "sim/sample_cards.h"
#include "sim/virtual_port.h"

namespace kdx::ifd {
namespace {

constexpr ReaderTraits kTraits{"libvelmor", "Velmor", "cpu", ST_PORT_INIT_FAILED, ST_NO_CARD};

// The reader's T=0 path: one command frame carries the header and up to 195
// data bytes; one read of its ISO buffer holds INS, the data and SW1 SW2.
constexpr std::size_t kMaxTpduData = 195;
constexpr std::size_t kMaxResponseData = 192;
constexpr std::size_t kAtrBuffer = 30;
constexpr std::size_t kResponseText = 400;  // the library writes at most 391
constexpr uint8_t kInverseTsAsRead = 0x03;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// A memory card's answer to reset, as PC/SC sees it: TS, T0 with four
// historical bytes, then the card's own four bytes.
constexpr uint8_t kMemoryAtrPrefix[] = {0x3B, 0x04};

}  // namespace

bool bind_velmor_api(VelmorApi& api, const LibraryInstance& library, std::string& missing) {
#define KDX_REQUIRE(name) \
  if (!bind_symbol(library, #name, api.name)) missing = #name;
#define KDX_OPTIONAL(name) bind_symbol(library, #name, api.name);
  KDX_IFD_VELMOR_REQUIRED(KDX_REQUIRE)
  KDX_IFD_VELMOR_FAMILIES(KDX_OPTIONAL)
#undef KDX_REQUIRE
#undef KDX_OPTIONAL
  return missing.empty();
}

namespace {

// The inverse convention's bytes as a direct-convention UART reads them:
// bit order reversed and levels inverted (its own inverse).
uint8_t from_inverse(uint8_t byte) {
  uint8_t reversed = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if ((byte & (1u << bit)) != 0) reversed = static_cast<uint8_t>(reversed | (0x80u >> bit));
  }
  return static_cast<uint8_t>(~reversed);
}

MemoryStatus memory_status(StatusCode status) {
  switch (status) {
    case ST_OK: return MemoryStatus::ok;
    case ST_WRONG_PASSWORD: return MemoryStatus::wrong_psc;
    case ST_NO_CARD: return MemoryStatus::absent;
    default: return MemoryStatus::failed;
  }
}

class VelmorSim final : public SimulatedReaderSlot {
 public:
  VelmorSim() { reader.attach_to(port); }

  sim::ReaderSim reader;

 private:
  bool put(const std::string& card) override {
    auto model = sim::make_sample_card(card);
    if (!model) return false;
    reader.insert(std::move(model));
    return true;
  }
  void pull() override { reader.remove(); }
  void disconnect() override { reader.set_silent(true); }
  std::vector<std::string> card_violations() const override {
    const sim::ReaderCard* card = reader.card();
    if (const auto* bus = dynamic_cast<const sim::TwoWireCard*>(card)) return bus->violations();
    if (const auto* at102 = dynamic_cast<const sim::At102FamilyCard*>(card)) return at102->violations();
    if (const auto* flash = dynamic_cast<const sim::At45dCard*>(card)) return flash->violations();
    return {};
  }
};

enum class Inserted : uint8_t { none, cpu, memory };

class VelmorReader final : public Reader {
 public:
  VelmorReader(std::unique_ptr<LibraryInstance> library, const VelmorApi& api, std::unique_ptr<VelmorSim> sim,
               const DeviceName& name)
      : library_(std::move(library)), api_(api), sim_(std::move(sim)), at24c_type_(name.at24c_type) {}

  ~VelmorReader() override {
    power_down();
    api_.KDX_ExitComm();
    if (sim_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
  }

  RESPONSECODE presence() override {
    const RESPONSECODE present = card_presence(api_.KDX_TestDoor(), kTraits);
    if (present == IFD_ICC_NOT_PRESENT) inserted_ = Inserted::none;
    return present;
  }

  RESPONSECODE power_up(bool reset, std::vector<uint8_t>& atr) override {
    const RESPONSECODE present = presence();
    if (present != IFD_ICC_PRESENT) return present;
    if (reset && inserted_ == Inserted::cpu) {
      uint8_t bytes[kAtrBuffer] = {};
      const StatusCode status = api_.CPU_Reset(bytes);
      if (status == ST_OK) return cpu_atr(bytes, atr);
      log_line(LogLevel::info, "warm reset refused (status %u): powering the card again", static_cast<unsigned>(status));
    }
    power_down();
    if (try_families(Probe::before_cpu, atr)) return IFD_SUCCESS;
    uint8_t bytes[kAtrBuffer] = {};
    const StatusCode status = api_.CPU_Open(bytes);
    if (status == ST_OK) return cpu_atr(bytes, atr);
    if (status == ST_NO_CARD) return IFD_ICC_NOT_PRESENT;
    if (try_families(Probe::after_cpu, atr)) return IFD_SUCCESS;
    log_line(LogLevel::error, "the card answers neither as a CPU card (status %u) nor as a memory card",
             static_cast<unsigned>(status));
    return presence() == IFD_ICC_NOT_PRESENT ? IFD_ICC_NOT_PRESENT : IFD_ERROR_POWER_ACTION;
  }

  RESPONSECODE power_down() override {
    StatusCode status = ST_OK;
    if (inserted_ == Inserted::cpu) status = api_.CPU_Close();
    if (inserted_ == Inserted::memory) status = family_->close(api_);
    inserted_ = Inserted::none;
    family_ = nullptr;
    return status == ST_OK || status == ST_NO_CARD ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
  }

  RESPONSECODE set_protocol(DWORD protocol, UCHAR flags, UCHAR) override {
    if (inserted_ == Inserted::none) return IFD_ICC_NOT_PRESENT;
    if (protocol != SCARD_PROTOCOL_T0) return IFD_PROTOCOL_NOT_SUPPORTED;
    if ((flags & IFD_NEGOTIATE_PTS1) != 0) {
      log_line(LogLevel::info, "the reader runs the card at its default rate: PTS1 is not negotiated");
    }
    return IFD_SUCCESS;
  }

  DWORD protocol() const override { return inserted_ == Inserted::none ? 0 : SCARD_PROTOCOL_T0; }

  RESPONSECODE transmit(std::span<const uint8_t> command, std::vector<uint8_t>& response) override {
    if (inserted_ == Inserted::none) return presence() == IFD_ICC_NOT_PRESENT ? IFD_ICC_NOT_PRESENT : IFD_COMMUNICATION_ERROR;
    if (inserted_ == Inserted::memory) return memory_transmit(command, response);
    ParsedApdu parsed;
    if (parse_apdu(command, parsed) && parsed.lc > kMaxTpduData) {
      log_line(LogLevel::error, "a command with %zu data bytes: the reader carries at most %zu", parsed.lc, kMaxTpduData);
      return IFD_COMMUNICATION_ERROR;
    }
    const TpduTransmit tpdu = [this](std::span<const uint8_t> bytes, std::vector<uint8_t>& answer) {
      return transmit_tpdu(bytes, answer);
    };
    return mapped(transmit_t0_apdu(command, tpdu, T0Limits{kMaxResponseData}, response));
  }

  SimulatedSlot* simulated_slot() override { return sim_.get(); }

 private:
  RESPONSECODE cpu_atr(const uint8_t* bytes, std::vector<uint8_t>& atr) {
    inserted_ = Inserted::cpu;
    std::vector<uint8_t> decoded(bytes, bytes + kAtrBuffer);
    if (decoded[0] == kInverseTsAsRead) {
      for (uint8_t& byte : decoded) byte = from_inverse(byte);
    }
    const std::size_t length = iso_atr_length(decoded);
    atr.assign(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(length == 0 ? kAtrBuffer : length));
    return IFD_SUCCESS;
  }

  bool try_families(Probe probe, std::vector<uint8_t>& atr) {
    for (const MemoryFamily& family : memory_families()) {
      if (family.probe != probe || (family.at24c_type != 0 && family.at24c_type != at24c_type_)) continue;
      if (try_family(family, atr)) return true;
    }
    return false;
  }

  bool try_family(const MemoryFamily& family, std::vector<uint8_t>& atr) {
    if (!family.available(api_)) return false;
    uint8_t answer[kMemoryAnswerBytes] = {};
    if (family.open(api_, answer) != ST_OK) return false;
    if (!family.recognises(api_, answer)) {
      family.close(api_);
      return false;
    }
    inserted_ = Inserted::memory;
    family_ = &family;
    atr.assign(std::begin(kMemoryAtrPrefix), std::end(kMemoryAtrPrefix));
    atr.insert(atr.end(), answer, answer + kMemoryAnswerBytes);
    log_line(LogLevel::info, "%s memory card", family.name);
    return true;
  }

  // The bytes from `address` on through the family's segments, one driver
  // call for each segment touched.
  template <typename Byte, typename Operation>
  MemoryStatus by_segments(uint32_t address, std::span<Byte> bytes, Operation operation) {
    const std::size_t segment = family_->segment;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const std::size_t at = address + done;
      const std::size_t offset = segment == 0 ? at : at % segment;
      const std::size_t count = segment == 0 ? bytes.size() : std::min(bytes.size() - done, segment - offset);
      const StatusCode status = operation(static_cast<uint32_t>(segment == 0 ? 0 : at / segment), static_cast<uint32_t>(offset),
                                          static_cast<uint32_t>(count), bytes.data() + done);
      if (status != ST_OK) return memory_status(status);
      done += count;
    }
    return MemoryStatus::ok;
  }

  RESPONSECODE memory_transmit(std::span<const uint8_t> command, std::vector<uint8_t>& response) {
    const MemoryFamily& f = *family_;
    MemoryCard card;
    card.size = f.size;
    card.psc_length = f.psc_length;
    card.psc_indexes = f.psc_indexes;
    card.read = [&](uint32_t address, std::span<uint8_t> d) {
      return by_segments(address, d, [&](uint32_t segment, uint32_t offset, uint32_t count, uint8_t* into) {
        return f.read(api_, segment, offset, count, into);
      });
    };
    card.write = [&](uint32_t address, std::span<const uint8_t> s) {
      return by_segments(address, s, [&](uint32_t segment, uint32_t offset, uint32_t count, const uint8_t* from) {
        return f.write(api_, segment, offset, count, from);
      });
    };
    card.verify = [&](uint32_t index, std::span<const uint8_t> psc) { return memory_status(f.verify(api_, index, psc.data())); };
    card.attempts_left = [&](uint32_t index, unsigned& attempts) {
      return memory_status(f.attempts_left(api_, index, attempts));
    };
    switch (answer_memory_apdu(command, card, response)) {
      case MemoryStatus::ok: return IFD_SUCCESS;
      case MemoryStatus::absent: return gone();
      default: return presence() == IFD_ICC_NOT_PRESENT ? gone() : IFD_COMMUNICATION_ERROR;
    }
  }

  TpduResult transmit_tpdu(std::span<const uint8_t> tpdu, std::vector<uint8_t>& answer) {
    char command[2 * (kMaxTpduData + 5) + 1];
    std::size_t at = 0;
    for (const uint8_t byte : tpdu) {
      command[at++] = kHexDigits[byte >> 4];
      command[at++] = kHexDigits[byte & 0x0F];
    }
    command[at] = '\0';
    char text[kResponseText] = {};
    const StatusCode status = api_.CPU_IsoAPDU(command, text);
    if (status != ST_OK) {
      log_line(LogLevel::error, "T=0 exchange: status %u", static_cast<unsigned>(status));
      return presence() == IFD_ICC_NOT_PRESENT ? TpduResult::absent : TpduResult::failed;
    }
    answer.clear();
    for (std::size_t i = 0; i + 1 < sizeof text && text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
      const auto digit = [](char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10); };
      answer.push_back(static_cast<uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
    }
    // The library answers a silent card with 6F00: a card pulled meanwhile
    // is told apart by the door switch.
    if (answer == std::vector<uint8_t>{0x6F, 0x00} && presence() == IFD_ICC_NOT_PRESENT) return TpduResult::absent;
    return TpduResult::ok;
  }

  RESPONSECODE gone() {
    inserted_ = Inserted::none;
    family_ = nullptr;
    return IFD_ICC_NOT_PRESENT;
  }

  RESPONSECODE mapped(MapResult result) {
    switch (result) {
      case MapResult::ok: return IFD_SUCCESS;
      case MapResult::malformed:
        log_line(LogLevel::error, "not a short APDU");
        return IFD_COMMUNICATION_ERROR;
      case MapResult::absent: return gone();
      case MapResult::timeout: return IFD_RESPONSE_TIMEOUT;
      case MapResult::card_misbehaves: log_line(LogLevel::error, "the card's answers break the T=0 rules"); break;
      case MapResult::failed: break;
    }
    return IFD_COMMUNICATION_ERROR;
  }

  std::unique_ptr<LibraryInstance> library_;  // released last
  VelmorApi api_;
  std::unique_ptr<VelmorSim> sim_;
  Inserted inserted_ = Inserted::none;
  const MemoryFamily* family_ = nullptr;
  uint8_t at24c_type_;
};

}  // namespace

std::unique_ptr<Reader> open_velmor(const DeviceName& name, RESPONSECODE& result, std::string& error) {
  return open_reader_of<VelmorReader, VelmorSim>(name, kTraits, &bind_velmor_api, result, error);
}

}  // namespace kdx::ifd
