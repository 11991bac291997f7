// What a WDM driver includes: the kernel stand-in's platform interface.
#pragma once

#include "platform/kernel/ex.h"
#include "platform/kernel/io.h"
#include "platform/kernel/ke.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/po.h"
#include "platform/kernel/power_types.h"
#include "platform/kernel/rtl.h"

// The published sizes, held against the records above.
#include "platform/kernel/layout.h"
