#include "io/deferred_work.h"

BOOLEAN QueueDpcCounted(PKDPC dpc, PVOID argument1, PVOID argument2, PortExtension* port) {
    InterlockedIncrement(&port->pendingDpcCount);
    const BOOLEAN inserted = KeInsertQueueDpc(dpc, argument1, argument2);
    // Already queued: the one run serves both requests, and counts once.
    if (!inserted) EndDpcCounted(port);
    return inserted;
}

// A timer that has expired but whose DPC has not yet run is no longer armed,
// so KeSetTimer alone would count the new expiry a second time; and if the
// new expiry came while that DPC was still queued, the kernel would insert
// the DPC once for both, leaving one count that no DPC ever ends. So the
// queued DPC of the earlier expiry is taken back here and the new expiry
// serves in its place, with its count: the work it would have done happens
// at the new due time instead. A DPC already running is out of the queue
// and keeps its own count.
BOOLEAN SetTimerCounted(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, PortExtension* port) {
    InterlockedIncrement(&port->pendingDpcCount);
    // Taken back first: a due time already past queues the DPC inside
    // KeSetTimer, and that run must stay.
    BOOLEAN replaced = KeRemoveQueueDpc(dpc);
    if (KeSetTimer(timer, dueTime, dpc)) replaced = TRUE;
    // The earlier expiry, armed or queued, already holds a count.
    if (replaced) InterlockedDecrement(&port->pendingDpcCount);
    return replaced;
}

BOOLEAN CancelTimerCounted(PKTIMER timer, PortExtension* port) {
    const BOOLEAN wasSet = KeCancelTimer(timer);
    // Its DPC will not run, so its count ends here.
    if (wasSet) EndDpcCounted(port);
    return wasSet;
}

void EndDpcCounted(PortExtension* port) {
    if (InterlockedDecrement(&port->pendingDpcCount) == 0) KeSetEvent(&port->dpcsDoneEvent, IO_NO_INCREMENT, FALSE);
}

void CancelAllTimersAndDpcs(PortExtension* port) {
    CancelTimerCounted(&port->readTotalTimer, port);
    CancelTimerCounted(&port->readIntervalTimer, port);
    CancelTimerCounted(&port->writeTotalTimer, port);
    CancelTimerCounted(&port->immediateTotalTimer, port);
    CancelTimerCounted(&port->xoffCountTimer, port);
    CancelTimerCounted(&port->lowerRtsTimer, port);

    PKDPC dpcs[] = {
        &port->completeWriteDpc,      &port->completeReadDpc,       &port->readTotalTimeoutDpc,
        &port->readIntervalTimeoutDpc, &port->writeTotalTimeoutDpc, &port->commErrorDpc,
        &port->completeImmediateDpc,  &port->immediateTotalTimeoutDpc, &port->completeWaitDpc,
        &port->xoffCountTimeoutDpc,   &port->xoffCountCompleteDpc,  &port->startLowerRtsDpc,
        &port->lowerRtsDpc,
    };
    // The base count keeps these above zero: nobody is waiting yet.
    for (PKDPC dpc : dpcs)
        if (KeRemoveQueueDpc(dpc)) InterlockedDecrement(&port->pendingDpcCount);

    // A DPC already running on another processor is out of the queue but
    // still inside the extension, and may arm a timer or queue a DPC
    // before it ends: wait until the count is down to its base.
    DrainDpcs(port);
}

void DrainDpcs(PortExtension* port) {
    // A DPC that ran and ended after the last drain had been satisfied may
    // have set the event again; a stale signal would end this wait early.
    KeClearEvent(&port->dpcsDoneEvent);
    if (InterlockedDecrement(&port->pendingDpcCount) != 0)
        KeWaitForSingleObject(&port->dpcsDoneEvent, Executive, KernelMode, FALSE, nullptr);
    InterlockedIncrement(&port->pendingDpcCount);
}

LONGLONG CharacterTime(PortExtension* port) {
    const LONGLONG dataBits = (port->lineControl & 0x03) + 5;
    if (port->currentBaud == 0) port->currentBaud = 9600;
    const LONGLONG baud = port->currentBaud;
    // One bit in 100 ns units, rounded up.
    const LONGLONG bitTime = (10000000 + baud - 1) / baud;
    const bool parity = (port->lineControl & 0x38) != 0;
    const bool extraStop = (port->lineControl & 0x04) != 0;
    // Start bit plus stop bits: 2 normally, 3 with the extra stop bit.
    const LONGLONG bitsPerCharacter = dataBits + (parity ? 1 : 0) + (extraStop ? 3 : 2);
    return bitTime * bitsPerCharacter;
}
