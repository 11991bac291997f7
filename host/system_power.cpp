#include "host/system_power.h"

#include "host/request_names.h"
#include "platform/kernel/power_manager.h"

namespace host {

NTSTATUS SystemPower::Sleep(SYSTEM_POWER_STATE state) {
  const std::string target = " " + SystemStateName(state);
  const NTSTATUS query = kernel::QuerySystemPower(reader_.Top(), state);
  host_.Requests().Record(PowerMinorName(IRP_MN_QUERY_POWER) + target, query);
  if (!NT_SUCCESS(query)) return query;
  const NTSTATUS set = kernel::SetSystemPower(reader_.Top(), state);
  host_.Requests().Record(PowerMinorName(IRP_MN_SET_POWER) + target, set);
  return set;
}

NTSTATUS SystemPower::Resume() {
  const NTSTATUS status = kernel::ResumeSystem(reader_.Top());
  host_.Requests().Record(PowerMinorName(IRP_MN_SET_POWER) + " S0", status);
  return status;
}

}  // namespace host
