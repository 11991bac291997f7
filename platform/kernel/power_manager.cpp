#include "platform/kernel/power_manager.h"

#include "platform/kernel/io_user.h"

namespace kernel {
namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemWorking:
      return PowerActionNone;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdownOff;
    default:
      return PowerActionSleep;
  }
}

NTSTATUS SendSystemPower(PDEVICE_OBJECT device, UCHAR minor, SYSTEM_POWER_STATE state) {
  return SendIrpAndWait(device, IRP_MJ_POWER, minor,
                        [state](IO_STACK_LOCATION& location) {
                          location.Parameters.Power.Type = SystemPowerState;
                          location.Parameters.Power.State.SystemState = state;
                          location.Parameters.Power.ShutdownType = ActionFor(state);
                        })
      .Status;
}

}  // namespace

NTSTATUS QuerySystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  return SendSystemPower(device, IRP_MN_QUERY_POWER, state);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  return SendSystemPower(device, IRP_MN_SET_POWER, state);
}

NTSTATUS SleepSystem(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  const NTSTATUS query = QuerySystemPower(device, state);
  if (!NT_SUCCESS(query)) return query;
  return SetSystemPower(device, state);
}

NTSTATUS ResumeSystem(PDEVICE_OBJECT device) { return SetSystemPower(device, PowerSystemWorking); }

}  // namespace kernel
