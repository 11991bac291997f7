#include "tests/ifd/ifd_fixture.h"

#include <algorithm>

#include "ifd/handler.h"

namespace ifdtest {

void IfdTest::TearDown() {
  for (DWORD lun : open_) EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(lun)) << "Lun " << lun;
  open_.clear();
  EXPECT_EQ(0u, ifd::OpenChannels());
  EXPECT_EQ(0u, DriverPoolBlocks());
  EXPECT_EQ(0u, LiveRequests());
}

RESPONSECODE IfdTest::Open(DWORD lun, const char* deviceName) {
  const RESPONSECODE response = IFDHCreateChannelByName(lun, const_cast<char*>(deviceName));
  if (response == IFD_SUCCESS) open_.push_back(lun);
  return response;
}

void IfdTest::Close(DWORD lun) {
  EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(lun));
  open_.erase(std::remove(open_.begin(), open_.end(), lun), open_.end());
}

PollFunction IfdTest::Poll(DWORD lun) {
  PollFunction poll = nullptr;
  DWORD length = sizeof poll;
  EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                             reinterpret_cast<PUCHAR>(&poll)));
  EXPECT_EQ(sizeof(void*), length);
  return poll;
}

StopFunction IfdTest::Stop(DWORD lun) {
  StopFunction stop = nullptr;
  DWORD length = sizeof stop;
  EXPECT_EQ(IFD_SUCCESS,
            IFDHGetCapabilities(lun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)));
  return stop;
}

Bytes IfdTest::PowerUp(DWORD lun) {
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  EXPECT_EQ(IFD_SUCCESS, IFDHPowerICC(lun, IFD_POWER_UP, atr, &length));
  return Bytes(atr, atr + length);
}

Bytes IfdTest::Transmit(DWORD lun, DWORD protocolNumber, const Bytes& command, RESPONSECODE* response, DWORD room) {
  SCARD_IO_HEADER send{protocolNumber, 8};
  SCARD_IO_HEADER receive{};
  Bytes rx(room);
  DWORD length = room;
  *response = IFDHTransmitToICC(lun, send, const_cast<UCHAR*>(command.data()), command.size(), rx.data(), &length,
                                &receive);
  rx.resize(*response == IFD_SUCCESS ? length : 0);
  return rx;
}

}  // namespace ifdtest
