// Standing up a served reader with a reset card, and one transmit request.
#include "tests/driver/card/transmit_device.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "driver/card/reader_functions.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"

namespace transmittest {

const Bytes RequestHeader{0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};

emu::CardConfig DualCard(std::optional<std::uint8_t> ifsc) {
  emu::CardConfig config;
  config.atr.historical = {0x45, 0x4D, 0x55};
  config.atr.ta3 = ifsc;
  return config;
}

namespace {

emu::ReaderConfig ReaderFor(Path path, const char* firmware) {
  if (firmware == nullptr) firmware = path == Path::OldGeneration ? "1.50" : "2.27";
  return readertest::ReaderWithFirmware(firmware);
}

}  // namespace

TransmitDevice::TransmitDevice(Path path, emu::CardConfig card, const char* firmware)
    : TransmitDevice(path, std::move(card), ReaderFor(path, firmware)) {}

TransmitDevice::TransmitDevice(Path path, emu::CardConfig cardConfig, emu::ReaderConfig reader)
    : card(std::make_shared<emu::Card>(std::move(cardConfig))), path(path), served(std::move(reader)) {
  served.Extension().ReaderFunction[RDF_TRANSMIT] = CardTransmit;
  served.InsertCard(card);
  served.SettleReader();
  ResetCard();
}

void TransmitDevice::ResetCard() {
  EXPECT_EQ(served.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  // The protocol mask without T=0 also asks the reader for T=1 blocks.
  EXPECT_EQ(served.SetProtocol(path == Path::T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
}

void TransmitDevice::Prepare() {
  served.ClearTrace();
  cardBlocksBefore_ = card->T1BlocksReceived().size();
}

Transmission TransmitDevice::Transmit(const Bytes& command, ULONG replyLength) {
  Prepare();
  const ULONG liveBefore = kernel::pool::LiveBlocks(DriverPoolTag);
  const kernel::IoResult result = served.Control(IOCTL_SMARTCARD_TRANSMIT, Concat({Header(), command}), replyLength);
  const SMARTCARD_REPLY& reply = served.Extension().SmartcardReply;
  Transmission t = Finish(result.status, result.information, Bytes(reply.Buffer, reply.Buffer + 8), liveBefore);
  if (result.output.size() >= RequestHeader.size()) t.response.assign(result.output.begin() + 8, result.output.end());
  return t;
}

Bytes TransmitDevice::Header() const {
  Bytes header = RequestHeader;
  const ULONG selected = served.Extension().CardCapabilities.Protocol.Selected;
  for (std::size_t i = 0; i < sizeof(selected); ++i) header[i] = static_cast<std::uint8_t>(selected >> (8 * i));
  return header;
}

Transmission TransmitDevice::CallCardTransmit(const Bytes& request, ULONG replyLength, bool shared) {
  Prepare();
  // A buffered request: one system buffer as long as the longer of the two.
  Bytes buffer(std::max<std::size_t>(request.size(), replyLength));
  std::copy(request.begin(), request.end(), buffer.begin());
  Bytes ownReply(shared ? 0 : replyLength);
  ULONG information = 0xDEAD;
  SMARTCARD_EXTENSION& extension = served.Extension();
  extension.IoRequest = {&information, buffer.data(), static_cast<ULONG>(request.size()),
                         shared ? buffer.data() : ownReply.data(), replyLength};
  const ULONG liveBefore = kernel::pool::LiveBlocks(DriverPoolTag);
  const NTSTATUS status = CardTransmit(&extension);
  const Bytes& reply = shared ? buffer : ownReply;
  const std::size_t headerLength = std::min<std::size_t>(replyLength, RequestHeader.size());
  Transmission t = Finish(status, information, Bytes(reply.begin(), reply.begin() + headerLength), liveBefore);
  if (information >= 8 && information <= replyLength) t.response.assign(reply.begin() + 8, reply.begin() + information);
  return t;
}

Transmission TransmitDevice::Finish(NTSTATUS status, ULONG_PTR information, const Bytes& header, ULONG liveBefore) {
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), liveBefore) << "the scratch copy outlived the transmission";
  EXPECT_EQ(Context().ReaderLock.Owner, nullptr);
  Transmission t;
  t.status = status;
  t.information = information;
  t.header = header;
  return t;
}

std::vector<Bytes> TransmitDevice::Written() const { return served.Fixture().Written(); }

std::vector<Bytes> TransmitDevice::CardReceived() const {
  const std::vector<Bytes>& all = card->T1BlocksReceived();
  return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(cardBlocksBefore_), all.end());
}

Bytes Block(UCHAR pcb, const Bytes& inf) { return emu::BuildNewFrame(0x52, pcb, inf); }

Bytes CardBlock(UCHAR pcb, const Bytes& inf) { return emu::BuildNewFrame(0x25, pcb, inf); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Pattern(std::size_t count, std::uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

}  // namespace transmittest
