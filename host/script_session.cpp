#include "host/script_session.h"

#include "host/deliverable.h"
#include "host/emulated_cards.h"
#include "host/status_names.h"

namespace host {
namespace {

// The first word of a command, for messages.
std::string_view VerbOf(const ScriptCommand& command) {
  const std::string_view text = command.text;
  return text.substr(0, text.find_first_of(" \t"));
}

}  // namespace

ScriptSession::ScriptSession(const SessionOptions& options, std::ostream& out, std::ostream& trace)
    : options_(options),
      out_(out),
      trace_(trace),
      host_(options.clock),
      monitor_(host_),
      resourceManager_(host_),
      firmware_(kDefaultFirmware) {}

ScriptSession::~ScriptSession() { Finish(); }

bool ScriptSession::Fail(const ScriptCommand& command, const std::string& message) {
  error_ = "line " + std::to_string(lineNumber_) + ": " + std::string(VerbOf(command)) + ": " + message;
  return false;
}

void ScriptSession::Result(const ScriptCommand& command, NTSTATUS status, std::span<const std::uint8_t> data) {
  FlushTrace();
  out_ << ResultLine(command.text, status, data) << '\n' << std::flush;
}

void ScriptSession::Ok(const ScriptCommand& command) {
  FlushTrace();
  out_ << OkLine(command.text) << '\n' << std::flush;
}

void ScriptSession::FlushTrace() {
  const std::vector<std::string> lines = monitor_.Collect();
  if (!options_.trace) return;
  for (const std::string& line : lines) trace_ << line << '\n';
  trace_ << std::flush;
}

bool ScriptSession::CheckVerifier() {
  const std::vector<std::string> messages = verifier_.Messages();
  if (messages.size() == verifierSeen_) return true;
  error_ = "line " + std::to_string(lineNumber_) + ": the platform's verifier reported: " + messages[verifierSeen_];
  verifierSeen_ = messages.size();
  return false;
}

bool ScriptSession::Run(std::string_view line, std::size_t lineNumber) {
  lineNumber_ = lineNumber;
  const ParsedLine parsed = ParseScriptLine(line);
  if (!parsed.error.empty()) {
    error_ = "line " + std::to_string(lineNumber) + ": " + parsed.error;
    return false;
  }
  if (parsed.blank) return true;
  return Execute(parsed.command) && CheckVerifier();
}

bool ScriptSession::DevicePresent() const {
  if (!pnp_) return false;
  const DeviceState state = pnp_->State();
  return state != DeviceState::Present && state != DeviceState::Removed;
}

bool ScriptSession::Execute(const ScriptCommand& command) {
  switch (command.verb) {
    case Verb::Reader:
      return ApplyReaderSettings(command);
    case Verb::Plug:
      return Plug(command);
    case Verb::CardInsert:
    case Verb::CardRemove:
      return ChangeCard(command);
    case Verb::Fault:
      return InjectFault(command);
    case Verb::Control:
    case Verb::Apdu:
    case Verb::Track:
      return SendRequest(command);
    case Verb::Wait:
      kernel::SleepFor(static_cast<LONGLONG>(command.milliseconds) * kernel::kMillisecond);
      Ok(command);
      return true;
    case Verb::Open:
      if (!reader_ || !reader_->HasFunctionDevice()) return Fail(command, "no reader device to open (plug one first)");
      Result(command, resourceManager_.Open(*reader_, command.name));
      return true;
    case Verb::Close:
      if (!resourceManager_.HasOpenHandle()) return Fail(command, "no handle is open");
      Result(command, resourceManager_.Close());
      return true;
    case Verb::Sleep:
    case Verb::Resume:
    case Verb::Stop:
    case Verb::Start:
    case Verb::SurpriseRemove:
    case Verb::Remove:
    case Verb::Pnp:
      return Lifecycle(command);
  }
  return Fail(command, "not carried out");
}

bool ScriptSession::ApplyReaderSettings(const ScriptCommand& command) {
  if (reader_) return Fail(command, "reader settings come before the first plug");
  const ReaderSettings& settings = command.reader;
  if (settings.usb) {
    // A real device answers in real time, which simulated time cannot wait for.
    if (options_.clock != kernel::ClockMode::Real) return Fail(command, "a physical reader runs in real time only (--time real)");
    physical_ = settings.usb;
    Ok(command);
    return true;
  }
  if (settings.model) {
    if (std::optional<std::string> refusal = RefuseOtherModel(*settings.model))
      return Fail(command, "model=" + *refusal);
  }
  if (settings.firmware) firmware_ = *settings.firmware;
  if (settings.card == CardKind::Vicc && options_.clock != kernel::ClockMode::Real) {
    // vicc answers on a socket in real time, which simulated time cannot wait for.
    return Fail(command, "card=vicc runs in real time only (--time real)");
  }
  if (settings.card) card_ = Card{*settings.card, std::nullopt};
  if (settings.atr) card_.atr = settings.atr;
  if (settings.port) card_.port = *settings.port;
  Ok(command);
  return true;
}

bool ScriptSession::Plug(const ScriptCommand& command) {
  if (DevicePresent()) return Fail(command, "a reader is plugged already");
  if (host_.Driver() == nullptr) {
    return Fail(command, "the driver is not loaded: DriverEntry returned " + StatusWord(host_.EntryStatus()));
  }
  Unplug();
  if (physical_) {
    std::string error;
    std::unique_ptr<usb::BusPort> port = OpenPhysicalReader(&error);
    if (!port) return Fail(command, error);
    reader_ = std::make_unique<PluggedReader>(std::move(port));
  } else {
    auto reader = std::make_shared<emu::Reader>(ReaderConfigFor(firmware_));
    if (std::shared_ptr<emu::Card> card = MakeCard(card_.kind, card_.atr)) reader->InsertCard(std::move(card));
    if (card_.kind == CardKind::Vicc) {
      auto listener = std::make_unique<emu::ViccListener>(*reader, card_.port);
      if (!listener->Listening()) return Fail(command, "cannot listen for vicc on " + listener->Error());
      viccReader_ = reader;
      vicc_ = std::move(listener);
    }
    reader_ = std::make_unique<PluggedReader>(std::move(reader));
  }
  reader_->Port().SetCapture(options_.capture);
  monitor_.Watch(&reader_->Port());
  faults_ = std::make_unique<FaultInjector>(*reader_);
  pnp_ = std::make_unique<PnpManager>(host_, *reader_, resourceManager_);
  power_ = std::make_unique<SystemPower>(host_, *reader_);
  if (plugged_) {
    // A reader that leaves the bus gets the surprise removal, as Plug and Play gives it.
    PnpManager* pnp = pnp_.get();
    usb_->OnDeparture(*plugged_, [pnp] { pnp->SurpriseRemove(); });
  }
  NTSTATUS status = pnp_->Add();
  if (NT_SUCCESS(status)) status = pnp_->Start();
  Result(command, status);
  return true;
}

std::unique_ptr<usb::BusPort> ScriptSession::OpenPhysicalReader(std::string* error) {
  if (!usb_) usb_ = std::make_unique<UsbHotplug>();
  if (!usb_->Ok()) {
    *error = usb_->Error();
    return nullptr;
  }
  // The bus reports the devices already there as they are enumerated, just after it opens.
  plugged_ = usb_->WaitFor(*physical_, std::chrono::seconds(1));
  if (!plugged_) {
    *error = "no USB device " + usb::FormatDevice(*physical_) + " on the bus";
    return nullptr;
  }
  return usb_->Open(*plugged_, error);
}

void ScriptSession::Unplug() {
  // A departure under way ends before the manager it uses goes.
  if (plugged_) usb_->Forget(*plugged_);
  plugged_.reset();
  vicc_.reset();
  viccReader_.reset();
  monitor_.Watch(nullptr);
  power_.reset();
  pnp_.reset();
  faults_.reset();
  reader_.reset();
}

void ScriptSession::ScheduleCardEvent(std::uint32_t milliseconds, std::function<void()> event) {
  cardEvents_.push_back(std::make_unique<kernel::SystemThread>("card event", [milliseconds, event] {
    kernel::SleepFor(static_cast<LONGLONG>(milliseconds) * kernel::kMillisecond);
    event();
  }));
}

bool ScriptSession::ChangeCard(const ScriptCommand& command) {
  const bool insert = command.verb == Verb::CardInsert;
  if (!DevicePresent()) {
    // Without a reader on the bus the card is the one the next plug finds.
    if (command.after) return Fail(command, "after= needs a plugged reader");
    card_ = insert ? Card{command.card, command.atr} : Card{};
    Ok(command);
    return true;
  }
  std::shared_ptr<emu::Reader> reader = reader_->SharedReader();
  if (!reader) return Fail(command, "the card of a physical reader goes in and out by hand");
  std::function<void()> event;
  if (insert) {
    std::shared_ptr<emu::Card> card = MakeCard(command.card, command.atr);
    event = [reader, card] { reader->InsertCard(card); };
  } else {
    event = [reader] { reader->RemoveCard(); };
  }
  if (command.after) {
    ScheduleCardEvent(*command.after, std::move(event));
  } else {
    event();
  }
  Ok(command);
  return true;
}

bool ScriptSession::InjectFault(const ScriptCommand& command) {
  if (!faults_) return Fail(command, "no reader is plugged (plug one first)");
  std::string error;
  if (!faults_->Apply(command.fault, &error)) return Fail(command, error);
  Ok(command);
  return true;
}

bool ScriptSession::SendRequest(const ScriptCommand& command) {
  if (!resourceManager_.HasOpenHandle()) {
    return Fail(command, reader_ ? "no handle is open (open one first)" : "no reader is plugged (plug one first)");
  }
  const LONGLONG timeout = static_cast<LONGLONG>(command.milliseconds) * kernel::kMillisecond;
  // Every request goes out exactly as the line wrote it, buffers and room included.
  const kernel::IoResult result =
      command.verb == Verb::Apdu
          ? resourceManager_.Transmit(command.request.input, command.outputLength.value_or(kLibraryBufferSize))
          : resourceManager_.Send(command.request, timeout);
  Result(command, result.status, result.output);
  return true;
}

bool ScriptSession::Lifecycle(const ScriptCommand& command) {
  if (!DevicePresent()) {
    return Fail(command, reader_ ? "the reader's device is gone (plug a reader again)"
                                 : "no reader is plugged (plug one first)");
  }
  const DeviceState state = pnp_->State();
  NTSTATUS status = STATUS_SUCCESS;
  switch (command.verb) {
    case Verb::Sleep:
      status = power_->Sleep(command.systemState);
      break;
    case Verb::Resume:
      status = power_->Resume();
      break;
    case Verb::Stop:
      if (state != DeviceState::Started) return Fail(command, "only a started device is stopped");
      status = pnp_->Stop();
      break;
    case Verb::Start:
      if (state != DeviceState::Added && state != DeviceState::Stopped) {
        return Fail(command, "only a device that was added or stopped is started");
      }
      status = pnp_->Start();
      break;
    case Verb::SurpriseRemove:
      if (state == DeviceState::SurpriseRemoved) return Fail(command, "the reader has left the bus already");
      status = pnp_->SurpriseRemove();
      break;
    case Verb::Remove:
      status = pnp_->Remove();
      break;
    default:
      status = pnp_->Send(command.minor);
      break;
  }
  Result(command, status);
  return true;
}

bool ScriptSession::Finish() {
  if (DevicePresent()) pnp_->Remove();
  resourceManager_.CloseAll();
  for (std::unique_ptr<kernel::SystemThread>& event : cardEvents_) event->Join();
  cardEvents_.clear();
  FlushTrace();
  Unplug();
  return CheckVerifier();
}

ScriptOutcome RunScript(std::istream& script, const SessionOptions& options, std::ostream& out, std::ostream& trace) {
  ScriptOutcome outcome;
  ScriptSession session(options, out, trace);
  std::string line;
  std::size_t number = 0;
  while (std::getline(script, line)) {
    ++number;
    if (!session.Run(line, number)) {
      outcome.ok = false;
      outcome.error = session.Error();
      break;
    }
  }
  if (!session.Finish() && outcome.ok) {
    outcome.ok = false;
    outcome.error = session.Error();
  }
  return outcome;
}

}  // namespace host
