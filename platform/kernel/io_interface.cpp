// Device interfaces: registered per physical device and class, enabled and
// disabled by name; the host lists them the way an application finds readers.
#include <string>
#include <vector>

#include "platform/kernel/iomgr.h"

namespace {

std::mutex g_lock;
std::vector<kernel::DeviceInterface>& Interfaces() {
  static std::vector<kernel::DeviceInterface> interfaces;
  return interfaces;
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Ascii(text);
}

std::u16string NameOf(PCUNICODE_STRING s) { return std::u16string(s->Buffer, s->Length / sizeof(WCHAR)); }

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  UNREFERENCED_PARAMETER(ReferenceString);
  NTSTATUS planned;
  if (kernel::faults::Take("IoRegisterDeviceInterface", &planned)) return planned;
  std::u16string name;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& entry : Interfaces()) {
      if (entry.physicalDeviceObject == PhysicalDeviceObject && entry.interfaceClass == *InterfaceClassGuid) {
        name = entry.symbolicLinkName;
      }
    }
    if (name.empty()) {
      char instance[32];
      std::snprintf(instance, sizeof instance, "%zu", Interfaces().size());
      name = u"\\??\\USB#EmulatedReader#" + Ascii(instance) + u"#" + GuidText(*InterfaceClassGuid);
      Interfaces().push_back({name, *InterfaceClassGuid, PhysicalDeviceObject, false});
    }
  }
  // The caller frees the buffer with RtlFreeUnicodeString.
  const SIZE_T bytes = (name.size() + 1) * sizeof(WCHAR);
  auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kernel::detail::kTagString));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(buffer, name.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  NTSTATUS planned;
  if (kernel::faults::Take("IoSetDeviceInterfaceState", &planned)) return planned;
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  const std::u16string name = NameOf(SymbolicLinkName);
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto& entry : Interfaces()) {
    if (entry.symbolicLinkName == name) {
      entry.enabled = Enable != 0;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
  SIZE_T length = 0;
  if (Source != nullptr) {
    while (Source[length] != 0) length++;
  }
  Destination->Buffer = const_cast<PWSTR>(Source);
  Destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  Destination->MaximumLength = static_cast<USHORT>(Source != nullptr ? (length + 1) * sizeof(WCHAR) : 0);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

namespace kernel {

std::vector<DeviceInterface> ListDeviceInterfaces() {
  std::lock_guard<std::mutex> guard(g_lock);
  return Interfaces();
}

namespace detail {
void ForgetDeviceInterfaces() {
  std::lock_guard<std::mutex> guard(g_lock);
  Interfaces().clear();
}
}  // namespace detail

}  // namespace kernel
