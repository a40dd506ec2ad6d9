// The parties that finish a waiting read: the buffer-filled DPC, the total
// and interval time-out DPCs and the cancel routine.
//
// A waiting read holds RefTransfer (the receive side owns its buffer),
// RefCancel, and RefTotalTimer / RefIntervalTimer for its armed timers. Each
// party sets readProgress to say why it ends the read, then drops its bit
// through CompleteCurrentIfUnreferenced; the time-outs and the cancel
// routine first take the read back from the receive side (TakeReadBack), so
// no character reaches it afterwards. The last party to drop its bit
// completes the read with its own status; an interval DPC that comes late
// uses the reason already recorded in readProgress.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/read_path.h"

namespace {

// Drops `refBit` of the current read, completing it with `status` if that
// was the last reference. Cancel spin lock held (acquired at `irql`);
// released on return.
void DropReadReference(PortExtension* port, KIRQL irql, NTSTATUS status, LONG refBit, SynchRoutine* synch) {
    CompleteCurrentIfUnreferenced(port, synch, irql, status, &port->currentReadIrp, &port->readQueue,
                                  &port->readIntervalTimer, &port->readTotalTimer, StartRead, TakeNextRead,
                                  refBit);
}

// The status a read ends with, once a party has recorded why.
NTSTATUS StatusOfProgress(LONG progress) {
    switch (progress) {
    case READ_PROGRESS_CANCELLED:
        return STATUS_CANCELLED;
    case READ_PROGRESS_FILLED:
        return STATUS_SUCCESS;
    default:
        return STATUS_TIMEOUT;
    }
}

// Characters put into the read since the last check, taken under rxLock
// (the receive side counts them under it). Cancel spin lock held.
ULONG TakeCharactersSinceCheck(PortExtension* port) {
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    const ULONG since = port->rxSinceCheck;
    port->rxSinceCheck = 0;
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
    return since;
}

// The interval check of a read still waiting. Cancel spin lock held
// (acquired at `irql`); released on return.
void CheckInterval(PortExtension* port, KIRQL irql) {
    PIRP read = port->currentReadIrp;
    if (read == nullptr || !(ReferenceWord(read) & RefIntervalTimer)) {
        IoReleaseCancelSpinLock(irql);  // no read waits on this timer
        return;
    }
    const ULONG since = TakeCharactersSinceCheck(port);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (since != 0) {
        port->readProgress = since < 0x7FFFFFFF ? static_cast<LONG>(since) : 0x7FFFFFFF;
        port->lastCharTime = now.QuadPart;
    } else if (port->readProgress > 0 && now.QuadPart - port->lastCharTime >= port->intervalTime) {
        DropReadReference(port, irql, STATUS_TIMEOUT, RefIntervalTimer, TakeReadBack);
        return;
    }
    // readProgress 0: nothing received yet, the interval has not begun.
    LARGE_INTEGER due;
    due.QuadPart = *port->intervalPollPeriod;
    SetTimerCounted(&port->readIntervalTimer, due, &port->readIntervalTimeoutDpc, port);
    IoReleaseCancelSpinLock(irql);
}

}  // namespace

void TakeReadBack(PortExtension* port) {
    // rxLock keeps StoreReceivedChar out while the pointers change; it is
    // the only receive lock below the cancel spin lock.
    KeAcquireSpinLockAtDpcLevel(&port->rxLock);
    if (port->rxTarget != port->rxBuffer) {
        PIRP read = port->currentReadIrp;
        const ULONG held = static_cast<ULONG>(port->rxPut - port->rxTarget);
        read->IoStatus.Information = held;
        port->readDelivered = held;
        port->rxCount = 0;
        port->rxTarget = port->rxBuffer;
        port->rxPut = port->rxBuffer;
        port->rxGet = port->rxBuffer;
        port->rxLast = port->rxBuffer != nullptr ? port->rxBuffer + port->rxBufferSize - 1 : nullptr;
        DropReference(read, RefTransfer);
    }
    // Buffered mode: the read filled, and completeReadDpc still holds
    // RefTransfer.
    KeReleaseSpinLockFromDpcLevel(&port->rxLock);
}

void TakeNextRead(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent,
                  PortExtension* port) {
    // Called only by the completer of a read that waited, which is still
    // current until TakeNextRequest replaces it.
    PIRP ending = *currentSlot;
    if (completeCurrent && ending != nullptr && ending->IoStatus.Status == STATUS_CANCELLED)
        ReturnCancelledReadCharacters(port, ending);
    TakeNextRequest(currentSlot, queue, nextOut, completeCurrent, port);
}

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    port->readProgress = READ_PROGRESS_CANCELLED;
    DropReadReference(port, irp->CancelIrql, STATUS_CANCELLED, RefCancel, TakeReadBack);
}

VOID NTAPI CompleteReadDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    port->readProgress = READ_PROGRESS_FILLED;
    DropReadReference(port, irql, STATUS_SUCCESS, RefTransfer, nullptr);
    EndDpcCounted(port);
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    port->readProgress = READ_PROGRESS_TOTAL_TIMEOUT;
    DropReadReference(port, irql, STATUS_TIMEOUT, RefTotalTimer, TakeReadBack);
    EndDpcCounted(port);
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->readProgress < 0)
        DropReadReference(port, irql, StatusOfProgress(port->readProgress), RefIntervalTimer, TakeReadBack);
    else
        CheckInterval(port, irql);
    EndDpcCounted(port);
}
