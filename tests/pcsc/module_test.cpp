// The module as pcscd loads it: dlopen, the IFDH functions by name, and a
// session on the simulator (the libraries found from the module's place).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "kdx_ifd.h"

namespace {

TEST(HandlerModule, LoadsLikePcscdAndServesASimulatedReader) {
  void* module = dlopen(KDX_IFD_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  const auto create = reinterpret_cast<decltype(&IFDHCreateChannelByName)>(dlsym(module, "IFDHCreateChannelByName"));
  const auto power = reinterpret_cast<decltype(&IFDHPowerICC)>(dlsym(module, "IFDHPowerICC"));
  const auto transmit = reinterpret_cast<decltype(&IFDHTransmitToICC)>(dlsym(module, "IFDHTransmitToICC"));
  const auto close = reinterpret_cast<decltype(&IFDHCloseChannel)>(dlsym(module, "IFDHCloseChannel"));
  ASSERT_TRUE(create && power && transmit && close);
  EXPECT_EQ(dlsym(module, "_ZN3kdx3ifd17parse_device_nameESt17basic_string_viewIcSt11char_traitsIcEERNS0_10DeviceNameERNSt7__cxx1112basic_stringIcS3_SaIcEEE"), nullptr)
      << "only the IFDH functions are visible";
  constexpr DWORD kLun = 0x50000;
  std::string name = "sim:velmor:card=sle4442";
  ASSERT_EQ(create(kLun, name.data()), IFD_SUCCESS);
  UCHAR atr[MAX_ATR_SIZE];
  DWORD atr_length = sizeof atr;
  ASSERT_EQ(power(kLun, IFD_POWER_UP, atr, &atr_length), IFD_SUCCESS);
  EXPECT_EQ(atr_length, 6u);
  UCHAR read[] = {0xFF, 0xB0, 0x00, 0x20, 0x03};
  UCHAR answer[MAX_BUFFER_SIZE];
  DWORD answer_length = sizeof answer;
  ASSERT_EQ(transmit(kLun, SCARD_IO_HEADER{SCARD_PROTOCOL_T0, 8}, read, sizeof read, answer, &answer_length, nullptr), IFD_SUCCESS);
  EXPECT_EQ(std::string(answer, answer + answer_length), std::string("KDX\x90\x00", 5));
  EXPECT_EQ(close(kLun), IFD_SUCCESS);
  dlclose(module);
}

}  // namespace
