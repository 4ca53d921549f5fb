// Every line fault against one export of every family: the status it ends
// with, the caller's buffer never written past its length, and the call
// after it succeeding on a healthy line.
#include <cstring>
#include <memory>

#include "sim/cards/cpu_card.h"
#include "sim/cards/sle4428.h"
#include "sim/cards/sle4442.h"
#include "velmor/reader_fixture.h"

namespace kdx::test {
namespace {

constexpr uint8_t kGuard = 0xEE;
constexpr std::size_t kGuardSize = 16;
constexpr uint8_t kReaderStatus = 9;

// One export per family, with what it needs in the slot and the room it
// writes into.
struct Family {
  const char* name;
  std::function<std::unique_ptr<sim::ReaderCard>()> card;  // null: no card needed
  std::function<StatusCode()> open;                        // powers the card, if any
  std::size_t capacity;
  std::function<StatusCode(uint8_t* buffer)> call;
  // With the card pulled after the first frame: the device needs none, the
  // memory cards' reads are refused by the reader, and a CPU exchange polls
  // past its deadline to "6F00".
  StatusCode when_pulled;
};

std::unique_ptr<sim::ReaderCard> cpu_card() {
  auto application = std::make_unique<sim::ScriptedApplication>();
  // Enough answers for every call of one cell, whichever reached the card.
  for (int i = 0; i < 4; ++i) application->add({sim::Script().status(0x9000)});
  sim::CpuCardConfig config;
  config.power_on_atr = Bytes{0x3B, 0x00};
  config.warm_reset_atr = Bytes{0x3B, 0x00};
  return std::make_unique<sim::CpuCard>(config, std::move(application));
}

const Family kFamilies[] = {
    {"device: KDX_GetVersion", nullptr, nullptr, 32, [](uint8_t* b) { return KDX_GetVersion(b); }, ST_OK},
    {"SLE4442_ReadChar, whole card", [] { return std::make_unique<sim::Sle4442Card>(); },
     [] {
       uint8_t atr[4];
       return SLE4442_OpenCard(atr);
     },
     256, [](uint8_t* b) { return SLE4442_ReadChar(0, 256, b); }, ST_NO_CARD},
    {"SLE4428_ReadChar, 300 bytes", [] { return std::make_unique<sim::Sle4428Card>(); },
     [] {
       uint8_t atr[4];
       return SLE4428_OpenCard(atr);
     },
     300, [](uint8_t* b) { return SLE4428_ReadChar(0, 300, b); }, ST_NO_CARD},
    {"CPU_IsoAPDU, case 1", cpu_card,
     [] {
       uint8_t atr[30];
       return CPU_Open(atr);
     },
     391, [](uint8_t* b) { return CPU_IsoAPDU("0070000000", reinterpret_cast<char*>(b)); }, ST_OK},
};

// A response frame with 300 data bytes, more than the ReceiveBuffer holds.
Bytes oversized_frame() {
  Bytes line{0x00, 0x2C, 0x01};
  line.insert(line.end(), 300, 0x41);
  uint8_t bcc = 0;
  for (uint8_t b : line) bcc = static_cast<uint8_t>(bcc ^ b);
  line.push_back(bcc);
  line.push_back(0x10);
  line.push_back(0x03);
  return line;
}

struct Fault {
  const char* name;
  std::function<void(sim::ReaderSim&)> arm;
  bool card_pulled;  // the status is the family's
  StatusCode status;
};

const Fault kFaults[] = {
    {"silence", [](sim::ReaderSim& r) { r.set_silent(true); }, false, ST_COMM_ERROR},
    {"one NAK", [](sim::ReaderSim& r) { r.nak_frames(1); }, false, ST_COMM_ERROR},
    {"three NAKs", [](sim::ReaderSim& r) { r.nak_frames(3); }, false, ST_COMM_ERROR},
    {"wrong response BCC", [](sim::ReaderSim& r) { r.corrupt_response_bcc(1); }, false, ST_COMM_ERROR},
    {"a dropped response byte", [](sim::ReaderSim& r) { r.drop_response_byte(1, 4); }, false, ST_COMM_ERROR},
    // In the header, so that the length field no longer fits the frame.
    {"an extra response byte", [](sim::ReaderSim& r) { r.insert_response_byte(1, 1, 0x5A); }, false,
     ST_COMM_ERROR},
    {"a corrupted acknowledgement", [](sim::ReaderSim& r) { r.corrupt_ack(1, 0x11); }, false, ST_COMM_ERROR},
    {"an oversized response frame", [](sim::ReaderSim& r) { r.inject_raw_response(oversized_frame()); }, false,
     ST_COMM_ERROR},
    {"a reader status", [](sim::ReaderSim& r) { r.override_status(1, kReaderStatus); }, false, kReaderStatus},
    {"card pulled during the call", nullptr, true, ST_OK},
};

class FaultMatrix : public ReaderFixture {
 protected:
  // The export into a buffer with guard bytes behind its length.
  StatusCode run(const Family& family) {
    buffer.assign(family.capacity + kGuardSize, kGuard);
    const StatusCode status = family.call(buffer.data());
    for (std::size_t i = family.capacity; i < buffer.size(); ++i) {
      if (buffer[i] != kGuard) ADD_FAILURE() << "written past the buffer at offset " << i;
    }
    return status;
  }
  Bytes buffer;
};

TEST_F(FaultMatrix, EachFaultEndsWithItsStatusAndTheNextCallSucceeds) {
  for (const Family& family : kFamilies) {
    for (const Fault& fault : kFaults) {
      SCOPED_TRACE(testing::Message() << family.name << " / " << fault.name);
      if (family.card) reader.insert(family.card());
      open();
      if (family.open) {
        ASSERT_EQ(family.open(), ST_OK);
      }
      std::unique_ptr<sim::ReaderCard> pulled;
      if (fault.card_pulled) {
        reader.after_commands(1, [&] { pulled = reader.remove(); });
      } else {
        fault.arm(reader);
      }
      EXPECT_EQ(run(family), fault.card_pulled ? family.when_pulled : fault.status);

      reader.set_silent(false);
      if (pulled) {
        reader.insert(std::move(pulled));
        if (family.open) {
          EXPECT_EQ(family.open(), ST_OK);
        }
      }
      EXPECT_EQ(run(family), ST_OK);
      EXPECT_EQ(KDX_GetVersion(buffer.data()), ST_OK);
      ASSERT_EQ(KDX_ExitComm(), ST_OK);
      reader.remove();
    }
  }
}

}  // namespace
}  // namespace kdx::test
