#include "platform/kernel/io_user.h"

#include <mutex>

#include "platform/kernel/iomgr.h"

namespace kernel {

struct UserRequest::State {
  std::recursive_mutex lock;  // the canceller and the completion both touch `irp`
  PIRP irp = nullptr;
  KEVENT done;
  IoResult result;
  ULONG outputLength = 0;
};

namespace {

PIRP NewUserIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, std::shared_ptr<UserRequest::State> state) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  detail::RegisterIrp(irp, detail::IrpKind::User);
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->RequestorMode = UserMode;
  state->irp = irp;
  detail::SetUserCompletion(irp, [state](PIRP done) {
    std::lock_guard<std::recursive_mutex> guard(state->lock);
    state->result.status = done->IoStatus.Status;
    state->result.information = done->IoStatus.Information;
    if (done->AssociatedIrp.SystemBuffer != nullptr) {
      const ULONG_PTR length = done->IoStatus.Information < state->outputLength ? done->IoStatus.Information
                                                                                   : state->outputLength;
      auto bytes = static_cast<const std::uint8_t*>(done->AssociatedIrp.SystemBuffer);
      state->result.output.assign(bytes, bytes + length);
      ExFreePool(done->AssociatedIrp.SystemBuffer);
    }
    state->irp = nullptr;
    detail::FreeIrpInternal(done);
    KeSetEvent(&state->done, IO_NO_INCREMENT, FALSE);
  });
  return irp;
}

// The I/O manager takes a status other than STATUS_PENDING from the top of the
// stack as the request's final one: it must be the status the request was
// completed with.
void CallTop(PDEVICE_OBJECT top, PIRP irp, const std::shared_ptr<UserRequest::State>& state) {
  const NTSTATUS returned = IofCallDriver(top, irp);
  if (returned == STATUS_PENDING) return;
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  if (KeReadStateEvent(&state->done) != 0 && state->result.status != returned) {
    verifier::Fail("a dispatch routine returned a status other than the one it completed the request with");
  }
}

NTSTATUS SendToFile(PFILE_OBJECT file, UCHAR major) {
  auto state = std::make_shared<UserRequest::State>();
  KeInitializeEvent(&state->done, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = NewUserIrp(top, file, state);
  // A handle is closed whatever memory there is: the I/O manager tries again
  // until it has a request for the cleanup and the close.
  for (int retry = 0; irp == nullptr && major != IRP_MJ_CREATE && retry < 1000; ++retry) {
    SleepFor(kMillisecond);
    irp = NewUserIrp(top, file, state);
  }
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  CallTop(top, irp, state);
  KeWaitForSingleObject(&state->done, Executive, KernelMode, FALSE, nullptr);
  return state->result.status;
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  while (IoGetLowerDevice(device) != nullptr) device = IoGetLowerDevice(device);
  return device;
}

bool StackIsExclusive(PDEVICE_OBJECT top) {
  for (PDEVICE_OBJECT d = top; d != nullptr; d = IoGetLowerDevice(d)) {
    if ((d->Flags & DO_EXCLUSIVE) != 0) return true;
  }
  return false;
}

}  // namespace

NTSTATUS OpenFile(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT* file) {
  *file = nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  DEVOBJ_EXTENSION* stack = BottomOf(device)->DeviceObjectExtension;
  if (StackIsExclusive(top) && stack->OpenCount > 0) return STATUS_ACCESS_DENIED;

  const SIZE_T nameBytes = fileName.size() * sizeof(WCHAR);
  auto object = static_cast<PFILE_OBJECT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT) + nameBytes + sizeof(WCHAR), detail::kTagFile));
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(object, sizeof(FILE_OBJECT) + nameBytes + sizeof(WCHAR));
  object->Type = IO_TYPE_FILE;
  object->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
  object->DeviceObject = top;
  auto name = reinterpret_cast<PWSTR>(object + 1);
  RtlCopyMemory(name, fileName.data(), nameBytes);
  object->FileName = UNICODE_STRING{static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes + sizeof(WCHAR)),
                                    nameBytes != 0 ? name : nullptr};
  const NTSTATUS status = SendToFile(object, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    ExFreePool(object);
    return status;
  }
  InterlockedIncrement(&stack->OpenCount);
  if (object->FsContext != nullptr) detail::WatchFileContext(object, object->FsContext);
  *file = object;
  return status;
}

NTSTATUS CloseFile(PFILE_OBJECT file) {
  // A removal waiting for this close may delete the device the moment the
  // close completes: find the stack's bottom (the bus driver's device) first.
  DEVOBJ_EXTENSION* stack = BottomOf(file->DeviceObject)->DeviceObjectExtension;
  SendToFile(file, IRP_MJ_CLEANUP);
  const NTSTATUS status = SendToFile(file, IRP_MJ_CLOSE);
  InterlockedDecrement(&stack->OpenCount);
  ExFreePool(file);
  return status;
}

UserRequest::~UserRequest() {
  if (state_ && !Done()) {
    // Nobody will read the result; the completion still frees the request.
  }
}

bool UserRequest::Done() const { return KeReadStateEvent(&state_->done) != 0; }

IoResult UserRequest::Wait(LONGLONG timeout) {
  LARGE_INTEGER interval;
  interval.QuadPart = -timeout;
  const NTSTATUS waited =
      KeWaitForSingleObject(&state_->done, Executive, KernelMode, FALSE, timeout < 0 ? nullptr : &interval);
  if (waited == STATUS_TIMEOUT) return IoResult{STATUS_PENDING, 0, {}};
  std::lock_guard<std::recursive_mutex> guard(state_->lock);
  return state_->result;
}

bool UserRequest::Cancel() {
  std::lock_guard<std::recursive_mutex> guard(state_->lock);
  if (state_->irp == nullptr) return false;
  return IoCancelIrp(state_->irp) != 0;
}

std::unique_ptr<UserRequest> StartDeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode,
                                                  std::span<const std::uint8_t> input, ULONG outputLength,
                                                  bool internal, PDEVICE_OBJECT device) {
  auto state = std::make_shared<UserRequest::State>();
  KeInitializeEvent(&state->done, NotificationEvent, FALSE);
  state->outputLength = outputLength;
  PDEVICE_OBJECT top = IoGetAttachedDevice(file != nullptr ? file->DeviceObject : device);
  auto request = std::make_unique<UserRequest>(state);
  PIRP irp = NewUserIrp(top, file, state);
  if (irp == nullptr) {
    state->result.status = STATUS_INSUFFICIENT_RESOURCES;
    KeSetEvent(&state->done, IO_NO_INCREMENT, FALSE);
    return request;
  }
  const ULONG length = static_cast<ULONG>(input.size()) > outputLength ? static_cast<ULONG>(input.size())
                                                                        : outputLength;
  if (length != 0) {
    PVOID buffer = ExAllocatePoolZero(NonPagedPool, length, detail::kTagBuffer);
    if (buffer == nullptr) {
      state->irp = nullptr;
      detail::FreeIrpInternal(irp);
      state->result.status = STATUS_INSUFFICIENT_RESOURCES;
      KeSetEvent(&state->done, IO_NO_INCREMENT, FALSE);
      return request;
    }
    if (!input.empty()) RtlCopyMemory(buffer, input.data(), input.size());
    irp->AssociatedIrp.SystemBuffer = buffer;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->FileObject = file;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  CallTop(top, irp, state);
  return request;
}

IoResult DeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, std::span<const std::uint8_t> input,
                         ULONG outputLength) {
  return StartDeviceIoControl(file, ioControlCode, input, outputLength)->Wait();
}

IO_STATUS_BLOCK SendIrpAndWait(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                               const std::function<void(IO_STACK_LOCATION&)>& fill, NTSTATUS initialStatus) {
  auto state = std::make_shared<UserRequest::State>();
  KeInitializeEvent(&state->done, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = NewUserIrp(top, nullptr, state);
  if (irp == nullptr) return IO_STATUS_BLOCK{{STATUS_INSUFFICIENT_RESOURCES}, 0};
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = initialStatus;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = majorFunction;
  next->MinorFunction = minorFunction;
  if (fill) fill(*next);
  CallTop(top, irp, state);
  KeWaitForSingleObject(&state->done, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  return IO_STATUS_BLOCK{{state->result.status}, state->result.information};
}

}  // namespace kernel
