// Stop, surprise removal and removal, and what they share: cancelling
// every request the port holds, undoing the start, deleting the device.
//
// Nothing may still run inside the extension when the device object goes:
// removal refuses new requests, cancels the held ones and the USB
// transfers, waits until the admitted requests have finished and every
// cancelled transfer has come back from the USB stack (the stack completes
// a cancelled transfer in its own time), and UndoStart cancels the timers
// and DPCs and waits for any still running.
#include "driver/driver_globals.h"
#include "driver/pnp.h"
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

namespace {

void FreeString(UNICODE_STRING* text) {
    if (text->Buffer == nullptr) return;
    ExFreePoolWithTag(text->Buffer, PORT_POOL_TAG);
    text->Buffer = nullptr;
    text->Length = 0;
    text->MaximumLength = 0;
}

// Nothing of the port may be waiting for the USB stack or holding
// requests: admissions are refused from here on (the caller set the bit).
void WithdrawEverything(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    KillAllRequests(deviceObject);
    CancelAllStreams(port);
    WaitForStreamTransfers(port);
}

}  // namespace

void KillAllRequests(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    LIST_ENTRY none;  // the current slots without a queue of their own
    InitializeListHead(&none);
    CancelQueueAndCurrent(deviceObject, &port->writeQueue, &port->currentWriteIrp);
    CancelQueueAndCurrent(deviceObject, &none, &port->currentXoffIrp);
    CancelQueueAndCurrent(deviceObject, &port->readQueue, &port->currentReadIrp);
    CancelQueueAndCurrent(deviceObject, &port->purgeQueue, &port->currentPurgeIrp);
    CancelQueueAndCurrent(deviceObject, &port->maskQueue, &port->currentMaskIrp);
    // The pending wait-on-mask and immediate character: set cancelled, and
    // their cancel routines called if they have one.
    CancelQueueAndCurrent(deviceObject, &none, &port->currentWaitIrp);
    CancelQueueAndCurrent(deviceObject, &none, &port->currentImmediateIrp);
    CancelAllStalledRequests(deviceObject);
}

NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    // Requests other than Plug and Play are admitted again instead of being
    // parked (no handle can be open); those parked stay parked.
    SetOrClearFlags(port, &port->lifecycleFlags, LIFECYCLE_STOPPED, TRUE);
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_STOPPED, TRUE);
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_STOPPING, FALSE);
    port->pnpState = PNP_STATE_STOPPED;

    DrainRequests(port, TRUE);
    InterlockedIncrement(&port->pendingIrpCount);  // the base again
    // The next start initialises every timer and DPC anew. The USB
    // transfers stay.
    if (port->lifecycleFlags & LIFECYCLE_STARTED) CancelAllTimersAndDpcs(port);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port->lowerDevice, irp);  // the count was given back by the drain
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_SURPRISE_REMOVED, TRUE);
    WithdrawEverything(deviceObject);
    // No transfer can fill it any more.
    FreeReceiveBuffer(port);
    // The base is not taken again: the removal that follows finds nothing
    // to wait for.
    DrainRequests(port, TRUE);
    UndoStart(deviceObject);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port->lowerDevice, irp);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PDEVICE_OBJECT lowerDevice = port->lowerDevice;  // the extension goes with the device object
    const BOOLEAN surpriseRemoved = (port->pnpAccept & PNP_ACCEPT_SURPRISE_REMOVED) != 0;
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_REMOVING, TRUE);
    WithdrawEverything(deviceObject);
    DrainRequests(port, !surpriseRemoved);
    RemovePortDevice(deviceObject);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lowerDevice, irp);
}

void UndoStart(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    // A stop cancelled them already, but the USB transfers it left running
    // may have queued DPCs since: cancel and drain again. Before the first
    // start the timers and DPCs were never initialised.
    if (port->lifecycleFlags & LIFECYCLE_STARTED) {
        CancelAllTimersAndDpcs(port);
        DeregisterFromWmi(deviceObject);
    }
    UndoExternalNaming(deviceObject);
}

void RemovePortDevice(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (!(port->pnpAccept & PNP_ACCEPT_SURPRISE_REMOVED)) UndoStart(deviceObject);
    IoDetachDevice(port->lowerDevice);
    FreeString(&port->deviceName);
    FreeString(&port->symbolicLinkName);
    FreeString(&port->dosName);
    FreeUsbConfiguration(port);
    FreeLineWork(port);
    IoDeleteDevice(deviceObject);
}
