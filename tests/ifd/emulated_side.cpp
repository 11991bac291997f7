#include "tests/ifd/emulated_side.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "driver/device/device_context.h"
#include "emulator/reader/reader.h"
#include "host/emulated_cards.h"
#include "ifd/handler.h"
#include "platform/kernel/platform.h"

namespace ifdtest {

Bytes AtrOf(bool t1) { return host::MakeCard(t1 ? host::CardKind::T1 : host::CardKind::T0)->Atr(); }

bool HasCard(unsigned long lun) { return ifd::EmulatedReader(lun)->CurrentCard() != nullptr; }

void RemoveCard(unsigned long lun) { ifd::EmulatedReader(lun)->RemoveCard(); }

int CommandB0Parameter(unsigned long lun) {
  const std::optional<std::uint8_t> parameter = ifd::EmulatedReader(lun)->CommandB0Parameter();
  return parameter ? *parameter : -1;
}

bool ReaderReceived(unsigned long lun, const Bytes& frame) {
  const std::vector<emu::FrameRecord> frames = ifd::EmulatedReader(lun)->FramesReceived();
  return std::any_of(frames.begin(), frames.end(), [&](const emu::FrameRecord& r) { return r.bytes == frame; });
}

std::uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (fd >= 0) close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

unsigned long DriverPoolBlocks() { return kernel::pool::LiveBlocks(DriverPoolTag); }
std::size_t LiveRequests() { return kernel::irps::Live(); }
std::size_t RequestsInProgress() { return kernel::irps::InProgress(); }

}  // namespace ifdtest
