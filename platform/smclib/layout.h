// The record layouts of each processor. The library and the reader drivers
// compiled for one processor must agree on every offset of the shared
// extension; smclib.h includes this, so every build that uses the records,
// the kernel images' too, checks them against its own kernel types.
#pragma once

#include <stddef.h>

static_assert(sizeof(SCARD_IO_REQUEST) == 8);
static_assert(sizeof(PERF_INFO) == 24);
static_assert(sizeof(VENDOR_ATTR) == 124 && offsetof(VENDOR_ATTR, UnitNo) == 68 &&
              offsetof(VENDOR_ATTR, IfdSerialNo) == 76);
static_assert(sizeof(PTS_DATA) == 16);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, ATR) == 8);
static_assert(offsetof(SMARTCARD_EXTENSION, VendorAttr) == 4 && offsetof(SMARTCARD_EXTENSION, ReaderFunction) == 128);

#if defined(__x86_64__)
static_assert(offsetof(SMARTCARD_OS_DATA, Mutex) == 32 && offsetof(SMARTCARD_OS_DATA, SpinLock) == 88);
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 256 && offsetof(SCARD_CARD_CAPABILITIES, Protocol) == 124);
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 152 && offsetof(SCARD_READER_CAPABILITIES, MaxIFSD) == 40 &&
              offsetof(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported) == 72);
static_assert(sizeof(T1_DATA) == 64);
static_assert(sizeof(SMARTCARD_EXTENSION) == 920);
static_assert(offsetof(SMARTCARD_EXTENSION, CardCapabilities) == 256 && offsetof(SMARTCARD_EXTENSION, IoRequest) == 520 &&
              offsetof(SMARTCARD_EXTENSION, MinorIoControlCode) == 564 && offsetof(SMARTCARD_EXTENSION, OsData) == 568 &&
              offsetof(SMARTCARD_EXTENSION, ReaderCapabilities) == 576 &&
              offsetof(SMARTCARD_EXTENSION, ReaderExtension) == 728 &&
              offsetof(SMARTCARD_EXTENSION, SmartcardReply) == 736 && offsetof(SMARTCARD_EXTENSION, T1) == 776);
#else
static_assert(offsetof(SMARTCARD_OS_DATA, Mutex) == 16 && offsetof(SMARTCARD_OS_DATA, SpinLock) == 48);
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 244 && offsetof(SCARD_CARD_CAPABILITIES, Protocol) == 112);
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 148 && offsetof(SCARD_READER_CAPABILITIES, MaxIFSD) == 40 &&
              offsetof(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported) == 60);
static_assert(sizeof(T1_DATA) == 52);
static_assert(sizeof(SMARTCARD_EXTENSION) == 796);
static_assert(offsetof(SMARTCARD_EXTENSION, CardCapabilities) == 192 && offsetof(SMARTCARD_EXTENSION, IoRequest) == 440 &&
              offsetof(SMARTCARD_EXTENSION, MinorIoControlCode) == 464 && offsetof(SMARTCARD_EXTENSION, OsData) == 468 &&
              offsetof(SMARTCARD_EXTENSION, ReaderCapabilities) == 472 &&
              offsetof(SMARTCARD_EXTENSION, ReaderExtension) == 620 &&
              offsetof(SMARTCARD_EXTENSION, SmartcardReply) == 624 && offsetof(SMARTCARD_EXTENSION, T1) == 656);
#endif
