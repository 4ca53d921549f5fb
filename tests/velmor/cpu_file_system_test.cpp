// The sample CPU card forgets what a real card keeps in RAM when it is
// reset, and keeps what it keeps in EEPROM.
#include <string>

#include "sim/cards/cpu_file_system.h"
#include "velmor/reader_fixture.h"

namespace kdx::test {
namespace {

constexpr std::size_t kResponseSize = 391;

class CpuFileSystem : public ReaderFixture {
 protected:
  void SetUp() override {
    reader.insert(sim::make_file_system_card());
    open();
    uint8_t atr[32];
    ASSERT_EQ(CPU_Open(atr), ST_OK);
  }

  std::string apdu(const char* command) {
    char response[kResponseSize + 1] = {};
    const StatusCode status = CPU_IsoAPDU(command, response);
    return status == ST_OK ? std::string(response) : "status " + std::to_string(status);
  }
};

TEST_F(CpuFileSystem, ResetForgetsTheSelectedFileAndTheWaitingResponse) {
  struct Step {
    enum { kApdu, kWarmReset, kPowerCycle } action;
    const char* command;
    const char* response;
  } const kSteps[] = {
      {Step::kApdu, "00A40000020002", "610D"},
      {Step::kApdu, "00D6000002CAFE", "9000"},
      {Step::kApdu, "00B0000002", "CAFE9000"},
      {Step::kApdu, "00A40000020002", "610D"},
      {Step::kWarmReset, nullptr, nullptr},
      {Step::kApdu, "00C000000D", "6985"},  // the response waiting before the reset is gone
      {Step::kApdu, "00B0000002", "6986"},  // so is the selected file
      {Step::kApdu, "00A40000020002", "610D"},
      {Step::kPowerCycle, nullptr, nullptr},
      {Step::kApdu, "00B0000002", "6986"},
      {Step::kApdu, "00A40000020002", "610D"},
      {Step::kApdu, "00B0000002", "CAFE9000"},  // the file's contents survive both
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.command != nullptr ? step.command : "reset");
    uint8_t atr[32];
    switch (step.action) {
      case Step::kApdu:
        EXPECT_EQ(apdu(step.command), step.response);
        break;
      case Step::kWarmReset:
        ASSERT_EQ(CPU_Reset(atr), ST_OK);
        break;
      case Step::kPowerCycle:
        ASSERT_EQ(CPU_Close(), ST_OK);
        ASSERT_EQ(CPU_Open(atr), ST_OK);
        break;
    }
  }
}

}  // namespace
}  // namespace kdx::test
