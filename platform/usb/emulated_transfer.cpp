// Bulk transfers on the emulated port. The device answers at once, later
// (a completion time), or not yet (an IN transfer the device NAKs); a
// transfer that is not finished at once is parked with a cancel routine and
// a timer, as a host controller keeps it in its schedule.
#include <algorithm>

#include "platform/usb/port_state.h"

namespace usb {
namespace {

constexpr ULONG kTagTransfer = PoolTag("UsbT");

void FreeTransfer(Transfer* t) {
  KeCancelTimer(&t->timer);
  KeRemoveQueueDpc(&t->dpc);
  t->~Transfer();
  ExFreePool(t);
}

// Ends a transfer: data into the caller's buffer, the URB's fields, the trace, the request.
void Finish(Transfer* t) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = t->urb->UrbBulkOrInterruptTransfer;
  TraceEntry entry{t->in ? TraceEntry::Kind::BulkIn : TraceEntry::Kind::BulkOut,
                   NowTime(),
                   t->endpoint,
                   {},
                   bulk.TransferBufferLength,
                   t->status};
  if (t->in) {
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(t->data.size(), bulk.TransferBufferLength));
    if (length != 0) RtlCopyMemory(bulk.TransferBuffer, t->data.data(), length);
    bulk.TransferBufferLength = NT_SUCCESS(t->status) || t->usbdStatus == USBD_STATUS_ERROR_SHORT_TRANSFER ? length : 0;
    entry.data.assign(t->data.begin(), t->data.begin() + length);
  } else {
    if (!NT_SUCCESS(t->status)) bulk.TransferBufferLength = 0;
    entry.data = std::move(t->data);
  }
  bulk.Hdr.Status = t->usbdStatus;
  {
    std::lock_guard<std::mutex> guard(t->port->lock);
    t->port->TraceLocked(std::move(entry));
  }
  PIRP irp = t->irp;
  const NTSTATUS status = t->status;
  FreeTransfer(t);
  CompleteIrp(irp, status);
}

void CancelParked(PDEVICE_OBJECT device, PIRP irp) {
  EmulatedPort::State& port = PortOf(device);
  Transfer* found = nullptr;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    for (auto it = port.transfers.begin(); it != port.transfers.end(); ++it) {
      if ((*it)->irp == irp) {
        found = *it;
        port.transfers.erase(it);
        break;
      }
    }
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (found == nullptr) return;  // cannot happen: only parked transfers carry this routine
  found->status = STATUS_CANCELLED;
  found->usbdStatus = USBD_STATUS_CANCELED;
  found->data.clear();
  Finish(found);
}

// Parks a transfer until `due` (kNever: until a wake). False when the
// request was cancelled meanwhile, in which case it has been finished.
// Listed, given its cancel routine and timed under the port's lock: the
// timer's DPC and the wake DPC take that lock first and leave a transfer
// without a cancel routine alone, so a transfer they could see half parked
// would never be asked again.
bool Park(Transfer* t, LONGLONG due) {
  // Marked before anyone else can reach it: the dispatch routine then returns STATUS_PENDING.
  IoMarkIrpPending(t->irp);
  {
    std::lock_guard<std::mutex> guard(t->port->lock);
    if (std::find(t->port->transfers.begin(), t->port->transfers.end(), t) == t->port->transfers.end()) {
      t->port->transfers.push_back(t);
    }
    IoSetCancelRoutine(t->irp, CancelParked);
    // IoCancelIrp sets Cancel atomically and without this lock.
    if (!__atomic_load_n(&t->irp->Cancel, __ATOMIC_SEQ_CST) || IoSetCancelRoutine(t->irp, nullptr) == nullptr) {
      if (due != kNever) {
        LARGE_INTEGER when;
        when.QuadPart = due;
        KeSetTimer(&t->timer, when, &t->dpc);
      }
      return true;
    }
    t->port->transfers.remove(t);
  }
  t->status = STATUS_CANCELLED;
  t->usbdStatus = USBD_STATUS_CANCELED;
  t->data.clear();
  Finish(t);
  return false;
}

// Asks the device for IN data; finishes, schedules or parks the transfer.
// True when it finished at once, with its status in *finished.
bool AskDevice(Transfer* t, NTSTATUS* finished) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = t->urb->UrbBulkOrInterruptTransfer;
  const LONGLONG now = NowTime();
  InResult answer = t->port->function->BulkIn(t->endpoint, bulk.TransferBufferLength, now);
  switch (answer.kind) {
    case InResult::Kind::NotReady:
      t->phase = Transfer::Phase::WaitingForDevice;
      Park(t, answer.readyAt);
      return false;
    case InResult::Kind::Failed:
      t->status = answer.failure.status;
      t->usbdStatus = answer.failure.usbdStatus;
      t->data.clear();
      break;
    case InResult::Kind::Data:
      if (answer.data.size() > bulk.TransferBufferLength) answer.data.resize(bulk.TransferBufferLength);
      t->data = std::move(answer.data);
      t->status = STATUS_SUCCESS;
      t->usbdStatus = USBD_STATUS_SUCCESS;
      // Without USBD_SHORT_TRANSFER_OK a short packet ends the transfer with an error.
      if (t->data.size() < bulk.TransferBufferLength && (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
        t->status = STATUS_UNSUCCESSFUL;
        t->usbdStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
      }
      break;
  }
  t->phase = Transfer::Phase::Completing;
  if (answer.completeAt > now) {
    Park(t, answer.completeAt);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(t->port->lock);
    t->port->transfers.remove(t);
  }
  if (finished != nullptr) *finished = t->status;
  Finish(t);
  return true;
}

// The context is the port: the transfer may have been finished and freed by
// a cancellation by the time the DPC runs, so it is found by its DPC in the
// port's list, never through the pointer alone.
void TransferTimerDpc(KDPC* dpc, PVOID context, PVOID, PVOID) {
  auto& port = *static_cast<EmulatedPort::State*>(context);
  Transfer* t = nullptr;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    auto it = std::find_if(port.transfers.begin(), port.transfers.end(),
                           [dpc](const Transfer* parked) { return &parked->dpc == dpc; });
    if (it == port.transfers.end()) return;
    // Whoever takes the cancel routine back owns the request. Taken under
    // the port's lock: a cancel routine that got there first takes the
    // transfer out of the list under this lock before it frees it.
    if (IoSetCancelRoutine((*it)->irp, nullptr) == nullptr) return;
    t = *it;
    if (t->phase != Transfer::Phase::WaitingForDevice) port.transfers.erase(it);
  }
  if (t->phase == Transfer::Phase::WaitingForDevice) {
    AskDevice(t, nullptr);
    return;
  }
  Finish(t);
}

Transfer* NewTransfer(EmulatedPort::State& port, PIRP irp, PURB urb, const PipeRecord& pipe) {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kTagTransfer);
  if (memory == nullptr) return nullptr;
  auto t = new (memory) Transfer{};
  t->irp = irp;
  t->urb = urb;
  t->port = &port;
  t->endpoint = pipe.endpoint;
  t->in = pipe.in;
  KeInitializeTimer(&t->timer);
  KeInitializeDpc(&t->dpc, TransferTimerDpc, &port);
  return t;
}

}  // namespace

NTSTATUS SubmitBulkTransfer(EmulatedPort::State& port, PIRP irp, PURB urb) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  const bool in = (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  std::uint32_t number = 0;
  EmulatedPort::TransferHook hook;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    number = ++port.bulkTransfers;
    hook = port.transferHook;
  }
  std::optional<TransferFailure> injected;
  if (hook) injected = hook(number, in);
  PipeRecord pipe{};
  NTSTATUS refusal = STATUS_SUCCESS;
  USBD_STATUS usbdRefusal = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    PipeRecord* found = port.FindPipeLocked(bulk.PipeHandle);
    if (injected) {
      refusal = injected->status;
      usbdRefusal = static_cast<USBD_STATUS>(injected->usbdStatus);
    } else if (!port.plugged) {
      refusal = STATUS_DEVICE_NOT_CONNECTED;
      usbdRefusal = USBD_STATUS_DEVICE_GONE;
    } else if (found == nullptr) {
      refusal = STATUS_INVALID_PARAMETER;
      usbdRefusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != found->in ||
               (bulk.TransferBufferLength != 0 && bulk.TransferBuffer == nullptr)) {
      refusal = STATUS_INVALID_PARAMETER;
      usbdRefusal = USBD_STATUS_INVALID_PARAMETER;
    } else {
      pipe = *found;
    }
    if (refusal != STATUS_SUCCESS) {
      port.TraceLocked({in ? TraceEntry::Kind::BulkIn : TraceEntry::Kind::BulkOut,
                        NowTime(),
                        found != nullptr ? found->endpoint : UCHAR{0},
                        {},
                        bulk.TransferBufferLength,
                        refusal});
    }
  }
  if (refusal != STATUS_SUCCESS) {
    bulk.Hdr.Status = usbdRefusal;
    bulk.TransferBufferLength = 0;
    return CompleteIrp(irp, refusal);
  }
  Transfer* t = NewTransfer(port, irp, urb, pipe);
  if (t == nullptr) {
    bulk.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  if (pipe.in) {
    NTSTATUS finished;
    return AskDevice(t, &finished) ? finished : STATUS_PENDING;
  }
  const auto bytes = static_cast<const std::uint8_t*>(bulk.TransferBuffer);
  t->data.assign(bytes, bytes + bulk.TransferBufferLength);
  const LONGLONG now = NowTime();
  OutResult result = port.function->BulkOut(pipe.endpoint, t->data, now);
  t->status = result.failed ? result.failure.status : STATUS_SUCCESS;
  t->usbdStatus = result.failed ? result.failure.usbdStatus : USBD_STATUS_SUCCESS;
  t->phase = Transfer::Phase::Completing;
  // The frame may have produced a reply that a waiting IN transfer can take.
  KeInsertQueueDpc(&port.wakeDpc, nullptr, nullptr);
  if (result.completeAt > now) {
    Park(t, result.completeAt);
    return STATUS_PENDING;
  }
  const NTSTATUS status = t->status;
  Finish(t);
  return status;
}

void CancelTransfers(EmulatedPort::State& port, int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::vector<Transfer*> taken;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    for (auto it = port.transfers.begin(); it != port.transfers.end();) {
      Transfer* t = *it;
      if ((endpoint < 0 || t->endpoint == endpoint) && IoSetCancelRoutine(t->irp, nullptr) != nullptr) {
        taken.push_back(t);
        it = port.transfers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Transfer* t : taken) {
    t->status = status;
    t->usbdStatus = usbdStatus;
    t->data.clear();
    Finish(t);
  }
}

void WakeDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto& port = *static_cast<EmulatedPort::State*>(context);
  std::lock_guard<std::mutex> guard(port.lock);
  for (Transfer* t : port.transfers) {
    if (t->phase == Transfer::Phase::WaitingForDevice) {
      LARGE_INTEGER now;
      now.QuadPart = 0;  // an absolute time long past: the timer fires at once
      KeSetTimer(&t->timer, now, &t->dpc);
    }
  }
}

}  // namespace usb
