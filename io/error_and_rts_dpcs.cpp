// The deferred routines of the port that belong to no single request path:
// the error-abort DPC and the two steps of transmit-toggle RTS lowering.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"

// An error was received while SERIAL_ERROR_ABORT is in effect: every read
// and write fails.
VOID NTAPI CommErrorDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    CancelQueueAndCurrent(port->deviceObject, &port->writeQueue, &port->currentWriteIrp);
    CancelQueueAndCurrent(port->deviceObject, &port->readQueue, &port->currentReadIrp);
    EndDpcCounted(port);
}

// Transmit-toggle RTS: wait one character time before looking whether RTS
// can be dropped, so that the last character has left the line.
VOID NTAPI StartLowerRtsDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);

    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    LARGE_INTEGER due;
    due.QuadPart = -CharacterTime(port);
    KeReleaseSpinLock(&port->controlLock, irql);

    // Already armed: this check merges into the pending one.
    if (SetTimerCounted(&port->lowerRtsTimer, due, &port->lowerRtsDpc, port))
        InterlockedDecrement(&port->lowerRtsPending);
    EndDpcCounted(port);
}

VOID NTAPI LowerRtsDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    LowerRtsCheck(port);
    EndDpcCounted(port);
}
