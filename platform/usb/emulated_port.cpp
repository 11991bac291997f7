// The emulated hub port: its carrier's requests other than bulk transfers
// (emulated_transfer.cpp), and the port's own surface.
#include "platform/usb/emulated_port.h"

#include "platform/kernel/platform.h"
#include "platform/usb/emulated_carrier.h"

namespace usb {

EmulatedCarrier::EmulatedCarrier(std::shared_ptr<UsbFunction> function) : function(std::move(function)) {
  KeInitializeDpc(&wakeDpc, WakeDpc, this);
  this->function->SetWake([this] { KeInsertQueueDpc(&wakeDpc, nullptr, nullptr); });
}

Outcome EmulatedCarrier::ReadDescriptor(UCHAR type, UCHAR index, ULONG, std::vector<std::uint8_t>* bytes) {
  *bytes = function->GetDescriptor(type, index);
  return {};
}

Outcome EmulatedCarrier::SetConfiguration(UCHAR value) {
  function->SetConfiguration(value);
  return {};
}

Outcome EmulatedCarrier::ResetPort(UCHAR configurationValue) {
  function->ResetPort();
  if (configurationValue != 0) function->SetConfiguration(configurationValue);
  return {};
}

void EmulatedCarrier::Shutdown() {
  function->SetWake(nullptr);
  KeRemoveQueueDpc(&wakeDpc);
  KeFlushQueuedDpcs();
}

namespace {

std::unique_ptr<EmulatedCarrier> MakeCarrier(std::shared_ptr<UsbFunction> function) {
  return std::make_unique<EmulatedCarrier>(std::move(function));
}

}  // namespace

EmulatedPort::EmulatedPort(std::shared_ptr<UsbFunction> function)
    : EmulatedPort(MakeCarrier(std::move(function))) {}

EmulatedPort::EmulatedPort(std::unique_ptr<EmulatedCarrier> carrier)
    : BusPort(u"\\Driver\\EmulatedHub", std::move(carrier)), carrier_(static_cast<EmulatedCarrier&>(Carrier())) {}

EmulatedPort::~EmulatedPort() = default;

UsbFunction& EmulatedPort::Function() const { return *carrier_.function; }

std::size_t EmulatedPort::ParkedTransfers() const {
  std::lock_guard<std::mutex> guard(carrier_.lock);
  return carrier_.transfers.size();
}

}  // namespace usb
