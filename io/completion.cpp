// The completion rule: a current request is completed by whichever party
// drops the last bit of its reference word.
//
// The parties are the USB transfer side, the current-request cancel routine,
// the total and interval time-out timers and the write start. Each drops its
// own bit through CompleteCurrentIfUnreferenced; a party that is certain the
// others can no longer run (a cancel routine removed, a timer cancelled
// before it fired, the request taken back from the USB side) drops their
// bits on their behalf. A bit whose DPC is already queued or running cannot
// be taken away, so that DPC completes the request, with its own status.
#include "io/deferred_work.h"
#include "io/request_queue.h"

void DropTimerAndCancelReferences(PIRP* currentSlot, PKTIMER intervalTimer, PKTIMER totalTimer,
                                  PortExtension* port) {
    PIRP irp = *currentSlot;
    if (irp->CancelRoutine != nullptr) {
        DropReference(irp, RefCancel);
        IoSetCancelRoutine(irp, nullptr);
    }
    if (intervalTimer != nullptr && CancelTimerCounted(intervalTimer, port)) DropReference(irp, RefIntervalTimer);
    if (totalTimer != nullptr && CancelTimerCounted(totalTimer, port)) DropReference(irp, RefTotalTimer);
}

void CompleteCurrentIfUnreferenced(PortExtension* port, SynchRoutine* synch, KIRQL irql, NTSTATUS status,
                                   PIRP* currentSlot, PLIST_ENTRY queue, PKTIMER intervalTimer,
                                   PKTIMER totalTimer, StartRoutine* start, TakeNextRoutine* takeNext,
                                   LONG refBit) {
    PIRP irp = *currentSlot;
    if (irp == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return;
    }

    DropReference(irp, refBit);
    if (synch != nullptr) synch(port);
    DropTimerAndCancelReferences(currentSlot, intervalTimer, totalTimer, port);

    if (ReferenceWord(irp) != 0) {
        // Another party still holds the request and will finish it.
        IoReleaseCancelSpinLock(irql);
        return;
    }

    irp->IoStatus.Status = status;
    // A request that was cancelled reports nothing transferred. A write
    // whose transfer the USB stack withdrew (STATUS_CANCELLED, as when the
    // device is suspended for a sleep) was not: it keeps the characters the
    // chip confirmed, or the application would send them a second time.
    if (status == STATUS_CANCELLED && irp->Cancel) irp->IoStatus.Information = 0;

    if (takeNext != nullptr) {
        IoReleaseCancelSpinLock(irql);
        PIRP next = nullptr;
        takeNext(currentSlot, queue, &next, TRUE, port);
        if (next != nullptr) start(port);
        return;
    }

    StoreSharedPointer(reinterpret_cast<PVOID volatile*>(currentSlot), nullptr);
    IoReleaseCancelSpinLock(irql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    FinishRequest(port);
}
