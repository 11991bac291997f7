#include "ifd/channel.h"

#include <cstdio>
#include <cstring>

#include "host/emulated_cards.h"
#include "host/fault_parser.h"
#include "host/status_names.h"
#include "ifd/log.h"
#include "ifd/status_mapping.h"
#include "platform/smclib/winsmcrd.h"

namespace ifd {
namespace {

std::shared_ptr<emu::Card> InitialCard(CardChoice choice) {
  switch (choice) {
    case CardChoice::T1:
      return host::MakeCard(host::CardKind::T1);
    case CardChoice::T0:
      return host::MakeCard(host::CardKind::T0);
    case CardChoice::None:
    case CardChoice::Vicc:
      break;
  }
  return nullptr;
}

emu::ReaderConfig ReaderConfigFor(const ChannelOptions& options) {
  emu::ReaderConfig config = host::ReaderConfigFor(options.firmware);
  if (!options.realTiming) config.timing = emu::TimingModel::Instant();
  return config;
}

}  // namespace

Channel::Channel(host::Host& host, ChannelOptions options, host::UsbHotplug* usb)
    : host_(host),
      options_(std::move(options)),
      usb_(usb),
      reader_(options_.device ? nullptr : std::make_shared<emu::Reader>(ReaderConfigFor(options_))),
      resources_(host) {
  if (!reader_) return;
  if (std::shared_ptr<emu::Card> card = InitialCard(options_.card)) reader_->InsertCard(std::move(card));
  plugged_ = std::make_unique<host::PluggedReader>(reader_);
  ApplyTraceOption();
  pnp_ = std::make_unique<host::PnpManager>(host_, *plugged_, resources_);
}

Channel::~Channel() { Close(); }

NTSTATUS Channel::PlugPhysical() {
  if (usb_ == nullptr || !usb_->Ok()) {
    log::Error(usb_ != nullptr ? usb_->Error() : "no USB bus");
    return STATUS_NO_SUCH_DEVICE;
  }
  // pcscd names a device it has just seen arrive; the bus may report it a moment later.
  device_ = usb_->WaitFor(*options_.device, std::chrono::seconds(5));
  if (!device_) {
    log::Error("no USB device " + usb::FormatDevice(*options_.device) + " on the bus");
    return STATUS_NO_SUCH_DEVICE;
  }
  std::string error;
  std::unique_ptr<usb::BusPort> port = usb_->Open(*device_, &error);
  if (!port) {
    log::Error(error);
    return STATUS_NO_SUCH_DEVICE;
  }
  plugged_ = std::make_unique<host::PluggedReader>(std::move(port));
  ApplyTraceOption();
  pnp_ = std::make_unique<host::PnpManager>(host_, *plugged_, resources_);
  host::PnpManager* pnp = pnp_.get();
  usb_->OnDeparture(*device_, [pnp] { pnp->SurpriseRemove(); });
  return STATUS_SUCCESS;
}

NTSTATUS Channel::Open() {
  std::unique_lock<std::shared_mutex> life(lifeLock_);
  if (options_.device) {
    const NTSTATUS plugged = PlugPhysical();
    if (!NT_SUCCESS(plugged)) return plugged;
  }
  NTSTATUS status = pnp_->Add();
  if (NT_SUCCESS(status)) status = pnp_->Start();  // a failed start is followed by the removal
  if (NT_SUCCESS(status)) status = resources_.Open(*plugged_, "");
  Drain();
  if (NT_SUCCESS(status)) {
    faults_ = std::make_unique<host::FaultInjector>(*plugged_);
    StartFaults();
  }
  if (NT_SUCCESS(status) && !options_.controlPath.empty()) {
    // A control path that cannot be used is logged; the reader works without it.
    control_ = std::make_unique<CardControl>(reader_, *faults_, options_.controlPath);
    if (!control_->Ok()) control_.reset();
  }
  if (NT_SUCCESS(status) && options_.card == CardChoice::Vicc) {
    vicc_ = std::make_unique<emu::ViccListener>(*reader_, options_.viccPort);
    if (!vicc_->Listening()) {
      log::Error("vicc listener on 127.0.0.1:" + std::to_string(options_.viccPort) + ": " + vicc_->Error());
      vicc_.reset();
      status = STATUS_INVALID_PARAMETER;
    } else {
      log::Info("waiting for vicc on 127.0.0.1:" + std::to_string(vicc_->Port()));
    }
  }
  if (!NT_SUCCESS(status)) {
    if (pnp_->State() == host::DeviceState::Started || pnp_->State() == host::DeviceState::SurpriseRemoved) {
      pnp_->Remove();
    }
    Release();
    return status;
  }
  open_ = true;
  return STATUS_SUCCESS;
}

void Channel::Close() {
  if (!plugged_) return;
  control_.reset();
  vicc_.reset();  // closes vicc's connection: the card goes
  {
    // A card-event wait still running is woken, and the close waits for it
    // to let go of the handle.
    std::unique_lock<std::mutex> guard(waitLock_);
    closing_ = true;
    if (waiting_ != nullptr) waiting_->Cancel();
    waitDone_.wait(guard, [this] { return waiting_ == nullptr; });
  }
  std::unique_lock<std::shared_mutex> life(lifeLock_);
  if (open_ && device_) {
    // pcscd may close before the bus has told the host the reader left: it left all the same.
    usb_->Forget(*device_);
    if (!usb_->Present(*device_)) pnp_->SurpriseRemove();
  }
  if (open_) {
    open_ = false;
    // Closes the handle (cleanup, close), then query-remove and removal.
    const NTSTATUS removed = pnp_->Remove();
    if (!NT_SUCCESS(removed)) {
      log::Error("reader removal ended with " + host::StatusWord(removed) + "; removing it as surprise-removed");
      pnp_->SurpriseRemove();
    }
  }
  Release();
}

void Channel::StartFaults() {
  // The entry's faults were checked when it was read; one the reader cannot take is logged.
  for (const std::string& line : options_.faults) {
    std::string error;
    std::optional<host::FaultRequest> fault = host::ParseFaultLine(line, &error);
    if (!fault || !faults_->Apply(*fault, &error)) log::Error("faults=: " + error);
  }
}

void Channel::Release() {
  // A departure under way ends before the manager it uses goes.
  if (device_) usb_->Forget(*device_);
  Drain();
  control_.reset();
  faults_.reset();
  pnp_.reset();
  plugged_.reset();
}

kernel::IoResult Channel::Send(const host::ControlRequest& request) {
  std::shared_lock<std::shared_mutex> life(lifeLock_);
  if (!open_) {
    kernel::IoResult closed;
    closed.status = STATUS_DELETE_PENDING;
    return closed;
  }
  kernel::IoResult result = resources_.Send(request);
  Drain();
  return result;
}

Response Channel::WaitForCardEvent(long timeoutMs) {
  std::unique_ptr<kernel::UserRequest> request;
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    if (closing_) return kNoSuchDevice;
    std::shared_lock<std::shared_mutex> life(lifeLock_);
    if (!open_) return kNoSuchDevice;
    if (stopPending_) {
      stopPending_ = false;
      return kSuccess;
    }
    const kernel::IoResult state = resources_.Send(host::StateRequest());
    if (!NT_SUCCESS(state.status)) return MapStatus(state.status);
    ULONG current = SCARD_UNKNOWN;
    if (state.output.size() == sizeof current) std::memcpy(&current, state.output.data(), sizeof current);
    request = resources_.Start(host::TrackingRequest(current <= SCARD_ABSENT));
    waiting_ = request.get();
  }
  kernel::IoResult result = request->Wait(timeoutMs < 0 ? -1 : timeoutMs * kernel::kMillisecond);
  if (result.status == STATUS_PENDING) {
    request->Cancel();
    result = request->Wait();
  }
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    Drain();  // before the close, which waits for this, lets go of the port
    waiting_ = nullptr;
  }
  waitDone_.notify_all();
  // A change, the time limit or a stop: pcscd asks for the card state next.
  if (result.status == STATUS_SUCCESS || result.status == STATUS_CANCELLED) return kSuccess;
  return MapStatus(result.status);
}

void Channel::StopWaiting() {
  std::lock_guard<std::mutex> guard(waitLock_);
  if (waiting_ != nullptr) {
    waiting_->Cancel();
  } else {
    stopPending_ = true;
  }
}

void Channel::ApplyTraceOption() {
  // Without trace=, nothing that only a trace would show is kept.
  plugged_->Port().SetTracing(options_.trace);
  resources_.SetRecording(options_.trace);
  if (!options_.pcapPath.empty() && !capture_) {
    // A capture that cannot be written is logged; the reader works without it.
    std::string error;
    capture_ = usb::Capture::Open(options_.pcapPath, &error);
    if (!capture_) log::Error(error);
  }
  plugged_->Port().SetCapture(capture_);
}

void Channel::Drain() {
  if (!plugged_) return;
  const std::vector<usb::TraceEntry> frames = plugged_->Port().TakeTrace();
  const std::vector<host::JournalEntry> requests = host_.Requests().Take();
  if (!options_.trace) return;
  for (const host::JournalEntry& entry : requests) {
    char information[32];
    std::snprintf(information, sizeof information, " information %lu", static_cast<unsigned long>(entry.information));
    log::Trace("request " + entry.request + " -> " + host::StatusWord(entry.status) + information);
  }
  for (const usb::TraceEntry& entry : frames) log::Trace(usb::FormatTraceEntry(entry, host_.Origin()));
}

}  // namespace ifd
