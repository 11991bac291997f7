// The statuses the driver completes requests with, as IFD responses (the
// handler's constants, which ifdh_entry.cpp checks against ifdhandler.h).
#include <gtest/gtest.h>

#include "ifd/status_mapping.h"
#include "platform/kernel/ntstatus.h"

namespace {

TEST(StatusMapping, EveryDriverStatusHasItsResponse) {
  const struct {
    NTSTATUS status;
    ifd::Response response;
  } table[] = {
      {STATUS_SUCCESS, ifd::kSuccess},
      {STATUS_TIMEOUT, ifd::kResponseTimeout},
      {STATUS_PENDING, ifd::kCommunicationError},
      {STATUS_NO_MEDIA, ifd::kIccNotPresent},
      {STATUS_IO_TIMEOUT, ifd::kResponseTimeout},
      {STATUS_BUFFER_TOO_SMALL, ifd::kErrorInsufficientBuffer},
      {STATUS_DELETE_PENDING, ifd::kNoSuchDevice},
      {STATUS_DEVICE_REMOVED, ifd::kNoSuchDevice},
      {STATUS_NO_SUCH_DEVICE, ifd::kNoSuchDevice},
      {STATUS_DEVICE_NOT_CONNECTED, ifd::kNoSuchDevice},
      {STATUS_OBJECT_NAME_NOT_FOUND, ifd::kNoSuchDevice},
      {STATUS_NOT_SUPPORTED, ifd::kNotSupported},
      {STATUS_NOT_IMPLEMENTED, ifd::kNotSupported},
      {STATUS_INVALID_DEVICE_REQUEST, ifd::kNotSupported},
      {STATUS_DEVICE_POWER_FAILURE, ifd::kErrorPowerAction},
      {STATUS_DEVICE_BUSY, ifd::kCommunicationError},
      {STATUS_CANCELLED, ifd::kCommunicationError},
      {STATUS_INVALID_PARAMETER, ifd::kCommunicationError},
      {STATUS_PORT_ALREADY_SET, ifd::kCommunicationError},
      {STATUS_DEVICE_PROTOCOL_ERROR, ifd::kCommunicationError},
      {STATUS_IO_DEVICE_ERROR, ifd::kCommunicationError},
      {STATUS_DEVICE_DATA_ERROR, ifd::kCommunicationError},
      {STATUS_INVALID_DEVICE_STATE, ifd::kCommunicationError},
      {STATUS_INSUFFICIENT_RESOURCES, ifd::kCommunicationError},
      {STATUS_NO_MEMORY, ifd::kCommunicationError},
      {STATUS_ACCESS_DENIED, ifd::kCommunicationError},
      {STATUS_UNSUCCESSFUL, ifd::kCommunicationError},
      {static_cast<NTSTATUS>(0xC0000001u + 0x7777), ifd::kCommunicationError},
      {static_cast<NTSTATUS>(0x00000001), ifd::kSuccess},
  };
  for (const auto& row : table) {
    EXPECT_EQ(row.response, ifd::MapStatus(row.status)) << std::hex << static_cast<unsigned>(row.status);
  }
}

}  // namespace
