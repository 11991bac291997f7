#include "host/demo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "host/bus_monitor.h"
#include "host/host.h"
#include "host/pnp_manager.h"
#include "host/request_names.h"
#include "host/resource_manager.h"
#include "host/status_names.h"
#include "host/system_power.h"
#include "driver/public/driver.h"
#include "platform/smclib/winsmcrd.h"

namespace host {
namespace {

constexpr std::uint32_t kCardArrivesAfterMs = 300;
constexpr std::size_t kEchoLength = 1024;

ULONG LittleEndian(const Bytes& bytes) {
  ULONG value = 0;
  if (bytes.size() >= sizeof(value)) std::memcpy(&value, bytes.data(), sizeof(value));
  return value;
}

// An attribute string as it comes back: its terminating zero, if counted, is not text.
std::string Text(const Bytes& bytes) {
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// The response after the 8-byte header of a transmit reply: data, then SW1 SW2.
struct Response {
  Bytes data;
  Bytes sw;
};

Response SplitResponse(const Bytes& reply) {
  Response response;
  if (reply.size() < sizeof(SCARD_IO_REQUEST) + 2) return response;
  response.data.assign(reply.begin() + sizeof(SCARD_IO_REQUEST), reply.end() - 2);
  response.sw.assign(reply.end() - 2, reply.end());
  return response;
}

// Echo (the emulated card's 80 22) of `data` as an extended case 4 APDU:
// Lc and Le in three and two bytes.
Bytes EchoCommand(const Bytes& data) {
  const auto high = static_cast<std::uint8_t>(data.size() >> 8);
  const auto low = static_cast<std::uint8_t>(data.size());
  Bytes apdu(7 + data.size() + 2);
  const std::uint8_t header[] = {0x80, 0x22, 0x00, 0x00, 0x00, high, low};
  std::copy(std::begin(header), std::end(header), apdu.begin());
  std::copy(data.begin(), data.end(), apdu.begin() + 7);
  apdu[apdu.size() - 2] = high;
  apdu[apdu.size() - 1] = low;
  return apdu;
}

class Demo {
 public:
  Demo(const DemoOptions& options, std::ostream& out, std::ostream& trace)
      : options_(options), out_(out), trace_(trace), host_(options.clock), monitor_(host_), resourceManager_(host_) {}

  DemoOutcome Run() {
    Say(std::string("The ") + ModelIdentity.DeliverableName + " driver (reader type \"" + ModelIdentity.IfdType +
        "\", driver version " + std::to_string(ModelIdentity.DriverVersionMajor) + "." +
        std::to_string(ModelIdentity.DriverVersionMinor) + ") on an emulated reader with firmware " +
        options_.firmware + ", in " + (host_.Clock() == kernel::ClockMode::Simulated ? "simulated" : "real") +
        " time.");
    const bool told = host_.Driver() != nullptr ? Story() : Failed("DriverEntry", host_.EntryStatus());
    TearDown();
    if (told) Summary();
    return outcome_;
  }

 private:
  bool Story() {
    return Plug() && Identity() && WaitForCard() && ColdReset() && SelectT1() && CardCommands() && VendorVersion() &&
           SleepAndResume() && Eject() && Remove();
  }

  void Say(const std::string& text) {
    Flush();
    char time[24];
    std::snprintf(time, sizeof time, "[%10.3f ms] ",
                  static_cast<double>(host_.Elapsed()) / static_cast<double>(kernel::kMillisecond));
    out_ << time << text << '\n' << std::flush;
  }

  void Flush() {
    const std::vector<std::string> lines = monitor_.Collect();
    if (!options_.trace) return;
    for (const std::string& line : lines) trace_ << line << '\n';
    trace_ << std::flush;
  }

  bool Failed(const std::string& step, NTSTATUS status) {
    outcome_.ok = false;
    outcome_.error = step + " ended with " + StatusWord(status);
    Say(outcome_.error + "; the demo stops here.");
    return false;
  }

  bool Failed(const std::string& step, const std::string& what) {
    outcome_.ok = false;
    outcome_.error = step + ": " + what;
    Say(outcome_.error + "; the demo stops here.");
    return false;
  }

  // A control request that must succeed.
  bool Ask(const ControlRequest& request, kernel::IoResult* result, const std::string& step) {
    *result = resourceManager_.Send(request);
    return NT_SUCCESS(result->status) || Failed(step, result->status);
  }

  bool Plug() {
    auto reader = std::make_shared<emu::Reader>(ReaderConfigFor(options_.firmware));
    reader_ = std::make_unique<PluggedReader>(std::move(reader));
    reader_->Port().SetCapture(options_.capture);
    monitor_.Watch(&reader_->Port());
    pnp_ = std::make_unique<PnpManager>(host_, *reader_, resourceManager_);
    power_ = std::make_unique<SystemPower>(host_, *reader_);
    const NTSTATUS added = pnp_->Add();
    if (!NT_SUCCESS(added)) return Failed("AddDevice", added);
    const NTSTATUS started = pnp_->Start();
    if (!NT_SUCCESS(started)) return Failed("IRP_MN_START_DEVICE", started);
    Say("Reader plugged in: AddDevice and IRP_MN_START_DEVICE returned STATUS_SUCCESS; at start the driver read "
        "the firmware version and the reader's status and enabled the reader interface.");
    const NTSTATUS opened = resourceManager_.Open(*reader_, "");
    if (!NT_SUCCESS(opened)) return Failed("opening the reader", opened);
    Say("The resource manager found the reader interface and opened a handle on it.");
    return true;
  }

  bool Identity() {
    kernel::IoResult vendor, type, version, unit;
    if (!Ask(AttributeRequest(SCARD_ATTR_VENDOR_NAME), &vendor, "the vendor name") ||
        !Ask(AttributeRequest(SCARD_ATTR_VENDOR_IFD_TYPE), &type, "the reader type") ||
        !Ask(AttributeRequest(SCARD_ATTR_VENDOR_IFD_VERSION), &version, "the reader version") ||
        !Ask(AttributeRequest(SCARD_ATTR_DEVICE_UNIT), &unit, "the unit number")) {
      return false;
    }
    const ULONG v = LittleEndian(version.output);
    char firmware[16];
    std::snprintf(firmware, sizeof firmware, "%lX.%02lX", static_cast<unsigned long>(v >> 24),
                  static_cast<unsigned long>((v >> 16) & 0xFF));
    Say("Identity: vendor \"" + Text(vendor.output) + "\", reader type \"" + Text(type.output) + "\", unit " +
        std::to_string(LittleEndian(unit.output)) + ", version " + firmware + " (the reader's firmware).");
    return true;
  }

  bool WaitForCard() {
    kernel::IoResult state;
    if (!Ask(StateRequest(), &state, "the card state")) return false;
    Say(std::string("No card yet: the card state is ") + CardStateName(LittleEndian(state.output)) +
        ". IOCTL_SMARTCARD_IS_PRESENT waits; a T=1 card goes in " + std::to_string(kCardArrivesAfterMs) +
        " ms from now.");
    std::shared_ptr<emu::Reader> reader = reader_->SharedReader();
    kernel::SystemThread insertion("card insertion", [reader] {
      kernel::SleepFor(kCardArrivesAfterMs * kernel::kMillisecond);
      reader->InsertCard(MakeCard(CardKind::T1));
    });
    const LONGLONG start = host_.Elapsed();
    const kernel::IoResult tracked = resourceManager_.Track(true, 10 * kernel::kSecond);
    insertion.Join();
    if (tracked.status != STATUS_SUCCESS) return Failed("IOCTL_SMARTCARD_IS_PRESENT", tracked.status);
    Say("The tracking request completed with STATUS_SUCCESS after " +
        std::to_string((host_.Elapsed() - start) / kernel::kMillisecond) +
        " ms: the presence poll, every 500 ms while a request waits, saw the card.");
    return true;
  }

  bool ColdReset() {
    kernel::IoResult reset;
    if (!Ask(PowerRequest(SCARD_COLD_RESET), &reset, "the cold reset")) return false;
    Say("Cold reset: STATUS_SUCCESS, ATR " + ToSpacedHex(reset.output) + " (" + std::to_string(reset.output.size()) +
        " bytes).");
    return true;
  }

  bool SelectT1() {
    const kernel::IoResult selected = resourceManager_.SetProtocol(SCARD_PROTOCOL_T1);
    if (!NT_SUCCESS(selected.status)) return Failed("selecting T=1", selected.status);
    kernel::IoResult state;
    if (!Ask(StateRequest(), &state, "the card state")) return false;
    Say("T=1 selected: the driver answered protocol " + std::to_string(LittleEndian(selected.output)) +
        " (SCARD_PROTOCOL_T1) and the card state is " + CardStateName(LittleEndian(state.output)) + ".");
    return true;
  }

  // One command that must end in 90 00; its response data in *data.
  bool Transmit(const Bytes& apdu, const std::string& step, Bytes* data) {
    const kernel::IoResult result = resourceManager_.Transmit(apdu);
    if (!NT_SUCCESS(result.status)) return Failed(step, result.status);
    Response response = SplitResponse(result.output);
    if (response.sw != Bytes{0x90, 0x00}) return Failed(step, "the card answered " + ToSpacedHex(result.output));
    *data = std::move(response.data);
    return true;
  }

  bool CardCommands() {
    Bytes data;
    const Bytes select{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    if (!Transmit(select, "SELECT of the master file", &data)) return false;
    Say("SELECT of the master file (" + ToSpacedHex(select) + "): SW1 SW2 90 00.");
    if (!Transmit({0x00, 0x84, 0x00, 0x00, 0x08}, "GET CHALLENGE", &data)) return false;
    Say("GET CHALLENGE: " + ToSpacedHex(data) + ", SW1 SW2 90 00.");

    Bytes payload(kEchoLength);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::uint64_t framesBefore = BusFrames();
    if (!Transmit(EchoCommand(payload), "the 1 KiB echo", &data)) return false;
    if (data != payload) return Failed("the 1 KiB echo", "the card's answer differs from what was sent");
    Say("Echo of 1024 bytes (an extended APDU of " + std::to_string(EchoCommand(payload).size()) +
        " bytes): the same 1024 bytes came back with 90 00; " + std::to_string(BusFrames() - framesBefore) +
        " frames crossed the bus for it.");
    return true;
  }

  std::uint64_t BusFrames() {
    Flush();
    return monitor_.Totals().frames;
  }

  bool VendorVersion() {
    kernel::IoResult version;
    if (!Ask(VendorRequest(VendorAction::Version), &version, "the vendor version query")) return false;
    const Bytes& v = version.output;
    if (v.size() != 8) return Failed("the vendor version query", "it returned " + std::to_string(v.size()) + " bytes");
    char text[160];
    std::snprintf(text, sizeof text,
                  "Vendor version query: %s: library interface 0x%04lX, driver %u.%02u, firmware %X.%02X.",
                  ToSpacedHex(v).c_str(), static_cast<unsigned long>(LittleEndian(v)), v[4], v[5], v[6], v[7]);
    Say(text);
    return true;
  }

  bool SleepAndResume() {
    const NTSTATUS slept = power_->Sleep(PowerSystemSleeping3);
    if (!NT_SUCCESS(slept)) return Failed("system sleep S3", slept);
    Say("System sleep S3: STATUS_SUCCESS; the driver asked for D3 on its own stack and checked the card on the way.");
    const NTSTATUS resumed = power_->Resume();
    if (!NT_SUCCESS(resumed)) return Failed("resume to S0", resumed);
    kernel::IoResult state;
    if (!Ask(StateRequest(), &state, "the card state after resume")) return false;
    Say(std::string("Resume to S0: STATUS_SUCCESS; the first poll after D0 read the card afresh: ") +
        CardStateName(LittleEndian(state.output)) + ".");
    return true;
  }

  bool Eject() {
    kernel::IoResult ejected, state;
    if (!Ask(EjectRequest(), &ejected, "the eject") || !Ask(StateRequest(), &state, "the card state")) return false;
    Say(std::string("Eject: STATUS_SUCCESS; the card state is ") + CardStateName(LittleEndian(state.output)) + ".");
    return true;
  }

  bool Remove() {
    const NTSTATUS removed = pnp_->Remove();
    if (!NT_SUCCESS(removed)) return Failed("the removal", removed);
    Say("Removal: the handle was closed, then IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_REMOVE_DEVICE returned "
        "STATUS_SUCCESS and the driver deleted its device.");
    return true;
  }

  void TearDown() {
    if (pnp_ && pnp_->State() != DeviceState::Removed && pnp_->State() != DeviceState::Present) pnp_->Remove();
    resourceManager_.CloseAll();
    Flush();
    monitor_.Watch(nullptr);
    Flush();
    power_.reset();
    pnp_.reset();
    reader_.reset();
  }

  void Summary() {
    const BusTotals totals = monitor_.Totals();
    char text[200];
    std::snprintf(text, sizeof text,
                  "Summary: %zu requests served, %llu frames (%llu bytes out, %llu bytes in), %.3f s of %s time.",
                  host_.Requests().RequestCount(), static_cast<unsigned long long>(totals.frames),
                  static_cast<unsigned long long>(totals.bytesOut), static_cast<unsigned long long>(totals.bytesIn),
                  static_cast<double>(host_.Elapsed()) / static_cast<double>(kernel::kSecond),
                  host_.Clock() == kernel::ClockMode::Simulated ? "simulated" : "real");
    out_ << text << '\n' << std::flush;
  }

  const DemoOptions options_;
  std::ostream& out_;
  std::ostream& trace_;
  DemoOutcome outcome_;
  Host host_;
  BusMonitor monitor_;
  ResourceManager resourceManager_;
  std::unique_ptr<PluggedReader> reader_;
  std::unique_ptr<PnpManager> pnp_;
  std::unique_ptr<SystemPower> power_;
};

}  // namespace

DemoOutcome RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& trace) {
  return Demo(options, out, trace).Run();
}

}  // namespace host
