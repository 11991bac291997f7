// Fuzz target 5: arbitrary arguments to the IFD handler's entry points, as
// pcscd would call them (IFDH*). Each input opens the channel of an emulated
// reader with a T=1 card, makes its calls and closes the channel, which
// removes the reader and unloads the driver; then the checks of
// fuzz/ifd_world.h. The handler's host runs on the process's platform in
// simulated time, so the driver's pauses cost nothing.
//
// Input: up to kCalls calls, each a byte c (c % 10 picks the entry point),
// a flags byte (bit 0: a Lun from the input instead of 0; bit 1: a null
// pointer where the entry point takes one), then the call's arguments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

// pcsc-lite's header declares the entry points without C linkage.
extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

#include "fuzz/ifd_world.h"
#include "fuzz/tape.h"

namespace {

constexpr int kCalls = 16;
constexpr std::size_t kMaxBuffer = 4096;
constexpr DWORD kLun = 0;
// The entry point's own device name for the reader this target opens.
char kDeviceName[] = "emulated:card=t1";

const DWORD kTags[] = {
    TAG_IFD_ATR, TAG_IFD_SLOTNUM, TAG_IFD_SLOT_THREAD_SAFE, TAG_IFD_THREAD_SAFE, TAG_IFD_SLOTS_NUMBER,
    TAG_IFD_SIMULTANEOUS_ACCESS, TAG_IFD_POLLING_THREAD_KILLABLE, TAG_IFD_STOP_POLLING_THREAD,
    TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, TAG_IFD_DEVICE_REMOVED, SCARD_ATTR_ATR_STRING, SCARD_ATTR_VENDOR_NAME,
    SCARD_ATTR_VENDOR_IFD_TYPE, SCARD_ATTR_VENDOR_IFD_VERSION, SCARD_ATTR_CURRENT_PROTOCOL_TYPE,
    SCARD_ATTR_ICC_PRESENCE, SCARD_ATTR_MAX_IFSD,
};
const DWORD kActions[] = {IFD_POWER_UP, IFD_POWER_DOWN, IFD_RESET};

DWORD Lun(fuzzing::Tape& tape, std::uint8_t flags) { return (flags & 1) != 0 ? tape.Long() : kLun; }

DWORD Tag(fuzzing::Tape& tape) {
  const std::uint8_t pick = tape.Byte();
  return pick < std::size(kTags) ? kTags[pick] : tape.Long();
}

std::size_t Length(fuzzing::Tape& tape) { return tape.Word() % (kMaxBuffer + 1); }

// A buffer of exactly the length the call claims, so ASan sees any access past it.
std::vector<UCHAR> Buffer(std::size_t length) { return std::vector<UCHAR>(length, 0xA5); }

// The outcome of a call: what it returned and the bytes it gave back.
void Noted(RESPONSECODE response, const UCHAR* bytes = nullptr, DWORD length = 0) {
  fuzzing::ifdworld::Note(static_cast<unsigned long>(response));
  fuzzing::ifdworld::Note(bytes, bytes == nullptr ? 0 : length);
}

void OneCall(fuzzing::Tape& tape) {
  const std::uint8_t call = tape.Byte() % 10;
  const std::uint8_t flags = tape.Byte();
  const bool nullPointer = (flags & 2) != 0;
  const DWORD lun = Lun(tape, flags);
  switch (call) {
    case 0: {
      const DWORD tag = Tag(tape);
      DWORD length = Length(tape);
      std::vector<UCHAR> value = Buffer(length);
      const RESPONSECODE response = IFDHGetCapabilities(lun, tag, nullPointer ? nullptr : &length, value.data());
      // The polling functions' addresses differ from process to process.
      const bool address = tag == TAG_IFD_POLLING_THREAD_WITH_TIMEOUT || tag == TAG_IFD_STOP_POLLING_THREAD;
      Noted(response, address ? nullptr : value.data(), std::min<DWORD>(length, value.size()));
      break;
    }
    case 1: {
      const DWORD tag = Tag(tape);
      std::vector<UCHAR> value = tape.Take(Length(tape));
      Noted(IFDHSetCapabilities(lun, tag, value.size(), nullPointer ? nullptr : value.data()));
      break;
    }
    case 2: {
      const DWORD protocol = tape.Byte() < 0x80 ? tape.Byte() % 4 : tape.Long();
      const std::vector<UCHAR> pts = tape.Take(4);
      Noted(IFDHSetProtocolParameters(lun, protocol, pts[0], pts[1], pts[2], pts[3]));
      break;
    }
    case 3: {
      const std::uint8_t pick = tape.Byte();
      const DWORD action = pick < std::size(kActions) ? kActions[pick] : tape.Long();
      DWORD length = Length(tape) % 80;
      std::vector<UCHAR> atr = Buffer(length);
      Noted(IFDHPowerICC(lun, action, nullPointer ? nullptr : atr.data(), &length), atr.data(),
            std::min<DWORD>(length, atr.size()));
      break;
    }
    case 4: {
      SCARD_IO_HEADER pci{};
      pci.Protocol = tape.Byte() < 0x80 ? tape.Byte() % 3 : tape.Long();
      pci.Length = tape.Long();
      std::vector<UCHAR> tx = tape.Take(Length(tape) % 1100);
      DWORD rxLength = Length(tape);
      std::vector<UCHAR> rx = Buffer(rxLength);
      SCARD_IO_HEADER recv{};
      Noted(IFDHTransmitToICC(lun, pci, tx.data(), tx.size(), nullPointer ? nullptr : rx.data(), &rxLength, &recv),
            rx.data(), std::min<DWORD>(rxLength, rx.size()));
      break;
    }
    case 5: {
      const std::uint8_t pick = tape.Byte();
      const DWORD code = pick < 8 ? SCARD_CTL_CODE(2049 + pick) : pick < 0xF0 ? SCARD_CTL_CODE(3400) : tape.Long();
      std::vector<UCHAR> tx = tape.Take(Length(tape) % 300);
      const DWORD rxLength = Length(tape);
      std::vector<UCHAR> rx = Buffer(rxLength);
      DWORD returned = 0;
      Noted(IFDHControl(lun, code, tx.data(), tx.size(), nullPointer ? nullptr : rx.data(), rxLength, &returned),
            rx.data(), std::min<DWORD>(returned, rx.size()));
      break;
    }
    case 6:
      Noted(IFDHICCPresence(lun));
      break;
    case 7: {
      // A second open of the Lun that is open, or any device name for a Lun
      // with slot bits: both are refused before a reader starts.
      const std::vector<UCHAR> bytes = tape.Take(tape.Byte() % 64);
      std::string name(bytes.begin(), bytes.end());
      name = name.c_str();  // up to the first NUL, as pcscd passes it
      // Slot bits in the Lun are refused once the name is parsed.
      Noted(IFDHCreateChannelByName(lun == kLun ? kLun : lun | 1, nullPointer ? nullptr : name.data()));
      break;
    }
    case 8:
      // Closing a Lun that is not open; the open one stays.
      if (lun != kLun) Noted(IFDHCloseChannel(lun));
      break;
    default:
      fuzzing::ifdworld::SetCard(kLun, (flags & 4) != 0);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return -1;
  fuzzing::ifdworld::BeginInput();
  if (IFDHCreateChannelByName(kLun, kDeviceName) != IFD_SUCCESS) __builtin_trap();
  fuzzing::Tape tape(std::span<const std::uint8_t>(data, size));
  for (int i = 0; i < kCalls && !tape.Exhausted(); ++i) OneCall(tape);
  if (IFDHCloseChannel(kLun) != IFD_SUCCESS) __builtin_trap();
  fuzzing::ifdworld::EndInput();
  return 0;
}
