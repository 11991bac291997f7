// Card insertion and removal seen through the tracking request: from the
// moment the emulated reader's slot changes to the completion of the
// request that waited for it, in simulated time. The change comes at a
// different phase of the 500 ms poll each time.
#include <algorithm>
#include <cstdio>

#include "bench/figures/figures.h"
#include "bench/support/bench_session.h"

namespace figures {
namespace {

// A fixed linear congruential sequence: the same phases on every run.
class Phases {
 public:
  // Between 0 and 1,000 ms after the request, to the 100-ns unit.
  LONGLONG Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<LONGLONG>((state_ >> 33) % static_cast<std::uint64_t>(1000 * kernel::kMillisecond));
  }

 private:
  std::uint64_t state_ = 12;
};

// The latency of one change, or -1 when the request did not complete with success.
LONGLONG Latency(bench::Session& session, bool insert, LONGLONG phase, const std::shared_ptr<emu::Card>& card) {
  std::unique_ptr<kernel::UserRequest> tracking = session.Start(host::TrackingRequest(insert));
  kernel::SleepFor(phase);
  const LONGLONG changed = kernel::Now();
  if (insert) {
    session.Reader().InsertCard(card);
  } else {
    session.Reader().RemoveCard();
  }
  const kernel::IoResult result = tracking->Wait();
  return result.status == STATUS_SUCCESS ? kernel::Now() - changed : -1;
}

}  // namespace

int CardEvents(int events) {
  bench::Session session({emu::TimingModel(), bench::Protocol::T1, 0xFE, false});
  if (!session.Ready()) {
    std::fprintf(stderr, "bench_figures: %s\n", session.Failure().c_str());
    return 1;
  }
  const auto card = std::make_shared<emu::Card>(bench::BenchCard(0xFE));
  Phases phases;
  int failures = 0;
  for (int i = 0; i < events; ++i) {
    for (const bool insert : {true, false}) {
      const LONGLONG phase = phases.Next();
      const LONGLONG latency = Latency(session, insert, phase, card);
      if (latency < 0) {
        ++failures;
        continue;
      }
      // kind, phase after the request (ms), latency (ms)
      Record({"event", insert ? "insertion" : "removal",
              Number(static_cast<double>(phase) / kernel::kMillisecond),
              Number(static_cast<double>(latency) / kernel::kMillisecond)});
    }
    session.ClearTraces();
  }
  return failures;
}

}  // namespace figures
