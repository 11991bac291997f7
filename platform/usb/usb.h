// The USB records and constants of the platform's usb.h, usbdi.h and
// usbioctl.h, with their layout on both targets, and the USBD library calls
// the driver makes.
#pragma once

#include "platform/kernel/wdm.h"

// Internal device-control codes of the USB bus driver (usbioctl.h).
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;

constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;

// URB functions.
constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x00000001;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;
constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

using USBD_STATUS = LONG;
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_STALL_PID = NTSTATUS_VALUE(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = NTSTATUS_VALUE(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = NTSTATUS_VALUE(0xC0000008);
constexpr USBD_STATUS USBD_STATUS_ERROR_SHORT_TRANSFER = NTSTATUS_VALUE(0xC0000012);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = NTSTATUS_VALUE(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = NTSTATUS_VALUE(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = NTSTATUS_VALUE(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = NTSTATUS_VALUE(0x80000300);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = NTSTATUS_VALUE(0x80000600);
constexpr USBD_STATUS USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR = NTSTATUS_VALUE(0x80000F00);

// Standard descriptors (USB 2.0 clause 9.6), byte-packed as on the wire.
constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

#pragma pack(push, 1)
struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
};

struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
#pragma pack(pop)
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE { UsbdPipeTypeControl, UsbdPipeTypeIsochronous, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt };

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

struct USBD_INTERFACE_INFORMATION {
  USHORT Length;  // of the record with all its pipes
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];  // NumberOfPipes of them
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

// Size of an interface record with n pipes (n may be 0), as usbdlib.h computes it.
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - sizeof(USBD_PIPE_INFORMATION))

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

union URB;

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: unconfigure
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  URB* UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  URB* UrbLink;
  _URB_HCD_AREA hca;
};

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_PIPE_REQUEST UrbPipeRequest;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
};
using PURB = URB*;

struct USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;
};
using PUSBD_VERSION_INFORMATION = USBD_VERSION_INFORMATION*;

// A select-configuration request for the first interface of the
// configuration, with one pipe record per endpoint of that interface, from
// non-paged pool (the caller frees it with ExFreePool); null when the
// descriptor holds no interface or the pool is exhausted. *Size receives its size.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Size);

// The first interface descriptor at or after StartPosition that matches
// every criterion that is not -1; null when there is none.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// The published sizes, held against the records above.
#include "platform/usb/layout.h"
