#include "fuzz/driver_session.h"

#include <cstdio>
#include <cstdlib>

#include "driver/reader/vendor_ioctl.h"
#include "platform/smclib/event_log.h"
#include "platform/smclib/winsmcrd.h"

namespace fuzzing {
namespace {

constexpr ULONG kReplyRoom = 0x10400;
constexpr LONGLONG kTrackingWait = 2 * kernel::kSecond;

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

constexpr const char* kCardFirmware[] = {"2.27", "2.10", "1.50", "3.00", "3.01"};
constexpr std::uint16_t kMaxCommand = 1100;

// The world runs before the session looks for a platform.
std::shared_ptr<usb::UsbFunction> InWorld(std::shared_ptr<usb::UsbFunction> device) {
  World();
  return device;
}

// With FUZZ_OUTCOME set, each input prints the digest of its outcome.
bool PrintOutcomes() {
  static const bool print = std::getenv("FUZZ_OUTCOME") != nullptr;
  return print;
}

}  // namespace

kernel::Platform& World() {
  static kernel::Platform platform(kernel::ClockMode::Simulated, kernel::Scheduling::OneAtATime);
  return platform;
}

void EndInput(std::uint64_t outcome) {
  if (PrintOutcomes()) std::fprintf(stderr, "fuzz outcome %016llx\n", static_cast<unsigned long long>(outcome));
  smclib::ClearEventLog();
  World().Reset();
}

std::shared_ptr<emu::Reader> ReaderWithCard(std::shared_ptr<emu::Card> card, const char* firmware) {
  emu::ReaderConfig config = readertest::InstantReader(firmware);
  config.frameLog = false;
  return readertest::ReaderWithCard(std::move(card), config);
}

void Require(bool condition, std::string_view message) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(message.size()), message.data());
  std::abort();
}

Session::Session(std::shared_ptr<usb::UsbFunction> device) : DriverSession(InWorld(std::move(device))) {
  Require(Load() == STATUS_SUCCESS, "DriverEntry failed");
  GiveUpAfterBusy();
  if (!PrintOutcomes()) SkipOutcome();  // only the leak check reads the digest
}

Session::~Session() {
  const readertest::Leftovers& left = TearDown();
  Require(left.removal == STATUS_SUCCESS, "IRP_MN_REMOVE_DEVICE failed");
  Require(left.Complaints().empty(), left.Complaints());
  EndInput(left.outcome);
}

void RunReaderLifecycle(std::shared_ptr<usb::UsbFunction> reader) {
  Session session(std::move(reader));
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
  // A new-generation status command and an old-generation card frame, as applications send them.
  session.Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x12, 0x00, 0x02, 0x01, 0x31, 0x00}, 300);
  session.Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x50, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08}, 300);
  session.Control(IOCTL_VENDOR_GET_VERSION, {}, 8);
  session.Control(IOCTL_VENDOR_EJECT, {}, 2);
  session.Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x05}, 2);
  session.Control(IOCTL_VENDOR_COMMAND_D8, Bytes{0x01}, 2);
  session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0);
  session.Control(IOCTL_SMARTCARD_EJECT, {}, 0);
  session.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0, kTrackingWait);
  session.Sleep();
  session.Resume();
  session.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  session.SurpriseRemove();
}

void RunCardSession(Tape& tape, std::shared_ptr<emu::Card> card) {
  Session session(ReaderWithCard(std::move(card), kCardFirmware[tape.Byte() % std::size(kCardFirmware)]));
  if (!NT_SUCCESS(session.Start()) || !NT_SUCCESS(session.Open())) return;
  ULONG protocol = SCARD_PROTOCOL_UNDEFINED;
  for (int i = 0; i < kCardOperations && !tape.Exhausted(); ++i) {
    const std::uint8_t operation = tape.Byte() % 8;
    switch (operation) {
      case 0:
      case 1:
        session.Control(IOCTL_SMARTCARD_POWER, Ulong(operation == 0 ? SCARD_COLD_RESET : SCARD_WARM_RESET), 64);
        break;
      case 2: {
        const kernel::IoResult result = session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(tape.Byte() % 3 + 1), 4);
        // The answer is T=0 (1) or T=1 (2): its low byte.
        if (result.status == STATUS_SUCCESS && result.output.size() == 4) protocol = result.output[0];
        break;
      }
      case 7:
        session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0);
        break;
      default: {
        const Bytes command = tape.Take(tape.Word() % kMaxCommand);
        const std::uint8_t room = tape.Byte();
        session.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(protocol, command),
                        room == 0 ? kReplyRoom : ULONG{room} * 4);
        break;
      }
    }
  }
}

}  // namespace fuzzing

// AddressSanitizer, tuned for many short inputs:
// - 1 MB of freed memory stays poisoned instead of 256 MB. That is a few
//   inputs' worth: a block freed and then touched within an input is still
//   caught, and freed requests sit in the I/O manager's own quarantine. A
//   larger quarantine hands out memory the process has not touched lately,
//   and the 64 KiB blocks (the request buffers) then cost most of an input.
// - No allocation and free stacks: unwinding and storing them took a quarter
//   of the time. scripts/fuzz.sh runs a finding again with them.
// ASAN_OPTIONS overrides both.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=1:malloc_context_size=0"; }
