// A script run against the host: each line is parsed, checked against the
// state of the session (no request before plug, none without an open
// handle, settings only before plug) and carried out by the host's roles.
// Every command writes exactly one result line to `out`; with tracing on,
// what crossed the bus, the requests sent and the event log go to `trace`.
// The first wrong line ends the script, as a shell script run with -e ends.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host/bus_monitor.h"
#include "host/fault_injector.h"
#include "host/host.h"
#include "host/pnp_manager.h"
#include "host/resource_manager.h"
#include "host/script.h"
#include "host/system_power.h"
#include "host/usb_hotplug.h"
#include "platform/usb/capture.h"
#include "emulator/vicc/vicc_listener.h"

namespace host {

struct SessionOptions {
  kernel::ClockMode clock = kernel::ClockMode::Real;
  bool trace = false;
  std::shared_ptr<usb::Capture> capture;  // every reader plugged writes its USB requests there
};

class ScriptSession {
 public:
  ScriptSession(const SessionOptions& options, std::ostream& out, std::ostream& trace);
  ~ScriptSession();
  ScriptSession(const ScriptSession&) = delete;
  ScriptSession& operator=(const ScriptSession&) = delete;

  // Runs one line of the script. False after an error, whose one-line
  // message, naming the line, is in Error().
  bool Run(std::string_view line, std::size_t lineNumber);
  const std::string& Error() const { return error_; }

  // The end of a session: open handles are closed and a reader still
  // plugged is removed, as the system does when it shuts the reader down.
  // False when that met a problem (Error() says which).
  bool Finish();

 private:
  struct Card {
    CardKind kind = CardKind::None;
    std::optional<Bytes> atr;
    std::uint16_t port = kDefaultViccPort;  // CardKind::Vicc
  };

  bool Execute(const ScriptCommand& command);
  bool Fail(const ScriptCommand& command, const std::string& message);
  void Result(const ScriptCommand& command, NTSTATUS status, std::span<const std::uint8_t> data = {});
  void Ok(const ScriptCommand& command);
  void FlushTrace();
  bool CheckVerifier();

  bool ApplyReaderSettings(const ScriptCommand& command);
  bool Plug(const ScriptCommand& command);
  // The physical reader's port, or null with *error saying why there is none.
  std::unique_ptr<usb::BusPort> OpenPhysicalReader(std::string* error);
  bool ChangeCard(const ScriptCommand& command);
  bool InjectFault(const ScriptCommand& command);
  bool SendRequest(const ScriptCommand& command);
  bool Lifecycle(const ScriptCommand& command);
  void ScheduleCardEvent(std::uint32_t milliseconds, std::function<void()> event);
  // The reader's driver device exists (added and not yet removed).
  bool DevicePresent() const;
  void Unplug();

  SessionOptions options_;
  std::ostream& out_;
  std::ostream& trace_;
  std::string error_;
  std::size_t lineNumber_ = 0;

  kernel::verifier::Capture verifier_;
  std::size_t verifierSeen_ = 0;
  Host host_;
  BusMonitor monitor_;
  ResourceManager resourceManager_;
  std::string firmware_;
  Card card_;  // the card in the reader when it is plugged
  std::optional<usb::DeviceMatch> physical_;  // reader usb: which device on the bus
  std::unique_ptr<UsbHotplug> usb_;           // the machine's bus, opened at the first plug of one
  std::optional<usb::DeviceAddress> plugged_;  // where the physical reader plugged last sits
  std::unique_ptr<PluggedReader> reader_;
  std::unique_ptr<FaultInjector> faults_;  // goes before reader_: it takes its hook off the port
  // card=vicc: the listener, and the reader it serves, which must outlive it.
  std::shared_ptr<emu::Reader> viccReader_;
  std::unique_ptr<emu::ViccListener> vicc_;
  std::unique_ptr<PnpManager> pnp_;
  std::unique_ptr<SystemPower> power_;
  std::vector<std::unique_ptr<kernel::SystemThread>> cardEvents_;
};

struct ScriptOutcome {
  bool ok = true;
  std::string error;  // one line, naming the script line
};

// Reads the script line by line and runs it until its end or its first error.
ScriptOutcome RunScript(std::istream& script, const SessionOptions& options, std::ostream& out, std::ostream& trace);

}  // namespace host
