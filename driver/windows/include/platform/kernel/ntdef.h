// The basic types come with the platform's kernel headers.
#pragma once

#include "platform/kernel/wdm.h"
