// The sizes of the platform's USB records on each processor, in the
// platform's names only: the stand-in's records must have them, and the
// kernel image build holds MinGW-w64's USB headers to the same list.
#pragma once

// Standard descriptors are byte-packed as on the wire.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 &&
              sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

#if defined(__x86_64__)
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 && sizeof(USBD_INTERFACE_INFORMATION) == 48);
#else
static_assert(sizeof(_URB_HEADER) == 16);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 60);
static_assert(sizeof(_URB_PIPE_REQUEST) == 24);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20 && sizeof(USBD_INTERFACE_INFORMATION) == 36);
#endif
