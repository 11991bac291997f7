// What the tests look at behind the handler: the emulated reader of a Lun
// and the platform's accounting. Plain types only: the test files include
// pcsc-lite's headers, whose DWORD and LONG clash with the kernel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ifdtest {

using Bytes = std::vector<std::uint8_t>;

// The ATR of a built-in card: T=1 only or T=0 only.
Bytes AtrOf(bool t1);

bool HasCard(unsigned long lun);
void RemoveCard(unsigned long lun);
int CommandB0Parameter(unsigned long lun);  // -1 when none was sent
bool ReaderReceived(unsigned long lun, const Bytes& frame);
// A TCP port on 127.0.0.1 that was free a moment ago (0 when none could be had).
std::uint16_t FreeTcpPort();

unsigned long DriverPoolBlocks();
std::size_t LiveRequests();
std::size_t RequestsInProgress();

}  // namespace ifdtest
