// The status of a failed reader command, and a card command's reply that
// found no card.
#include "driver/card/card_power.h"

#include "driver/reader/reader_commands.h"
#include "driver/reader/reply.h"

namespace {

constexpr ULONG NoCardIndex = 3;
constexpr UCHAR NoCardMarker = 0xAD;

}  // namespace

NTSTATUS ReaderCommandFailure(NTSTATUS Status) { return Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status; }

NTSTATUS ReplyFindsCard(const DeviceContext* Context) {
  UCHAR answer = 0;
  const NTSTATUS read = ReadReplyByte(Context, NoCardIndex, &answer);
  if (!NT_SUCCESS(read)) return read;
  return answer == NoCardMarker ? STATUS_NO_MEDIA : STATUS_SUCCESS;
}
