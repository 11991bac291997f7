#include "bench/support/bench_session.h"

#include <cstdio>

#include "platform/smclib/winsmcrd.h"

namespace bench {

Bytes SendCommand(std::size_t length) {
  Bytes apdu;
  if (length <= 255) {
    apdu = {0x80, 0x22, 0x00, 0x00, static_cast<std::uint8_t>(length)};
  } else {
    apdu = {0x00, 0xD6, 0x81, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
  }
  for (std::size_t i = 0; i < length; ++i) apdu.push_back(static_cast<std::uint8_t>(i));
  if (length <= 255) apdu.push_back(0x00);
  return apdu;
}

Bytes ReceiveCommand(std::size_t length) {
  if (length > 0 && length <= 256) return {0x00, 0x84, 0x00, 0x00, static_cast<std::uint8_t>(length)};
  return {0x00, 0x84, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

std::vector<CommandCase> StandardCommands() {
  return {
      {"short T=1", Protocol::T1, 0xFE, SendCommand(4)},
      {"short T=0", Protocol::T0, 0xFE, SendCommand(4)},
      {"1 KiB chained T=1", Protocol::T1, 0x20, SendCommand(1024)},
      {"64 KiB command T=1", Protocol::T1, 0xFE, SendCommand(0xFFFF)},
      {"64 KiB response T=1", Protocol::T1, 0xFE, ReceiveCommand(0)},
  };
}

emu::CardConfig BenchCard(std::uint8_t ifsc) {
  emu::CardConfig config;
  config.atr.historical = {0x45, 0x4D, 0x55};
  config.atr.ta3 = ifsc;
  config.ifsd = ifsc;
  config.fileSize = 0xFFFF;
  return config;
}

Session::Session(const SessionOptions& options) {
  if (host_.Driver() == nullptr) {
    Fail("DriverEntry", host_.EntryStatus());
    return;
  }
  emu::ReaderConfig config;
  config.timing = options.timing;
  auto reader = std::make_shared<emu::Reader>(config);
  if (options.card) {
    card_ = std::make_shared<emu::Card>(BenchCard(options.ifsc));
    reader->InsertCard(card_);
  }
  plugged_ = std::make_unique<host::PluggedReader>(std::move(reader));
  pnp_ = std::make_unique<host::PnpManager>(host_, *plugged_, manager_);
  NTSTATUS status = pnp_->Add();
  if (!NT_SUCCESS(status)) {
    Fail("AddDevice", status);
    return;
  }
  status = pnp_->Start();
  if (!NT_SUCCESS(status)) {
    Fail("IRP_MN_START_DEVICE", status);
    return;
  }
  status = manager_.Open(*plugged_, "");
  if (!NT_SUCCESS(status)) {
    Fail("open", status);
    return;
  }
  // The first control request waits for the first presence poll.
  if (!options.card) return;
  status = manager_.Send(host::PowerRequest(SCARD_COLD_RESET)).status;
  if (!NT_SUCCESS(status)) {
    Fail("cold reset", status);
    return;
  }
  status = manager_.SetProtocol(options.protocol == Protocol::T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1).status;
  if (!NT_SUCCESS(status)) Fail("set protocol", status);
}

Session::~Session() {
  manager_.CloseAll();
  if (pnp_) pnp_->Remove();
}

bool Session::Fail(const std::string& step, NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, " failed with 0x%08X", static_cast<unsigned>(status));
  failure_ = step + text;
  return false;
}

host::ControlRequest Session::Request(const Bytes& apdu) const {
  return host::TransmitRequest(manager_.SelectedProtocol(), apdu);
}

kernel::IoResult Session::Send(const host::ControlRequest& request) { return manager_.Start(request)->Wait(); }

std::unique_ptr<kernel::UserRequest> Session::Start(const host::ControlRequest& request) {
  return manager_.Start(request);
}

PDEVICE_OBJECT Session::Device() const { return plugged_->Top(); }

void Session::ClearTraces() {
  plugged_->Port().ClearTrace();
  plugged_->Reader().ClearLog();
}

}  // namespace bench
