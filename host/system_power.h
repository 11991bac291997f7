// The power manager for one plugged reader: a system sleep (the query, then
// the transition, as the platform runs it) and the return to the working
// state, delivered to the top of the device's stack and waited for. The
// device power requests the driver asks for on the way go down the same
// stack; every request the host sends is in the journal.
#pragma once

#include "host/host.h"
#include "host/plugged_reader.h"

namespace host {

class SystemPower {
 public:
  SystemPower(Host& host, PluggedReader& reader) : host_(host), reader_(reader) {}

  // S1 to S5; the query's failure when the query fails, else the transition's status.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  // Back to S0.
  NTSTATUS Resume();

 private:
  Host& host_;
  PluggedReader& reader_;
};

}  // namespace host
