// Halted pipes. A stream transfer that fails on the bus (a stall, a
// transaction error on a noisy cable, babble) leaves its pipe halted in the
// host controller: every later transfer on that pipe fails until the driver
// resets it with URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, which waits
// for the device and so is sent only at PASSIVE_LEVEL. Without the reset
// one error would leave the port deaf or mute until the device is plugged
// in again, even across closing and opening it.
//
// The completion notes the pipe in pipesHalted and queues the port's work
// item (serial/control_line_requests.cpp), which resets it. Then the stream
// goes on: a reader is started again while the port is open (the receive
// reader only while the far end is not being held off, as its completion
// would have re-armed it), and a write held while the transmit pipe was
// halted is sent. A pipe that fails again and again (kMaxResetsInARow
// resets without a transfer that succeeded in between) is reset but not
// restarted: the stream stays stopped until the next open starts it.
//
// Cancelled transfers and transfers to a device that is gone do not halt
// anything; nor do failures while the port is being removed.
#include "driver/driver_globals.h"
#include "io/write_path.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

namespace {

constexpr LONG kMaxResetsInARow = 4;

LONG PipeBit(StreamKind kind) { return 1L << kind; }

NTSTATUS ResetPipe(PortExtension* port, StreamKind kind) {
    USBD_PIPE_HANDLE pipe = StreamPipe(port, kind);
    if (pipe == nullptr) return STATUS_INVALID_PARAMETER;
    auto* urb = static_cast<struct _URB_PIPE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), PORT_POOL_TAG));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->PipeHandle = pipe;
    const NTSTATUS status = SubmitUrbSync(port->deviceObject, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, PORT_POOL_TAG);
    return status;
}

void RestartStream(PortExtension* port, StreamKind kind) {
    if (!PortIsOpen(port) || InterlockedIncrement(&port->pipeResetsInARow[kind]) > kMaxResetsInARow) return;
    switch (kind) {
    case STREAM_STATUS:
        if (!StreamOutstanding(port, STREAM_STATUS))
            StartStreamTransfer(port->deviceObject, STREAM_STATUS, nullptr, STATUS_MESSAGE_LENGTH);
        break;
    case STREAM_BULK_IN:
        if (ReadShared(&port->rxHolding) == 0) RestartReceiveStream(port);
        break;
    case STREAM_BULK_OUT:
        // Unconditionally: a write may be setting writeHeld just now.
        ResendFlowChar(port);
        SendWriteChunk(port);
        break;
    }
}

}  // namespace

BOOLEAN TransferHaltsPipe(USBD_STATUS urbStatus) {
    return USBD_ERROR(urbStatus) && urbStatus != USBD_STATUS_CANCELED && urbStatus != USBD_STATUS_DEVICE_GONE
               ? TRUE
               : FALSE;
}

void NotePipeHalted(PortExtension* port, StreamKind kind) {
    InterlockedOr(&port->pipesHalted, PipeBit(kind));
    QueuePortWork(port);
}

void NoteTransferSucceeded(PortExtension* port, StreamKind kind) {
    if (ReadShared(&port->pipeResetsInARow[kind]) != 0) InterlockedExchange(&port->pipeResetsInARow[kind], 0);
}

BOOLEAN PipeHalted(const PortExtension* port, StreamKind kind) {
    return (ReadShared(&port->pipesHalted) & PipeBit(kind)) != 0 ? TRUE : FALSE;
}

void ResetHaltedPipes(PortExtension* port) {
    for (LONG kind = STREAM_STATUS; kind <= STREAM_BULK_IN; ++kind) {
        const StreamKind stream = static_cast<StreamKind>(kind);
        if (!PipeHalted(port, stream)) continue;
        // Still noted as halted while the reset is on its way, so that a
        // write started meanwhile waits for it; cleared before the restart.
        const NTSTATUS status = ResetPipe(port, stream);
        InterlockedAnd(&port->pipesHalted, ~PipeBit(stream));
        if (NT_SUCCESS(status)) RestartStream(port, stream);
    }
}
