#include "host/pnp_manager.h"

#include "host/request_names.h"
#include "platform/kernel/io_user.h"

namespace host {

PnpManager::PnpManager(Host& host, PluggedReader& reader, ResourceManager& resourceManager)
    : host_(host), reader_(reader), resourceManager_(resourceManager) {
  resourceManager_.SetLastCloseListener([this] { HandlesClosed(); });
}

PnpManager::~PnpManager() { resourceManager_.SetLastCloseListener(nullptr); }

NTSTATUS PnpManager::Add() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  PDRIVER_OBJECT driver = host_.Driver();
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  if (driver != nullptr && driver->DriverExtension->AddDevice != nullptr) {
    status = driver->DriverExtension->AddDevice(driver, reader_.PhysicalDeviceObject());
  }
  host_.Requests().Record("AddDevice", status, 0, JournalKind::Call);
  // A driver that fails AddDevice leaves no device of its own in the stack.
  if (NT_SUCCESS(status) && reader_.HasFunctionDevice()) state_ = DeviceState::Added;
  return status;
}

NTSTATUS PnpManager::SendAlone(UCHAR minor) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(reader_.Top(), IRP_MJ_PNP, minor);
  host_.Requests().Record(PnpMinorName(minor), result.Status, result.Information);
  const bool ok = NT_SUCCESS(result.Status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (ok) state_ = DeviceState::Started;
      break;
    case IRP_MN_STOP_DEVICE:
      if (ok) state_ = DeviceState::Stopped;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      state_ = DeviceState::SurpriseRemoved;
      break;
    case IRP_MN_REMOVE_DEVICE:
      removalStatus_ = result.Status;
      if (!reader_.HasFunctionDevice()) state_ = DeviceState::Removed;
      break;
    default:
      break;
  }
  return result.Status;
}

NTSTATUS PnpManager::Send(UCHAR minor) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    // After a surprise removal the last close sends the removal itself.
    resourceManager_.CloseAll();
    if (state_ == DeviceState::Removed) return removalStatus_;
  }
  return SendAlone(minor);
}

NTSTATUS PnpManager::Start() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const NTSTATUS status = SendAlone(IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    resourceManager_.CloseAll();
    if (state_ != DeviceState::Removed) SendAlone(IRP_MN_REMOVE_DEVICE);
  }
  return status;
}

NTSTATUS PnpManager::Stop() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const NTSTATUS query = SendAlone(IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query)) {
    SendAlone(IRP_MN_CANCEL_STOP_DEVICE);
    return query;
  }
  return SendAlone(IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::Remove() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  resourceManager_.CloseAll();
  if (state_ == DeviceState::Removed) return removalStatus_;
  if (state_ != DeviceState::SurpriseRemoved) {
    const NTSTATUS query = SendAlone(IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
      SendAlone(IRP_MN_CANCEL_REMOVE_DEVICE);
      return query;
    }
  }
  return SendAlone(IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::SurpriseRemove() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // A device leaves the bus once: a departure the host heard of twice is one.
  if (state_ == DeviceState::SurpriseRemoved || state_ == DeviceState::Removed) return STATUS_SUCCESS;
  reader_.Port().Unplug();
  const NTSTATUS status = SendAlone(IRP_MN_SURPRISE_REMOVAL);
  if (!resourceManager_.HasOpenHandle()) SendAlone(IRP_MN_REMOVE_DEVICE);
  return status;
}

void PnpManager::HandlesClosed() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == DeviceState::SurpriseRemoved) SendAlone(IRP_MN_REMOVE_DEVICE);
}

}  // namespace host
