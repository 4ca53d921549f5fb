// Calls the IFDH functions directly, as pcscd would, on channels of the
// embedded simulator; collects the handler's log lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pcsc/channels.h"
#include "kdx_ifd.h"
#include "pcsc/log.h"

namespace kdx::ifd {

using Bytes = std::vector<uint8_t>;

inline constexpr DWORD kLun = 0x10000;  // reader 1, slot 0

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_sink([this](LogLevel, const std::string& line) { log.push_back(line); });
  }
  void TearDown() override {
    for (const DWORD lun : opened) IFDHCloseChannel(lun);
    set_log_sink(nullptr);
  }

  RESPONSECODE open(const std::string& name, DWORD lun = kLun) {
    std::string copy = name;
    const RESPONSECODE result = IFDHCreateChannelByName(lun, copy.data());
    if (result == IFD_SUCCESS) opened.push_back(lun);
    return result;
  }

  // Closes a channel the test opened.
  RESPONSECODE close(DWORD lun = kLun) {
    opened.erase(std::remove(opened.begin(), opened.end(), lun), opened.end());
    return IFDHCloseChannel(lun);
  }

  Bytes power_up(DWORD lun = kLun, DWORD action = IFD_POWER_UP) {
    UCHAR atr[MAX_ATR_SIZE] = {};
    DWORD length = sizeof atr;
    last = IFDHPowerICC(lun, action, atr, &length);
    return Bytes(atr, atr + length);
  }

  // The response, or empty with `last` set on failure.
  Bytes transmit(const Bytes& apdu, DWORD lun = kLun, DWORD room = MAX_BUFFER_SIZE) {
    std::vector<UCHAR> rx(room + 16, 0xEE);
    DWORD length = room;
    SCARD_IO_HEADER send{SCARD_PROTOCOL_T0, 8};
    SCARD_IO_HEADER receive{};
    Bytes tx = apdu;
    last = IFDHTransmitToICC(lun, send, tx.data(), static_cast<DWORD>(tx.size()), rx.data(), &length, &receive);
    for (std::size_t i = room; i < rx.size(); ++i) EXPECT_EQ(rx[i], 0xEE) << "written past the buffer at " << i;
    if (last != IFD_SUCCESS) {
      EXPECT_EQ(length, 0u);
      return {};
    }
    return Bytes(rx.begin(), rx.begin() + length);
  }

  SimulatedSlot& slot(DWORD lun = kLun) {
    SimulatedSlot* found = simulated_slot(lun);
    if (found == nullptr) throw std::runtime_error("no simulated slot");
    return *found;
  }

  std::vector<std::string> log;
  std::vector<DWORD> opened;
  RESPONSECODE last = IFD_SUCCESS;
};

}  // namespace kdx::ifd
