// Calls into the handler as pcscd makes them, through the exported entry
// points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "ifd/handler.h"
#include "tests/ifd/emulated_side.h"

extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

namespace ifdtest {

constexpr DWORD kLunA = 0x00000;
constexpr DWORD kLunB = 0x10000;
// A bound on waits that should end within one 500 ms poll.
constexpr auto kBound = std::chrono::seconds(10);
const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

using PollFunction = RESPONSECODE (*)(DWORD, int);
using StopFunction = RESPONSECODE (*)(DWORD);

// Closes every channel a test opened; the driver's pool and requests must
// then be clean (the last close unloads the driver).
class IfdTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (DWORD lun : open_) EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(lun)) << "Lun " << lun;
    EXPECT_EQ(0u, ifd::OpenChannels());
    EXPECT_EQ(0u, DriverPoolBlocks());
    EXPECT_EQ(0u, LiveRequests());
  }
  // IFDHCreateChannelByName; remembered for closing.
  RESPONSECODE Open(DWORD lun, const char* deviceName) {
    const RESPONSECODE response = IFDHCreateChannelByName(lun, const_cast<char*>(deviceName));
    if (response == IFD_SUCCESS) open_.push_back(lun);
    return response;
  }
  void Close(DWORD lun) {
    EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(lun));
    open_.erase(std::remove(open_.begin(), open_.end(), lun), open_.end());
  }
  // A function pcscd's polling thread calls (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, TAG_IFD_STOP_POLLING_THREAD).
  template <typename Function = PollFunction>
  static Function Get(DWORD lun, DWORD tag = TAG_IFD_POLLING_THREAD_WITH_TIMEOUT) {
    Function function = nullptr;
    DWORD length = sizeof function;
    EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(lun, tag, &length, reinterpret_cast<PUCHAR>(&function)));
    EXPECT_EQ(sizeof function, length);
    return function;
  }
  // Power up; the ATR.
  static Bytes PowerUp(DWORD lun) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(IFD_SUCCESS, IFDHPowerICC(lun, IFD_POWER_UP, atr, &length));
    return Bytes(atr, atr + length);
  }
  // IFDHTransmitToICC with the T number; the response, empty on failure.
  static Bytes Transmit(DWORD lun, DWORD protocolNumber, const Bytes& command, RESPONSECODE* response,
                        DWORD room = MAX_BUFFER_SIZE_EXTENDED) {
    Bytes rx(room);
    SCARD_IO_HEADER receive{};
    *response = IFDHTransmitToICC(lun, SCARD_IO_HEADER{protocolNumber, 8}, const_cast<UCHAR*>(command.data()),
                                  command.size(), rx.data(), &room, &receive);
    rx.resize(*response == IFD_SUCCESS ? room : 0);
    return rx;
  }

 private:
  std::vector<DWORD> open_;
};

}  // namespace ifdtest
