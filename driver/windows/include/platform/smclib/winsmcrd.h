// The kernel images' smart-card constants: MinGW-w64's winsmcrd.h, and the
// reader interface class it lacks.
#pragma once

#include "platform/kernel/wdm.h"

#include <winsmcrd.h>

constexpr GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
