// CPU cost of one APDU through CardTransmit on a reader that answers at
// once, and, for the largest command and response, what crossed the wire
// and how long it took in simulated time against the emulator's wire time.
//
//   transmit_bench --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include "driver/card/reader_functions.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

emu::ReaderConfig Reader(emu::TimingModel timing) {
  emu::ReaderConfig config = readertest::ReaderWithFirmware("2.27");
  config.timing = timing;
  return config;
}

emu::CardConfig Card(UCHAR ifsc) {
  emu::CardConfig card = DualCard(ifsc);
  card.ifsd = ifsc;
  card.fileSize = 0xFFFF;
  return card;
}

// Echo of Length bytes with Le 00 (short), or UPDATE BINARY of Length bytes (extended).
Bytes Command(std::size_t length) {
  if (length <= 255) return Concat({{0x80, 0x22, 0x00, 0x00, static_cast<UCHAR>(length)}, Pattern(length), {0x00}});
  return Concat(
      {{0x00, 0xD6, 0x81, 0x00, 0x00, static_cast<UCHAR>(length >> 8), static_cast<UCHAR>(length)}, Pattern(length)});
}

// CardTransmit alone in the loop: the request and the reply buffers are
// prepared once, as the library would hand them over.
void RunTransmissions(benchmark::State& state, Path path, UCHAR ifsc, const Bytes& command) {
  TransmitDevice d(path, Card(ifsc), Reader(emu::TimingModel::Instant()));
  Bytes request = Concat({RequestHeader, command});
  Bytes reply(ExchangeBufferSize);
  ULONG information = 0;
  SMARTCARD_EXTENSION& extension = d.Context().SmartcardExtension;
  extension.IoRequest = {&information, request.data(), static_cast<ULONG>(request.size()), reply.data(),
                         static_cast<ULONG>(reply.size())};
  for (auto _ : state) {
    if (CardTransmit(&extension) != STATUS_SUCCESS) state.SkipWithError("transmission failed");
    d.Served().ClearTrace();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(command.size() + information));
}

void ShortT1(benchmark::State& state) { RunTransmissions(state, Path::T1, 0xFE, Command(4)); }
void ShortT0(benchmark::State& state) { RunTransmissions(state, Path::T0, 0xFE, Command(4)); }
void ChainedT1OneKiB(benchmark::State& state) { RunTransmissions(state, Path::T1, 0x20, Command(1024)); }
void LargestCommandT1(benchmark::State& state) { RunTransmissions(state, Path::T1, 0xFE, Command(0xFFFF)); }
void LargestResponseT1(benchmark::State& state) {
  RunTransmissions(state, Path::T1, 0xFE, {0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00});
}

// One transmission on the default timing model (1 ms USB latency, 76,800
// bit/s on the contacts): blocks, bytes on the card's side, simulated time
// and the time the characters alone take.
void WireTime(benchmark::State& state, const Bytes& command) {
  const emu::TimingModel timing;
  TransmitDevice d(Path::T1, Card(0xFE), Reader(timing));
  std::size_t blocks = 0;
  std::size_t bytes = 0;
  LONGLONG simulated = 0;
  for (auto _ : state) {
    const std::size_t receivedBefore = d.card->T1BlocksReceived().size();
    const std::size_t sentBefore = d.card->T1BlocksSent().size();
    const LONGLONG start = kernel::Now();
    if (d.Transmit(command).status != STATUS_SUCCESS) state.SkipWithError("transmission failed");
    simulated = kernel::Now() - start;
    blocks = 0;
    bytes = 0;
    const auto& received = d.card->T1BlocksReceived();
    const auto& sent = d.card->T1BlocksSent();
    for (std::size_t i = receivedBefore; i < received.size(); ++i, ++blocks) bytes += received[i].size();
    for (std::size_t i = sentBefore; i < sent.size(); ++i, ++blocks) bytes += sent[i].size();
  }
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["wire_bytes"] = static_cast<double>(bytes);
  state.counters["simulated_ms"] = static_cast<double>(simulated) / kernel::kMillisecond;
  state.counters["wire_ms"] = static_cast<double>(timing.CardTime(bytes)) / kernel::kMillisecond;
}

void WireTimeShort(benchmark::State& state) { WireTime(state, Command(4)); }
void WireTimeLargestCommand(benchmark::State& state) { WireTime(state, Command(0xFFFF)); }
void WireTimeLargestResponse(benchmark::State& state) { WireTime(state, {0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00}); }

}  // namespace

BENCHMARK(ShortT1)->UseRealTime();
BENCHMARK(ShortT0)->UseRealTime();
BENCHMARK(ChainedT1OneKiB)->UseRealTime();
BENCHMARK(LargestCommandT1)->UseRealTime();
BENCHMARK(LargestResponseT1)->UseRealTime();
BENCHMARK(WireTimeShort)->Iterations(1);
BENCHMARK(WireTimeLargestCommand)->Iterations(1);
BENCHMARK(WireTimeLargestResponse)->Iterations(1);
