// IOCTL_SMARTCARD_IS_PRESENT and IS_ABSENT: answered from the card state,
// or left waiting in NotificationIrp for the reader's tracking function,
// which a card change, a cancel or a refusal ends.
#include <gtest/gtest.h>

#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override { Extension().ReaderFunction[RDF_CARD_TRACKING] = TrackCard; }
  SMARTCARD_EXTENSION& Extension() { return device.Extension(); }
  PIRP Waiting() { return Extension().OsData->NotificationIrp; }

  LibraryDevice device;
};

TEST_F(TrackingTest, StateThatAlreadyAnswersCompletesAtOnce) {
  struct Case {
    ULONG state;
    ULONG code;
  };
  // Every state above SCARD_ABSENT is a card; SCARD_UNKNOWN counts as none.
  const Case cases[] = {{SCARD_PRESENT, IOCTL_SMARTCARD_IS_PRESENT},  {SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_PRESENT},
                        {SCARD_NEGOTIABLE, IOCTL_SMARTCARD_IS_PRESENT}, {SCARD_ABSENT, IOCTL_SMARTCARD_IS_ABSENT},
                        {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_ABSENT}};
  for (const Case& c : cases) {
    Extension().ReaderCapabilities.CurrentState = c.state;
    const kernel::IoResult result = device.Control(c.code, {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "state " << c.state;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(TrackingCalls(), 0);
  EXPECT_EQ(Waiting(), nullptr);
}

TEST_F(TrackingTest, WaitingRequestIsCompletedByTheCardChange) {
  Extension().ReaderCapabilities.CurrentState = SCARD_ABSENT;
  auto request = device.Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_FALSE(request->Done());
  EXPECT_NE(Waiting(), nullptr);
  EXPECT_EQ(TrackingCalls(), 1);
  EXPECT_EQ(Extension().MajorIoControlCode, IOCTL_SMARTCARD_IS_PRESENT);

  ReportCard(&Extension(), true);
  const kernel::IoResult result = request->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(Waiting(), nullptr);

  // And the other way round.
  auto absent = device.Start(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  EXPECT_FALSE(absent->Done());
  ReportCard(&Extension(), false);
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, SecondTrackingRequestIsBusyWhileOneWaits) {
  Extension().ReaderCapabilities.CurrentState = SCARD_PRESENT;
  auto waiting = device.Start(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  PIRP first = Waiting();
  // Busy whatever the second asks, even when the state would answer it.
  for (ULONG code : {IOCTL_SMARTCARD_IS_ABSENT, IOCTL_SMARTCARD_IS_PRESENT}) {
    const kernel::IoResult busy = device.Control(code, {}, 0);
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
  }
  EXPECT_EQ(Waiting(), first);
  EXPECT_FALSE(waiting->Done());
  EXPECT_EQ(TrackingCalls(), 1);

  ReportCard(&Extension(), false);
  EXPECT_EQ(waiting->Wait().status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, WaitingRequestCanBeCancelled) {
  auto request = device.Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  ASSERT_FALSE(request->Done());
  EXPECT_TRUE(request->Cancel());
  const kernel::IoResult result = request->Wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(Waiting(), nullptr);

  // The slot is free for the next one.
  auto next = device.Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_FALSE(next->Done());
  ReportCard(&Extension(), true);
  EXPECT_EQ(next->Wait().status, STATUS_SUCCESS);
}

NTSTATUS DeclineTracking(PSMARTCARD_EXTENSION) { return STATUS_DEVICE_NOT_CONNECTED; }

TEST_F(TrackingTest, TrackingFunctionThatDeclinesEndsTheRequestWithItsStatus) {
  Extension().ReaderFunction[RDF_CARD_TRACKING] = DeclineTracking;
  const kernel::IoResult result = device.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Waiting(), nullptr);
}

// A tracking function that finds its request cancelled already, completes it
// itself and says so: the library must not complete it a second time.
NTSTATUS CompleteAtOnce(PSMARTCARD_EXTENSION extension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  auto irp = static_cast<PIRP>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&extension->OsData->NotificationIrp), nullptr));
  IoReleaseCancelSpinLock(irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_CANCELLED;
}

TEST_F(TrackingTest, RequestTheTrackingFunctionCompletedItselfIsLeftAlone) {
  kernel::verifier::Capture verifier;
  Extension().ReaderFunction[RDF_CARD_TRACKING] = CompleteAtOnce;
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_CANCELLED);
  EXPECT_TRUE(verifier.Messages().empty()) << verifier.Messages().front();
}

TEST_F(TrackingTest, NoTrackingFunctionMeansNotSupported) {
  Extension().ReaderFunction[RDF_CARD_TRACKING] = nullptr;
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_NOT_SUPPORTED);
  // A state that answers needs no tracking.
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, OtherRequestsAreServedWhileOneWaits) {
  auto waiting = device.Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  const kernel::IoResult state = device.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(state.output, Ulong(SCARD_ABSENT));
  ReportCard(&Extension(), true);
  EXPECT_EQ(waiting->Wait().status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, ExitCancelsARequestLeftWaiting) {
  auto waiting = device.Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  SmartcardReleaseRemoveLockAndWait(&Extension());
  SmartcardExit(&Extension());
  EXPECT_EQ(waiting->Wait().status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace smclibtest
