// The admission check every dispatch routine makes first, and the count of
// requests inside the driver that stop and removal wait to drain.
#include "io/request_queue.h"

NTSTATUS AdmitRequest(PIRP irp, PortExtension* port) {
    // Counted before anything else, so a drain that starts now waits for us.
    InterlockedIncrement(&port->pendingIrpCount);

    const bool isPnp = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP;
    KIRQL irql;
    KeAcquireSpinLock(&port->flagsLock, &irql);
    const LONG accept = port->pnpAccept;
    KeReleaseSpinLock(&port->flagsLock, irql);

    if (accept == 0) return STATUS_SUCCESS;

    if (accept & (PNP_ACCEPT_REMOVING | PNP_ACCEPT_SURPRISE_REMOVED)) {
        if (isPnp) return STATUS_SUCCESS;
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        return STATUS_DELETE_PENDING;
    }

    if ((accept & PNP_ACCEPT_STOPPING) && !isPnp) {
        // Held until the device is started again. The stalled queue belongs
        // to the cancel spin lock (flagsLock is never held with another lock).
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            return STATUS_CANCELLED;
        }
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_PENDING;
        InsertTailList(&port->stalledQueue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, CancelStalledRequest);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }

    // Stopped only (no handle can be open then), or a Plug and Play request
    // while a stop is pending.
    return STATUS_SUCCESS;
}

void FinishRequest(PortExtension* port) {
    if (InterlockedDecrement(&port->pendingIrpCount) == 0) KeSetEvent(&port->irpsDoneEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (!(port->handFlow.ControlHandShake & SERIAL_ERROR_ABORT) || port->errorWord == 0) return STATUS_SUCCESS;

    // Reading the error status is what clears the condition, so it must pass.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS)
        return STATUS_SUCCESS;

    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(port);
    return STATUS_CANCELLED;
}

NTSTATUS CallLowerAndFinish(PortExtension* port, PDEVICE_OBJECT lowerDevice, PIRP irp) {
    const NTSTATUS status = IoCallDriver(lowerDevice, irp);
    FinishRequest(port);
    return status;
}

NTSTATUS PoCallLowerAndFinish(PortExtension* port, PDEVICE_OBJECT lowerDevice, PIRP irp) {
    const NTSTATUS status = PoCallDriver(lowerDevice, irp);
    FinishRequest(port);
    return status;
}

NTSTATUS AdmitDataRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    const NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return STATUS_PENDING;  // held until the device is started again
    if (!NT_SUCCESS(status)) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return status;
    }
    return FailIfErrorAbort(deviceObject, irp);
}
