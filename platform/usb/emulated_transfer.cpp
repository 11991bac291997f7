// Bulk transfers on the emulated port, as its carrier carries them. The device answers at once, later
// (a completion time), or not yet (an IN transfer the device NAKs); a
// transfer that is not finished at once is parked with a cancel routine and
// a timer, as a host controller keeps it in its schedule.
#include <algorithm>

#include "platform/usb/emulated_carrier.h"

namespace usb {
namespace {

constexpr ULONG kTagTransfer = PoolTag("UsbT");

void FreeTransfer(Transfer* t) {
  KeCancelTimer(&t->timer);
  KeRemoveQueueDpc(&t->dpc);
  t->~Transfer();
  ExFreePool(t);
}

// Ends a transfer through the port and frees it.
void Finish(Transfer* t) {
  PortCore& port = *t->carrier->core;
  PIRP irp = t->irp;
  PURB urb = t->urb;
  const UCHAR endpoint = t->endpoint;
  const bool in = t->in;
  const Outcome outcome = t->outcome;
  std::vector<std::uint8_t> data = std::move(t->data);
  FreeTransfer(t);
  FinishBulk(port, irp, urb, endpoint, in, outcome, std::move(data));
}

void EndCancelled(Transfer* t) {
  t->outcome = {STATUS_CANCELLED, USBD_STATUS_CANCELED};
  t->data.clear();
  Finish(t);
}

void CancelParked(PDEVICE_OBJECT device, PIRP irp) {
  auto& carrier = static_cast<EmulatedCarrier&>(*PortOf(device).carrier);
  Transfer* found = nullptr;
  {
    std::lock_guard<std::mutex> guard(carrier.lock);
    for (auto it = carrier.transfers.begin(); it != carrier.transfers.end(); ++it) {
      if ((*it)->irp == irp) {
        found = *it;
        carrier.transfers.erase(it);
        break;
      }
    }
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (found == nullptr) return;  // cannot happen: only parked transfers carry this routine
  EndCancelled(found);
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
    std::lock_guard<std::mutex> guard(t->carrier->lock);
    if (std::find(t->carrier->transfers.begin(), t->carrier->transfers.end(), t) == t->carrier->transfers.end()) {
      t->carrier->transfers.push_back(t);
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
    t->carrier->transfers.remove(t);
  }
  EndCancelled(t);
  return false;
}

// Asks the device for IN data; finishes, schedules or parks the transfer.
// True when it finished at once, with its status in *finished.
bool AskDevice(Transfer* t, NTSTATUS* finished) {
  struct Asking {
    std::atomic<int>& count;
    explicit Asking(std::atomic<int>& c) : count(c) { ++count; }
    ~Asking() { --count; }
  } asking(t->carrier->asking);
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = t->urb->UrbBulkOrInterruptTransfer;
  const LONGLONG now = NowTime();
  InResult answer = t->carrier->function->BulkIn(t->endpoint, bulk.TransferBufferLength, now);
  switch (answer.kind) {
    case InResult::Kind::NotReady:
      t->phase = Transfer::Phase::WaitingForDevice;
      Park(t, answer.readyAt);
      return false;
    case InResult::Kind::Failed:
      t->outcome = {answer.failure.status, static_cast<USBD_STATUS>(answer.failure.usbdStatus)};
      t->data.clear();
      break;
    case InResult::Kind::Data:
      if (answer.data.size() > bulk.TransferBufferLength) answer.data.resize(bulk.TransferBufferLength);
      t->data = std::move(answer.data);
      t->outcome = InDataOutcome(bulk, t->data.size());
      break;
  }
  t->phase = Transfer::Phase::Completing;
  if (answer.completeAt > now) {
    Park(t, answer.completeAt);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(t->carrier->lock);
    t->carrier->transfers.remove(t);
  }
  if (finished != nullptr) *finished = t->outcome.status;
  Finish(t);
  return true;
}

// The context is the port: the transfer may have been finished and freed by
// a cancellation by the time the DPC runs, so it is found by its DPC in the
// port's list, never through the pointer alone.
void TransferTimerDpc(KDPC* dpc, PVOID context, PVOID, PVOID) {
  auto& port = *static_cast<EmulatedCarrier*>(context);
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

Transfer* NewTransfer(EmulatedCarrier& port, PIRP irp, PURB urb, const PipeRecord& pipe) {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kTagTransfer);
  if (memory == nullptr) return nullptr;
  auto t = new (memory) Transfer{};
  t->irp = irp;
  t->urb = urb;
  t->carrier = &port;
  t->endpoint = pipe.endpoint;
  t->in = pipe.in;
  KeInitializeTimer(&t->timer);
  KeInitializeDpc(&t->dpc, TransferTimerDpc, &port);
  return t;
}

}  // namespace

NTSTATUS EmulatedCarrier::CarryBulk(PIRP irp, PURB urb, const PipeRecord& pipe) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  Transfer* t = NewTransfer(*this, irp, urb, pipe);
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
  OutResult result = function->BulkOut(pipe.endpoint, t->data, now);
  t->outcome = result.failed ? Outcome{result.failure.status, static_cast<USBD_STATUS>(result.failure.usbdStatus)}
                             : Outcome{};
  t->phase = Transfer::Phase::Completing;
  // The frame may have produced a reply that a waiting IN transfer can take.
  // With none parked and none asking, there is no one to wake: an IN that
  // asks from now on asks after this frame (the count goes up before it
  // asks the device, and the device's own lock orders the two).
  bool parked;
  {
    std::lock_guard<std::mutex> guard(lock);
    parked = !transfers.empty();
  }
  if (parked || asking > 0) KeInsertQueueDpc(&wakeDpc, nullptr, nullptr);
  if (result.completeAt > now) {
    Park(t, result.completeAt);
    return STATUS_PENDING;
  }
  const NTSTATUS status = t->outcome.status;
  Finish(t);
  return status;
}

void EmulatedCarrier::CancelTransfers(int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::vector<Transfer*> taken;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = transfers.begin(); it != transfers.end();) {
      Transfer* t = *it;
      if ((endpoint < 0 || t->endpoint == endpoint) && IoSetCancelRoutine(t->irp, nullptr) != nullptr) {
        taken.push_back(t);
        it = transfers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Transfer* t : taken) {
    t->outcome = {status, usbdStatus};
    t->data.clear();
    Finish(t);
  }
}

void WakeDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto& port = *static_cast<EmulatedCarrier*>(context);
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
