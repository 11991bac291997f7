#include "fuzz/reader_lifecycle.h"

#include "driver/reader/vendor_ioctl.h"
#include "platform/smclib/winsmcrd.h"

namespace fuzzing {
namespace {

constexpr ULONG kReplyRoom = 0x10400;
constexpr LONGLONG kTrackingWait = 2 * kernel::kSecond;

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
// A new-generation status command and an old-generation card frame, as applications send them.
const Bytes kPassNew = {0x12, 0x00, 0x02, 0x01, 0x31, 0x00};
const Bytes kPassOldCard = {0x50, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08};

}  // namespace

Bytes TransmitRequest(ULONG protocol, const Bytes& command) {
  Bytes request = Ulong(protocol);
  const Bytes length = Ulong(8);
  request.insert(request.end(), length.begin(), length.end());
  request.insert(request.end(), command.begin(), command.end());
  return request;
}

void RunReaderLifecycle(DriverSession& session, std::shared_ptr<usb::UsbFunction> reader) {
  if (!NT_SUCCESS(session.Plug(std::move(reader)))) return;
  if (!NT_SUCCESS(session.Start())) return;
  session.Open();
  session.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  session.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0, kTrackingWait);
  session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
  session.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 64);
  session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4);
  session.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(SCARD_PROTOCOL_T1, kSelect), kReplyRoom);
  session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 64);
  session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4);
  session.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(SCARD_PROTOCOL_T0, kGetChallenge), kReplyRoom);
  session.Control(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 18);
  session.Control(IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 9);
  session.Control(IOCTL_VENDOR_RESET_PORT, {}, 0);
  session.Control(IOCTL_VENDOR_PASS_THROUGH, kPassNew, 300);
  session.Control(IOCTL_VENDOR_PASS_THROUGH, kPassOldCard, 300);
  session.Control(IOCTL_VENDOR_GET_VERSION, {}, 8);
  session.Control(IOCTL_VENDOR_EJECT, {}, 2);
  session.Control(IOCTL_VENDOR_COMMAND_B0, {0x05}, 2);
  session.Control(IOCTL_VENDOR_COMMAND_D8, {0x01}, 2);
  session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0);
  session.Control(IOCTL_SMARTCARD_EJECT, {}, 0);
  session.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0, kTrackingWait);
  session.Sleep();
  session.Resume();
  session.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  session.SurpriseRemove();
}

}  // namespace fuzzing
