// One card command as pcscd hands it to the IFD handler: IFDHTransmitToICC's
// function on a reader opened by name with the built-in T=1 card, powered
// and set to T=1, in real time as under pcscd. Everything below the call is
// ours: the channel, the host's resource manager, the I/O manager stand-in,
// the driver, the emulated port, reader and card. The commands are the
// pcscd benchmark's: GET CHALLENGE, 261 and 4,105 bytes.
//
//   transmit_bench --benchmark_filter=Handler
#include <benchmark/benchmark.h>

#include <vector>

#include "ifd/handler.h"
#include "platform/kernel/platform.h"

namespace {

std::vector<unsigned char> UpdateBinary(std::size_t data) {
  std::vector<unsigned char> apdu = {0x00, 0xD6, 0x00, 0x00, 0x00, static_cast<unsigned char>(data >> 8),
                                     static_cast<unsigned char>(data)};
  for (std::size_t i = 0; i < data; ++i) apdu.push_back(static_cast<unsigned char>(i * 7));
  return apdu;
}

void Handler(benchmark::State& state, const std::vector<unsigned char>& apdu) {
  constexpr unsigned long kLun = 0;
  if (ifd::CreateChannelByName(kLun, "emulated:card=t1") != ifd::kSuccess) {
    state.SkipWithError("the reader did not open");
    return;
  }
  unsigned char atr[64];
  unsigned long atrLength = sizeof atr;
  if (ifd::PowerIcc(kLun, ifd::kPowerUp, atr, &atrLength) != ifd::kSuccess ||
      ifd::SetProtocolParameters(kLun, ifd::kPcscProtocolT1, 0, 0, 0, 0) != ifd::kSuccess) {
    state.SkipWithError("the card did not power up in T=1");
  }
  // pcscd's receive buffer: the largest extended response.
  std::vector<unsigned char> response(65548);
  const std::uint64_t wakeups = kernel::Wakeups();
  for (auto _ : state) {
    unsigned long length = response.size();
    if (ifd::TransmitToIcc(kLun, 1, apdu.data(), apdu.size(), response.data(), &length) != ifd::kSuccess) {
      state.SkipWithError("transmission failed");
      break;
    }
  }
  // Platform waits that ended, on any thread: each is a hand-off between threads.
  state.counters["wakeups"] = benchmark::Counter(static_cast<double>(kernel::Wakeups() - wakeups),
                                                 benchmark::Counter::kAvgIterations);
  ifd::CloseChannel(kLun);
}

void HandlerShort(benchmark::State& state) { Handler(state, {0x00, 0x84, 0x00, 0x00, 0x08}); }
void Handler261Bytes(benchmark::State& state) { Handler(state, UpdateBinary(254)); }
void Handler4105Bytes(benchmark::State& state) { Handler(state, UpdateBinary(4098)); }

}  // namespace

BENCHMARK(HandlerShort)->UseRealTime();
BENCHMARK(Handler261Bytes)->UseRealTime();
BENCHMARK(Handler4105Bytes)->UseRealTime();
