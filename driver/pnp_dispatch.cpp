// IRP_MJ_PNP: the minor-code table, passing requests down, and the queried
// and cancelled stops and removals.
//
// A queried stop parks the requests that arrive (io/admission.cpp); a
// queried removal refuses them with STATUS_DELETE_PENDING. Both are
// refused while a handle is open, tested under openMutex.
#include "driver/dispatch.h"
#include "driver/pnp.h"
#include "io/request_queue.h"

void SetOrClearFlags(PortExtension* port, volatile LONG* word, LONG mask, BOOLEAN set) {
    KIRQL irql;
    KeAcquireSpinLock(&port->flagsLock, &irql);
    // Interlocked under the lock: PortBeingRemoved reads pnpAccept without it.
    if (set)
        InterlockedOr(word, mask);
    else
        InterlockedAnd(word, ~mask);
    KeReleaseSpinLock(&port->flagsLock, irql);
}

NTSTATUS CompletePnpRequest(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    FinishRequest(port);
    return status;
}

NTSTATUS PassDownCopied(PortExtension* port, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return CallLowerAndFinish(port, port->lowerDevice, irp);
}

NTSTATUS PassDownSkipped(PortExtension* port, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return CallLowerAndFinish(port, port->lowerDevice, irp);
}

void DrainRequests(PortExtension* port, BOOLEAN baseHeld) {
    PAGED_CODE();
    // A request that finished while nobody drained may have left the event
    // set; the counts given back below are still held, so no finish can
    // reach zero before the decrement.
    KeClearEvent(&port->irpsDoneEvent);
    const LONG held = baseHeld ? 2 : 1;
    if (InterlockedExchangeAdd(&port->pendingIrpCount, -held) != held)
        KeWaitForSingleObject(&port->irpsDoneEvent, Executive, KernelMode, FALSE, nullptr);
}

namespace {

// A handle is open, or an open is under way: it counts itself in openCount
// before it waits for the device to power up, and marks the port open only
// at its end. Either one makes a stop or removal query busy. Under
// openMutex.
BOOLEAN HandleOpenOrOpening(const PortExtension* port) { return PortIsOpen(port) || ReadShared(&port->openCount) != 0; }

NTSTATUS SucceedAndPassDown(PortExtension* port, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopied(port, irp);
}

// A stop or removal query: refused while a handle is open or opening, else
// the port enters `state` and admission starts holding back (`acceptBit`).
NTSTATUS AcceptQueryUnlessOpen(PortExtension* port, PIRP irp, LONG state, LONG acceptBit) {
    ExAcquireFastMutex(&port->openMutex);
    if (HandleOpenOrOpening(port)) {
        ExReleaseFastMutex(&port->openMutex);
        return CompletePnpRequest(port, irp, STATUS_DEVICE_BUSY);
    }
    port->pnpState = state;
    SetOrClearFlags(port, &port->pnpAccept, acceptBit, TRUE);
    ExReleaseFastMutex(&port->openMutex);
    return SucceedAndPassDown(port, irp);
}

NTSTATUS QueryRemove(PortExtension* port, PIRP irp) {
    return AcceptQueryUnlessOpen(port, irp, PNP_STATE_REMOVE_QUERIED, PNP_ACCEPT_REMOVING);
}

NTSTATUS CancelRemove(PortExtension* port, PIRP irp) {
    port->pnpState = PNP_STATE_STARTED;
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_REMOVING, FALSE);
    return SucceedAndPassDown(port, irp);
}

NTSTATUS QueryStop(PortExtension* port, PIRP irp) {
    if (port->pnpState != PNP_STATE_STARTED) return PassDownSkipped(port, irp);
    return AcceptQueryUnlessOpen(port, irp, PNP_STATE_STOP_QUERIED, PNP_ACCEPT_STOPPING);
}

// The requests parked while the stop was pending go back to their dispatch
// routines once the drivers below have cancelled the stop too. The bit is
// cleared first (io/request_queue.h).
NTSTATUS CancelStop(PortExtension* port, PIRP irp) {
    const BOOLEAN wasQueried = port->pnpState == PNP_STATE_STOP_QUERIED;
    if (wasQueried) {
        port->pnpState = PNP_STATE_STARTED;
        SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_STOPPING, FALSE);
    }
    const NTSTATUS status = SucceedAndPassDown(port, irp);
    if (wasQueried) ResubmitStalledRequests(port);
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    // Plug and Play requests are always admitted; a refusal would still
    // be completed properly.
    const NTSTATUS admitted = AdmitRequest(irp, port);
    if (!NT_SUCCESS(admitted)) return CompletePnpRequest(port, irp, admitted);

    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(deviceObject, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryRemove(port, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(deviceObject, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CancelRemove(port, irp);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(deviceObject, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStop(port, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CancelStop(port, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(deviceObject, irp);
    case IRP_MN_QUERY_ID:
        return QueryId(deviceObject, irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return PassDownCopied(port, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(deviceObject, irp);
    default:
        return PassDownSkipped(port, irp);
    }
}
