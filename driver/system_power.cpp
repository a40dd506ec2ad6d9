// System set-power requests. The port owns its stack's power policy: for a
// system state it asks the bus for the device state that goes with it
// (working: D0; any sleeping state: D3) and passes the system request down
// only once that device request has gone through.
//
// Returning to the working state the chip's settings go back once the D0
// request has gone through: until the bus has completed it, the hub is
// still resuming the port and nothing reaches the chip. The callback may
// run at DISPATCH_LEVEL, so it hands the restore to the port work item
// (PASSIVE_LEVEL); the dispatch itself does not wait. The work item is
// the device's own, counted in pendingDpcCount and flushed before removal
// frees it, so the restore never outlives the port.
//
// A failing PoRequestPowerIrp never strands the system request: it goes
// down as if the device were already in the target state.
#include "driver/power.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"

namespace {

// The held system request goes down; its admission count is given back.
void PassHeldSystemRequestDown(PortExtension* port) {
    PIRP irp = port->pendingSystemPowerIrp;
    port->pendingSystemPowerIrp = nullptr;
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    PoCallDriver(port->lowerDevice, irp);
    FinishRequest(port);
}

DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE system) {
    return system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

}  // namespace

VOID NTAPI SystemPowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                  PVOID context, PIO_STATUS_BLOCK ioStatus) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(ioStatus);
    PortExtension* port = PortFromDevice(static_cast<PDEVICE_OBJECT>(context));
    // Queued while the system request still holds its admission count: a
    // removal cannot have freed the work item yet.
    if (powerState.DeviceState == PowerDeviceD0) {
        InterlockedExchange(&port->restoreWanted, 1);
        QueuePortWork(port);
    }
    PassHeldSystemRequestDown(port);
}

NTSTATUS SystemSetPower(PortExtension* port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const DEVICE_POWER_STATE target = DeviceStateFor(stack->Parameters.Power.State.SystemState);

    if (target == port->devicePowerState) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PoStartNextPowerIrp(irp);
        const NTSTATUS status = PoCallDriver(port->lowerDevice, irp);
        // Under this request's admission count: a removal waits for it.
        if (target == PowerDeviceD0) RestoreChipAfterSleep(port);
        FinishRequest(port);
        return status;
    }

    port->pendingSystemPowerIrp = irp;
    IoMarkIrpPending(irp);
    POWER_STATE power;
    power.DeviceState = target;
    const NTSTATUS requested =
        PoRequestPowerIrp(port->pdo, IRP_MN_SET_POWER, power, SystemPowerRequestDone, port->deviceObject, nullptr);
    if (requested != STATUS_PENDING) {
        // No device request will call back: the system request goes down now.
        PassHeldSystemRequestDown(port);
        return STATUS_PENDING;
    }
    return STATUS_PENDING;
}
