// Each command in simulated time on the emulator's timing model (USB round
// trip, card character time) against the time its own bytes take on the
// contacts at that bit rate, which no reader can beat.
#include <cstdio>

#include "bench/figures/figures.h"
#include "bench/support/bench_session.h"

namespace figures {
namespace {

constexpr std::uint32_t kRates[] = {9'600, 76'800, 115'200};

struct Measured {
  bool ok = false;
  std::size_t responseBytes = 0;  // response data and status words
  LONGLONG elapsed = 0;
  std::uint32_t bulkTransfers = 0;
  std::uint32_t frames = 0;
  std::size_t blocks = 0;      // T=1 blocks both ways
  std::size_t blockBytes = 0;  // their bytes: what the contacts carried on T=1
};

// The second of two runs: the first one leaves the card and driver warm.
Measured Measure(bench::Protocol protocol, std::uint8_t ifsc, const bench::Bytes& apdu, std::uint32_t rate) {
  Measured m;
  bench::Session session({emu::TimingModel::AtBitRate(rate), protocol, ifsc, true});
  if (!session.Ready()) {
    std::fprintf(stderr, "bench_figures: %s\n", session.Failure().c_str());
    return m;
  }
  const host::ControlRequest request = session.Request(apdu);
  if (!NT_SUCCESS(session.Send(request).status)) return m;
  const emu::ReaderCounters before = session.Reader().Counters();
  const std::size_t received = session.Card()->T1BlocksReceived().size();
  const std::size_t sent = session.Card()->T1BlocksSent().size();
  const LONGLONG start = kernel::Now();
  const kernel::IoResult result = session.Send(request);
  m.elapsed = kernel::Now() - start;
  const emu::ReaderCounters after = session.Reader().Counters();
  m.ok = NT_SUCCESS(result.status) && result.output.size() >= 10;
  m.responseBytes = result.output.size() >= 8 ? result.output.size() - 8 : 0;
  m.bulkTransfers = (after.outTransfers - before.outTransfers) + (after.inTransfers - before.inTransfers);
  m.frames = after.framesReceived - before.framesReceived;
  const auto& in = session.Card()->T1BlocksReceived();
  const auto& out = session.Card()->T1BlocksSent();
  for (std::size_t i = received; i < in.size(); ++i, ++m.blocks) m.blockBytes += in[i].size();
  for (std::size_t i = sent; i < out.size(); ++i, ++m.blocks) m.blockBytes += out[i].size();
  return m;
}

double Microseconds(LONGLONG units) { return static_cast<double>(units) / kernel::kMicrosecond; }

}  // namespace

int ProtocolEfficiency() {
  int failures = 0;
  for (const std::uint32_t rate : kRates) {
    const emu::TimingModel timing = emu::TimingModel::AtBitRate(rate);
    for (const bench::CommandCase& c : bench::StandardCommands()) {
      const Measured m = Measure(c.protocol, c.ifsc, c.apdu, rate);
      if (!m.ok) {
        std::fprintf(stderr, "bench_figures: %s at %u bit/s failed\n", c.name.c_str(), rate);
        ++failures;
        continue;
      }
      const LONGLONG wire = timing.CardTime(c.apdu.size() + m.responseBytes);
      // rate, command, command bytes, response bytes, completion us, wire us,
      // bulk transfers, reader frames, T=1 blocks, T=1 block bytes
      Record({"wire", Number(std::uint64_t{rate}), c.name, Number(std::uint64_t{c.apdu.size()}),
              Number(std::uint64_t{m.responseBytes}), Number(Microseconds(m.elapsed)), Number(Microseconds(wire)),
              Number(std::uint64_t{m.bulkTransfers}), Number(std::uint64_t{m.frames}), Number(std::uint64_t{m.blocks}),
              Number(std::uint64_t{m.blockBytes})});
    }
    // Throughput against the size of what is carried, both ways.
    for (const std::size_t length : {1, 16, 64, 128, 255, 1024, 4096, 16384, 65535}) {
      const bench::Bytes command = bench::SendCommand(length);
      const Measured sent = Measure(bench::Protocol::T1, 0xFE, command, rate);
      const Measured got = Measure(bench::Protocol::T1, 0xFE, bench::ReceiveCommand(length), rate);
      if (!sent.ok || !got.ok) {
        std::fprintf(stderr, "bench_figures: %zu bytes at %u bit/s failed\n", length, rate);
        ++failures;
        continue;
      }
      // rate, direction, data length, APDU bytes both ways, completion us, wire us
      Record({"size", Number(std::uint64_t{rate}), "command", Number(std::uint64_t{length}),
              Number(std::uint64_t{command.size() + sent.responseBytes}), Number(Microseconds(sent.elapsed)),
              Number(Microseconds(timing.CardTime(command.size() + sent.responseBytes)))});
      const std::size_t getSize = bench::ReceiveCommand(length).size();
      Record({"size", Number(std::uint64_t{rate}), "response", Number(std::uint64_t{length}),
              Number(std::uint64_t{getSize + got.responseBytes}), Number(Microseconds(got.elapsed)),
              Number(Microseconds(timing.CardTime(getSize + got.responseBytes)))});
    }
  }
  return failures;
}

}  // namespace figures
