// IOCTL_SERIAL_PURGE: the purge queue's start routine.
//
// The control-code dispatch has checked the mask (non-zero, only the four
// SERIAL_PURGE_* bits). Aborts cancel requests through their own cancel
// routines, so each ends exactly as a cancel from the application would; a
// request whose time-out DPC is already running finishes a little later,
// with that DPC's status.
#include "io/read_path.h"

namespace {

void Purge(PortExtension* port, ULONG mask) {
    PDEVICE_OBJECT device = port->deviceObject;
    if (mask & SERIAL_PURGE_TXABORT) {
        CancelQueueAndCurrent(device, &port->writeQueue, &port->currentWriteIrp);
        // An xoff counter whose XOFF went out counts received characters
        // outside the write queue.
        CancelQueueAndCurrent(device, &port->writeQueue, &port->currentXoffIrp);
    }
    if (mask & SERIAL_PURGE_RXABORT) CancelQueueAndCurrent(device, &port->readQueue, &port->currentReadIrp);
    if (mask & SERIAL_PURGE_RXCLEAR) ClearReceiveBuffer(port);
    // SERIAL_PURGE_TXCLEAR: the driver keeps no transmit buffer of its own.
}

}  // namespace

NTSTATUS StartPurge(PortExtension* port) {
    NTSTATUS first = STATUS_SUCCESS;
    bool isFirst = true;
    PIRP irp = port->currentPurgeIrp;
    while (irp != nullptr) {
        NTSTATUS status = STATUS_CANCELLED;
        if (!irp->Cancel) {
            Purge(port, *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer));
            status = STATUS_SUCCESS;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        if (isFirst) first = status;
        isFirst = false;
        TakeNextRequest(&port->currentPurgeIrp, &port->purgeQueue, &irp, TRUE, port);
    }
    return first;
}
