#include "platform/usb/capture.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/usb/port_core.h"

namespace usb {
namespace {

// USBPcap's link type and the fields of its packet header.
constexpr std::uint16_t kLinkTypeUsbPcap = 249;
constexpr std::uint8_t kTransferControl = 2;
constexpr std::uint8_t kTransferBulk = 3;
constexpr std::uint8_t kTransferIrpInfo = 0xFE;  // a request that moves no data: an abort
constexpr std::uint8_t kStageSetup = 0;
constexpr std::uint8_t kStageComplete = 3;
constexpr int kNoStage = -1;
constexpr std::uint16_t kBus = 1;
constexpr std::uint16_t kDevice = 2;
// The system time of the Unix epoch; the capture counts in 100-ns units from it.
constexpr LONGLONG kUnixEpoch = 116444736000000000LL;

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void Put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  Put32(out, static_cast<std::uint32_t>(v));
  Put32(out, static_cast<std::uint32_t>(v >> 32));
}

std::span<const std::uint8_t> Bytes(const void* buffer, ULONG length) {
  if (buffer == nullptr) return {};
  return {static_cast<const std::uint8_t*>(buffer), length};
}

}  // namespace

struct Capture::Record {
  const void* irp;
  USBD_STATUS status;
  USHORT function;
  bool toHost;
  UCHAR endpoint;
  std::uint8_t transfer;
  int stage;
  std::span<const std::uint8_t> data;
};

std::shared_ptr<Capture> Capture::Open(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write the capture " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::vector<std::uint8_t> head;
  // Section header block: byte-order magic, version 1.0, section length unknown.
  Put32(head, 0x0A0D0D0A);
  Put32(head, 28);
  Put32(head, 0x1A2B3C4D);
  Put16(head, 1);
  Put16(head, 0);
  Put64(head, ~std::uint64_t{0});
  Put32(head, 28);
  // Interface description block: USBPcap, no snapshot limit, if_tsresol 10^-7 s.
  Put32(head, 1);
  Put32(head, 32);
  Put16(head, kLinkTypeUsbPcap);
  Put16(head, 0);
  Put32(head, 0);
  Put16(head, 9);
  Put16(head, 1);
  Put32(head, 7);
  Put32(head, 0);  // end of options
  Put32(head, 32);
  if (std::fwrite(head.data(), 1, head.size(), file) != head.size() || std::fflush(file) != 0) {
    *error = "cannot write the capture " + path + ": " + std::strerror(errno);
    std::fclose(file);
    return nullptr;
  }
  return std::shared_ptr<Capture>(new Capture(file));
}

Capture::Capture(std::FILE* file) : file_(file) {}

Capture::~Capture() { std::fclose(file_); }

void Capture::Submitted(const void* irp, const URB& urb, UCHAR endpoint) {
  const USHORT function = urb.UrbHeader.Function;
  Record record{irp, USBD_STATUS_SUCCESS, function, false, endpoint, kTransferBulk, kNoStage, {}};
  std::uint8_t setup[8] = {};
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb.UrbBulkOrInterruptTransfer;
    if ((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
      record.data = Bytes(bulk.TransferBuffer, bulk.TransferBufferLength);
    }
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    // GET_DESCRIPTOR as it goes on the wire (USB 2.0 clause 9.4.3).
    const _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
    const std::uint8_t packet[8] = {0x80,
                                    0x06,
                                    request.Index,
                                    request.DescriptorType,
                                    static_cast<std::uint8_t>(request.LanguageId),
                                    static_cast<std::uint8_t>(request.LanguageId >> 8),
                                    static_cast<std::uint8_t>(request.TransferBufferLength),
                                    static_cast<std::uint8_t>(request.TransferBufferLength >> 8)};
    std::memcpy(setup, packet, sizeof setup);
    record = {irp, USBD_STATUS_SUCCESS, function, false, 0x80, kTransferControl, kStageSetup, setup};
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    // SET_CONFIGURATION (USB 2.0 clause 9.4.7); no descriptor unconfigures.
    const PUSB_CONFIGURATION_DESCRIPTOR configuration = urb.UrbSelectConfiguration.ConfigurationDescriptor;
    setup[1] = 0x09;
    setup[2] = configuration != nullptr ? configuration->bConfigurationValue : 0;
    record = {irp, USBD_STATUS_SUCCESS, function, false, 0, kTransferControl, kStageSetup, setup};
  } else if (function == URB_FUNCTION_ABORT_PIPE) {
    record.transfer = kTransferIrpInfo;
  } else {
    return;
  }
  Write(record);
}

void Capture::Completed(const void* irp, const URB& urb, UCHAR endpoint) {
  const USHORT function = urb.UrbHeader.Function;
  Record record{irp, urb.UrbHeader.Status, function, true, endpoint, kTransferBulk, kNoStage, {}};
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb.UrbBulkOrInterruptTransfer;
    if ((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
      record.data = Bytes(bulk.TransferBuffer, bulk.TransferBufferLength);
    }
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    const _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
    record.endpoint = 0x80;
    record.transfer = kTransferControl;
    record.stage = kStageComplete;
    record.data = Bytes(request.TransferBuffer, request.TransferBufferLength);
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    record.endpoint = 0;
    record.transfer = kTransferControl;
    record.stage = kStageComplete;
  } else if (function == URB_FUNCTION_ABORT_PIPE) {
    record.transfer = kTransferIrpInfo;
  } else {
    return;
  }
  Write(record);
}

void Capture::Write(const Record& record) {
  const LONGLONG time = NowTime() - kUnixEpoch;
  const std::uint32_t headerLength = record.stage == kNoStage ? 27 : 28;
  const auto captured = static_cast<std::uint32_t>(headerLength + record.data.size());
  const std::uint32_t padding = (4 - captured % 4) % 4;
  const std::uint32_t blockLength = 32 + captured + padding;
  std::vector<std::uint8_t> head;
  head.reserve(28 + headerLength);
  // Enhanced packet block on interface 0, then USBPcap's packed header.
  Put32(head, 6);
  Put32(head, blockLength);
  Put32(head, 0);
  Put32(head, static_cast<std::uint32_t>(static_cast<std::uint64_t>(time) >> 32));
  Put32(head, static_cast<std::uint32_t>(time));
  Put32(head, captured);
  Put32(head, captured);
  Put16(head, headerLength);
  Put64(head, reinterpret_cast<std::uintptr_t>(record.irp));
  Put32(head, static_cast<std::uint32_t>(record.status));
  Put16(head, record.function);
  head.push_back(record.toHost ? 1 : 0);
  Put16(head, kBus);
  Put16(head, kDevice);
  head.push_back(record.endpoint);
  head.push_back(record.transfer);
  Put32(head, static_cast<std::uint32_t>(record.data.size()));
  if (record.stage != kNoStage) head.push_back(static_cast<std::uint8_t>(record.stage));
  std::vector<std::uint8_t> tail(padding, 0);
  Put32(tail, blockLength);
  std::lock_guard<std::mutex> guard(lock_);
  std::fwrite(head.data(), 1, head.size(), file_);
  if (!record.data.empty()) std::fwrite(record.data.data(), 1, record.data.size(), file_);
  std::fwrite(tail.data(), 1, tail.size(), file_);
  // Whole blocks reach the file at every completion, so that it can be read
  // whenever the port is idle, and a request whose completion is never
  // recorded cannot hold the rest back.
  if (record.toHost) std::fflush(file_);
}

}  // namespace usb
