// The statuses the driver completes requests with, as IFD responses: one
// row for each response and for what falls to the default.
#include <gtest/gtest.h>

#include "ifd/status_mapping.h"
#include "platform/kernel/ntstatus.h"

namespace {

TEST(StatusMapping, EachKindOfStatusHasItsResponse) {
  const struct {
    NTSTATUS status;
    ifd::Response response;
  } table[] = {
      {STATUS_SUCCESS, ifd::kSuccess},
      {static_cast<NTSTATUS>(0x00000001), ifd::kSuccess},  // informational
      {STATUS_PENDING, ifd::kCommunicationError},          // never a result
      {STATUS_IO_TIMEOUT, ifd::kResponseTimeout},
      {STATUS_NO_MEDIA, ifd::kIccNotPresent},
      {STATUS_BUFFER_TOO_SMALL, ifd::kErrorInsufficientBuffer},
      {STATUS_DELETE_PENDING, ifd::kNoSuchDevice},
      {STATUS_DEVICE_REMOVED, ifd::kNoSuchDevice},
      {STATUS_INVALID_DEVICE_REQUEST, ifd::kNotSupported},
      {STATUS_DEVICE_POWER_FAILURE, ifd::kErrorPowerAction},
      {STATUS_CANCELLED, ifd::kCommunicationError},
      {static_cast<NTSTATUS>(0xC0000001u + 0x7777), ifd::kCommunicationError},
  };
  for (const auto& row : table) {
    EXPECT_EQ(row.response, ifd::MapStatus(row.status)) << std::hex << static_cast<unsigned>(row.status);
  }
}

}  // namespace
