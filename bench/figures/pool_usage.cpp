// Non-paged pool: what a started reader keeps, and what one transmission
// allocates (the driver's "TQM9" blocks, and every tag together: the I/O
// manager's request and system buffer included).
#include <cstdio>

#include "bench/figures/figures.h"
#include "bench/support/bench_session.h"
#include "driver/device/device_context.h"

namespace figures {

int PoolUsage() {
  int failures = 0;
  bool deviceShown = false;
  for (const bench::CommandCase& c : bench::StandardCommands()) {
    bench::Session session({emu::TimingModel::Instant(), c.protocol, c.ifsc, true});
    if (!session.Ready()) {
      std::fprintf(stderr, "bench_figures: %s\n", session.Failure().c_str());
      return 1;
    }
    if (!deviceShown) {
      const kernel::pool::TagStats device = kernel::pool::Stats(DriverPoolTag);
      // blocks and bytes the driver keeps for a started device, and its
      // device extension (the device context, allocated with the device object)
      Record({"pool-device", Number(std::uint64_t{device.liveBlocks}), Number(std::uint64_t{device.liveBytes}),
              Number(std::uint64_t{sizeof(DeviceContext)})});
      deviceShown = true;
    }
    const host::ControlRequest request = session.Request(c.apdu);
    session.Send(request);
    session.ClearTraces();
    kernel::pool::ResetPeaks();
    const kernel::pool::TagStats driverBefore = kernel::pool::Stats(DriverPoolTag);
    const kernel::pool::TagStats allBefore = kernel::pool::Totals();
    const kernel::IoResult result = session.Send(request);
    const kernel::pool::TagStats driverAfter = kernel::pool::Stats(DriverPoolTag);
    const kernel::pool::TagStats allAfter = kernel::pool::Totals();
    if (!NT_SUCCESS(result.status)) {
      ++failures;
      continue;
    }
    // command; driver: allocations, bytes allocated, peak bytes above what the
    // device keeps, blocks left behind; all tags: allocations, bytes allocated
    Record({"pool-transmit", c.name, Number(std::uint64_t{driverAfter.allocations - driverBefore.allocations}),
            Number(driverAfter.allocatedBytes - driverBefore.allocatedBytes),
            Number(std::uint64_t{driverAfter.peakBytes - driverBefore.liveBytes}),
            Number(std::uint64_t{driverAfter.liveBlocks - driverBefore.liveBlocks}),
            Number(std::uint64_t{allAfter.allocations - allBefore.allocations}),
            Number(allAfter.allocatedBytes - allBefore.allocatedBytes)});
  }
  return failures;
}

}  // namespace figures
