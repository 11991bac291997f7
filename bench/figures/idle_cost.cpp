// What a plugged reader costs while nobody asks anything of it, and while a
// tracking request waits: reader commands, bulk transfers and wake-ups of
// the platform's threads over a simulated minute. The thread that sleeps
// through the minute is the bench's own; its wake-up is not counted.
#include <algorithm>
#include <cstdio>

#include "bench/figures/figures.h"
#include "bench/support/bench_session.h"
#include "platform/smclib/winsmcrd.h"

namespace figures {
namespace {

constexpr LONGLONG kMinute = 60 * kernel::kSecond;

struct Activity {
  std::uint32_t frames = 0;
  std::uint32_t transfers = 0;
  std::uint64_t wakeups = 0;
};

Activity Minute(bench::Session& session) {
  const emu::ReaderCounters before = session.Reader().Counters();
  const std::uint64_t wakeups = kernel::Wakeups() - kernel::CallerWakeups();
  kernel::SleepFor(kMinute);
  const emu::ReaderCounters after = session.Reader().Counters();
  Activity a;
  a.frames = after.framesReceived - before.framesReceived;
  a.transfers = (after.outTransfers - before.outTransfers) + (after.inTransfers - before.inTransfers);
  a.wakeups = kernel::Wakeups() - kernel::CallerWakeups() - wakeups;
  return a;
}

}  // namespace

int IdleCost() {
  bench::Session session({emu::TimingModel(), bench::Protocol::T1, 0xFE, true});
  if (!session.Ready()) {
    std::fprintf(stderr, "bench_figures: %s\n", session.Failure().c_str());
    return 1;
  }
  // A reader left alone: nothing is armed, nothing runs.
  const Activity idle = Minute(session);
  // state, reader commands, bulk transfers, wake-ups (all per simulated minute)
  Record({"idle", "no request", Number(std::uint64_t{idle.frames}), Number(std::uint64_t{idle.transfers}),
          Number(idle.wakeups)});

  // A tracking request that waits (the card stays in): one status command
  // per poll period.
  session.ClearTraces();
  std::unique_ptr<kernel::UserRequest> tracking = session.Start(host::TrackingRequest(false));
  const Activity waiting = Minute(session);
  const std::vector<emu::FrameRecord> frames = session.Reader().FramesReceived();
  tracking->Cancel();
  const kernel::IoResult cancelled = tracking->Wait();
  double meanGap = 0;
  LONGLONG minGap = 0;
  LONGLONG maxGap = 0;
  if (frames.size() > 1) {
    minGap = INT64_MAX;
    for (std::size_t i = 1; i < frames.size(); ++i) {
      const LONGLONG gap = frames[i].time - frames[i - 1].time;
      minGap = std::min(minGap, gap);
      maxGap = std::max(maxGap, gap);
    }
    meanGap = static_cast<double>(frames.back().time - frames.front().time) / static_cast<double>(frames.size() - 1);
  }
  const double ms = static_cast<double>(kernel::kMillisecond);
  // ..., then the poll period seen on the reader's side: mean, shortest and
  // longest gap between status commands (ms), and status commands per period
  Record({"idle", "tracking request waiting", Number(std::uint64_t{waiting.frames}),
          Number(std::uint64_t{waiting.transfers}), Number(waiting.wakeups), Number(meanGap / ms),
          Number(static_cast<double>(minGap) / ms), Number(static_cast<double>(maxGap) / ms),
          Number(meanGap > 0 ? static_cast<double>(waiting.frames) * meanGap / static_cast<double>(kMinute) : 0.0)});
  return cancelled.status == STATUS_CANCELLED ? 0 : 1;
}

}  // namespace figures
