// Requests that arrive while a Plug and Play stop is pending wait in the
// stalled queue until the device is started again or the stop is
// cancelled, then go through their dispatch routine anew. While parked
// they hold no admission count (admission.cpp).
#include "io/request_queue.h"

// Entered with the cancel spin lock held.
VOID NTAPI CancelStalledRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    UnlinkRequest(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

void CancelAllStalledRequests(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CancelEveryQueuedRequest(deviceObject, &port->stalledQueue, CancelStalledRequest, &irql);
    IoReleaseCancelSpinLock(irql);
}

void ResubmitStalledRequests(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(&port->stalledQueue)) {
        PIRP irp = IrpFromListEntry(port->stalledQueue.Flink);  // oldest first
        UnlinkRequest(irp);
        IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);

        // Its dispatch routine admits (and counts) it anew.
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PDEVICE_OBJECT deviceObject = stack->DeviceObject;
        deviceObject->DriverObject->MajorFunction[stack->MajorFunction](deviceObject, irp);

        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}
