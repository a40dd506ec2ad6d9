// Device set-power requests: the device's power state as the port records
// it. A lower state is recorded as the request goes down (from then on the
// device may be suspended); D0 only once the bus has completed the request
// (until then nothing reaches the chip).
#include "driver/power.h"
#include "io/request_queue.h"

namespace {

void RecordDeviceState(PortExtension* port, DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    PoSetPowerState(port->deviceObject, DevicePowerState, power);
}

}  // namespace

NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    PortExtension* port = PortFromDevice(static_cast<PDEVICE_OBJECT>(context));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    port->devicePowerState = PowerDeviceD0;
    // The port uses the device as it came out; a bus that could not power
    // it up fails the requests sent to it.
    irp->IoStatus.Status = STATUS_SUCCESS;
    RecordDeviceState(port, PowerDeviceD0);
    FinishRequest(port);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceSetPower(PortExtension* port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    const BOOLEAN lower = state >= PowerDeviceD1 && state <= PowerDeviceD3;
    if (lower) {
        port->devicePowerState = state;
        RecordDeviceState(port, state);
    }

    IoCopyCurrentIrpStackLocationToNext(irp);
    if (state == PowerDeviceD0)
        IoSetCompletionRoutine(irp, DevicePowerUpDone, port->deviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    const NTSTATUS status = PoCallDriver(port->lowerDevice, irp);
    if (state != PowerDeviceD0) FinishRequest(port);
    return status;
}
