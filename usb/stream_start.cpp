// Starting stream transfers: the status reader, the receive reader and the
// transmit transfers of the write path and the one-character senders.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

// TransferFlags by kind. The status message is read without
// USBD_SHORT_TRANSFER_OK: a short message is an error of the chip.
ULONG TransferFlagsOf(StreamKind kind) {
    switch (kind) {
    case STREAM_STATUS:
        return USBD_TRANSFER_DIRECTION_IN;
    case STREAM_BULK_IN:
        return USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    default:
        return USBD_TRANSFER_DIRECTION_OUT;
    }
}

NTSTATUS StartTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, TransmitContent content, const UCHAR* data,
                       ULONG length) {
    NTSTATUS status = STATUS_SUCCESS;
    StreamRequest* request = BuildStreamTransfer(deviceObject, kind, content, data, length, &status);
    if (request == nullptr) return status;
    return SubmitStreamIrp(deviceObject, request, kind);
}

}  // namespace

StreamRequest* BuildStreamTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, TransmitContent content,
                                   const UCHAR* data, ULONG length, NTSTATUS* status) {
    PortExtension* port = PortFromDevice(deviceObject);
    USBD_PIPE_HANDLE pipe = StreamPipe(port, kind);
    if (pipe == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;  // no such pipe in the configuration
        return nullptr;
    }

    StreamRequest* request =
        static_cast<StreamRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamRequest), PORT_POOL_TAG));
    if (request == nullptr) {
        *status = STATUS_NO_MEMORY;
        return nullptr;
    }
    RtlZeroMemory(request, sizeof(StreamRequest));
    // An empty transfer still gets a byte of buffer, so that the URB never
    // carries a null buffer.
    const ULONG bufferLength = length == 0 ? 1 : length;
    request->dataBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bufferLength, PORT_POOL_TAG));
    if (request->dataBuffer == nullptr) {
        ExFreePoolWithTag(request, PORT_POOL_TAG);
        *status = STATUS_NO_MEMORY;
        return nullptr;
    }
    if (kind == STREAM_BULK_OUT) {
        if (length != 0)
            RtlCopyMemory(request->dataBuffer, data, length);
        else
            request->dataBuffer[0] = 0;
    }
    request->content = content;

    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &request->urb;
    urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = pipe;
    urb->TransferFlags = TransferFlagsOf(kind);
    urb->TransferBufferLength = length;
    urb->TransferBuffer = request->dataBuffer;
    urb->TransferBufferMDL = nullptr;
    urb->UrbLink = nullptr;
    *status = STATUS_SUCCESS;
    return request;
}

NTSTATUS StartStreamTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, const UCHAR* data, ULONG length) {
    return StartTransfer(deviceObject, kind, TX_WRITE_CHUNK, data, length);
}

NTSTATUS StartTransmitTransfer(PDEVICE_OBJECT deviceObject, TransmitContent content, const UCHAR* data,
                               ULONG length) {
    return StartTransfer(deviceObject, STREAM_BULK_OUT, content, data, length);
}

NTSTATUS StartReaders(PortExtension* port) {
    NTSTATUS status = STATUS_SUCCESS;
    if (!StreamOutstanding(port, STREAM_STATUS)) {
        status = StartStreamTransfer(port->deviceObject, STREAM_STATUS, nullptr, STATUS_MESSAGE_LENGTH);
    }
    // While the receive buffer holds the far end off (XOFF sent, or the
    // chip's RTS flow) the receive stream stays stopped: a transfer now
    // would take the bytes the chip is holding back. Ending the hold
    // starts it (RestartReceiveStream).
    if (!StreamOutstanding(port, STREAM_BULK_IN) && !(ReadShared(&port->rxHolding) & (RX_HOLD_XOFF | RX_HOLD_RTS))) {
        const NTSTATUS receive =
            StartStreamTransfer(port->deviceObject, STREAM_BULK_IN, nullptr, RECEIVE_TRANSFER_LENGTH);
        if (NT_SUCCESS(status)) status = receive;
    }
    // A transfer sent down is pending until the chip answers.
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}
