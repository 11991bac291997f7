// The USBD library calls: walking a configuration descriptor and building a
// select-configuration request from it. Every descriptor is read within the
// configuration's wTotalLength and only when its bLength is sane, so a
// hostile device cannot make them read past the buffer.
#include <cstddef>

#include "platform/usb/usb.h"

namespace {

constexpr ULONG kTagUsbd = PoolTag("USBD");

// The next descriptor after `p`, or null at the end or at a malformed one.
const UCHAR* NextDescriptor(const UCHAR* p, const UCHAR* end) {
  if (p + 2 > end || p[0] < 2 || p + p[0] > end) return nullptr;
  p += p[0];
  return (p + 2 <= end && p[0] >= 2 && p + p[0] <= end) ? p : nullptr;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr || ConfigurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return nullptr;
  }
  auto base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = base + ConfigurationDescriptor->wTotalLength;
  auto p = static_cast<const UCHAR*>(StartPosition);
  if (p < base || p + 2 > end || p[0] < 2 || p + p[0] > end) return nullptr;
  for (; p != nullptr; p = NextDescriptor(p, end)) {
    if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
    if (Matches(InterfaceNumber, interface->bInterfaceNumber) && Matches(AlternateSetting, interface->bAlternateSetting) &&
        Matches(InterfaceClass, interface->bInterfaceClass) &&
        Matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(interface);
    }
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Size) {
  *Size = 0;
  PUSB_INTERFACE_DESCRIPTOR interface =
      USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (interface == nullptr) return nullptr;
  const ULONG pipes = interface->bNumEndpoints;
  const ULONG interfaceSize = GET_USBD_INTERFACE_SIZE(pipes);
  const ULONG size = static_cast<ULONG>(offsetof(_URB_SELECT_CONFIGURATION, Interface)) + interfaceSize;
  const ULONG allocation = size < sizeof(_URB_SELECT_CONFIGURATION) ? sizeof(_URB_SELECT_CONFIGURATION) : size;
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kTagUsbd));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, allocation);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
  info.Length = static_cast<USHORT>(interfaceSize);
  info.InterfaceNumber = interface->bInterfaceNumber;
  info.AlternateSetting = interface->bAlternateSetting;
  info.NumberOfPipes = pipes;
  for (ULONG i = 0; i < pipes; ++i) {
    info.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    info.Pipes[i].PipeFlags = 0;
  }
  *Size = static_cast<USHORT>(size);
  return urb;
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = 0x600;
  VersionInformation->Supported_USB_Version = 0x200;
}
