// CPU cost of one card command through the whole stack: the transmit
// request in at the top of the device stack (I/O manager, the driver's
// device-control gate, the smart-card library, CardTransmit), frames out to
// the emulated reader and card, which answer at once.
//
//   transmit_bench --benchmark_filter=Request
#include <benchmark/benchmark.h>

#include "bench/support/bench_session.h"

namespace {

void Request(benchmark::State& state, std::size_t index) {
  const bench::CommandCase c = bench::StandardCommands().at(index);
  bench::Session session({emu::TimingModel::Instant(), c.protocol, c.ifsc, true});
  if (!session.Ready()) {
    state.SkipWithError(session.Failure().c_str());
    return;
  }
  const host::ControlRequest request = session.Request(c.apdu);
  std::size_t replied = 0;
  for (auto _ : state) {
    const kernel::IoResult result = session.Send(request);
    if (!NT_SUCCESS(result.status)) state.SkipWithError("transmission failed");
    replied = result.output.size();
    session.ClearTraces();
  }
  state.SetLabel(c.name);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.apdu.size() + replied));
}

void RequestShortT1(benchmark::State& state) { Request(state, 0); }
void RequestShortT0(benchmark::State& state) { Request(state, 1); }
void RequestChainedT1OneKiB(benchmark::State& state) { Request(state, 2); }
void RequestLargestCommandT1(benchmark::State& state) { Request(state, 3); }
void RequestLargestResponseT1(benchmark::State& state) { Request(state, 4); }

}  // namespace

BENCHMARK(RequestShortT1)->UseRealTime();
BENCHMARK(RequestShortT0)->UseRealTime();
BENCHMARK(RequestChainedT1OneKiB)->UseRealTime();
BENCHMARK(RequestLargestCommandT1)->UseRealTime();
BENCHMARK(RequestLargestResponseT1)->UseRealTime();
