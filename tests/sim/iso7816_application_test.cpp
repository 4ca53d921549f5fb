// The card model's application as both protocols hand it commands: the
// cases a T=1 command arrives in, and the answers the T=0 and T=1 tests
// do not reach.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim/cards/iso7816_application.h"

namespace kdx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

struct ParseCase {
  const char* name;
  Bytes bytes;
  bool valid;
  std::size_t data_size = 0;
  std::optional<uint32_t> le{};
};

TEST(IsoApplication, CommandCases) {
  const ParseCase cases[] = {
      {"shorter than a header", {0x00, 0xB0, 0x00}, false},
      {"case 1", {0x00, 0x44, 0x00, 0x00}, true},
      {"case 2 short, Le 00 is 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, true, 0, 256},
      {"case 2 extended, 0000 is 65536", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00}, true, 0, 65536},
      {"case 2 extended", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x2C}, true, 0, 300},
      {"extended length cut short", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01}, false},
      {"case 3 short", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB}, true, 2},
      {"case 4 short", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x06}, true, 2, 6},
      {"Lc past the end", {0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA, 0xBB}, false},
      {"two bytes behind the data of a short Lc", {0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA, 0x00, 0x00}, false},
      {"case 3 extended", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}, true, 1},
      {"case 4 extended", {0x80, 0xEE, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA, 0x00, 0x00}, true, 1, 65536},
      {"extended Lc of 0", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA}, false},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<CommandApdu> command = parse_command(c.bytes);
    ASSERT_EQ(command.has_value(), c.valid);
    if (!command) continue;
    EXPECT_EQ(command->ins, c.bytes[1]);
    EXPECT_EQ(command->data.size(), c.data_size);
    EXPECT_EQ(command->le, c.le);
  }
}

ResponseApdu run(IsoApplication& application, const Bytes& bytes) {
  const std::optional<CommandApdu> command = parse_command(bytes);
  EXPECT_TRUE(command.has_value());
  return application.process(*command);
}

// Selecting the master file or by name leaves no current EF; a reset makes
// EF 0001 current again; the control information comes only with Le.
TEST(IsoApplication, CurrentFileAndControlInformation) {
  SampleApplication application;
  const Bytes read{0x00, 0xB0, 0x00, 0x02, 0x02};
  EXPECT_EQ(run(application, read).bytes(), (Bytes{0x02, 0x03, 0x90, 0x00}));
  EXPECT_EQ(run(application, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}).bytes(), (Bytes{0x90, 0x00}));
  EXPECT_EQ(run(application, read).sw, 0x6986);
  EXPECT_EQ(run(application, {0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA}).sw, 0x6986);
  application.on_reset();
  EXPECT_EQ(run(application, read).sw, 0x9000);
  EXPECT_EQ(run(application, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02, 0x00}).bytes(),
            (Bytes{0x62, 0x04, 0x83, 0x02, 0x01, 0x02, 0x90, 0x00}));
  EXPECT_EQ(run(application, {0x00, 0xB0, 0x00, 0x0E, 0x04}).bytes(), (Bytes{0x0E, 0x0F, 0x62, 0x82}));
  EXPECT_EQ(run(application, {0x00, 0xB0, 0x00, 0x10, 0x01}).sw, 0x6B00);
  EXPECT_EQ(run(application, {0x00, 0xA4, 0x04, 0x00, 0x01, 0xA0}).sw, 0x6A82);
  EXPECT_EQ(run(application, {0x00, 0xB0, 0x00, 0x00, 0x01}).sw, 0x6986);
}

}  // namespace
}  // namespace kdx::sim
