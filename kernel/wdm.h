// What a WDM driver includes: the kernel stand-in's platform interface.
#pragma once

#include "kernel/ex.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/ntdef.h"
#include "kernel/ntstatus.h"
#include "kernel/po.h"
#include "kernel/power_types.h"
#include "kernel/rtl.h"
