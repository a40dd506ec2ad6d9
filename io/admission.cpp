// The admission check every dispatch routine makes first, and the count of
// requests inside the driver that stop and removal wait to drain.
//
// Parking. While a stop is pending (PNP_ACCEPT_STOPPING) a request other
// than Plug and Play or power is parked in stalledQueue until the device is started
// again or the stop is cancelled. Two rules make that safe:
//  - A parked request gives its admission count back as it is parked: the
//    stop that follows drains pendingIrpCount, and a request waiting for
//    the end of that stop must not be what the drain waits for. The count
//    is taken anew when the request is handed back to its dispatch routine
//    (ResubmitStalledRequests), and nothing is given back when a parked
//    request is cancelled or killed.
//  - Whoever clears the stopping bit does so before it hands the parked
//    requests back under the cancel spin lock. Parking therefore decides
//    again under the cancel spin lock, with flagsLock nested inside it: a
//    request either sees the bit still set and is in stalledQueue before
//    the hand-back looks, or sees it clear and goes on.
#include "io/request_queue.h"

namespace {

enum Admission { ADMIT, REFUSE_DELETE_PENDING, PARK };

Admission Decide(LONG accept, UCHAR major) {
    if (accept == 0) return ADMIT;
    if (accept & (PNP_ACCEPT_REMOVING | PNP_ACCEPT_SURPRISE_REMOVED))
        return major == IRP_MJ_PNP ? ADMIT : REFUSE_DELETE_PENDING;
    // Stopped only (no handle can be open then), or a Plug and Play or power
    // request while a stop is pending: Windows goes on sending both and
    // expects them handled, not held (a held system power request would
    // hang the transition until the stop ended).
    if ((accept & PNP_ACCEPT_STOPPING) && major != IRP_MJ_PNP && major != IRP_MJ_POWER) return PARK;
    return ADMIT;
}

UCHAR MajorOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction; }

LONG ReadAccept(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->flagsLock, &irql);
    const LONG accept = port->pnpAccept;
    KeReleaseSpinLock(&port->flagsLock, irql);
    return accept;
}

NTSTATUS Act(Admission admission, PIRP irp) {
    if (admission == REFUSE_DELETE_PENDING) {
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AdmitRequest(PIRP irp, PortExtension* port) {
    // Counted before anything else, so a drain that starts now waits for us.
    InterlockedIncrement(&port->pendingIrpCount);
    const Admission admission = Decide(ReadAccept(port), MajorOf(irp));
    if (admission == PARK) return ParkRequest(irp, port);
    return Act(admission, irp);
}

NTSTATUS ParkRequest(PIRP irp, PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const Admission admission = Decide(ReadAccept(port), MajorOf(irp));
    if (admission != PARK) {
        // The stop ended (or a removal began) since the first look.
        IoReleaseCancelSpinLock(irql);
        return Act(admission, irp);
    }
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
    // Parked requests are not inside the driver: the drain must not wait
    // for them.
    FinishRequest(port);
    return STATUS_PENDING;
}

void FinishRequest(PortExtension* port) {
    if (InterlockedDecrement(&port->pendingIrpCount) == 0) KeSetEvent(&port->irpsDoneEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    // Both change under the control lock on other processors (a handflow
    // request, a line error from the chip).
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const BOOLEAN aborting = (port->handFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && port->errorWord != 0;
    KeReleaseSpinLock(&port->controlLock, irql);
    if (!aborting) return STATUS_SUCCESS;

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
