// Opening the reader and its pipes by name, closing, and the pipes aborted
// at removal.
#include <gtest/gtest.h>

#include <string>

#include "platform/smclib/library.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::Ms;
using readertest::PluggedReader;

constexpr ULONG NoPipeOpened = 0xFF;

struct Started {
  explicit Started(Bench& bench) : r(bench) {
    EXPECT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Start(), STATUS_SUCCESS);
    r.ClearTrace();
  }
  PluggedReader r;
};

LONG RemoveLockHolders(PluggedReader& r) { return LibraryData(&r.Extension())->RemoveLock.Count; }

struct NameCase {
  const char16_t* name;
  NTSTATUS status;
  ULONG pipe;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c) {
  const std::u16string name(c.name);
  return out << '"' << std::string(name.begin(), name.end()) << '"';
}

class OpenByName : public testing::TestWithParam<NameCase> {};

TEST_P(OpenByName, OpensTheReaderOrThePipeTheNameEndsIn) {
  const NameCase& c = GetParam();
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  const DeviceContext& context = r.Context();
  NTSTATUS status = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(c.name, &status);
  EXPECT_EQ(status, c.status);
  for (ULONG pipe = 0; pipe < 2; ++pipe) {
    EXPECT_EQ(context.PipeOpenFlags[pipe], pipe == c.pipe ? 1 : 0) << "pipe " << pipe;
  }
  if (!NT_SUCCESS(status)) {
    EXPECT_EQ(RemoveLockHolders(r), 1);
    return;
  }
  EXPECT_EQ(RemoveLockHolders(r), 2) << "the handle holds the remove lock";
  EXPECT_EQ(file->FsContext, c.pipe == NoPipeOpened ? nullptr : &context.InterfaceInformation->Pipes[c.pipe]);
  EXPECT_EQ(r.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(context.PipeOpenFlags[0], 0);
  EXPECT_EQ(context.PipeOpenFlags[1], 0);
  EXPECT_EQ(RemoveLockHolders(r), 1);
  EXPECT_EQ(context.IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Names, OpenByName,
                         testing::Values(NameCase{u"", STATUS_SUCCESS, NoPipeOpened},
                                         NameCase{u"\\PIPE01", STATUS_SUCCESS, 1}, NameCase{u"\\0", STATUS_SUCCESS, 0},
                                         NameCase{u"\\1x", STATUS_SUCCESS, 1},
                                         NameCase{u"\\7.1 pipe", STATUS_SUCCESS, 1},
                                         NameCase{u"\\000000000000000000001", STATUS_SUCCESS, 1},
                                         NameCase{u"\\3x", STATUS_INSUFFICIENT_RESOURCES, NoPipeOpened},
                                         NameCase{u"\\5", STATUS_INSUFFICIENT_RESOURCES, NoPipeOpened},
                                         NameCase{u"\\12", STATUS_INVALID_PARAMETER, NoPipeOpened},
                                         NameCase{u"\\6", STATUS_INVALID_PARAMETER, NoPipeOpened},
                                         NameCase{u"\\4294967297", STATUS_INVALID_PARAMETER, NoPipeOpened},
                                         NameCase{u"\\pipe", STATUS_INVALID_PARAMETER, NoPipeOpened}));

TEST(Open, IsRefusedUntilTheStartAndFromTheQueryRemove) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_PENDING;
  EXPECT_EQ(r.Open(u"", &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(r.Open(u"\\1", &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.Context().PipeOpenFlags[1], 0);
}

TEST(SurpriseRemoval, AbortsThePipeOpenedByName) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  NTSTATUS status = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"\\0", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::uint8_t endpoint = r.Context().InterfaceInformation->Pipes[0].EndpointAddress;
  ASSERT_EQ(r.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(r.AbortedEndpoints(), std::vector<std::uint8_t>{endpoint});
  EXPECT_EQ(r.Context().PipeOpenFlags[0], 0);
  EXPECT_EQ(r.Close(file), STATUS_SUCCESS);
  r.ClearTrace();
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(r.AbortedEndpoints().empty()) << "nothing is open any more";
}

TEST(Removal, AbortsThePipeOfAnOpenHandleBeforeWaitingForItsClose) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  NTSTATUS status = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"\\1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::uint8_t endpoint = r.Context().InterfaceInformation->Pipes[1].EndpointAddress;
  NTSTATUS removal = STATUS_PENDING;
  kernel::SystemThread thread("removal", [&] { removal = r.Pnp(IRP_MN_REMOVE_DEVICE); });
  // The poll armed at creation is let run first.
  Bench::Wait(2000 * Ms);
  EXPECT_EQ(r.AbortedEndpoints(), std::vector<std::uint8_t>{endpoint});
  r.CloseDuringRemoval(file);
  thread.Join();
  EXPECT_EQ(removal, STATUS_SUCCESS);
  r.ExpectDeviceGone();
}

TEST(Start, AfterAStopKeepsTheMarkOfAPipeStillOpenForTheNewPipeHandle) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  NTSTATUS status = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"\\1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.Context().PipeOpenFlags[1], 1);
  // The handle's FsContext names the pipe's entry in the new selection's
  // copy (the verifier refuses a free of the block it points into).
  EXPECT_EQ(file->FsContext, &r.Context().InterfaceInformation->Pipes[1]);
  Bench::Wait(600 * Ms);  // past the first poll after the start
  r.ClearTrace();
  ASSERT_EQ(r.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  const std::vector<usb::TraceEntry> trace = r.Port().Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, usb::TraceEntry::Kind::AbortPipe);
  EXPECT_EQ(trace[0].status, STATUS_SUCCESS) << "the abort names the pipe handle of the new selection";
  EXPECT_EQ(r.Close(file), STATUS_SUCCESS);
}

}  // namespace
