// The IFD handler's response codes and capability tags, as pcsc-lite's
// ifdhandler.h numbers them. The handler's own files cannot include that
// header (its DWORD, LONG and SCARD_IO_REQUEST clash with the kernel's), so
// the values live here; ifdh_entry.cpp checks each against the header.
#pragma once

namespace ifd {

using Response = long;

constexpr Response kSuccess = 0;
constexpr Response kErrorTag = 600;
constexpr Response kErrorSetFailure = 601;
constexpr Response kErrorValueReadOnly = 602;
constexpr Response kErrorPtsFailure = 605;
constexpr Response kErrorNotSupported = 606;
constexpr Response kProtocolNotSupported = 607;
constexpr Response kErrorPowerAction = 608;
constexpr Response kCommunicationError = 612;
constexpr Response kResponseTimeout = 613;
constexpr Response kNotSupported = 614;
constexpr Response kIccPresent = 615;
constexpr Response kIccNotPresent = 616;
constexpr Response kNoSuchDevice = 617;
constexpr Response kErrorInsufficientBuffer = 618;

// IFDHPowerICC actions.
constexpr unsigned long kPowerUp = 500;
constexpr unsigned long kPowerDown = 501;
constexpr unsigned long kReset = 502;

// Tags of IFDHGetCapabilities besides the SCARD_ATTR_* attributes.
constexpr unsigned long kTagAtr = 0x0303;
constexpr unsigned long kTagSlotThreadSafe = 0x0FAC;
constexpr unsigned long kTagThreadSafe = 0x0FAD;
constexpr unsigned long kTagSlotsNumber = 0x0FAE;
constexpr unsigned long kTagSimultaneousAccess = 0x0FAF;
constexpr unsigned long kTagPollingThreadKillable = 0x0FB1;
constexpr unsigned long kTagStopPollingThread = 0x0FB2;
constexpr unsigned long kTagPollingThreadWithTimeout = 0x0FB3;

// pcsc-lite's protocol bits (its RAW differs from the driver's).
constexpr unsigned long kPcscProtocolT0 = 0x0001;
constexpr unsigned long kPcscProtocolT1 = 0x0002;
constexpr unsigned long kPcscProtocolRaw = 0x0004;

// pcsc-lite's SCARD_CTL_CODE(n) and the feature-list request OpenSC sends.
constexpr unsigned long PcscControlCode(unsigned long n) { return 0x42000000 + n; }
constexpr unsigned long kGetFeatureRequest = PcscControlCode(3400);

// The largest ATR pcscd keeps (MAX_ATR_SIZE).
constexpr unsigned long kMaxAtrSize = 33;

}  // namespace ifd
