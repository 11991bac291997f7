// CardTransmit's entry: the length tests, the header, the choice of path.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

const Bytes Select{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// The library refuses these two itself; CardTransmit does not rely on it.
TEST(CardTransmit, RefusesBeforeAnythingIsCopiedOrSent) {
  TransmitDevice d(Path::T1);
  // No header at all: IoRequest.Information is not touched.
  Transmission t = d.CallCardTransmit({0x02, 0x00, 0x00}, 300, true);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.information, 0xDEADu);

  // A reply buffer that cannot hold the header gets nothing of it.
  t = d.CallCardTransmit(Concat({RequestHeader, Select}), 7, false);
  EXPECT_EQ(t.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, Bytes(7, 0x00));
  EXPECT_TRUE(d.Written().empty());
}

TEST(CardTransmit, RefusesTooLongACommandAndAnUnknownProtocolAfterTheHeader) {
  TransmitDevice d(Path::T1);
  Transmission t = d.Transmit(Bytes(TransmitCommandMax + 1, 0x00), 300);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.header, RequestHeader);

  d.Context().SmartcardExtension.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  t = d.Transmit(Select);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, d.Header());
  EXPECT_TRUE(d.Written().empty());
}

TEST(CardTransmit, RawTakesTheT1Path) {
  TransmitDevice d(Path::T1);
  d.Context().SmartcardExtension.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
  EXPECT_EQ(d.Transmit(Select).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(0x00, Select)});
}

TEST(CardTransmit, TheHeaderComesBackOnEveryPathWhateverTheOutcome) {
  for (const Path path : {Path::T0, Path::T1, Path::OldGeneration}) {
    for (const bool fail : {false, true}) {
      for (const bool shared : {true, false}) {
        TransmitDevice d(path);
        // One byte beyond the header is too little for any response.
        const ULONG replyLength = fail ? 9 : 300;
        const Transmission t = shared ? d.CallCardTransmit(Concat({d.Header(), Select}), replyLength, true)
                                      : d.Transmit(Select, replyLength);
        EXPECT_EQ(t.status, fail ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS) << static_cast<int>(path) << shared;
        EXPECT_EQ(t.header, d.Header()) << static_cast<int>(path) << fail << shared;
      }
    }
  }
}

TEST(CardTransmit, AnEmptyCommandOnT0IsATimeout) {
  TransmitDevice d(Path::T0);
  const Transmission t = d.Transmit({});
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(t.information, 0u);
  EXPECT_TRUE(d.Written().empty());
}

TEST(CardTransmit, WithoutPoolForTheScratchCopyNoBlockIsSent) {
  TransmitDevice d(Path::T1);
  // The scratch copy is the first block the transmission asks for.
  kernel::pool::FailTag(DriverPoolTag, true);
  const Transmission t = d.Transmit(Select);
  kernel::pool::FailTag(DriverPoolTag, false);
  EXPECT_EQ(t.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_TRUE(d.Written().empty());
}

}  // namespace
