// Both libraries in one process: loaded into the global symbol scope (where
// one library's exports could stand in for the other's same-named ones),
// each with a session open at the same time on its own simulated reader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#define KDX_BOTH_LIBRARIES
#include "sim/reader_sim.h"
#include "sim/serial_line_device.h"
#include "sim/virtual_port.h"
#include "tarsk.h"
#include "velmor.h"

extern "C" int kdx_both_headers_in_c(void);

namespace {

// The functions both libraries export, as one library's table.
struct Library {
  explicit Library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_GLOBAL)) {
    if (handle == nullptr) return;
    init = reinterpret_cast<StatusCode (*)(uint32_t, uint32_t)>(dlsym(handle, "KDX_InitComm"));
    exit = reinterpret_cast<StatusCode (*)()>(dlsym(handle, "KDX_ExitComm"));
    test_device = reinterpret_cast<StatusCode (*)()>(dlsym(handle, "KDX_TestDevice"));
    error_msg = reinterpret_cast<StatusCode (*)(uint32_t, uint8_t*)>(dlsym(handle, "KDX_ErrorMsg"));
    describe = reinterpret_cast<StatusCode (*)(uint32_t, const char**, const char**)>(dlsym(handle, "KDX_DescribeStatus"));
    set_backend = reinterpret_cast<StatusCode (*)(uint32_t, const KDX_PortBackend*)>(dlsym(handle, "KDX_SetPortBackend"));
  }
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  bool complete() const {
    return init != nullptr && exit != nullptr && test_device != nullptr && error_msg != nullptr && describe != nullptr &&
           set_backend != nullptr;
  }
  std::string name_of(uint32_t code) const {
    const char* name = nullptr;
    describe(code, &name, nullptr);
    return name;
  }

  void* handle;
  StatusCode (*init)(uint32_t, uint32_t) = nullptr;
  StatusCode (*exit)() = nullptr;
  StatusCode (*test_device)() = nullptr;
  StatusCode (*error_msg)(uint32_t, uint8_t*) = nullptr;
  StatusCode (*describe)(uint32_t, const char**, const char**) = nullptr;
  StatusCode (*set_backend)(uint32_t, const KDX_PortBackend*) = nullptr;
};

TEST(BothLibraries, HeadersCompileTogetherInC) { EXPECT_EQ(kdx_both_headers_in_c(), 0); }

TEST(BothLibraries, SessionsOfBothAtOnceEachWithItsOwnCodes) {
  Library velmor(KDX_VELMOR_PATH);
  Library tarsk(KDX_TARSK_PATH);
  ASSERT_TRUE(velmor.complete()) << dlerror();
  ASSERT_TRUE(tarsk.complete()) << dlerror();
  ASSERT_NE(velmor.init, tarsk.init);

  kdx::sim::VirtualClock velmor_clock;
  kdx::sim::VirtualPort velmor_port(velmor_clock);
  kdx::sim::ReaderSim reader;
  reader.attach_to(velmor_port);
  kdx::sim::VirtualClock tarsk_clock;
  kdx::sim::VirtualPort tarsk_port(tarsk_clock);
  kdx::sim::SerialLineDevice device(tarsk_port);
  ASSERT_EQ(velmor.set_backend(0, &velmor_port.backend()), VELMOR_ST_OK);
  ASSERT_EQ(tarsk.set_backend(0, &tarsk_port.backend()), TARSK_ST_OK);

  EXPECT_EQ(velmor.init(0, 9600), VELMOR_ST_OK);
  EXPECT_EQ(tarsk.init(0, 9600), TARSK_ST_OK);
  // A second session of one library is refused with that library's code.
  EXPECT_EQ(velmor.init(0, 9600), VELMOR_ST_ALREADY_OPEN);
  EXPECT_EQ(tarsk.init(0, 9600), TARSK_ST_ALREADY_OPEN);
  EXPECT_EQ(velmor.test_device(), VELMOR_ST_OK);
  EXPECT_EQ(tarsk.test_device(), TARSK_ST_OK);
  EXPECT_FALSE(reader.frames().empty());
  EXPECT_FALSE(device.host_bytes().empty());

  EXPECT_EQ(velmor.name_of(VELMOR_ST_NO_DEVICE), "ST_NO_DEVICE");
  EXPECT_EQ(tarsk.name_of(TARSK_ST_NO_DEVICE), "ST_NO_DEVICE");
  EXPECT_EQ(tarsk.name_of(VELMOR_ST_NO_DEVICE), "ST_RESTORE_FAILED");
  uint8_t velmor_text[32];
  uint8_t tarsk_text[32];
  EXPECT_EQ(velmor.error_msg(VELMOR_ST_NOT_OPEN, velmor_text), VELMOR_ST_OK);
  EXPECT_EQ(tarsk.error_msg(TARSK_ST_NOT_OPEN, tarsk_text), TARSK_ST_OK);
  EXPECT_EQ(0, std::memcmp(velmor_text, tarsk_text, sizeof velmor_text));
  // Velmor's table ends at 30; Tarsk's goes on.
  EXPECT_EQ(velmor.error_msg(TARSK_ST_NOT_OPEN, velmor_text), VELMOR_ST_OK);
  EXPECT_EQ(velmor_text[0], 0);

  EXPECT_EQ(velmor.exit(), VELMOR_ST_OK);
  EXPECT_EQ(tarsk.exit(), TARSK_ST_OK);
  velmor.set_backend(0, nullptr);
  tarsk.set_backend(0, nullptr);
}

}  // namespace
