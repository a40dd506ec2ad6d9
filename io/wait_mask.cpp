// Wait-on-mask: IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK,
// and the event report that ends a pending wait.
//
// A wait is in one of three states:
//   none      currentWaitIrp is null;
//   armed     currentWaitIrp set, waitResultSlot pointing at its system
//             buffer, RefTransfer and RefCancel held;
//   reported  waitResultSlot cleared and the event mask written into the
//             wait, completeWaitDpc queued (RefTransfer is the DPC's).
// A report, a new mask or a cancellation moves an armed wait on, and each
// does so by clearing waitResultSlot under eventLock: whoever clears it owns
// the wait's result, so an event is either reported to the wait or kept in
// eventHistory for the next one, never both and never lost. eventLock is
// the innermost lock of the port (taken under the cancel spin lock by
// ArmWait and TakeWaitBack, under controlLock and rxLock by the receive
// side); nothing else is taken while it is held.
//
// While waitResultSlot is set the wait holds RefTransfer, so it stays in
// currentWaitIrp and cannot be completed: the event sources may therefore
// set its Information under eventLock without the cancel spin lock.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/wait_mask.h"

namespace {

// Hands the wait's result to it and queues its completion. eventLock held,
// waitResultSlot set.
void ReportToArmedWait(PortExtension* port, ULONG events) {
    *port->waitResultSlot = events;
    port->waitResultSlot = nullptr;
    port->currentWaitIrp->IoStatus.Information = sizeof(ULONG);
    QueueDpcCounted(&port->completeWaitDpc, nullptr, nullptr, port);
}

ULONG ControlCode(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode; }

// A wait-on-mask request that is current in the mask queue: makes it the
// pending wait, or says why it cannot be. Returns STATUS_PENDING when it
// moved to currentWaitIrp (the mask queue has then moved on and `next`
// holds its new current request), else the status to complete it with.
NTSTATUS MoveToWaitSlot(PortExtension* port, PIRP irp, BOOLEAN first, PIRP* next) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    KeAcquireSpinLockAtDpcLevel(&port->eventLock);
    const ULONG mask = port->waitMask;
    KeReleaseSpinLockFromDpcLevel(&port->eventLock);

    NTSTATUS status = STATUS_PENDING;
    if (mask == 0 || port->currentWaitIrp != nullptr)
        status = STATUS_INVALID_PARAMETER;
    else if (irp->Cancel)
        status = STATUS_CANCELLED;
    if (status != STATUS_PENDING) {
        IoReleaseCancelSpinLock(irql);
        return status;
    }

    // A request that arrived while the queue was busy was marked pending
    // when it was queued.
    if (first) IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    port->currentWaitIrp = irp;
    SetReferenceWord(irp, RefCancel);
    IoSetCancelRoutine(irp, CancelWait);
    ArmWait(port);
    // The wait is no longer the mask queue's: take the next request without
    // completing anything (this releases the cancel spin lock).
    TakeNextRequestLocked(&port->currentMaskIrp, &port->maskQueue, next, FALSE, port, irql);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS StartMask(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_PENDING;
    BOOLEAN first = TRUE;
    PIRP irp = port->currentMaskIrp;
    while (irp != nullptr) {
        NTSTATUS status;
        PIRP next = nullptr;
        if (ControlCode(irp) == IOCTL_SERIAL_SET_WAIT_MASK) {
            FinishOldWait(port);
            status = STATUS_SUCCESS;
        } else {
            status = MoveToWaitSlot(port, irp, first, &next);
        }
        if (first) firstStatus = status;
        first = FALSE;

        if (status != STATUS_PENDING) {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            TakeNextRequest(&port->currentMaskIrp, &port->maskQueue, &next, TRUE, port);
        }
        irp = next;
    }
    return firstStatus;
}

void FinishOldWait(PortExtension* port) {
    const ULONG newMask = *static_cast<PULONG>(port->currentMaskIrp->AssociatedIrp.SystemBuffer);
    KIRQL irql;
    KeAcquireSpinLock(&port->eventLock, &irql);
    if (port->waitResultSlot != nullptr) ReportToArmedWait(port, 0);
    // Events the new mask does not watch are forgotten.
    port->eventHistory &= newMask;
    port->waitMask = newMask;
    KeReleaseSpinLock(&port->eventLock, irql);
}

void ArmWait(PortExtension* port) {
    PIRP irp = port->currentWaitIrp;
    AddReference(irp, RefTransfer);
    KeAcquireSpinLockAtDpcLevel(&port->eventLock);
    port->waitResultSlot = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    // Events that came while no wait was armed satisfy this one at once.
    if (port->eventHistory != 0) {
        const ULONG events = port->eventHistory;
        port->eventHistory = 0;
        ReportToArmedWait(port, events);
    }
    KeReleaseSpinLockFromDpcLevel(&port->eventLock);
}

void RaiseEvents(PortExtension* port, ULONG events) {
    KIRQL irql;
    KeAcquireSpinLock(&port->eventLock, &irql);
    port->eventHistory |= events & port->waitMask;
    if (port->waitResultSlot != nullptr && port->eventHistory != 0) {
        const ULONG history = port->eventHistory;
        port->eventHistory = 0;
        ReportToArmedWait(port, history);
    }
    KeReleaseSpinLock(&port->eventLock, irql);
}

void ReportEvents(PortExtension* port) { RaiseEvents(port, 0); }

// Cancel spin lock held. A wait still armed is taken back with an event
// mask of 0; one already reported belongs to completeWaitDpc.
void TakeWaitBack(PortExtension* port) {
    KeAcquireSpinLockAtDpcLevel(&port->eventLock);
    if (port->waitResultSlot != nullptr) {
        *port->waitResultSlot = 0;
        port->waitResultSlot = nullptr;
        port->currentWaitIrp->IoStatus.Information = sizeof(ULONG);
        DropReference(port->currentWaitIrp, RefTransfer);
    }
    KeReleaseSpinLockFromDpcLevel(&port->eventLock);
}

VOID NTAPI CancelWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    CompleteCurrentIfUnreferenced(port, TakeWaitBack, irp->CancelIrql, STATUS_CANCELLED, &port->currentWaitIrp,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, RefCancel);
}

VOID NTAPI CompleteWaitDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CompleteCurrentIfUnreferenced(port, nullptr, irql, STATUS_SUCCESS, &port->currentWaitIrp, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, RefTransfer);
    EndDpcCounted(port);
}
