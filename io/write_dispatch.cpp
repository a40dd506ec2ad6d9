// IRP_MJ_WRITE and IRP_MJ_FLUSH_BUFFERS, and the write queue they share
// with the xoff-counter requests: which request goes next, and how the one
// that becomes current is set going.
#include "driver/dispatch.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

namespace {

// A write's time-outs shorter than this are taken as this: 100 ms. Due
// times in 100 ns units, relative.
constexpr LONGLONG kShortestWriteDue = -200000;  // 20 ms: at or below, the floor applies
constexpr LONGLONG kWriteDueFloor = -1000000;    // 100 ms
constexpr ULONGLONG kLongestWriteMs = 0x7FFFFFFFFFFFFFFFull / 10000;  // the most a due time can hold

BOOLEAN IsFlush(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS; }

// Characters a request of the write queue sends: its data for a write,
// the one XOFF character of an xoff counter.
ULONG CharactersToSend(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return stack->MajorFunction == IRP_MJ_WRITE ? stack->Parameters.Write.Length : 1;
}

// Where those characters are: an xoff counter's XOFF character sits at
// offset 8 of its SERIAL_XOFF_COUNTER.
PUCHAR FirstCharacter(PIRP irp) {
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) return buffer;
    return buffer + FIELD_OFFSET(SERIAL_XOFF_COUNTER, XoffChar);
}

// The write total time-out of `irp` as a relative due time, or 0 for none.
LONGLONG WriteDueTime(PortExtension* port, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const ULONG multiplier = port->timeouts.WriteTotalTimeoutMultiplier;
    const ULONG constant = port->timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&port->controlLock, irql);
    if (multiplier == 0 && constant == 0) return 0;

    ULONGLONG milliseconds = static_cast<ULONGLONG>(CharactersToSend(irp)) * multiplier + constant;
    // A huge multiplier asks for practically no time-out; in 100 ns units
    // it would overflow 64 bits and could come out short or in the past.
    if (milliseconds > kLongestWriteMs) milliseconds = kLongestWriteMs;
    const LONGLONG due = -static_cast<LONGLONG>(milliseconds) * 10000;
    return due >= kShortestWriteDue ? kWriteDueFloor : due;
}

// A new request of the write queue ends the xoff counter that is counting:
// the application has moved on.
void EndCountingXoff(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP counting = port->currentXoffIrp;
    if (counting == nullptr || ReferenceWord(counting) == 0) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    AddReference(counting, RefXoffStart);
    counting->IoStatus.Information = 0;
    CompleteCurrentIfUnreferenced(port, TakeXoffBack, irql, STATUS_SERIAL_MORE_WRITES, &port->currentXoffIrp,
                                  nullptr, nullptr, &port->xoffCountTimer, nullptr, nullptr, RefXoffStart);
}

// Makes the current request of the write queue cancellable, arms its
// time-out and resets the write state for it. FALSE when it turned out to
// be cancelled already (then nothing was changed). Cancel spin lock held.
BOOLEAN MakeWriteCurrent(PortExtension* port, PIRP irp, LONGLONG due, BOOLEAN first) {
    SetReferenceWord(irp, 0);
    if (irp->Cancel) return FALSE;
    if (first) IoMarkIrpPending(irp);

    port->writeCursor = FirstCharacter(irp);
    StoreShared(&port->writeRemaining, CharactersToSend(irp));
    port->txInFlight = 0;
    port->writeHeld = 0;
    port->writeTimedOut = 0;
    port->writeEndStatus = STATUS_SUCCESS;

    IoSetCancelRoutine(irp, CancelCurrentWrite);
    AddReference(irp, RefCancel);
    if (due != 0) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = due;
        SetTimerCounted(&port->writeTotalTimer, dueTime, &port->writeTotalTimeoutDpc, port);
        AddReference(irp, RefTotalTimer);
    }
    return TRUE;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    NTSTATUS status = AdmitDataRequest(deviceObject, irp);
    if (status != STATUS_SUCCESS) return status;

    irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length == 0) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return STATUS_SUCCESS;
    }
    return EnqueueOrStart(port, irp, &port->writeQueue, &port->currentWriteIrp, StartWrite);
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_SUCCESS) {
        status = FailIfErrorAbort(deviceObject, irp);
        if (status != STATUS_SUCCESS) return status;
        return EnqueueOrStart(port, irp, &port->writeQueue, &port->currentWriteIrp, StartFlush);
    }
    if (status == STATUS_PENDING) return STATUS_PENDING;
    irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status)) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
    }
    return status;
}

// The flush is at the head of the write queue, so every write queued before
// it has completed.
NTSTATUS StartFlush(PortExtension* port) {
    port->currentWriteIrp->IoStatus.Status = STATUS_SUCCESS;
    PIRP next = nullptr;
    TakeNextWrite(&port->currentWriteIrp, &port->writeQueue, &next, TRUE, port);
    if (next != nullptr) StartWrite(port);
    return STATUS_SUCCESS;
}

// Start routine of the write queue, for writes and xoff counters. A
// request found cancelled before it could be made cancellable is completed
// and the next one started; the value returned is the status of the first.
NTSTATUS StartWrite(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_PENDING;
    BOOLEAN first = TRUE;
    for (;;) {
        EndCountingXoff(port);

        // The slot is ours: nothing else changes it while its request has
        // no cancel routine.
        PIRP irp = port->currentWriteIrp;
        const LONGLONG due = WriteDueTime(port, irp);

        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (MakeWriteCurrent(port, irp, due, first)) {
            IoReleaseCancelSpinLock(irql);
            SendWriteChunk(port);
            return firstStatus;
        }
        IoReleaseCancelSpinLock(irql);

        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        if (first) firstStatus = STATUS_CANCELLED;
        first = FALSE;
        PIRP next = nullptr;
        TakeNextWrite(&port->currentWriteIrp, &port->writeQueue, &next, TRUE, port);
        if (next == nullptr) return firstStatus;
    }
}

// Ends the current request of the write queue and takes the next, entered
// without the cancel spin lock. An xoff counter whose XOFF went out
// successfully is not completed but moves on to count; flushes that come
// up are completed on the spot, since everything before them is done.
void TakeNextWrite(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                   PortExtension* port) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP current = *currentSlot;
        BOOLEAN complete = completeCurrent;
        if (current != nullptr && !IsFlush(current)) {
            port->charsQueued -= CharactersToSend(current);
            const BOOLEAN isXoffCounter =
                IoGetCurrentIrpStackLocation(current)->MajorFunction == IRP_MJ_DEVICE_CONTROL;
            if (isXoffCounter && current->IoStatus.Status == STATUS_SUCCESS) {
                if (current->Cancel) {
                    current->IoStatus.Status = STATUS_CANCELLED;
                } else if (BeginXoffCount(port, current)) {
                    complete = FALSE;
                } else {
                    // An earlier counter's end is still on its way; this
                    // one is overtaken before it could count.
                    current->IoStatus.Status = STATUS_SERIAL_MORE_WRITES;
                }
            }
        }
        TakeNextRequestLocked(currentSlot, queue, nextOut, complete, port, irql);

        PIRP next = *nextOut;
        if (next == nullptr || !IsFlush(next)) return;
        next->IoStatus.Status = STATUS_SUCCESS;
        next->IoStatus.Information = 0;
        completeCurrent = TRUE;
    }
}
