// Calls into the handler as pcscd makes them, through the exported entry
// points.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

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
  void TearDown() override;
  // IFDHCreateChannelByName; remembered for closing.
  RESPONSECODE Open(DWORD lun, const char* deviceName);
  void Close(DWORD lun);

  // The functions pcscd's polling thread calls.
  PollFunction Poll(DWORD lun);
  StopFunction Stop(DWORD lun);
  // Power up; the ATR.
  Bytes PowerUp(DWORD lun);
  // IFDHTransmitToICC with the T number; the response, empty on failure.
  Bytes Transmit(DWORD lun, DWORD protocolNumber, const Bytes& command, RESPONSECODE* response,
                 DWORD room = MAX_BUFFER_SIZE_EXTENDED);

 private:
  std::vector<DWORD> open_;
};

}  // namespace ifdtest
