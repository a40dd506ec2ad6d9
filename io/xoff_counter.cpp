// IOCTL_SERIAL_XOFF_COUNTER: an XOFF character sent like a one-character
// write through the write queue, after which the request waits in
// currentXoffIrp until Counter characters have been received (completed
// with STATUS_SUCCESS), its time-out expires (STATUS_SERIAL_COUNTER_TIMEOUT),
// a new request of the write queue overtakes it (STATUS_SERIAL_MORE_WRITES,
// write_dispatch.cpp) or it is cancelled.
//
// Timeout is in milliseconds, as the platform documents for
// SERIAL_XOFF_COUNTER.
//
// xoffCountRemaining is counted down by the receive side (ReceiveChar)
// under controlLock and rxLock, which cannot take the cancel spin lock
// while holding rxLock. The two sides therefore meet on the count itself
// with interlocked operations: whichever brings it to 0 owns the ending of
// the count (RefTransfer). The receive side decrements only a non-zero
// count and queues xoffCountCompleteDpc when its decrement reached 0;
// TakeXoffBack exchanges it with 0 and drops RefTransfer only if it found
// characters still to count.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

namespace {

volatile LONG* CountWord(PortExtension* port) { return reinterpret_cast<volatile LONG*>(&port->xoffCountRemaining); }

const SERIAL_XOFF_COUNTER* CounterOf(PIRP irp) {
    return static_cast<const SERIAL_XOFF_COUNTER*>(irp->AssociatedIrp.SystemBuffer);
}

}  // namespace

BOOLEAN BeginXoffCount(PortExtension* port, PIRP irp) {
    if (port->currentXoffIrp != nullptr) return FALSE;
    SetReferenceWord(irp, RefCancel);
    IoSetCancelRoutine(irp, CancelXoffCounter);
    irp->IoStatus.Status = STATUS_PENDING;
    port->currentXoffIrp = irp;
    StartXoffCounter(port);
    const ULONG timeout = CounterOf(irp)->Timeout;
    if (timeout != 0) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(timeout) * 10000;
        SetTimerCounted(&port->xoffCountTimer, due, &port->xoffCountTimeoutDpc, port);
        AddReference(irp, RefTotalTimer);
    }
    return TRUE;
}

void StartXoffCounter(PortExtension* port) {
    PIRP irp = port->currentXoffIrp;
    InterlockedExchange(CountWord(port), CounterOf(irp)->Counter);
    AddReference(irp, RefTransfer);
}

void TakeXoffBack(PortExtension* port) {
    if (InterlockedExchange(CountWord(port), 0) != 0) DropReference(port->currentXoffIrp, RefTransfer);
}

VOID NTAPI CancelXoffCounter(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    CompleteCurrentIfUnreferenced(port, TakeXoffBack, irp->CancelIrql, STATUS_CANCELLED, &port->currentXoffIrp,
                                  nullptr, nullptr, &port->xoffCountTimer, nullptr, nullptr, RefCancel);
}

// The receive side counted the last character.
VOID NTAPI XoffCountCompleteDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->currentXoffIrp != nullptr) port->currentXoffIrp->IoStatus.Information = 0;
    CompleteCurrentIfUnreferenced(port, nullptr, irql, STATUS_SUCCESS, &port->currentXoffIrp, nullptr, nullptr,
                                  &port->xoffCountTimer, nullptr, nullptr, RefTransfer);
    EndDpcCounted(port);
}

VOID NTAPI XoffCountTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    PortExtension* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->currentXoffIrp != nullptr) port->currentXoffIrp->IoStatus.Information = 0;
    CompleteCurrentIfUnreferenced(port, TakeXoffBack, irql, STATUS_SERIAL_COUNTER_TIMEOUT, &port->currentXoffIrp,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, RefTotalTimer);
    EndDpcCounted(port);
}
