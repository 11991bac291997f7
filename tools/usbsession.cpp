// usbsession: plugs an emulated reader with a card into the emulated USB
// port and holds a short conversation in the reader's frame protocol, as a
// driver would, printing every transfer that crossed the bus.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/reader/reader.h"
#include "platform/kernel/platform.h"
#include "platform/usb/emulated_port.h"

namespace {

using Bytes = std::vector<UCHAR>;

NTSTATUS Submit(PDEVICE_OBJECT pdo, URB& urb) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

struct Session {
  usb::EmulatedPort& port;
  LONGLONG origin = kernel::Now();
  USBD_PIPE_HANDLE in = nullptr;
  USBD_PIPE_HANDLE out = nullptr;
  UCHAR sequence = 0;

  NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes& data) {
    URB urb{};
    auto& b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(b);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = pipe;
    b.TransferFlags = flags;
    b.TransferBuffer = data.empty() ? nullptr : data.data();
    b.TransferBufferLength = static_cast<ULONG>(data.size());
    const NTSTATUS status = Submit(port.PhysicalDeviceObject(), urb);
    data.resize(b.TransferBufferLength);
    return status;
  }

  bool Configure() {
    Bytes config(521);
    URB urb{};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBuffer = config.data();
    r.TransferBufferLength = static_cast<ULONG>(config.size());
    r.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    if (!NT_SUCCESS(Submit(port.PhysicalDeviceObject(), urb))) return false;
    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    if (select == nullptr) return false;
    const NTSTATUS status = Submit(port.PhysicalDeviceObject(), *select);
    const USBD_INTERFACE_INFORMATION& info = select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
      ((info.Pipes[i].EndpointAddress & 0x80) != 0 ? in : out) = info.Pipes[i].PipeHandle;
    }
    ExFreePool(select);
    return NT_SUCCESS(status) && in != nullptr && out != nullptr;
  }

  // One new-generation frame out, its reply gathered until length + 4 bytes.
  Bytes Exchange(UCHAR address, UCHAR control, const Bytes& info, const char* what) {
    Bytes frame = {address, control, static_cast<UCHAR>(info.size())};
    frame.insert(frame.end(), info.begin(), info.end());
    UCHAR check = 0;
    for (UCHAR b : frame) check ^= b;
    frame.push_back(check);
    std::printf("-- %s\n", what);
    Bulk(out, USBD_SHORT_TRANSFER_OK, frame);
    Bytes reply;
    for (int reads = 0; reads < 100; ++reads) {
      Bytes piece(256);
      if (!NT_SUCCESS(Bulk(in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, piece))) break;
      reply.insert(reply.end(), piece.begin(), piece.end());
      if (reply.size() > 3 && reply.size() >= reply[2] + 4u) break;
      kernel::SleepFor(3 * kernel::kMillisecond);
    }
    for (const usb::TraceEntry& entry : port.BulkTrace()) std::printf("   %s\n", usb::FormatTraceEntry(entry, origin).c_str());
    port.ClearTrace();
    return reply;
  }

  Bytes Command(const Bytes& info, const char* what) {
    Bytes reply = Exchange(0x12, sequence, info, what);
    sequence ^= 0x40;
    return reply;
  }
};

void Usage() {
  std::puts(
      "usage: usbsession [--firmware TEXT] [--real-time]\n"
      "  Plugs an emulated reader (firmware 2.27 unless given) with a T=1 card into the\n"
      "  emulated USB port, then sends the reader's status, set-up, reset and ATR\n"
      "  commands and one T=1 block (SELECT of the master file), printing each transfer\n"
      "  with its simulated time.\n"
      "  example: usbsession --firmware 3.01");
}

}  // namespace

int main(int argc, char** argv) {
  std::string firmware = "2.27";
  kernel::ClockMode mode = kernel::ClockMode::Simulated;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--firmware") == 0 && i + 1 < argc) {
      firmware = argv[++i];
    } else if (std::strcmp(argv[i], "--real-time") == 0) {
      mode = kernel::ClockMode::Real;
    } else {
      Usage();
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  if (emu::FirmwareVersionNumber(firmware) < 0x201) {
    std::fprintf(stderr, "usbsession: firmware %s speaks the old frame generation; this session needs 2.01 or later\n",
                 firmware.c_str());
    return 2;
  }
  kernel::Platform platform(mode);
  emu::ReaderConfig config;
  config.firmwareVersion = firmware;
  auto reader = std::make_shared<emu::Reader>(config);
  emu::CardConfig card;
  card.atr.t0 = false;
  card.atr.ta3 = 0x20;
  reader->InsertCard(std::make_shared<emu::Card>(card));
  {
    usb::EmulatedPort port(reader);
    Session session{port};
    if (!session.Configure()) {
      std::fprintf(stderr, "usbsession: the emulated reader could not be configured\n");
      return 1;
    }
    std::printf("emulated reader, firmware %s, configured\n", firmware.c_str());
    session.Command({0x01, 0xC0}, "read firmware version (0xC0)");
    session.Command({0x01, 0x31}, "reader status (0x31): card in, not set up");
    session.Command({0x01, 0xD0}, "set-up (0xD0)");
    session.Command({0x01, 0x41}, "set-up (0x41)");
    session.Command({0x01, 0x31}, "reader status (0x31): set up");
    session.Command({0x01, 0xD1, 0x01}, "cold reset, T=1 (0xD1 01)");
    const Bytes atr = session.Command({0x01, 0x35, 0x0A, 0x00}, "answer to reset (0x35)");
    // SELECT MF as one I-block: NAD 52, PCB 00 (N(S) 0), LEN, the APDU, LRC.
    const Bytes answer =
        session.Exchange(0x52, 0x00, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, "T=1 I-block: SELECT 3F00");
    port.Unplug();
    if (answer.size() < 6 || atr.size() < 8) {
      std::fprintf(stderr, "usbsession: the reader did not answer as expected\n");
      return 1;
    }
    std::printf("card answered with status word %02X %02X\n", answer[answer.size() - 3], answer[answer.size() - 2]);
  }
  return 0;
}
