// A status code with its name as the library's header spells it, for tables
// of every status: NAMED(ST_NO_CARD) gives {ST_NO_CARD, "ST_NO_CARD"}.
#pragma once

#include <cstdint>

namespace kdx::test {

struct StatusName {
  uint32_t code;
  const char* name;
};

}  // namespace kdx::test

#define NAMED(status) \
  ::kdx::test::StatusName { status, #status }
