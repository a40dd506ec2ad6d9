// StreamComplete: the one completion routine of the status, transmit and
// receive transfers.
//
// For now it only settles who frees what (the free hand-shake with a
// canceller, usb_request.cpp) and releases the transfer's request, buffer
// and record. The per-kind processing (storing the status word and
// re-arming the status reader, handing received characters to the read
// path, reporting a transmitted chunk to the write path) arrives with the
// streams, between the two steps below. Whatever it starts, it must not
// re-arm a reader whose transfer a canceller has taken (ownedAlone FALSE):
// that transfer is being withdrawn.
#include "usb/chip_protocol.h"

NTSTATUS NTAPI StreamComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    // A request the driver allocated without a location of its own: the
    // device object passed here is null; the record names the port.
    UNREFERENCED_PARAMETER(deviceObject);
    StreamRequest* request = static_cast<StreamRequest*>(context);

    // Bytes carried, for whoever reads the request's outcome.
    irp->IoStatus.Information = request->urb.TransferBufferLength;

    // From here on `irp` may already be freed: use only the record.
    const BOOLEAN ownedAlone = CompletionTakesTransfer(request);

    ReleaseCompletedTransfer(request, ownedAlone);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
