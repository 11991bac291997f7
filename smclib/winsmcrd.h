// The smart-card constants and the protocol header record that the
// platform's winsmcrd.h publishes to readers, the resource manager and
// applications alike.
#pragma once

#include "kernel/wdm.h"

// Card states that a reader reports in ReaderCapabilities.CurrentState.
constexpr ULONG SCARD_UNKNOWN = 0;
constexpr ULONG SCARD_ABSENT = 1;
constexpr ULONG SCARD_PRESENT = 2;
constexpr ULONG SCARD_SWALLOWED = 3;
constexpr ULONG SCARD_POWERED = 4;
constexpr ULONG SCARD_NEGOTIABLE = 5;
constexpr ULONG SCARD_SPECIFIC = 6;

// Protocol masks.
constexpr ULONG SCARD_PROTOCOL_UNDEFINED = 0x00000000;
constexpr ULONG SCARD_PROTOCOL_T0 = 0x00000001;
constexpr ULONG SCARD_PROTOCOL_T1 = 0x00000002;
constexpr ULONG SCARD_PROTOCOL_RAW = 0x00010000;
constexpr ULONG SCARD_PROTOCOL_Tx = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
constexpr ULONG SCARD_PROTOCOL_DEFAULT = 0x80000000;
constexpr ULONG SCARD_PROTOCOL_OPTIMAL = 0x00000000;

// Power operations of IOCTL_SMARTCARD_POWER.
constexpr ULONG SCARD_POWER_DOWN = 0;
constexpr ULONG SCARD_COLD_RESET = 1;
constexpr ULONG SCARD_WARM_RESET = 2;

// Reader types.
constexpr ULONG SCARD_READER_TYPE_SERIAL = 0x01;
constexpr ULONG SCARD_READER_TYPE_PARALELL = 0x02;
constexpr ULONG SCARD_READER_TYPE_KEYBOARD = 0x04;
constexpr ULONG SCARD_READER_TYPE_SCSI = 0x08;
constexpr ULONG SCARD_READER_TYPE_IDE = 0x10;
constexpr ULONG SCARD_READER_TYPE_USB = 0x20;
constexpr ULONG SCARD_READER_TYPE_PCMCIA = 0x40;
constexpr ULONG SCARD_READER_TYPE_VENDOR = 0xF0;

// Mechanical properties.
constexpr ULONG SCARD_READER_SWALLOWS = 0x00000001;
constexpr ULONG SCARD_READER_EJECTS = 0x00000002;
constexpr ULONG SCARD_READER_CONFISCATES = 0x00000004;

// The standard smart-card control codes: device type FILE_DEVICE_SMARTCARD,
// buffered, any access.
constexpr ULONG SCARD_CTL_CODE(ULONG code) {
  return CTL_CODE(FILE_DEVICE_SMARTCARD, code, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

constexpr ULONG IOCTL_SMARTCARD_POWER = SCARD_CTL_CODE(1);
constexpr ULONG IOCTL_SMARTCARD_GET_ATTRIBUTE = SCARD_CTL_CODE(2);
constexpr ULONG IOCTL_SMARTCARD_SET_ATTRIBUTE = SCARD_CTL_CODE(3);
constexpr ULONG IOCTL_SMARTCARD_CONFISCATE = SCARD_CTL_CODE(4);
constexpr ULONG IOCTL_SMARTCARD_TRANSMIT = SCARD_CTL_CODE(5);
constexpr ULONG IOCTL_SMARTCARD_EJECT = SCARD_CTL_CODE(6);
constexpr ULONG IOCTL_SMARTCARD_SWALLOW = SCARD_CTL_CODE(7);
constexpr ULONG IOCTL_SMARTCARD_IS_PRESENT = SCARD_CTL_CODE(10);
constexpr ULONG IOCTL_SMARTCARD_IS_ABSENT = SCARD_CTL_CODE(11);
constexpr ULONG IOCTL_SMARTCARD_SET_PROTOCOL = SCARD_CTL_CODE(12);
constexpr ULONG IOCTL_SMARTCARD_GET_STATE = SCARD_CTL_CODE(14);
constexpr ULONG IOCTL_SMARTCARD_GET_LAST_ERROR = SCARD_CTL_CODE(15);
constexpr ULONG IOCTL_SMARTCARD_GET_PERF_CNTR = SCARD_CTL_CODE(16);

static_assert(IOCTL_SMARTCARD_POWER == 0x310004 && IOCTL_SMARTCARD_TRANSMIT == 0x310014 &&
              IOCTL_SMARTCARD_IS_ABSENT == 0x31002C && IOCTL_SMARTCARD_GET_PERF_CNTR == 0x310040);

// The header in front of every transmit request and reply: the protocol
// and the length of the header with any protocol data that follows it.
struct SCARD_IO_REQUEST {
  ULONG dwProtocol;
  ULONG cbPciLength;
};
using PSCARD_IO_REQUEST = SCARD_IO_REQUEST*;

static_assert(sizeof(SCARD_IO_REQUEST) == 8);
