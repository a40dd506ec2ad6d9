// IRP_MJ_POWER: admission, then by minor function. Set-power requests are
// served in system_power.cpp and device_power.cpp; a device query is
// refused when it would take the device deeper than the state it can wake
// the system from while a wake-up is armed; everything else goes down.
//
// The device object is power-pageable: power requests arrive at
// PASSIVE_LEVEL.
#include "driver/dispatch.h"
#include "driver/power.h"
#include "io/request_queue.h"

namespace {

NTSTATUS CompletePower(PortExtension* port, PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(port);
    return status;
}

NTSTATUS QueryPower(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    // The armed wake-up would be lost in a state the device cannot wake from.
    if (port->sendWaitWake && stack->Parameters.Power.Type == DevicePowerState &&
        stack->Parameters.Power.State.DeviceState > port->deviceWake)
        return CompletePower(port, irp, STATUS_INVALID_DEVICE_STATE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallLowerAndFinish(port, port->lowerDevice, irp);
}

// Wait-wake, power sequence and the rest: down the stack. A port whose chip
// is in use comes back to full power afterwards. The admission count is
// held through the power-up, so that a removal waits for it.
NTSTATUS PassDownOther(PortExtension* port, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = PoCallDriver(port->lowerDevice, irp);
    if (port->chipConfigured == 1 && port->devicePowerState != PowerDeviceD0 && !PortBeingRemoved(port) &&
        NT_SUCCESS(RequestDevicePowerAndWait(port->pdo, port, PowerDeviceD0)))
        RestoreChipAfterSleep(port);  // the readers, withdrawn at the suspend
    FinishRequest(port);
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    const NTSTATUS admitted = AdmitRequest(irp, port);
    // Admission does not hold power requests, even while a stop is pending
    // (io/admission.cpp); should it ever, the request is no longer ours.
    if (admitted == STATUS_PENDING) return STATUS_PENDING;
    if (!NT_SUCCESS(admitted)) return CompletePower(port, irp, admitted);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) return SystemSetPower(port, irp);
        if (stack->Parameters.Power.Type == DevicePowerState) return DeviceSetPower(port, irp);
        break;
    case IRP_MN_QUERY_POWER:
        return QueryPower(port, irp, stack);
    default:
        break;
    }
    return PassDownOther(port, irp);
}
