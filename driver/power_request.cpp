// Device power requests the port asks the power manager for and waits on:
// full power at open.
#include "driver/power.h"

namespace {

// The power manager's callback when the device request has gone through
// the stack: wakes the waiter, if any.
VOID NTAPI PowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState, PVOID context,
                            PIO_STATUS_BLOCK ioStatus) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    UNREFERENCED_PARAMETER(ioStatus);
    if (context != nullptr) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS RequestDevicePowerAndWait(PDEVICE_OBJECT pdo, PortExtension* port, DEVICE_POWER_STATE state) {
    UNREFERENCED_PARAMETER(port);
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    const NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, power, PowerRequestDone, &done, nullptr);
    if (status != STATUS_PENDING) return status;
    // The device request's own outcome is not reported: the device is
    // used as it came out.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}
