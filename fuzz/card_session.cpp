#include "fuzz/card_session.h"

#include "emulator/reader/reader.h"
#include "fuzz/reader_lifecycle.h"
#include "platform/smclib/winsmcrd.h"

namespace fuzzing {
namespace {

constexpr const char* kFirmware[] = {"2.27", "2.10", "1.50", "3.00", "3.01"};
constexpr ULONG kReplyRoom = 0x10400;
constexpr std::uint16_t kMaxCommand = 1100;

}  // namespace

emu::ReaderConfig CardSessionReader(std::uint8_t selector) {
  emu::ReaderConfig config;
  config.firmwareVersion = kFirmware[selector % std::size(kFirmware)];
  config.timing = emu::TimingModel::Instant();
  return config;
}

bool StartEmulatedReader(DriverSession& session, const emu::ReaderConfig& config, std::shared_ptr<emu::Card> card) {
  auto reader = std::make_shared<emu::Reader>(config);
  if (card) reader->InsertCard(std::move(card));
  if (!NT_SUCCESS(session.Plug(reader))) return false;
  if (!NT_SUCCESS(session.Start())) return false;
  return NT_SUCCESS(session.Open());
}

void RunCardSession(DriverSession& session, Tape& tape, std::shared_ptr<emu::Card> card) {
  if (!StartEmulatedReader(session, CardSessionReader(tape.Byte()), std::move(card))) return;
  ULONG protocol = SCARD_PROTOCOL_UNDEFINED;
  for (int i = 0; i < kCardOperations && !tape.Exhausted(); ++i) {
    switch (tape.Byte() % 8) {
      case 0:
        session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
        break;
      case 1:
        session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 64);
        break;
      case 2: {
        const ULONG mask = tape.Byte() % 3 + 1;
        const kernel::IoResult result = session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(mask), 4);
        if (result.status == STATUS_SUCCESS && result.output.size() == 4) {
          protocol = result.output[0] | result.output[1] << 8 | result.output[2] << 16 |
                     static_cast<ULONG>(result.output[3]) << 24;
        }
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
