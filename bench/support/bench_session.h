// One reader stood up for the benchmarks the way the system does it: the
// driver loaded through DriverEntry, the emulated reader plugged into the
// hub with a card already in, AddDevice and IRP_MN_START_DEVICE from the Plug
// and Play manager, a handle opened by the resource manager, a cold reset and
// the protocol selected. Card commands then go in at the top of the device
// stack as IOCTL_SMARTCARD_TRANSMIT requests, in simulated time.
//
// One session per process at a time (the platform is one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/card/card.h"
#include "emulator/reader/reader.h"
#include "host/control_requests.h"
#include "host/host.h"
#include "host/plugged_reader.h"
#include "host/pnp_manager.h"
#include "host/resource_manager.h"
#include "platform/kernel/io_user.h"

namespace bench {

using Bytes = std::vector<std::uint8_t>;

enum class Protocol { T0, T1 };

// The card commands every benchmark measures.
struct CommandCase {
  std::string name;
  Protocol protocol;
  std::uint8_t ifsc;  // the card's TA3, the largest information field it takes
  Bytes apdu;
};

// Echo of `length` bytes with Le 00 for up to 255 bytes; above that an
// extended UPDATE BINARY of `length` bytes (answered by 90 00 alone).
Bytes SendCommand(std::size_t length);
// GET CHALLENGE of `length` bytes (extended Le above 256; 65,536 for 0).
Bytes ReceiveCommand(std::size_t length);
// Short T=1, short T=0, 1 KiB chained T=1, 64 KiB each way on T=1.
std::vector<CommandCase> StandardCommands();

// A card offering T=0 and T=1 with this IFSC, a file large enough for 64 KiB.
emu::CardConfig BenchCard(std::uint8_t ifsc);

struct SessionOptions {
  emu::TimingModel timing = emu::TimingModel::Instant();
  Protocol protocol = Protocol::T1;
  std::uint8_t ifsc = 0xFE;
  bool card = true;  // a card in the slot before the reader is plugged
};

class Session {
 public:
  explicit Session(const SessionOptions& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // False when any step of the stand-up failed; Failure() says which.
  bool Ready() const { return failure_.empty(); }
  const std::string& Failure() const { return failure_; }

  // The transmit request for this command, with the selected protocol's header.
  host::ControlRequest Request(const Bytes& apdu) const;
  // Sends it to the top of the stack and waits for its completion.
  kernel::IoResult Send(const host::ControlRequest& request);
  kernel::IoResult Transmit(const Bytes& apdu) { return Send(Request(apdu)); }
  // A request left in flight (card tracking).
  std::unique_ptr<kernel::UserRequest> Start(const host::ControlRequest& request);

  emu::Reader& Reader() { return plugged_->Reader(); }
  usb::BusPort& Port() { return plugged_->Port(); }
  const std::shared_ptr<emu::Card>& Card() const { return card_; }
  PDEVICE_OBJECT Device() const;
  // Forgets the port's trace and the reader's log, which otherwise grow.
  void ClearTraces();

 private:
  bool Fail(const std::string& step, NTSTATUS status);

  host::Host host_{kernel::ClockMode::Simulated};
  std::shared_ptr<emu::Card> card_;
  std::unique_ptr<host::PluggedReader> plugged_;
  host::ResourceManager manager_{host_};
  std::unique_ptr<host::PnpManager> pnp_;
  std::string failure_;
};

}  // namespace bench
