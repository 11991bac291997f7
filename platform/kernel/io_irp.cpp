// Requests: allocation, the path down through IofCallDriver, completion back
// up through the completion routines, and cancellation.
//
// The I/O manager keeps a record of every request so that the classic
// driver mistakes fail loudly: completing a request twice, completing it with
// a cancel routine still set, freeing it inside a completion routine that
// lets completion go on, or using it after it was freed (freed requests stay
// in quarantine for a while, so a late use is caught instead of hitting
// reused memory).
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/kernel/iomgr.h"
#include "platform/kernel/spare_nodes.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON_REQUEST(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON_REQUEST(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON_REQUEST(p, n) ((void)(p), (void)(n))
#define UNPOISON_REQUEST(p, n) ((void)(p), (void)(n))
#endif

namespace kernel::detail {
namespace {

constexpr CSHORT kFreedType = 0x7EAD;
constexpr std::size_t kQuarantine = 64;

struct IrpRecord {
  IrpKind kind;
  IrpState state;
  UserCompletion userCompletion;
  ULONG outputLength = 0;  // of the caller's output buffer, for buffered device control
  // The device that holds each stack location while the request is down there.
  std::vector<PDEVICE_OBJECT> holder;
};

constexpr ULONG IRP_BUFFERED_IO = 0x00000010;
constexpr ULONG IRP_DEALLOCATE_BUFFER = 0x00000020;

using IrpRecords = std::unordered_map<const IRP*, IrpRecord>;

struct IrpRegistry {
  std::mutex lock;
  IrpRecords records;
  std::deque<PIRP> quarantine;
  // Records of requests gone for good, kept for the next ones: a request
  // then costs no allocation of its own in the registry.
  SpareNodes<IrpRecords> spare{256};
};

IrpRegistry& Registry() {
  static IrpRegistry registry;
  return registry;
}

void SetState(PIRP irp, IrpState state) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  Registry().records[irp].state = state;
}

void SetHolderLocked(IrpRecord& record, int location, PDEVICE_OBJECT device) {
  if (location >= 0 && static_cast<std::size_t>(location) < record.holder.size()) {
    record.holder[static_cast<std::size_t>(location)] = device;
  }
}

// The request goes down to `device` at `location`: in progress, held there.
void Descend(PIRP irp, int location, PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  IrpRecord& record = Registry().records[irp];
  record.state = IrpState::InProgress;
  SetHolderLocked(record, location, device);
}

// Completion starts: the state it found, and Completing unless the request
// was freed, completed or being completed already.
IrpState StartCompleting(const IRP* irp) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  auto it = Registry().records.find(irp);
  if (it == Registry().records.end()) return IrpState::Freed;
  const IrpState found = it->second.state;
  if (found != IrpState::Freed && found != IrpState::Completed && found != IrpState::Completing) {
    it->second.state = IrpState::Completing;
  }
  return found;
}

// What completion past the top needs, the request marked completed in the
// same step. The completion is called once: it leaves the record.
struct Completion {
  IrpKind kind;
  ULONG outputLength;
  UserCompletion userCompletion;
};

Completion CompleteRecord(const IRP* irp) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  IrpRecord& record = Registry().records[irp];
  record.state = IrpState::Completed;
  return Completion{record.kind, record.outputLength, std::move(record.userCompletion)};
}

bool Check(const IRP* irp, const char* where) {
  const IrpState state = StateOf(irp);
  if (state == IrpState::Freed) {
    verifier::Fail(std::string(where) + ": the request was already freed");
    return false;
  }
  return true;
}

void FinishThreaded(PIRP irp, ULONG outputLength) {
  if ((irp->Flags & IRP_BUFFERED_IO) != 0 && irp->UserBuffer != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
    const ULONG_PTR length = irp->IoStatus.Information < outputLength ? irp->IoStatus.Information : outputLength;
    RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
  }
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) ExFreePool(irp->AssociatedIrp.SystemBuffer);
  FreeIrpInternal(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void RegisterIrp(PIRP irp, IrpKind kind) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  IrpRegistry& registry = Registry();
  IrpRecord& record = registry.spare.Insert(registry.records, irp)->second;
  record.kind = kind;
  record.state = IrpState::Allocated;
  record.userCompletion = nullptr;
  record.outputLength = 0;
  record.holder.assign(static_cast<std::size_t>(irp->StackCount) + 2, nullptr);
}

void SetHolder(const IRP* irp, int location, PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  auto it = Registry().records.find(irp);
  if (it != Registry().records.end()) SetHolderLocked(it->second, location, device);
}

bool IsHeldBy(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  for (const auto& entry : Registry().records) {
    const IrpState state = entry.second.state;
    if (state == IrpState::Freed || state == IrpState::Completed || state == IrpState::Allocated) continue;
    for (PDEVICE_OBJECT holder : entry.second.holder) {
      if (holder == device) return true;
    }
  }
  return false;
}

void SetUserCompletion(PIRP irp, UserCompletion completion) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  Registry().records[irp].userCompletion = std::move(completion);
}

IrpState StateOf(const IRP* irp) {
  std::lock_guard<std::mutex> guard(Registry().lock);
  auto it = Registry().records.find(irp);
  return it == Registry().records.end() ? IrpState::Freed : it->second.state;
}

void FreeIrpInternal(PIRP irp) {
  PIRP evicted = nullptr;
  {
    std::lock_guard<std::mutex> guard(Registry().lock);
    Registry().records[irp].state = IrpState::Freed;
    irp->Type = kFreedType;
    POISON_REQUEST(irp, irp->Size);
    Registry().quarantine.push_back(irp);
    if (Registry().quarantine.size() > kQuarantine) {
      evicted = Registry().quarantine.front();
      Registry().quarantine.pop_front();
      const auto at = Registry().records.find(evicted);
      if (at != Registry().records.end()) Registry().spare.Retire(Registry().records, at);
    }
  }
  if (evicted != nullptr) {
    UNPOISON_REQUEST(evicted, sizeof(IRP));
    UNPOISON_REQUEST(evicted, evicted->Size);
    ExFreePool(evicted);
  }
}

void ForgetDeviceInterfaces();

void ResetIoManager() {
  ForgetDeviceInterfaces();
  std::deque<PIRP> quarantine;
  {
    std::lock_guard<std::mutex> guard(Registry().lock);
    quarantine.swap(Registry().quarantine);
    IrpRegistry& registry = Registry();
    while (!registry.records.empty()) registry.spare.Retire(registry.records, registry.records.begin());
  }
  for (PIRP irp : quarantine) {
    UNPOISON_REQUEST(irp, sizeof(IRP));
    UNPOISON_REQUEST(irp, irp->Size);
    ExFreePool(irp);
  }
}

}  // namespace kernel::detail

using kernel::detail::IrpKind;
using kernel::detail::IrpState;

void IopCheckIrp(const IRP* Irp, const char* where) {
  if (kernel::detail::StateOf(Irp) == IrpState::Freed) {
    kernel::verifier::Fail(std::string(where) + ": the request was already freed");
  } else if (Irp->Type != IO_TYPE_IRP) {
    kernel::verifier::Fail(std::string(where) + ": not a request");
  }
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  NTSTATUS planned;
  if (kernel::faults::Take("IoAllocateIrp", &planned)) return nullptr;
  if (StackSize < 1) {
    kernel::verifier::Fail("IoAllocateIrp with a stack size below 1");
    return nullptr;
  }
  const SIZE_T size = sizeof(IRP) + static_cast<SIZE_T>(StackSize) * sizeof(IO_STACK_LOCATION);
  auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kernel::detail::kTagIrp));
  if (irp == nullptr) return nullptr;
  RtlZeroMemory(irp, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
  kernel::detail::RegisterIrp(irp, IrpKind::Driver);
  return irp;
}

void IoFreeIrp(PIRP Irp) {
  const IrpState state = kernel::detail::StateOf(Irp);
  if (state == IrpState::Freed) {
    kernel::verifier::Fail("IoFreeIrp: the request was already freed");
    return;
  }
  if (state == IrpState::InProgress || state == IrpState::Completing) {
    kernel::verifier::Fail("IoFreeIrp: the request is still being handled by a driver");
    return;
  }
  if (Irp->CancelRoutine != nullptr) {
    kernel::verifier::Fail("IoFreeIrp: the request still has a cancel routine");
  }
  kernel::detail::FreeIrpInternal(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  NTSTATUS planned;
  if (kernel::faults::Take("IoBuildDeviceIoControlRequest", &planned)) return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> guard(kernel::detail::Registry().lock);
    kernel::detail::Registry().records[irp].kind = IrpKind::Threaded;
    kernel::detail::Registry().records[irp].outputLength = OutputBufferLength;
  }
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if ((IoControlCode & 3) == METHOD_BUFFERED && (InputBufferLength != 0 || OutputBufferLength != 0)) {
    const ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kernel::detail::kTagBuffer);
    if (buffer == nullptr) {
      kernel::detail::FreeIrpInternal(irp);
      return nullptr;
    }
    if (InputBuffer != nullptr) RtlCopyMemory(buffer, InputBuffer, InputBufferLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->UserBuffer = OutputBuffer;
    irp->Flags |= kernel::detail::IRP_BUFFERED_IO | kernel::detail::IRP_DEALLOCATE_BUFFER;
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const IrpState state = kernel::detail::StateOf(Irp);
  if (state == IrpState::Freed) {
    kernel::verifier::Fail("IofCallDriver: the request was already freed");
    return STATUS_INVALID_PARAMETER;
  }
  if (state == IrpState::Completed) {
    kernel::verifier::Fail("IofCallDriver: the request was already completed");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    kernel::verifier::Fail("IofCallDriver: no stack location left for the next driver (stack size too small)");
    return STATUS_INVALID_PARAMETER;
  }
  if (!kernel::detail::IsLiveDevice(DeviceObject)) {
    kernel::verifier::Fail("IofCallDriver: the target device does not exist or was deleted");
    return STATUS_NO_SUCH_DEVICE;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  kernel::detail::Descend(Irp, Irp->CurrentLocation, DeviceObject);
  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = DeviceObject;
  // From its cleanup on, the driver may free what the file object's FsContext points into.
  if (location->MajorFunction == IRP_MJ_CLEANUP && location->FileObject != nullptr) {
    kernel::detail::ForgetFileContext(location->FileObject);
  }
  const PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
  return dispatch(DeviceObject, Irp);
}

void IofCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  const IrpState state = kernel::detail::StartCompleting(Irp);
  if (state == IrpState::Freed) {
    kernel::verifier::Fail("IofCompleteRequest: the request was already completed and freed (completed twice?)");
    return;
  }
  if (state == IrpState::Completed || state == IrpState::Completing) {
    kernel::verifier::Fail("IofCompleteRequest: the request was completed twice");
    return;
  }
  // Another thread may be cancelling this request right now; read what it writes atomically.
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
    kernel::verifier::Fail("IofCompleteRequest: the request still has a cancel routine");
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    kernel::verifier::Fail("IofCompleteRequest with STATUS_PENDING as the final status");
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    kernel::verifier::Fail("IofCompleteRequest above DISPATCH_LEVEL");
  }

  // From the current stack location up: each driver above sees its
  // completion routine called, in the order opposite to the way down.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
    const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    const UCHAR control = location->Control;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    location->Control = 0;
    kernel::detail::SetHolder(Irp, Irp->CurrentLocation, nullptr);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;

    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                               (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                               (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) &&
                                                (control & SL_INVOKE_ON_CANCEL) != 0));
    if (invoke) {
      // The routine belongs to the driver above; it gets that driver's device.
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      // While its routine runs the request is that driver's: it may keep it
      // (STATUS_MORE_PROCESSING_REQUIRED), complete it again or free it then.
      // Back from below, it is no longer one the device took and holds
      // uncompleted: the routine's last act may give back the count a
      // removal waits for, and the device may be deleted before it returns.
      kernel::detail::SetState(Irp, IrpState::Reclaimed);
      if (device != nullptr) kernel::detail::SetHolder(Irp, Irp->CurrentLocation, nullptr);
      const NTSTATUS result = routine(device, Irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        if (device != nullptr) kernel::detail::SetHolder(Irp, Irp->CurrentLocation, device);
        return;
      }
      if (kernel::detail::StateOf(Irp) != IrpState::Reclaimed) {
        kernel::verifier::Fail(
            "a completion routine freed or completed the request and then returned a status other than "
            "STATUS_MORE_PROCESSING_REQUIRED, so completion would go on with a request it no longer owns");
        return;
      }
      kernel::detail::SetState(Irp, IrpState::Completing);
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }

  const kernel::detail::Completion record = kernel::detail::CompleteRecord(Irp);
  switch (record.kind) {
    case IrpKind::Driver:
      kernel::verifier::Fail(
          "a request from IoAllocateIrp was completed past its top; its owner's completion routine must return "
          "STATUS_MORE_PROCESSING_REQUIRED");
      return;
    case IrpKind::User:
      record.userCompletion(Irp);
      return;
    case IrpKind::Threaded: {
      // The I/O manager finishes a request that went pending in the thread
      // that sent it, as a kernel APC: that thread cannot see it freed while
      // it runs at APC_LEVEL.
      PKTHREAD thread = Irp->Tail.Overlay.Thread;
      if ((Irp->PendingReturned || __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST)) && thread != nullptr &&
          thread != KeGetCurrentThread()) {
        kernel::detail::TheScheduler().QueueApc(
            thread, [Irp, length = record.outputLength] { kernel::detail::FinishThreaded(Irp, length); });
      } else {
        kernel::detail::FinishThreaded(Irp, record.outputLength);
      }
      return;
    }
  }
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  if (!kernel::detail::Check(Irp, "IoCancelIrp")) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The cancel routine releases the cancel spin lock itself.
  Irp->CancelIrql = irql;
  routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
  return TRUE;
}

namespace {
KSPIN_LOCK g_cancelSpinLock = 0;
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelSpinLock, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelSpinLock, Irql); }

namespace kernel::irps {

std::size_t Live() {
  std::lock_guard<std::mutex> guard(detail::Registry().lock);
  std::size_t count = 0;
  for (const auto& entry : detail::Registry().records) {
    if (entry.second.state != IrpState::Freed) count++;
  }
  return count;
}

std::size_t InProgress() {
  std::lock_guard<std::mutex> guard(detail::Registry().lock);
  std::size_t count = 0;
  for (const auto& entry : detail::Registry().records) {
    if (entry.second.state == IrpState::InProgress) count++;
  }
  return count;
}

}  // namespace kernel::irps
