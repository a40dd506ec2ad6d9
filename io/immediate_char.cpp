// IOCTL_SERIAL_IMMEDIATE_CHAR: one character sent ahead of any write, in
// currentImmediateIrp beside the write queue. The character is handed to
// the bulk-out pipe at once and the request completes from a DPC queued at
// the same time, without waiting for the transfer: there is nothing to take
// back from the USB side, so no party needs a synchronisation routine.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

namespace {

// The write total time-out for one character, as a relative due time, or
// 0 for none. Unlike a write's, it has no 100 ms floor.
LONGLONG ImmediateDueTime(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const ULONG multiplier = port->timeouts.WriteTotalTimeoutMultiplier;
    const ULONG constant = port->timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&port->controlLock, irql);
    if (multiplier == 0 && constant == 0) return 0;
    return -static_cast<LONGLONG>(static_cast<ULONGLONG>(multiplier) + constant) * 10000;
}

// Ends the immediate character for the party `refBit` (cancel spin lock
// held at `irql`; released).
void FinishImmediate(PortExtension* port, KIRQL irql, NTSTATUS status, LONG refBit) {
    CompleteCurrentIfUnreferenced(port, nullptr, irql, status, &port->currentImmediateIrp, nullptr, nullptr,
                                  &port->immediateTotalTimer, nullptr, TakeNextImmediate, refBit);
}

}  // namespace

NTSTATUS StartImmediate(PortExtension* port) {
    PIRP irp = port->currentImmediateIrp;
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    const LONGLONG due = ImmediateDueTime(port);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    SetReferenceWord(irp, 0);
    if (irp->Cancel) {
        StoreSharedPointer(reinterpret_cast<PVOID volatile*>(&port->currentImmediateIrp), nullptr);
        port->charsQueued -= 1;
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return STATUS_CANCELLED;
    }
    IoSetCancelRoutine(irp, CancelImmediate);
    AddReference(irp, RefCancel);
    if (due != 0) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = due;
        SetTimerCounted(&port->immediateTotalTimer, dueTime, &port->immediateTotalTimeoutDpc, port);
        AddReference(irp, RefTotalTimer);
    }
    port->immediateChar = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    // The USB side holds the request until completeImmediateDpc has run,
    // so it (and immediateChar) stay as they are after the lock is gone.
    AddReference(irp, RefTransfer);
    IoReleaseCancelSpinLock(irql);

    GiveImmediateToUsb(port);
    return STATUS_PENDING;
}

// Sent with no spin lock held, so that a USB stack that refuses the
// transfer inside IoCallDriver finds the locks free. A transfer that could
// not be built or was refused at once (no memory, the device gone) sent
// nothing: the request ends with that failure rather than success.
void GiveImmediateToUsb(PortExtension* port) {
    const NTSTATUS status = StartTransmitTransfer(port->deviceObject, TX_ONE_CHAR, &port->immediateChar, 1);
    port->immediateStatus = NT_SUCCESS(status) ? STATUS_SUCCESS : status;
    QueueDpcCounted(&port->completeImmediateDpc, nullptr, nullptr, port);
}

void TakeNextImmediate(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                       PortExtension* port) {
    UNREFERENCED_PARAMETER(queue);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP old = *currentSlot;
    port->charsQueued -= 1;
    *currentSlot = nullptr;
    *nextOut = nullptr;
    IoReleaseCancelSpinLock(irql);
    if (completeCurrent && old != nullptr) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        FinishRequest(port);
    }
}

VOID NTAPI CancelImmediate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    FinishImmediate(port, irp->CancelIrql, STATUS_CANCELLED, RefCancel);
}

VOID NTAPI CompleteImmediateDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishImmediate(port, irql, port->immediateStatus, RefTransfer);
    EndDpcCounted(port);
}

VOID NTAPI ImmediateTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishImmediate(port, irql, STATUS_TIMEOUT, RefTotalTimer);
    EndDpcCounted(port);
}
