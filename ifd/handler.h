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

// Every function answers IFD_NO_SUCH_DEVICE for a Lun that is not open (or
// names a slot other than 0) and IFD_COMMUNICATION_ERROR for a null pointer
// it needs; a status of the driver becomes a response by MapStatus
// (status_mapping.cpp). Besides those:

// IFD_SUCCESS; IFD_NO_SUCH_DEVICE for a DEVICENAME that is not ours or a
// reader that did not start (both logged); IFD_COMMUNICATION_ERROR for a Lun
// already open or a driver that did not load. A null or empty name is the
// default reader, as IFDHCreateChannel gives.
Response CreateChannelByName(unsigned long lun, const char* deviceName);
Response CreateChannel(unsigned long lun, unsigned long channel);
// IFD_SUCCESS once the reader is removed; the last close also unloads the
// driver and logs whether it left pool blocks or requests behind.
Response CloseChannel(unsigned long lun);
// IFD_SUCCESS with *length set; IFD_ERROR_TAG for a tag the driver does not
// know; IFD_ERROR_INSUFFICIENT_BUFFER when *length is too short.
Response GetCapabilities(unsigned long lun, unsigned long tag, unsigned long* length, unsigned char* value);
// IFD_ERROR_TAG: nothing can be set.
Response SetCapabilities(unsigned long lun, unsigned long tag, unsigned long length, const unsigned char* value);
// IFD_SUCCESS; IFD_PROTOCOL_NOT_SUPPORTED for an empty mask or a protocol
// the driver did not select; IFD_ICC_NOT_PRESENT. No PTS is exchanged.
Response SetProtocolParameters(unsigned long lun, unsigned long protocol, unsigned char flags, unsigned char pts1,
                               unsigned char pts2, unsigned char pts3);
// IFD_SUCCESS with the ATR (nothing for a power-down); IFD_ICC_NOT_PRESENT;
// IFD_ERROR_INSUFFICIENT_BUFFER for an ATR longer than *atrLength (nothing
// written); IFD_ERROR_POWER_ACTION for other failures; IFD_NOT_SUPPORTED for
// an unknown action.
Response PowerIcc(unsigned long lun, unsigned long action, unsigned char* atr, unsigned long* atrLength);
// `protocol` is the T number (0 or 1, or pcsc-lite's RAW) pcscd puts in
// SendPci.Protocol. IFD_SUCCESS with the response; otherwise *rxLength is 0:
// IFD_PROTOCOL_NOT_SUPPORTED, IFD_ERROR_INSUFFICIENT_BUFFER, IFD_ICC_NOT_PRESENT,
// IFD_RESPONSE_TIMEOUT, IFD_NOT_SUPPORTED (a command longer than 65,542
// bytes), IFD_COMMUNICATION_ERROR.
Response TransmitToIcc(unsigned long lun, unsigned long protocol, const unsigned char* tx, unsigned long txLength,
                       unsigned char* rx, unsigned long* rxLength);
// SCARD_CTL_CODE(2049) to (2056): the vendor codes, IFD_SUCCESS with their
// output or the mapped status; SCARD_CTL_CODE(3400): IFD_SUCCESS with an
// empty feature list; any other code IFD_ERROR_NOT_SUPPORTED.
Response Control(unsigned long lun, unsigned long code, const unsigned char* tx, unsigned long txLength,
                 unsigned char* rx, unsigned long rxLength, unsigned long* bytesReturned);
// IFD_ICC_PRESENT or IFD_ICC_NOT_PRESENT.
Response IccPresence(unsigned long lun);

// What TAG_IFD_POLLING_THREAD_WITH_TIMEOUT and TAG_IFD_STOP_POLLING_THREAD
// hand to pcscd. PollCardEvent answers IFD_SUCCESS after a change, at the
// time limit and after a stop (pcscd then asks IFDHICCPresence).
Response PollCardEvent(unsigned long lun, int timeoutMs);
Response StopPolling(unsigned long lun);

// For tests: how many channels are open, and the emulated reader behind a
// Lun (null when the Lun is not open).
std::size_t OpenChannels();
std::shared_ptr<emu::Reader> EmulatedReader(unsigned long lun);

}  // namespace ifd
