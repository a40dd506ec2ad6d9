// Sending the current write chunk by chunk, and what each transmit
// completion means for it.
//
// The bulk-out pipe carries three kinds of transfer (TransmitContent):
// write chunks, one-character transfers (immediate and flow-control
// characters) and the empty wake-up transfer. Only a write chunk moves a
// write on, and at most one write chunk is on the pipe (writeChunkBusy).
//
// A write can end while its chunk is still on the pipe: its cancel routine
// runs at DISPATCH_LEVEL, where a USB transfer cannot be withdrawn, and its
// time-out may finish it from the empty transfer's completion. The chunk is
// then orphaned: the next write waits for it to come back, so that its
// completion is not counted against the next write and the pipe never
// carries two chunks at once.
//
// Ends of a write, all under the cancel spin lock:
//   last chunk sent       -> completeWriteDpc, STATUS_SUCCESS
//   a chunk fails         -> completeWriteDpc, the transfer's status, the
//                            characters confirmed before it
//   cancel                -> TakeWriteBack in the cancel routine
//   total time-out fires  -> the write's chunk in flight, or the empty
//                            wake-up transfer of a write that is held or
//                            waits for an orphaned chunk, ends it with
//                            STATUS_TIMEOUT
// Ending through a DPC rather than in the completion keeps a USB stack that
// fails every transfer at once (an unplugged device) from recursing through
// the whole write queue.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/wait_mask.h"
#include "io/write_path.h"
#include "serial/modem_lines.h"

namespace {

BOOLEAN IsWrite(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE; }

ULONG WriteLength(PIRP irp) { return IsWrite(irp) ? IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length : 1; }

// Characters the current write has had confirmed on the wire; an xoff
// counter reports none unless its XOFF went out.
ULONG_PTR CharactersSent(PortExtension* port, PIRP irp) {
    return IsWrite(irp) ? WriteLength(irp) - port->writeRemaining : 0;
}

// Transmission is held for the start of a write: CTS flow, a received XOFF
// or IOCTL_SERIAL_SET_XOFF. DSR, DCD and break do not hold writes.
BOOLEAN TransmitHeld(PortExtension* port) {
    // A halted transmit pipe would fail the chunk: wait for its reset.
    return (ReadShared(&port->txHolding) & (TX_HOLD_CTS | TX_HOLD_XON)) != 0 || port->xoffReceived != 0 ||
           PipeHalted(port, STREAM_BULK_OUT);
}

// A chunk as large as the limits allow. txChunkLimit is 0 until a baud rate
// has been set; rxBufferSize is 0 while the port is closed.
ULONG NextChunkLength(PortExtension* port) {
    ULONG chunk = port->writeRemaining;
    const ULONG limit = port->txChunkLimit != 0 ? port->txChunkLimit : TX_CHUNK_SMALL;
    if (chunk > limit) chunk = limit;
    if (port->rxBufferSize != 0 && chunk > port->rxBufferSize) chunk = port->rxBufferSize;
    return chunk;
}

BOOLEAN OwnChunkInFlight(PortExtension* port) { return port->writeChunkBusy && !port->writeChunkOrphaned; }

// Nothing of any write is waiting to go out or on its way.
// Without the cancel spin lock (see writeChunkBusy in the port extension).
BOOLEAN TransmitterIdle(PortExtension* port) {
    if (ReadAcquire(&port->writeChunkBusy) != 0) return FALSE;
    return ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&port->currentWriteIrp)) == nullptr ||
           ReadAcquire(reinterpret_cast<volatile LONG*>(&port->writeRemaining)) == 0;
}

// Takes whatever is left of the current write off the pipe's books: the
// write has nothing more to send. The characters of a chunk in flight
// count as sent when `countInFlight`. Cancel spin lock held.
void SettleWrite(PortExtension* port, PIRP irp, BOOLEAN countInFlight) {
    if (port->writeRemaining != 0) {
        if (countInFlight) {
            StoreShared(&port->writeRemaining, port->txInFlight < port->writeRemaining
                                                   ? port->writeRemaining - port->txInFlight
                                                   : 0);
        }
        irp->IoStatus.Information = CharactersSent(port, irp);
        StoreShared(&port->writeRemaining, 0);
    }
    port->txInFlight = 0;
    port->writeHeld = 0;
}

// The current write cannot go on: completeWriteDpc ends it with `status`.
// The USB side keeps RefTransfer until then. Cancel spin lock held.
void EndWriteFromUsb(PortExtension* port, PIRP irp, NTSTATUS status) {
    SettleWrite(port, irp, FALSE);
    AddReference(irp, RefTransfer);
    port->writeEndStatus = port->writeTimedOut ? STATUS_TIMEOUT : status;
    QueueDpcCounted(&port->completeWriteDpc, nullptr, nullptr, port);
}

// Builds the next chunk of the current write (copying its characters now,
// while the request cannot be completed under us) and books it as in
// flight; the caller sends it after releasing the lock. Null when there is
// no memory for it: the write then ends with that failure. Cancel spin
// lock held.
StreamRequest* BuildNextChunk(PortExtension* port, PIRP irp, ULONG* serial) {
    const ULONG chunk = NextChunkLength(port);
    NTSTATUS status = STATUS_SUCCESS;
    StreamRequest* request =
        BuildStreamTransfer(port->deviceObject, STREAM_BULK_OUT, TX_WRITE_CHUNK, port->writeCursor, chunk, &status);
    if (request == nullptr) {
        EndWriteFromUsb(port, irp, status);
        return nullptr;
    }
    port->txInFlight = chunk;
    StoreShared(&port->writeChunkBusy, 1);
    port->writeChunkRequest = request;
    *serial = ++port->writeChunkSerial;
    AddReference(irp, RefTransfer);
    return request;
}

// A write chunk came back failed, or was refused before it reached the
// USB stack. TRUE when it was an orphan: the current write may go now.
// Cancel spin lock held.
BOOLEAN ChunkFailedLocked(PortExtension* port, NTSTATUS status) {
    StoreShared(&port->writeChunkBusy, 0);
    port->writeChunkRequest = nullptr;
    if (port->writeChunkOrphaned) {
        port->writeChunkOrphaned = 0;
        return TRUE;
    }
    PIRP irp = port->currentWriteIrp;
    port->txInFlight = 0;
    if (irp != nullptr) EndWriteFromUsb(port, irp, status);
    return FALSE;
}

// Sends a chunk built by BuildNextChunk. A USB stack that fails it at once
// has already run its completion; a refusal before the stack saw it (no
// request, transfer table full) has not, and is handled here as a failure.
void SubmitChunk(PortExtension* port, StreamRequest* request, ULONG serial) {
    const NTSTATUS status = SubmitStreamIrp(port->deviceObject, request, STREAM_BULK_OUT);
    if (NT_SUCCESS(status)) return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN resume = FALSE;
    if (port->writeChunkBusy && port->writeChunkSerial == serial) resume = ChunkFailedLocked(port, status);
    IoReleaseCancelSpinLock(irql);
    if (resume) SendWriteChunk(port);
}

// Ends a write whose total time-out has fired, with the characters
// confirmed so far, on behalf of the time-out (RefTotalTimer). Entered with
// the cancel spin lock held; releases it.
void FinishTimedOutWrite(PortExtension* port, PIRP irp, KIRQL irql) {
    port->writeTimedOut = 0;
    SettleWrite(port, irp, FALSE);
    CompleteCurrentIfUnreferenced(port, nullptr, irql, STATUS_TIMEOUT, &port->currentWriteIrp, &port->writeQueue,
                                  nullptr, &port->writeTotalTimer, StartWrite, TakeNextWrite, RefTotalTimer);
}

// The empty wake-up transfer is back (or never went): it ends the current
// write if that write has timed out and has no chunk of its own on the
// pipe.
void WakeUpDone(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    port->writeWakeUpBusy = 0;
    PIRP irp = port->currentWriteIrp;
    if (irp != nullptr && port->writeTimedOut && !OwnChunkInFlight(port)) {
        FinishTimedOutWrite(port, irp, irql);
        return;
    }
    IoReleaseCancelSpinLock(irql);
}

// Sends the empty transfer whose completion ends a timed-out write that
// has nothing of its own on the pipe. It queues behind an orphaned chunk,
// so it also tells when that chunk has gone.
void SendWakeUp(PortExtension* port, ULONG serial) {
    NTSTATUS status = STATUS_SUCCESS;
    StreamRequest* request = BuildStreamTransfer(port->deviceObject, STREAM_BULK_OUT, TX_WAKE_UP, nullptr, 0, &status);
    if (request != nullptr) status = SubmitStreamIrp(port->deviceObject, request, STREAM_BULK_OUT);
    if (NT_SUCCESS(status)) return;
    // Refused before the USB stack saw it (or failed at once, in which
    // case its completion has already settled everything).
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const BOOLEAN stillOurs = port->writeWakeUpBusy && port->writeWakeUpSerial == serial;
    IoReleaseCancelSpinLock(irql);
    if (stillOurs) WakeUpDone(port);
}

BOOLEAN TransmitToggle(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const BOOLEAN toggle = (port->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    KeReleaseSpinLock(&port->controlLock, irql);
    return toggle;
}

void RaiseRtsForToggle(PortExtension* port) {
    // The line request waits for the chip: sent at once at PASSIVE_LEVEL,
    // by a work item when a completion restarts a held write. The write
    // slot changes under the cancel spin lock on other processors.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const BOOLEAN writing = port->currentWriteIrp != nullptr;
    IoReleaseCancelSpinLock(irql);
    if (writing && TransmitToggle(port)) RequestControlLine(port, SET_RTS);
}

}  // namespace

void RestartHeldWrite(PortExtension* port) {
    // The flag is set under the cancel spin lock after the hold was found;
    // reading it under the same lock, after the hold was ended, either sees
    // it set or the sender saw the hold gone.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const BOOLEAN held = port->writeHeld != 0;
    IoReleaseCancelSpinLock(irql);
    if (held) SendWriteChunk(port);
}

void SendWriteChunk(PortExtension* port) {
    RaiseRtsForToggle(port);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->currentWriteIrp;
    // Nothing to send, a chunk (this write's or an orphan) on the pipe, or
    // a time-out that is ending the write.
    if (irp == nullptr || port->writeRemaining == 0 || port->writeChunkBusy || port->writeTimedOut) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    // Holds are looked at only before a write's first character. Whoever
    // ends a hold calls here afterwards and finds writeHeld set under this
    // lock, so a release cannot slip between the test and the flag.
    if (TransmitHeld(port)) {
        port->writeHeld = 1;
        IoReleaseCancelSpinLock(irql);
        return;
    }
    port->writeHeld = 0;
    ULONG serial = 0;
    StreamRequest* request = BuildNextChunk(port, irp, &serial);
    IoReleaseCancelSpinLock(irql);
    if (request != nullptr) SubmitChunk(port, request, serial);
}

void WriteChunkDone(PortExtension* port, ULONG bytes) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    StoreShared(&port->writeChunkBusy, 0);
    port->writeChunkRequest = nullptr;
    if (port->writeChunkOrphaned) {
        // The chunk of a write that has ended: the current write (if one
        // waits) may start now.
        port->writeChunkOrphaned = 0;
        IoReleaseCancelSpinLock(irql);
        SendWriteChunk(port);
        return;
    }
    PIRP irp = port->currentWriteIrp;
    if (irp == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    port->txInFlight = 0;
    if (bytes > port->writeRemaining) bytes = port->writeRemaining;
    port->writeCursor += bytes;
    StoreShared(&port->writeRemaining, port->writeRemaining - bytes);

    if (port->writeTimedOut) {
        // The time-out fired while this chunk was out: it ends here, with
        // every character confirmed, this chunk's too (all of them when it
        // was the last).
        irp->IoStatus.Information = CharactersSent(port, irp);
        DropReference(irp, RefTransfer);
        FinishTimedOutWrite(port, irp, irql);
        return;
    }
    if (port->writeRemaining != 0) {
        // A write that is sending goes on regardless of holds.
        ULONG serial = 0;
        StreamRequest* request = BuildNextChunk(port, irp, &serial);
        IoReleaseCancelSpinLock(irql);
        if (request != nullptr) SubmitChunk(port, request, serial);
        return;
    }
    // All of a write; nothing for an xoff counter, whose control code has
    // no output buffer for the I/O manager to copy into.
    irp->IoStatus.Information = CharactersSent(port, irp);
    QueueDpcCounted(&port->completeWriteDpc, nullptr, nullptr, port);
    IoReleaseCancelSpinLock(irql);
}

void TransmitDone(PortExtension* port, TransmitContent content, ULONG bytes) {
    InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&port->perfStats.TransmittedCount),
                           static_cast<LONG>(bytes));
    InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&port->wmiPerfData.TransmittedCount),
                           static_cast<LONG>(bytes));
    switch (content) {
    case TX_WRITE_CHUNK:
        WriteChunkDone(port, bytes);
        break;
    case TX_WAKE_UP:
        WakeUpDone(port);
        break;
    case TX_ONE_CHAR:
        break;
    }
    // Read without the cancel spin lock: a one-character transfer may
    // complete inside the call of a sender that holds port locks.
    if (TransmitterIdle(port)) {
        RaiseEvents(port, SERIAL_EV_TXEMPTY);
        // In transmit-toggle mode RTS comes down once the last character
        // has left the line: the check looks one character time later.
        if (TransmitToggle(port)) QueueLowerRtsCheck(port);
    }
    // Only after a success: a transfer that failed would fail again.
    ResendFlowChar(port);
}

void TransmitFailed(PortExtension* port, TransmitContent content, NTSTATUS status, ULONG carried) {
    switch (content) {
    case TX_WRITE_CHUNK: {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (port->writeTimedOut && !port->writeChunkOrphaned && port->currentWriteIrp != nullptr) {
            // The time-out withdrew the chunk the chip would not take: the
            // write ends timed out with what did go, this chunk's share too.
            IoReleaseCancelSpinLock(irql);
            WriteChunkDone(port, carried);
            break;
        }
        const BOOLEAN resume = ChunkFailedLocked(port, status);
        IoReleaseCancelSpinLock(irql);
        if (resume) SendWriteChunk(port);
        break;
    }
    case TX_WAKE_UP:
        // A wake-up that failed still tells that the pipe has nothing of
        // the write left on it.
        WakeUpDone(port);
        break;
    case TX_ONE_CHAR:
        // Flow-control and immediate characters are not retried.
        break;
    }
}

void TakeWriteBack(PortExtension* port) {
    PIRP irp = port->currentWriteIrp;
    if (port->writeRemaining != 0) {
        if (port->writeChunkBusy) port->writeChunkOrphaned = 1;
        DropReference(irp, RefTransfer);
    }
    SettleWrite(port, irp, TRUE);
    if (port->writeTimedOut) {
        // The time-out's DPC has run and left the write to a completion
        // that will now find it gone: its part ends here.
        port->writeTimedOut = 0;
        DropReference(irp, RefTotalTimer);
    }
}

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    // A chunk on the pipe cannot be withdrawn here (the cancel spin lock
    // is held at DISPATCH_LEVEL); TakeWriteBack orphans it and the next
    // write waits for it.
    CompleteCurrentIfUnreferenced(port, TakeWriteBack, irp->CancelIrql, STATUS_CANCELLED, &port->currentWriteIrp,
                                  &port->writeQueue, nullptr, &port->writeTotalTimer, StartWrite, TakeNextWrite,
                                  RefCancel);
}

// The USB side is done with the current write: all of it was sent, or a
// chunk failed (writeEndStatus).
VOID NTAPI CompleteWriteDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->currentWriteIrp;
    if (irp != nullptr && port->writeTimedOut) {
        // The time-out left the ending to the chunk that failed.
        port->writeTimedOut = 0;
        DropReference(irp, RefTotalTimer);
    }
    CompleteCurrentIfUnreferenced(port, nullptr, irql, port->writeEndStatus, &port->currentWriteIrp,
                                  &port->writeQueue, nullptr, &port->writeTotalTimer, StartWrite, TakeNextWrite,
                                  RefTransfer);
    EndDpcCounted(port);
}

// The write total time-out. A write with a chunk of its own on the pipe is
// ended by that chunk's completion; a held write, or one waiting for an
// orphaned chunk, by the completion of an empty transfer sent now.
//
// The chunk may never come back by itself: the chip accepts no more while
// its transmitter is held (the far end's XOFF or CTS, handled by the chip)
// and its buffer is full, and the pipe then waits as long as the hold
// lasts. The chunk is withdrawn, so that its completion (cancelled) ends
// the write now. While writeChunkRequest is set under the cancel spin lock
// the completion has not yet released the transfer: the pointer still
// names it.
VOID NTAPI WriteTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->currentWriteIrp;
    if (irp == nullptr || port->writeRemaining == 0) {
        // Sent, failed or taken back already: whoever holds the other
        // references ends it, or this does.
        CompleteCurrentIfUnreferenced(port, nullptr, irql, STATUS_TIMEOUT, &port->currentWriteIrp, &port->writeQueue,
                                      nullptr, nullptr, StartWrite, TakeNextWrite, RefTotalTimer);
        EndDpcCounted(port);
        return;
    }
    port->writeTimedOut = 1;
    BOOLEAN wake = FALSE;
    ULONG serial = 0;
    StreamRequest* stuck = nullptr;
    if (OwnChunkInFlight(port)) {
        if (TakeThisStreamTransfer(port, STREAM_BULK_OUT, port->writeChunkRequest)) stuck = port->writeChunkRequest;
    } else {
        port->writeHeld = 0;
        // One wake-up on the pipe serves whichever write has timed out
        // when it comes back.
        if (!port->writeWakeUpBusy) {
            port->writeWakeUpBusy = 1;
            serial = ++port->writeWakeUpSerial;
            wake = TRUE;
        }
    }
    IoReleaseCancelSpinLock(irql);
    // No spin lock held: a USB stack may complete the transfer inside the
    // cancel call.
    if (stuck != nullptr) CancelTakenTransfer(stuck);
    if (wake) SendWakeUp(port, serial);
    EndDpcCounted(port);
}
