// The build-time identity of the deliverable: the one place where Kt2210p and
// Lm5520p differ. Everything else asks this record.
#pragma once

#include "platform/kernel/ntdef.h"

struct MODEL_IDENTITY {
  const char* DeliverableName;  // "Kt2210p" or "Lm5520p"
  const char* IfdType;          // reader type text reported to the resource manager
  UCHAR DriverVersionMajor;
  UCHAR DriverVersionMinor;     // decimal: 27 means version 2.27
};

extern const MODEL_IDENTITY ModelIdentity;
