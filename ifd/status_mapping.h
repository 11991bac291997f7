// How a status the driver completes a request with becomes an IFD response.
#pragma once

#include "ifd/responses.h"
#include "platform/kernel/ntdef.h"

namespace ifd {

// The table in status_mapping.cpp, for every status the driver returns.
Response MapStatus(NTSTATUS status);

}  // namespace ifd
