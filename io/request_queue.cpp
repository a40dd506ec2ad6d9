// Queues of waiting requests and the current slot of each kind of work.
#include "io/request_queue.h"

#include "driver/driver_globals.h"

namespace {

// What a request adds to charsQueued while it is queued or current: the
// bytes of a write, one for an immediate character or an xoff counter.
ULONG QueuedCharacters(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_WRITE) return stack->Parameters.Write.Length;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_SERIAL_IMMEDIATE_CHAR || code == IOCTL_SERIAL_XOFF_COUNTER) return 1;
    }
    return 0;
}

// A queue-size request carries the new receive buffer in Type3InputBuffer;
// if the request dies before it is applied, the buffer goes with it.
void FreeUnusedQueueSizeBuffer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_SET_QUEUE_SIZE)
        return;
    if (stack->Parameters.DeviceIoControl.Type3InputBuffer != nullptr) {
        ExFreePoolWithTag(stack->Parameters.DeviceIoControl.Type3InputBuffer, PORT_POOL_TAG);
        stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    }
}

}  // namespace

NTSTATUS EnqueueOrStart(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* currentSlot, StartRoutine* start) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const ULONG characters = QueuedCharacters(irp);
    port->charsQueued += characters;

    if (IsListEmpty(queue) && *currentSlot == nullptr) {
        // Idle: the request becomes current at once. A request already
        // cancelled is found by its start routine.
        StoreSharedPointer(reinterpret_cast<PVOID volatile*>(currentSlot), irp);
        IoReleaseCancelSpinLock(irql);
        return start(port);
    }

    if (irp->Cancel) {
        port->charsQueued -= characters;
        IoReleaseCancelSpinLock(irql);
        FreeUnusedQueueSizeBuffer(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return STATUS_CANCELLED;
    }

    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelQueuedRequest);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

void TakeNextRequest(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                     PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TakeNextRequestLocked(currentSlot, queue, nextOut, completeCurrent, port, irql);
}

void TakeNextRequestLocked(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                           PortExtension* port, KIRQL irql) {
    PIRP old = *currentSlot;
    if (IsListEmpty(queue)) {
        StoreSharedPointer(reinterpret_cast<PVOID volatile*>(currentSlot), nullptr);
    } else {
        PIRP next = IrpFromListEntry(queue->Flink);
        UnlinkRequest(next);
        StoreSharedPointer(reinterpret_cast<PVOID volatile*>(currentSlot), next);
        // A current request never keeps the queue's cancel routine; its
        // start routine installs the one of its kind.
        IoSetCancelRoutine(next, nullptr);
    }
    *nextOut = *currentSlot;
    IoReleaseCancelSpinLock(irql);

    if (completeCurrent && old != nullptr) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        FinishRequest(port);
    }
}

// Entered with the cancel spin lock held, for a request that waits in one
// of the port's queues.
VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    UnlinkRequest(irp);
    port->charsQueued -= QueuedCharacters(irp);
    FreeUnusedQueueSizeBuffer(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);

    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    FinishRequest(port);
}

void CancelEveryQueuedRequest(PDEVICE_OBJECT deviceObject, PLIST_ENTRY queue, PDRIVER_CANCEL fallback, KIRQL* irql) {
    // Newest first, so that nothing behind a cancelled request can start.
    while (!IsListEmpty(queue)) {
        PIRP irp = IrpFromListEntry(queue->Blink);
        UnlinkRequest(irp);
        PDRIVER_CANCEL cancel = IoSetCancelRoutine(irp, nullptr);
        if (cancel == nullptr) cancel = fallback;  // every queued request carries one
        irp->CancelIrql = *irql;
        irp->Cancel = TRUE;
        cancel(deviceObject, irp);  // releases the cancel spin lock
        IoAcquireCancelSpinLock(irql);
    }
}

void CancelQueueAndCurrent(PDEVICE_OBJECT deviceObject, PLIST_ENTRY queue, PIRP* currentSlot) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CancelEveryQueuedRequest(deviceObject, queue, CancelQueuedRequest, &irql);

    PIRP current = *currentSlot;
    if (current == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    current->Cancel = TRUE;
    PDRIVER_CANCEL cancel = IoSetCancelRoutine(current, nullptr);
    if (cancel == nullptr) {
        // Not cancellable right now: its start routine sees the flag when
        // it next tries to make it cancellable.
        IoReleaseCancelSpinLock(irql);
        return;
    }
    current->CancelIrql = irql;
    cancel(deviceObject, current);
}
