// Fuzz target 5: arbitrary arguments to the IFD handler's entry points, as
// pcscd would call them (IFDH*), on a reader opened once for the process
// (a channel's start waits for the first presence poll in real time, so one
// per input would cost half a second). Each input starts with a card in
// that reader and ends with the checks of fuzz/ifd_world.h; the card state
// and protocol it leaves are the only state the next input inherits.
//
// Input: up to kCalls calls, each a byte c (c % 10 picks the entry point),
// a flags byte (bit 0: a Lun from the input instead of 0; bit 1: a null
// pointer where the entry point takes one), then the call's arguments.
#include <cstddef>
#include <cstdlib>
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
      IFDHGetCapabilities(lun, tag, nullPointer ? nullptr : &length, value.data());
      break;
    }
    case 1: {
      const DWORD tag = Tag(tape);
      std::vector<UCHAR> value = tape.Take(Length(tape));
      IFDHSetCapabilities(lun, tag, value.size(), nullPointer ? nullptr : value.data());
      break;
    }
    case 2: {
      const DWORD protocol = tape.Byte() < 0x80 ? tape.Byte() % 4 : tape.Long();
      const std::vector<UCHAR> pts = tape.Take(4);
      IFDHSetProtocolParameters(lun, protocol, pts[0], pts[1], pts[2], pts[3]);
      break;
    }
    case 3: {
      const std::uint8_t pick = tape.Byte();
      const DWORD action = pick < std::size(kActions) ? kActions[pick] : tape.Long();
      DWORD length = Length(tape) % 80;
      std::vector<UCHAR> atr = Buffer(length);
      IFDHPowerICC(lun, action, nullPointer ? nullptr : atr.data(), &length);
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
      IFDHTransmitToICC(lun, pci, tx.data(), tx.size(), nullPointer ? nullptr : rx.data(), &rxLength, &recv);
      break;
    }
    case 5: {
      const std::uint8_t pick = tape.Byte();
      const DWORD code = pick < 8 ? SCARD_CTL_CODE(2049 + pick) : pick < 0xF0 ? SCARD_CTL_CODE(3400) : tape.Long();
      std::vector<UCHAR> tx = tape.Take(Length(tape) % 300);
      const DWORD rxLength = Length(tape);
      std::vector<UCHAR> rx = Buffer(rxLength);
      DWORD returned = 0;
      IFDHControl(lun, code, tx.data(), tx.size(), nullPointer ? nullptr : rx.data(), rxLength, &returned);
      break;
    }
    case 6:
      IFDHICCPresence(lun);
      break;
    case 7: {
      // A second open of the Lun that is open, or any device name for a Lun
      // with slot bits: both are refused before a reader starts.
      const std::vector<UCHAR> bytes = tape.Take(tape.Byte() % 64);
      std::string name(bytes.begin(), bytes.end());
      name = name.c_str();  // up to the first NUL, as pcscd passes it
      // Slot bits in the Lun are refused once the name is parsed.
      IFDHCreateChannelByName(lun == kLun ? kLun : lun | 1, nullPointer ? nullptr : name.data());
      break;
    }
    case 8:
      // Closing a Lun that is not open; the open one stays.
      if (lun != kLun) IFDHCloseChannel(lun);
      break;
    default:
      fuzzing::ifdworld::SetCard(kLun, (flags & 4) != 0);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // libFuzzer ends with exit(): the handler then removes the reader and
  // unloads the driver itself, as it does when pcscd exits.
  static bool opened = IFDHCreateChannelByName(kLun, kDeviceName) == IFD_SUCCESS;
  static long baseline = -1;
  if (!opened) __builtin_trap();
  if (size > 16384) return -1;
  fuzzing::ifdworld::SetCard(kLun, true);
  fuzzing::Tape tape(std::span<const std::uint8_t>(data, size));
  for (int i = 0; i < kCalls && !tape.Exhausted(); ++i) OneCall(tape);
  fuzzing::ifdworld::CheckBetweenInputs(&baseline);
  return 0;
}
