// StreamComplete: the one completion routine of the status, transmit and
// receive transfers.
//
// First it settles who frees what (the free hand-shake with a canceller,
// usb_request.cpp); then, unless the port is being removed, it does the
// work of the transfer's kind; last it releases the transfer's request,
// buffer and record. A reader whose transfer a canceller has taken
// (ownedAlone FALSE) is being withdrawn: what it brought is still used,
// but it is not re-armed.
//
// The completion may run inside IoCallDriver of whoever started the
// transfer (a USB stack refuses transfers to an unplugged device at once).
// The failure paths below therefore take no lock that a starter may hold:
// readers and one-character transfers may be started with controlLock and
// rxLock held, write chunks only with no spin lock held (write_path.h).
#include "io/write_path.h"
#include "serial/modem_lines.h"
#include "usb/stream_work.h"

namespace {

void TransmitComplete(PortExtension* port, TransmitContent content, NTSTATUS status, ULONG carried) {
    if (NT_SUCCESS(status) && ReadShared(&port->openCount) != 0) {
        TransmitDone(port, content, carried);
        return;
    }
    // A removal or close waits for the requests inside the driver; make
    // sure a waiter sees the count that is already there.
    if (ReadShared(&port->pendingIrpCount) == 0) KeSetEvent(&port->irpsDoneEvent, IO_NO_INCREMENT, FALSE);
    TransmitFailed(port, content, NT_SUCCESS(status) ? STATUS_CANCELLED : status, carried);
}

}  // namespace

void StatusMessageDone(PortExtension* port, const UCHAR* data, ULONG length, BOOLEAN rearm) {
    if (length >= STATUS_MESSAGE_LENGTH) {
        // Under the lock IOCTL_SERIAL_GET_MODEMSTATUS clears the ring bit
        // with, so that a new word is never overwritten by an older one.
        KIRQL irql;
        KeAcquireSpinLock(&port->controlLock, &irql);
        port->uartState = static_cast<USHORT>(data[8] | (data[9] << 8));
        KeReleaseSpinLock(&port->controlLock, irql);
    }
    if (ReadShared(&port->openCount) != 0) EvaluateModemStatus(port);
    if (rearm) StartStreamTransfer(port->deviceObject, STREAM_STATUS, nullptr, STATUS_MESSAGE_LENGTH);
    // CTS may have come back: a write held for it goes now.
    SendWriteChunk(port);
}

NTSTATUS NTAPI StreamComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    // A request the driver allocated without a location of its own: the
    // device object passed here is null; the record names the port.
    UNREFERENCED_PARAMETER(deviceObject);
    StreamRequest* request = static_cast<StreamRequest*>(context);
    PortExtension* port = PortFromDevice(request->deviceObject);

    // Bytes carried, for whoever reads the request's outcome.
    const ULONG carried = request->urb.TransferBufferLength;
    const NTSTATUS status = irp->IoStatus.Status;
    irp->IoStatus.Information = carried;

    // From here on `irp` may already be freed: use only the record.
    const BOOLEAN ownedAlone = CompletionTakesTransfer(request);

    if (!PortBeingRemoved(port)) {
        if (NT_SUCCESS(status))
            NoteTransferSucceeded(port, request->kind);
        else if (TransferHaltsPipe(request->urb.Hdr.Status))
            NotePipeHalted(port, request->kind);
        switch (request->kind) {
        case STREAM_STATUS:
            // A failed status transfer, or one without data, stops the
            // status stream until it is started again.
            if (NT_SUCCESS(status) && carried != 0) StatusMessageDone(port, request->dataBuffer, carried, ownedAlone);
            break;
        case STREAM_BULK_IN:
            // Likewise a failed receive transfer, or one that completes
            // while the port is closed. A receive transfer withdrawn while
            // the port stays open (the diagnostic stream stop) may already
            // hold packets the chip has handed over and no longer keeps:
            // the host controller reports them in the transfer length of
            // the cancelled request, and they are passed on, without
            // re-arming the stream.
            if (ReadShared(&port->openCount) != 0 &&
                (NT_SUCCESS(status) || (status == STATUS_CANCELLED && carried != 0)))
                ReceivedCharacters(port, request->dataBuffer, carried, NT_SUCCESS(status) ? ownedAlone : FALSE);
            break;
        case STREAM_BULK_OUT:
            TransmitComplete(port, request->content, status, carried);
            break;
        }
    }

    ReleaseCompletedTransfer(request, ownedAlone);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
