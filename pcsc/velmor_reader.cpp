// The Velmor reader behind a channel: CPU cards through the reader's T=0
// path, synchronous memory cards through their drivers and the storage-card
// pseudo-APDUs.
#include <algorithm>
#include <bit>
#include <cstring>

#include "pcsc/library.h"
#include "pcsc/log.h"
#include "pcsc/memory_apdu.h"
#include "pcsc/reader.h"
#include "pcsc/reader_opening.h"
#include "pcsc/t0_mapping.h"
#include "sim/reader_sim.h"
#include "sim/sample_cards.h"
#include "sim/virtual_port.h"
#include "velmor.h"

namespace kdx::ifd {
namespace {

constexpr uint32_t kPortIndex = 0;
constexpr uint32_t kBaud = 9600;
constexpr const char* kLibrary = "libvelmor";
constexpr const char* kDefaultSimCard = "cpu";
constexpr const char* kEmptySlot = "none";

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
constexpr std::size_t kMemoryAtrBytes = 4;

#define KDX_IFD_VELMOR_REQUIRED(X)                                                                              \
  X(KDX_InitComm) X(KDX_ExitComm) X(KDX_TestDoor) X(KDX_SetPortDevice) X(KDX_SetPortBackend) X(CPU_Open) X(CPU_Close) \
  X(CPU_Reset) X(CPU_IsoAPDU)
// Each family's exports; a library without them simply lacks the family.
#define KDX_IFD_VELMOR_FAMILIES(X)                                                                                \
  X(SLE4442_OpenCard) X(SLE4442_CloseCard) X(SLE4442_ReadChar) X(SLE4442_WriteChar) X(SLE4442_VerifyPWD)          \
  X(SLE4442_ReadPAC) X(SLE4428_OpenCard) X(SLE4428_CloseCard) X(SLE4428_ReadChar) X(SLE4428_WriteChar)            \
  X(SLE4428_VerifyPWD) X(SLE4428_ReadPAC)

struct Api {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_IFD_VELMOR_REQUIRED(KDX_DECLARE)
  KDX_IFD_VELMOR_FAMILIES(KDX_DECLARE)
#undef KDX_DECLARE
};

bool bind_api(Api& api, const LibraryInstance& library, std::string& missing) {
#define KDX_REQUIRE(name) \
  if (!bind_symbol(library, #name, api.name)) missing = #name;
#define KDX_OPTIONAL(name) bind_symbol(library, #name, api.name);
  KDX_IFD_VELMOR_REQUIRED(KDX_REQUIRE)
  KDX_IFD_VELMOR_FAMILIES(KDX_OPTIONAL)
#undef KDX_REQUIRE
#undef KDX_OPTIONAL
  return missing.empty();
}

// One synchronous memory-card family: its driver's exports and how the card
// is recognised. `recognises` null: the family is tried last, taken when
// its driver reads an answer that is not blank. Add a row per family.
struct Family {
  const char* name;
  std::size_t size;
  std::size_t psc_length;
  bool (*available)(const Api&);
  bool (*recognises)(const uint8_t* atr);
  StatusCode (*open)(const Api&, uint8_t* atr);
  StatusCode (*close)(const Api&);
  StatusCode (*read)(const Api&, uint32_t address, uint32_t length, uint8_t* destination);
  StatusCode (*write)(const Api&, uint32_t address, uint32_t length, const uint8_t* source);
  StatusCode (*verify)(const Api&, const uint8_t* psc);
  StatusCode (*attempts_left)(const Api&, unsigned& attempts);
};

constexpr uint8_t kSle4442AtrH1 = 0xA2;
constexpr uint8_t kSle4442CounterBits = 0x07;

const Family kFamilies[] = {
    {"SLE4442", 256, 3,
     [](const Api& a) { return a.SLE4442_OpenCard && a.SLE4442_CloseCard && a.SLE4442_ReadChar && a.SLE4442_WriteChar && a.SLE4442_VerifyPWD && a.SLE4442_ReadPAC; },
     [](const uint8_t* atr) { return atr[0] == kSle4442AtrH1; },
     [](const Api& a, uint8_t* atr) { return a.SLE4442_OpenCard(atr); },
     [](const Api& a) { return a.SLE4442_CloseCard(); },
     [](const Api& a, uint32_t address, uint32_t length, uint8_t* d) { return a.SLE4442_ReadChar(address, length, d); },
     [](const Api& a, uint32_t address, uint32_t length, const uint8_t* s) { return a.SLE4442_WriteChar(address, length, s); },
     [](const Api& a, const uint8_t* psc) { return a.SLE4442_VerifyPWD(psc[0], psc[1], psc[2]); },
     [](const Api& a, unsigned& attempts) {
       uint8_t counter = 0;
       const StatusCode status = a.SLE4442_ReadPAC(&counter);
       attempts = static_cast<unsigned>(std::popcount(static_cast<uint8_t>(counter & kSle4442CounterBits)));
       return status;
     }},
    {"SLE4428", 1024, 2,
     [](const Api& a) { return a.SLE4428_OpenCard && a.SLE4428_CloseCard && a.SLE4428_ReadChar && a.SLE4428_WriteChar && a.SLE4428_VerifyPWD && a.SLE4428_ReadPAC; },
     nullptr,
     [](const Api& a, uint8_t* atr) { return a.SLE4428_OpenCard(atr); },
     [](const Api& a) { return a.SLE4428_CloseCard(); },
     [](const Api& a, uint32_t address, uint32_t length, uint8_t* d) { return a.SLE4428_ReadChar(address, length, d); },
     [](const Api& a, uint32_t address, uint32_t length, const uint8_t* s) { return a.SLE4428_WriteChar(address, length, s); },
     [](const Api& a, const uint8_t* psc) { return a.SLE4428_VerifyPWD(psc[0], psc[1]); },
     [](const Api& a, unsigned& attempts) {
       uint8_t counter = 0;
       const StatusCode status = a.SLE4428_ReadPAC(&counter);
       attempts = static_cast<unsigned>(std::popcount(counter));
       return status;
     }},
};

bool blank(const uint8_t* atr) {
  return std::all_of(atr, atr + kMemoryAtrBytes, [](uint8_t b) { return b == 0xFF; }) ||
         std::all_of(atr, atr + kMemoryAtrBytes, [](uint8_t b) { return b == 0x00; });
}

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

class VelmorSim final : public SimulatedSlot {
 public:
  VelmorSim() { reader.attach_to(port); }
  bool insert(const std::string& card) override {
    const auto held = clock.lock();
    if (card == kEmptySlot) {
      reader.remove();
      return true;
    }
    auto model = sim::make_sample_card(card);
    if (!model) return false;
    reader.insert(std::move(model));
    return true;
  }
  void remove() override {
    const auto held = clock.lock();
    reader.remove();
  }
  void remove_in(uint32_t ms) override {
    const auto held = clock.lock();
    clock.schedule_in(ms * sim::kNsPerMs, [this] { reader.remove(); });
  }
  void unplug() override {
    const auto held = clock.lock();
    reader.set_silent(true);
  }
  std::vector<std::string> violations() const override { return {}; }

  sim::VirtualClock clock;
  sim::VirtualPort port{clock};
  sim::ReaderSim reader;
};

enum class Inserted : uint8_t { none, cpu, memory };

class VelmorReader final : public Reader {
 public:
  VelmorReader(std::unique_ptr<LibraryInstance> library, const Api& api, std::unique_ptr<VelmorSim> sim)
      : library_(std::move(library)), api_(api), sim_(std::move(sim)) {}

  ~VelmorReader() override {
    power_down();
    api_.KDX_ExitComm();
    if (sim_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
  }

  RESPONSECODE open_session(std::string& error) {
    const StatusCode status = api_.KDX_InitComm(kPortIndex, kBaud);
    if (status == ST_OK) return IFD_SUCCESS;
    api_.KDX_ExitComm();
    error = "the reader's session did not open, status " + std::to_string(status);
    return status == ST_PORT_INIT_FAILED ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
  }

  RESPONSECODE presence() override {
    const StatusCode status = api_.KDX_TestDoor();
    if (status == ST_OK) return IFD_ICC_PRESENT;
    if (status == ST_NO_CARD) {
      inserted_ = Inserted::none;
      return IFD_ICC_NOT_PRESENT;
    }
    log_line(LogLevel::error, "Velmor door switch: status %u", static_cast<unsigned>(status));
    return IFD_COMMUNICATION_ERROR;
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
    for (const Family& family : kFamilies) {
      if (family.recognises != nullptr && try_family(family, atr)) return IFD_SUCCESS;
    }
    uint8_t bytes[kAtrBuffer] = {};
    const StatusCode status = api_.CPU_Open(bytes);
    if (status == ST_OK) return cpu_atr(bytes, atr);
    if (status == ST_NO_CARD) return IFD_ICC_NOT_PRESENT;
    for (const Family& family : kFamilies) {
      if (family.recognises == nullptr && try_family(family, atr)) return IFD_SUCCESS;
    }
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

  bool try_family(const Family& family, std::vector<uint8_t>& atr) {
    if (!family.available(api_)) return false;
    uint8_t answer[kMemoryAtrBytes] = {};
    const StatusCode status = family.open(api_, answer);
    const bool taken = status == ST_OK && !blank(answer) && (family.recognises == nullptr || family.recognises(answer));
    if (!taken) {
      if (status == ST_OK) family.close(api_);
      return false;
    }
    inserted_ = Inserted::memory;
    family_ = &family;
    atr.assign(std::begin(kMemoryAtrPrefix), std::end(kMemoryAtrPrefix));
    atr.insert(atr.end(), answer, answer + kMemoryAtrBytes);
    log_line(LogLevel::info, "%s memory card", family.name);
    return true;
  }

  RESPONSECODE memory_transmit(std::span<const uint8_t> command, std::vector<uint8_t>& response) {
    const Family& f = *family_;
    MemoryCard card;
    card.size = f.size;
    card.psc_length = f.psc_length;
    card.read = [&](uint32_t address, std::span<uint8_t> d) {
      return memory_status(f.read(api_, address, static_cast<uint32_t>(d.size()), d.data()));
    };
    card.write = [&](uint32_t address, std::span<const uint8_t> s) {
      return memory_status(f.write(api_, address, static_cast<uint32_t>(s.size()), s.data()));
    };
    card.verify = [&](std::span<const uint8_t> psc) { return memory_status(f.verify(api_, psc.data())); };
    card.attempts_left = [&](unsigned& attempts) { return memory_status(f.attempts_left(api_, attempts)); };
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
  Api api_;
  std::unique_ptr<VelmorSim> sim_;
  Inserted inserted_ = Inserted::none;
  const Family* family_ = nullptr;
};

}  // namespace

std::unique_ptr<Reader> open_velmor(const DeviceName& name, RESPONSECODE& result, std::string& error) {
  return open_reader_of<VelmorReader, VelmorSim>(name, ReaderTraits{kLibrary, "Velmor", kDefaultSimCard}, &bind_api, result, error);
}

}  // namespace kdx::ifd
