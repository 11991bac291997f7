// A hub port's power requests: device and system power, with the
// failures and holds tests plan, and wait-wake.
#include "platform/kernel/platform.h"
#include "platform/usb/port_core.h"

namespace usb {
namespace {

void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  PortCore& port = PortOf(device);
  {
    std::lock_guard<std::mutex> guard(port.lock);
    if (port.waitWake == irp) port.waitWake = nullptr;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PoStartNextPowerIrp(irp);
  CompleteIrp(irp, STATUS_CANCELLED);
}

}  // namespace

bool EndWaitWake(PortCore& port, NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    irp = port.waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    port.waitWake = nullptr;
  }
  PoStartNextPowerIrp(irp);
  CompleteIrp(irp, status);
  return true;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PortCore& port = PortOf(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER: {
      status = STATUS_SUCCESS;
      const POWER_STATE_TYPE type = location->Parameters.Power.Type;
      const ULONG held = type == DevicePowerState ? static_cast<ULONG>(location->Parameters.Power.State.DeviceState)
                                                  : static_cast<ULONG>(location->Parameters.Power.State.SystemState);
      {
        std::lock_guard<std::mutex> guard(port.lock);
        if (port.powerHolds.erase({type, held}) != 0) {
          IoMarkIrpPending(irp);
          port.heldPower.push_back(irp);
          return STATUS_PENDING;
        }
      }
      if (type == DevicePowerState) {
        const DEVICE_POWER_STATE state = location->Parameters.Power.State.DeviceState;
        std::lock_guard<std::mutex> guard(port.lock);
        auto planned = port.powerFailures.find(state);
        if (planned != port.powerFailures.end()) {
          status = planned->second;
          port.powerFailures.erase(planned);
        } else {
          port.devicePower = state;
        }
      }
      break;
    }
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE: {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      bool busy;
      {
        std::lock_guard<std::mutex> guard(port.lock);
        busy = port.waitWake != nullptr;
        if (!busy) port.waitWake = irp;
      }
      if (busy) {
        IoReleaseCancelSpinLock(irql);
        status = STATUS_DEVICE_BUSY;
        break;
      }
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      const bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
      if (cancelled) {
        std::lock_guard<std::mutex> guard(port.lock);
        port.waitWake = nullptr;
      }
      IoReleaseCancelSpinLock(irql);
      if (cancelled) {
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, STATUS_CANCELLED);
      }
      return STATUS_PENDING;
    }
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void BusPort::FailNextDevicePower(DEVICE_POWER_STATE state, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->powerFailures[state] = status;
}

void BusPort::HoldNextDevicePower(DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->powerHolds.insert({DevicePowerState, static_cast<ULONG>(state)});
}

void BusPort::HoldNextSystemPower(SYSTEM_POWER_STATE state) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->powerHolds.insert({SystemPowerState, static_cast<ULONG>(state)});
}

std::size_t BusPort::CompleteHeldPower() {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    held.swap(core_->heldPower);
  }
  for (PIRP irp : held) {
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.Power.Type == DevicePowerState) {
      std::lock_guard<std::mutex> guard(core_->lock);
      core_->devicePower = location->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, STATUS_SUCCESS);
  }
  return held.size();
}

bool BusPort::SignalWake() { return EndWaitWake(*core_, STATUS_SUCCESS); }

bool BusPort::WaitWakePending() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->waitWake != nullptr;
}

DEVICE_POWER_STATE BusPort::DevicePower() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->devicePower;
}

}  // namespace usb
