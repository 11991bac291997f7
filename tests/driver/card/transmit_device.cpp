// Standing up a served reader with a reset card, and one transmit request.
#include "tests/driver/card/transmit_device.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "driver/card/reader_functions.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"

namespace transmittest {

const Bytes RequestHeader = Hex("02 00 00 00 08 00 00 00");

TransmitDevice::TransmitDevice(Path path, emu::CardConfig card, const char* firmware)
    : TransmitDevice(path, std::move(card),
                     readertest::ReaderWithFirmware(firmware ? firmware : path == Path::OldGeneration ? "1.50" : "2.27")) {}

TransmitDevice::TransmitDevice(Path path, emu::CardConfig cardConfig, emu::ReaderConfig reader)
    : ServedReader(std::move(reader)), card(std::make_shared<emu::Card>(std::move(cardConfig))), path(path) {
  Extension().ReaderFunction[RDF_TRANSMIT] = CardTransmit;
  InsertCard(card);
  SettleReader();
  ResetCard();
}

void TransmitDevice::ResetCard() {
  EXPECT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  // The protocol mask without T=0 also asks the reader for T=1 blocks.
  EXPECT_EQ(SetProtocol(path == Path::T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
}

Bytes TransmitDevice::Header() const {
  return readertest::TransmitRequest(Extension().CardCapabilities.Protocol.Selected, {});
}

Transmission TransmitDevice::Transmit(const Bytes& command, ULONG replyLength) {
  ClearTrace();
  const ULONG liveBefore = kernel::pool::LiveBlocks(DriverPoolTag);
  const kernel::IoResult result = Control(IOCTL_SMARTCARD_TRANSMIT, Concat({Header(), command}), replyLength);
  const UCHAR* reply = Extension().SmartcardReply.Buffer;
  Transmission t = Checked(result.status, result.information, Bytes(reply, reply + 8), liveBefore);
  if (result.output.size() >= 8) t.response.assign(result.output.begin() + 8, result.output.end());
  return t;
}

Transmission TransmitDevice::CallCardTransmit(const Bytes& request, ULONG replyLength, bool shared) {
  ClearTrace();
  // A buffered request: one system buffer as long as the longer of the two.
  Bytes buffer(std::max<std::size_t>(request.size(), replyLength));
  std::copy(request.begin(), request.end(), buffer.begin());
  Bytes own(shared ? 0 : replyLength);
  Bytes& reply = shared ? buffer : own;
  ULONG information = 0xDEAD;
  Extension().IoRequest = {&information, buffer.data(), static_cast<ULONG>(request.size()), reply.data(), replyLength};
  const ULONG liveBefore = kernel::pool::LiveBlocks(DriverPoolTag);
  const NTSTATUS status = CardTransmit(&Extension());
  Transmission t =
      Checked(status, information, Bytes(reply.begin(), reply.begin() + std::min<ULONG>(replyLength, 8)), liveBefore);
  if (information >= 8 && information <= replyLength) t.response.assign(reply.begin() + 8, reply.begin() + information);
  return t;
}

Transmission TransmitDevice::Checked(NTSTATUS status, ULONG_PTR information, const Bytes& header, ULONG liveBefore) {
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), liveBefore) << "the scratch copy outlived the transmission";
  EXPECT_EQ(Context().ReaderLock.Owner, nullptr);
  return Transmission{status, information, header, {}};
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

Bytes Hex(std::string_view text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] != ' ') bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

}  // namespace transmittest
