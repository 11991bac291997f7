#include "host/resource_manager.h"

#include <cstdio>
#include <cstring>

#include "host/request_names.h"
#include "platform/smclib/winsmcrd.h"

namespace host {
namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string CodeText(ULONG code) {
  if (const char* name = ControlCodeName(code)) return name;
  char text[24];
  std::snprintf(text, sizeof text, "IOCTL 0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

ResourceManager::~ResourceManager() { CloseAll(); }

NTSTATUS ResourceManager::Open(const PluggedReader& reader, std::string_view name) {
  const std::string request = name.empty() ? "IRP_MJ_CREATE" : "IRP_MJ_CREATE \\" + std::string(name);
  // An interface that was removed leaves its entry behind, disabled; a newer
  // one on a reused physical device object is the one that counts.
  bool enabled = false;
  for (const kernel::DeviceInterface& entry : kernel::ListDeviceInterfaces()) {
    if (entry.physicalDeviceObject == reader.PhysicalDeviceObject() &&
        SameGuid(entry.interfaceClass, kSmartCardReaderInterface) && entry.enabled) {
      enabled = true;
    }
  }
  if (!enabled || !reader.HasFunctionDevice()) {
    host_.Requests().Record(request + " (no enabled reader interface)", STATUS_OBJECT_NAME_NOT_FOUND);
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const std::u16string fileName = name.empty() ? u"" : u"\\" + std::u16string(name.begin(), name.end());
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status = kernel::OpenFile(reader.PhysicalDeviceObject(), fileName, &file);
  host_.Requests().Record(request, status);
  if (NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(lock_);
    handles_.push_back(Handle{file, std::string(name)});
  }
  return status;
}

bool ResourceManager::HasOpenHandle() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !handles_.empty();
}

NTSTATUS ResourceManager::Close() {
  Handle handle;
  bool last;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (handles_.empty()) return STATUS_INVALID_PARAMETER;
    handle = handles_.back();
    handles_.pop_back();
    last = handles_.empty();
  }
  const NTSTATUS status = kernel::CloseFile(handle.file);
  host_.Requests().Record(
      handle.name.empty() ? "IRP_MJ_CLEANUP, IRP_MJ_CLOSE" : "IRP_MJ_CLEANUP, IRP_MJ_CLOSE \\" + handle.name, status);
  if (last && lastClose_) lastClose_();
  return status;
}

void ResourceManager::CloseAll() {
  while (HasOpenHandle()) Close();
}

void ResourceManager::Record(ULONG code, const kernel::IoResult& result, const char* note) {
  if (!recording_) return;
  std::string request = CodeText(code);
  if (note != nullptr) request += note;
  host_.Requests().Record(std::move(request), result.status, result.information);
}

std::unique_ptr<kernel::UserRequest> ResourceManager::Start(const ControlRequest& request) {
  PFILE_OBJECT file;
  {
    std::lock_guard<std::mutex> guard(lock_);
    file = handles_.back().file;
  }
  return kernel::StartDeviceIoControl(file, request.code, request.input, request.outputLength);
}

kernel::IoResult ResourceManager::Send(const ControlRequest& request) { return Send(request, -1); }

kernel::IoResult ResourceManager::Send(const ControlRequest& request, LONGLONG timeout) {
  std::unique_ptr<kernel::UserRequest> waiting = Start(request);
  kernel::IoResult result = waiting->Wait(timeout);
  const char* note = nullptr;
  if (result.status == STATUS_PENDING) {
    waiting->Cancel();
    result = waiting->Wait();
    note = ", cancelled at its time limit";
  }
  Record(request.code, result, note);
  if (request.code == IOCTL_SMARTCARD_SET_PROTOCOL && NT_SUCCESS(result.status) &&
      result.output.size() == sizeof(ULONG)) {
    std::memcpy(&selectedProtocol_, result.output.data(), sizeof(ULONG));
  }
  return result;
}

kernel::IoResult ResourceManager::Track(bool present, LONGLONG timeout) {
  return Send(TrackingRequest(present), timeout);
}

kernel::IoResult ResourceManager::SetProtocol(ULONG mask) { return Send(ProtocolRequest(mask)); }

kernel::IoResult ResourceManager::Transmit(std::span<const std::uint8_t> command, ULONG outputLength) {
  ControlRequest request = TransmitRequest(selectedProtocol_, command);
  request.outputLength = outputLength;
  return Send(request);
}

}  // namespace host
