// The IFD handler's functions with plain types: ifdh_entry.cpp exports them
// under pcsc-lite's names (IFDHCreateChannelByName, ...). DWORD in
// pcsc-lite is unsigned long, PUCHAR unsigned char*, RESPONSECODE long.
//
// Each Lun is one reader: pcscd numbers readers in the high 16 bits and
// slots in the low ones; this reader has one slot, so the low bits are 0.
#pragma once

#include <cstddef>
#include <memory>

#include "ifd/responses.h"

namespace emu {
class Reader;
}

namespace ifd {

Response CreateChannelByName(unsigned long lun, const char* deviceName);
Response CreateChannel(unsigned long lun, unsigned long channel);
Response CloseChannel(unsigned long lun);
Response GetCapabilities(unsigned long lun, unsigned long tag, unsigned long* length, unsigned char* value);
Response SetCapabilities(unsigned long lun, unsigned long tag, unsigned long length, const unsigned char* value);
Response SetProtocolParameters(unsigned long lun, unsigned long protocol, unsigned char flags, unsigned char pts1,
                               unsigned char pts2, unsigned char pts3);
Response PowerIcc(unsigned long lun, unsigned long action, unsigned char* atr, unsigned long* atrLength);
// `protocol` is the T number (0 or 1) pcscd puts in SendPci.Protocol.
Response TransmitToIcc(unsigned long lun, unsigned long protocol, const unsigned char* tx, unsigned long txLength,
                       unsigned char* rx, unsigned long* rxLength);
Response Control(unsigned long lun, unsigned long code, const unsigned char* tx, unsigned long txLength,
                 unsigned char* rx, unsigned long rxLength, unsigned long* bytesReturned);
Response IccPresence(unsigned long lun);

// What TAG_IFD_POLLING_THREAD_WITH_TIMEOUT and TAG_IFD_STOP_POLLING_THREAD hand to pcscd.
Response PollCardEvent(unsigned long lun, int timeoutMs);
Response StopPolling(unsigned long lun);

// For tests: how many channels are open, and the emulated reader behind a
// Lun (null when the Lun is not open).
std::size_t OpenChannels();
std::shared_ptr<emu::Reader> EmulatedReader(unsigned long lun);

}  // namespace ifd
