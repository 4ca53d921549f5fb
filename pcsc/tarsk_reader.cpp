// The Tarsk reader behind a channel: the library performs ISO/IEC 7816-3 on
// the serial line (activation, PPS, its T=0 and T=1 engines); T=0 APDUs go
// through the handler's TPDU mapping over the library's T=0 engine.
#include <algorithm>
#include <cstring>

#include "pcsc/library.h"
#include "pcsc/log.h"
#include "pcsc/reader.h"
#include "pcsc/reader_opening.h"
#include "pcsc/t0_mapping.h"
#include "sim/sample_cards.h"
#include "sim/serial_line_device.h"
#include "sim/virtual_port.h"
#include "tarsk.h"

namespace kdx::ifd {
namespace {

constexpr ReaderTraits kTraits{"libtarsk", "Tarsk", "t0", ST_PORT_INIT_FAILED, ST_NO_CARD};

constexpr std::size_t kAtrBuffer = 64;  // the library writes at most 32 bytes
constexpr uint32_t kProtocolT0 = 1;     // the library's protocol values
constexpr uint32_t kProtocolT1 = 2;
constexpr uint32_t kDefaultFactors = 0x11;  // Fi 372, Di 1
// The engines' answers: T=0 at most 256 data bytes and SW1 SW2; T=1 the
// information fields of the card's blocks, bounded here by the largest
// extended response pcsc-lite passes.
constexpr std::size_t kMaxT0Response = 258;
constexpr std::size_t kT1Response = MAX_BUFFER_SIZE_EXTENDED;

// The protocol exports, looked up without the header's declarations.
using TransmitFunction = StatusCode(KDX_CALL*)(uint8_t* command, uint32_t length, uint8_t* response, uint32_t* response_length);
using SetProtocolFunction = StatusCode(KDX_CALL*)(uint32_t protocols, uint32_t fi, uint32_t di);

#define KDX_IFD_TARSK_REQUIRED(X)                                                                                  \
  X(KDX_InitComm) X(KDX_ExitComm) X(KDX_TestDoor) X(KDX_SetPortDevice) X(KDX_SetPortBackend) X(CPU_OpenCard) X(CPU_Reset) \
  X(CPU_CloseCard) X(CPU_GetProtocol)

struct Api {
#define KDX_DECLARE(name) decltype(&::name) name = nullptr;
  KDX_IFD_TARSK_REQUIRED(KDX_DECLARE)
#undef KDX_DECLARE
  TransmitFunction CPU_TransmitT0 = nullptr;
  TransmitFunction CPU_TransmitT1 = nullptr;
  SetProtocolFunction CPU_SetProtocol = nullptr;
};

bool bind_api(Api& api, const LibraryInstance& library, std::string& missing) {
#define KDX_REQUIRE(name) \
  if (!bind_symbol(library, #name, api.name)) missing = #name;
  KDX_IFD_TARSK_REQUIRED(KDX_REQUIRE)
#undef KDX_REQUIRE
  bind_symbol(library, "CPU_TransmitT0", api.CPU_TransmitT0);
  bind_symbol(library, "CPU_TransmitT1", api.CPU_TransmitT1);
  bind_symbol(library, "CPU_SetProtocol", api.CPU_SetProtocol);
  return missing.empty();
}

class TarskSim final : public SimulatedReaderSlot {
 public:
  sim::SerialLineDevice device{port};

 private:
  bool put(const std::string& card) override {
    auto model = sim::make_serial_line_card(card);
    if (!model) return false;
    model_ = model.get();
    device.insert(std::move(model));
    return true;
  }
  void pull() override {
    device.remove();
    model_ = nullptr;
  }
  void disconnect() override { device.set_attached(false); }
  std::vector<std::string> card_violations() const override {
    return model_ != nullptr ? model_->violations() : std::vector<std::string>{};
  }

  const sim::Iso7816Card* model_ = nullptr;
};

class TarskReader final : public Reader {
 public:
  TarskReader(std::unique_ptr<LibraryInstance> library, const Api& api, std::unique_ptr<TarskSim> sim, const DeviceName&)
      : library_(std::move(library)), api_(api), sim_(std::move(sim)), t1_response_(kT1Response) {}

  ~TarskReader() override {
    api_.KDX_ExitComm();  // deactivates the card and stops the presence monitor
    if (sim_) api_.KDX_SetPortBackend(kPortIndex, nullptr);
  }

  RESPONSECODE presence() override {
    const RESPONSECODE present = card_presence(api_.KDX_TestDoor(), kTraits);
    if (present == IFD_ICC_NOT_PRESENT) powered_ = false;
    return present;
  }

  RESPONSECODE power_up(bool reset, std::vector<uint8_t>& atr) override {
    uint8_t bytes[kAtrBuffer] = {};
    uint16_t length = 0;
    const StatusCode status = reset ? api_.CPU_Reset(bytes, &length) : api_.CPU_OpenCard(bytes, &length);
    powered_ = status == ST_OK;
    if (status == ST_NO_CARD) return IFD_ICC_NOT_PRESENT;
    if (status != ST_OK) {
      log_line(LogLevel::error, "card activation: status %u", static_cast<unsigned>(status));
      return presence() == IFD_ICC_NOT_PRESENT ? IFD_ICC_NOT_PRESENT : IFD_ERROR_POWER_ACTION;
    }
    atr.assign(bytes, bytes + std::min<std::size_t>(length, MAX_ATR_SIZE));
    return IFD_SUCCESS;
  }

  RESPONSECODE power_down() override {
    powered_ = false;
    const StatusCode status = api_.CPU_CloseCard();
    return status == ST_OK ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
  }

  RESPONSECODE set_protocol(DWORD protocol, UCHAR flags, UCHAR pts1) override {
    const uint32_t wanted = protocol == SCARD_PROTOCOL_T0 ? kProtocolT0 : protocol == SCARD_PROTOCOL_T1 ? kProtocolT1 : 0;
    if (wanted == 0) return IFD_PROTOCOL_NOT_SUPPORTED;
    uint32_t current = 0;
    const StatusCode status = api_.CPU_GetProtocol(&current);
    if (status == ST_NO_CARD) return IFD_ICC_NOT_PRESENT;
    if (status != ST_OK) return IFD_COMMUNICATION_ERROR;
    const bool factors = (flags & IFD_NEGOTIATE_PTS1) != 0 && pts1 != kDefaultFactors;
    if (current == wanted && !factors) return IFD_SUCCESS;  // the card runs it already
    if (api_.CPU_SetProtocol == nullptr) {
      log_line(LogLevel::error, "this Tarsk library offers no protocol selection");
      return IFD_NOT_SUPPORTED;
    }
    const uint32_t chosen = factors ? pts1 : kDefaultFactors;
    const StatusCode selected = api_.CPU_SetProtocol(wanted, chosen >> 4, chosen & 0x0F);
    switch (selected) {
      case ST_OK: return IFD_SUCCESS;
      case ST_PROTOCOL_UNSUPPORTED: return IFD_PROTOCOL_NOT_SUPPORTED;
      case ST_NO_CARD: return IFD_ICC_NOT_PRESENT;
      default:
        log_line(LogLevel::error, "PPS: status %u", static_cast<unsigned>(selected));
        return IFD_ERROR_PTS_FAILURE;
    }
  }

  DWORD protocol() const override {
    if (!powered_) return 0;
    uint32_t current = 0;
    if (api_.CPU_GetProtocol(&current) != ST_OK) return 0;
    return current == kProtocolT1 ? SCARD_PROTOCOL_T1 : current == kProtocolT0 ? SCARD_PROTOCOL_T0 : 0;
  }

  RESPONSECODE transmit(std::span<const uint8_t> command, std::vector<uint8_t>& response) override {
    const DWORD running = protocol();
    if (running == 0) return presence() == IFD_ICC_NOT_PRESENT ? IFD_ICC_NOT_PRESENT : IFD_COMMUNICATION_ERROR;
    TransmitFunction engine = running == SCARD_PROTOCOL_T1 ? api_.CPU_TransmitT1 : api_.CPU_TransmitT0;
    if (engine == nullptr) {
      log_line(LogLevel::error, "this Tarsk library has no T=%d engine", running == SCARD_PROTOCOL_T1 ? 1 : 0);
      return IFD_NOT_SUPPORTED;
    }
    if (running == SCARD_PROTOCOL_T1) {
      ParsedApdu parsed;
      if (!parse_apdu(command, parsed)) {
        log_line(LogLevel::error, "not a short APDU");
        return IFD_COMMUNICATION_ERROR;
      }
      std::vector<uint8_t> answer;
      const TpduResult result = run_engine(engine, command, answer, t1_response_);
      if (result != TpduResult::ok) return failed(result);
      response = std::move(answer);
      return IFD_SUCCESS;
    }
    const TpduTransmit tpdu = [this, engine](std::span<const uint8_t> bytes, std::vector<uint8_t>& answer) {
      return run_engine(engine, bytes, answer, t0_response_);
    };
    switch (transmit_t0_apdu(command, tpdu, T0Limits{}, response)) {
      case MapResult::ok: return IFD_SUCCESS;
      case MapResult::malformed: log_line(LogLevel::error, "not a short APDU"); return IFD_COMMUNICATION_ERROR;
      case MapResult::absent: return failed(TpduResult::absent);
      case MapResult::timeout: return IFD_RESPONSE_TIMEOUT;
      case MapResult::card_misbehaves: log_line(LogLevel::error, "the card's answers break the T=0 rules"); break;
      case MapResult::failed: break;
    }
    return IFD_COMMUNICATION_ERROR;
  }

  SimulatedSlot* simulated_slot() override { return sim_.get(); }

 private:
  // The engines work in the command buffer in place: a copy goes in.
  TpduResult run_engine(TransmitFunction engine, std::span<const uint8_t> command, std::vector<uint8_t>& answer,
                        std::vector<uint8_t>& buffer) {
    std::vector<uint8_t> bytes(command.begin(), command.end());
    uint32_t length = 0;
    const StatusCode status = engine(bytes.data(), static_cast<uint32_t>(bytes.size()), buffer.data(), &length);
    if (status != ST_OK) {
      log_line(LogLevel::error, "card exchange: status %u", static_cast<unsigned>(status));
      if (status == ST_NO_CARD || presence() == IFD_ICC_NOT_PRESENT) return TpduResult::absent;
      return TpduResult::failed;
    }
    if (length > buffer.size()) {
      log_line(LogLevel::critical, "the library reports %u response bytes for a buffer of %zu", length, buffer.size());
      return TpduResult::failed;
    }
    answer.assign(buffer.begin(), buffer.begin() + length);
    return TpduResult::ok;
  }

  RESPONSECODE failed(TpduResult result) {
    if (result == TpduResult::absent) {
      powered_ = false;
      return IFD_ICC_NOT_PRESENT;
    }
    return result == TpduResult::timeout ? IFD_RESPONSE_TIMEOUT : IFD_COMMUNICATION_ERROR;
  }

  std::unique_ptr<LibraryInstance> library_;  // released last
  Api api_;
  std::unique_ptr<TarskSim> sim_;
  std::vector<uint8_t> t1_response_;
  std::vector<uint8_t> t0_response_ = std::vector<uint8_t>(2 * kMaxT0Response + 1);
  bool powered_ = false;
};

}  // namespace

std::unique_ptr<Reader> open_tarsk(const DeviceName& name, RESPONSECODE& result, std::string& error) {
  return open_reader_of<TarskReader, TarskSim>(name, kTraits, &bind_api, result, error);
}

}  // namespace kdx::ifd
