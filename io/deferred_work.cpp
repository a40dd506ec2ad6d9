#include "io/deferred_work.h"

BOOLEAN QueueDpcCounted(PKDPC dpc, PVOID argument1, PVOID argument2, PortExtension* port) {
    InterlockedIncrement(&port->pendingDpcCount);
    const BOOLEAN inserted = KeInsertQueueDpc(dpc, argument1, argument2);
    // Already queued: the one run serves both requests, and counts once.
    if (!inserted) EndDpcCounted(port);
    return inserted;
}

BOOLEAN SetTimerCounted(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, PortExtension* port) {
    InterlockedIncrement(&port->pendingDpcCount);
    const BOOLEAN wasSet = KeSetTimer(timer, dueTime, dpc);
    // Re-arming replaces the earlier expiry, which already holds a count.
    if (wasSet) InterlockedDecrement(&port->pendingDpcCount);
    return wasSet;
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
    // A stop's drain does not wait on dpcsDoneEvent, so the count is only
    // brought back down here.
    for (PKDPC dpc : dpcs)
        if (KeRemoveQueueDpc(dpc)) InterlockedDecrement(&port->pendingDpcCount);
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
