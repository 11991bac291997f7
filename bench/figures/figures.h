// The figures that do not depend on the machine: what the driver does in
// simulated time on the emulator's timing model, and what it allocates.
// Each prints tab-separated records, one a line, the first field naming the
// record; scripts/bench.sh turns them into the results table and plot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace figures {

// Completion time, wire time, bulk transfers and T=1 blocks of each command
// at 9,600, 76,800 and 115,200 bit/s; throughput against APDU size.
int ProtocolEfficiency();
// Reader commands and wake-ups per simulated minute: idle, and with a
// tracking request waiting.
int IdleCost();
// Insertion and removal to the completion of the waiting tracking request.
int CardEvents(int events);
// Pool bytes per device and per transmission.
int PoolUsage();

// One record: the fields joined by tabs.
void Record(const std::vector<std::string>& fields);
std::string Number(double value);
std::string Number(std::uint64_t value);

}  // namespace figures
