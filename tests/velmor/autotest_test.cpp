// Card type detection over the sample cards of every pattern, the order of
// the probes, and failures inside them.
#include <map>

#include "sim/cards/at102_family.h"
#include "sim/sample_cards.h"
#include "velmor/card_fixture.h"

namespace kdx::test {
namespace {

// The power switches of the probed families: secure memories, SLE4442,
// SLE4428, AT102.
const std::map<uint8_t, const char*> kPowerCodes = {{19, "AT153"}, {50, "SLE4442"}, {41, "SLE4428"}, {27, "AT102"}};

// Every power frame of the trace as "SLE4442 on", "SLE4442 off" ...
std::vector<std::string> power_switches(const std::vector<Bytes>& commands) {
  std::vector<std::string> switches;
  for (const Bytes& command : commands) {
    const auto family = kPowerCodes.find(command[0]);
    if (family == kPowerCodes.end() || command[1] != 1) continue;
    switches.push_back(std::string(family->second) + (command[3] != 0 ? " on" : " off"));
  }
  return switches;
}

// A blank card whose `occurrence`-th reading frame of `code` is answered
// with status 21.
class FailingCard : public sim::ReaderCard {
 public:
  FailingCard(uint8_t code, unsigned occurrence) : code_(code), occurrence_(occurrence) {}
  sim::CardReply command(uint8_t code, std::span<const uint8_t> data, uint64_t now_ns) override {
    sim::CardReply reply = ReaderCard::command(code, data, now_ns);
    if (code == code_ && ++seen_ == occurrence_) reply.status = 21;
    return reply;
  }

 private:
  uint8_t code_;
  unsigned occurrence_;
  unsigned seen_ = 0;
};

class AutoTest : public CardFixture<sim::ReaderCard> {};

TEST_F(AutoTest, EverySampleCardGivesItsCodeAndIsOffAfterEveryProbe) {
  const struct {
    const char* sample;
    uint8_t type;
    std::vector<std::string> switches;
  } cases[] = {
      {"at153", 0x27, {"AT153 on", "AT153 off"}},
      {"at1608", 0x28, {"AT153 on", "AT153 off"}},
      {"sle4442", 0x43, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off"}},
      {"sle4442-other", 0x44, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off"}},
      {"sle4428", 0x41, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off"}},
      {"sle4428-48", 0x41, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off"}},
      {"sle4428-other", 0x42, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off"}},
      {"at102", 0x25, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on", "AT102 off"}},
      {"at102-7156", 0x25, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on", "AT102 off"}},
      {"at1604", 0x25, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on", "AT102 off"}},
      {"at1604-313a", 0x26, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on", "AT102 off"}},
      {"at6601", 0x22, {"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on", "AT102 off"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    insert(sim::make_sample_card(c.sample));
    uint8_t type = 0;
    EXPECT_EQ(KDX_AutoTest(&type), ST_OK);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(power_switches(reader.commands()), c.switches);
    if (const auto* card = dynamic_cast<const sim::At102FamilyCard*>(reader.card())) {
      EXPECT_FALSE(card->powered());
      EXPECT_TRUE(card->violations().empty()) << card->violations().front();
    }
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(AutoTest, AnUnknownCardGives17AndLeavesTheByte) {
  insert(std::make_unique<sim::ReaderCard>());
  uint8_t type = 0x5A;
  EXPECT_EQ(KDX_AutoTest(&type), ST_UNKNOWN_CARD);
  EXPECT_EQ(type, 0x5A);
  EXPECT_EQ(power_switches(reader.commands()),
            (std::vector<std::string>{"AT153 on", "AT153 off", "SLE4442 on", "SLE4442 off", "SLE4428 on", "SLE4428 off", "AT102 on",
                                      "AT102 off"}));
}

TEST_F(AutoTest, AFailingReadEndsDetectionWithItsStatusButAFailingOpenDoesNot) {
  const struct {
    const char* name;
    uint8_t code;
    unsigned occurrence;
    StatusCode status;
    std::size_t switches;  // power frames sent in all
  } cases[] = {
      {"secure-memory answer to reset", 23, 1, 21, 2},
      {"SLE4442 answer to reset", 55, 1, ST_UNKNOWN_CARD, 8},
      {"SLE4442 read", 55, 2, 21, 4},
      {"SLE4428 read", 46, 2, 21, 6},
      {"AT102-family read", 30, 1, 21, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reader.insert(std::make_unique<FailingCard>(c.code, c.occurrence));
    open();
    uint8_t type = 0x5A;
    EXPECT_EQ(KDX_AutoTest(&type), c.status);
    EXPECT_EQ(type, 0x5A);
    // The card was closed after the failing probe too.
    const std::vector<std::string> switches = power_switches(reader.commands());
    EXPECT_EQ(switches.size(), c.switches);
    EXPECT_NE(switches.back().find(" off"), std::string::npos);
    ASSERT_EQ(KDX_ExitComm(), ST_OK);
  }
}

TEST_F(AutoTest, NoCardGives16AfterTheDoorCheckAndTheClose) {
  open();
  uint8_t type = 0x5A;
  EXPECT_EQ(KDX_AutoTest(&type), ST_NO_CARD);
  EXPECT_EQ(type, 0x5A);
  EXPECT_EQ(reader.commands(), (Frames{frame(18, {178}), frame(19, {0})}));
}

TEST_F(AutoTest, ASecureMemoryIsKnownBeforeAnyOtherFamilysCommand) {
  insert(sim::make_sample_card("at153"));
  uint8_t type = 0;
  EXPECT_EQ(KDX_AutoTest(&type), ST_OK);
  EXPECT_EQ(type, 0x27);
  for (const Bytes& command : reader.commands()) EXPECT_LT(command[0], 27) << int{command[0]};
}

}  // namespace
}  // namespace kdx::test
