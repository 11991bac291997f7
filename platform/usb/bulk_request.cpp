// Bulk transfers as every port takes them: numbered, checked against the
// port's pipes and refused there, or handed to the carrier; and ended the
// same way whatever carried them.
#include <algorithm>

#include "platform/usb/port_core.h"

namespace usb {

NTSTATUS SubmitBulkTransfer(PortCore& port, PIRP irp, PURB urb) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  const bool in = (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  std::optional<TransferFailure> injected;
  std::unique_lock<std::mutex> guard(port.lock);
  const std::uint32_t number = ++port.bulkTransfers;
  if (port.transferHook) {
    // The hook runs outside the port's lock: it may unplug the port.
    BusPort::TransferHook hook = port.transferHook;
    guard.unlock();
    injected = hook(number, in);
    guard.lock();
  }
  PipeRecord pipe{};
  Outcome refusal;
  PipeRecord* found = port.FindPipeLocked(bulk.PipeHandle);
  if (injected) {
    refusal = {injected->status, static_cast<USBD_STATUS>(injected->usbdStatus)};
  } else if (!port.plugged) {
    refusal = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
  } else if (found == nullptr) {
    refusal = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
  } else if (in != found->in || (bulk.TransferBufferLength != 0 && bulk.TransferBuffer == nullptr) ||
             bulk.UrbLink != nullptr) {
    // The bus driver would follow a linked URB; a stale link is a client's fault.
    refusal = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
  } else {
    pipe = *found;
  }
  std::shared_ptr<Capture> capture;
  if (port.capture) capture = port.capture;
  if (refusal.status != STATUS_SUCCESS) {
    port.TraceLocked({in ? TraceEntry::Kind::BulkIn : TraceEntry::Kind::BulkOut,
                      NowTime(),
                      found != nullptr ? found->endpoint : UCHAR{0},
                      {},
                      bulk.TransferBufferLength,
                      refusal.status});
  }
  guard.unlock();
  const UCHAR endpoint = found != nullptr ? found->endpoint : UCHAR{0};
  if (capture) capture->Submitted(irp, *urb, endpoint);
  if (refusal.status != STATUS_SUCCESS) {
    bulk.Hdr.Status = refusal.usbdStatus;
    bulk.TransferBufferLength = 0;
    if (capture) capture->Completed(irp, *urb, endpoint);
    return CompleteIrp(irp, refusal.status);
  }
  return port.carrier->CarryBulk(irp, urb, pipe);
}

Outcome InDataOutcome(const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk, std::size_t length) {
  if (length < bulk.TransferBufferLength && (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
    return {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};
  }
  return {};
}

void FinishBulk(PortCore& port, PIRP irp, PURB urb, UCHAR endpoint, bool in, Outcome outcome,
                std::vector<std::uint8_t> data) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  TraceEntry entry{in ? TraceEntry::Kind::BulkIn : TraceEntry::Kind::BulkOut,
                   NowTime(),
                   endpoint,
                   {},
                   bulk.TransferBufferLength,
                   outcome.status};
  if (in) {
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(data.size(), bulk.TransferBufferLength));
    if (length != 0) RtlCopyMemory(bulk.TransferBuffer, data.data(), length);
    bulk.TransferBufferLength =
        NT_SUCCESS(outcome.status) || outcome.usbdStatus == USBD_STATUS_ERROR_SHORT_TRANSFER ? length : 0;
    data.resize(length);
    entry.data = std::move(data);
  } else {
    if (!NT_SUCCESS(outcome.status)) bulk.TransferBufferLength = 0;
    entry.data = std::move(data);
  }
  bulk.Hdr.Status = outcome.usbdStatus;
  std::shared_ptr<Capture> capture;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    port.TraceLocked(std::move(entry));
    if (port.capture) capture = port.capture;
  }
  if (capture) capture->Completed(irp, *urb, endpoint);
  CompleteIrp(irp, outcome.status);
}

}  // namespace usb
