// Getting URBs to the USB stack below the port, and getting them back.
//
// Control requests go synchronously (SubmitUrbSync), stream transfers
// asynchronously with StreamComplete as their completion (SubmitStreamIrp),
// and the odd control request that must be issued above PASSIVE_LEVEL
// without an answer goes through SubmitUrbAsync.
//
// The free hand-shake. A stream transfer can end in two ways that may race
// on different processors: its completion runs (at DISPATCH_LEVEL), and a
// canceller at close or removal withdraws it. Each transfer is published in
// an entry of the port's transfer table when it is sent. Whoever empties
// that entry first with an interlocked operation decides the course:
//  - the completion (a compare-exchange that only removes its own
//    transfer): nobody else can reach the transfer any more, so the
//    completion frees the IRP at once and the record at its end;
//  - a canceller (an exchange against null): both sides now hold the
//    transfer. The canceller calls IoCancelIrp, the completion does its
//    work; each then exchanges the transfer's own token with 1, and the
//    one that finds it already 1 frees the IRP and the record.
// The token lives in the StreamRequest and not in the port: a transfer
// whose cancellation is still on its way through the USB stack when the
// next transfer of the same kind is sent (a close quickly followed by an
// open) keeps its own token, so neither side can free the other's
// request. Transmit transfers may overlap (a write chunk, one-character
// transfers, the empty transfer that wakes a held write), so the transmit
// kind has a table of PORT_MAX_BULK_OUT_TRANSFERS entries, every one of
// which is findable and cancelled at close; each transfer is freed exactly
// once, by its completion or by its canceller.
//
// Coming back. Withdrawing a transfer does not end it: the USB stack
// completes a cancelled transfer in its own time, and the completion then
// reads the port's extension. streamTransfersOut counts the transfers sent
// and not yet finished by their completion (the last thing the completion
// does is take its count back), and removal waits on streamsDoneEvent
// until it is zero before anything the completions touch goes away.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

// A control request that the USB stack has not completed after this long
// is cancelled: 3 s, relative, in 100 ns units.
constexpr LONGLONG kSyncRequestTimeout = -30000000;

// Completion routine of a synchronous request: wakes the waiting thread
// and keeps the request from the I/O manager until that thread is done
// with it. Were the I/O manager to finish and free the request at once, a
// completion racing with the time-out would leave the thread calling
// IoCancelIrp on a freed request.
NTSTATUS NTAPI SyncRequestDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// What an asynchronous control request carries along to its completion.
struct AsyncUrbContext {
    PURB urb;                     // freed by the completion
    PDEVICE_OBJECT deviceObject;  // the port's device object
    PIRP irp;                     // freed by the completion
};

NTSTATUS NTAPI AsyncUrbDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    AsyncUrbContext* async = static_cast<AsyncUrbContext*>(context);
    IoFreeIrp(irp);
    if (async->urb != nullptr) {
        ExFreePoolWithTag(async->urb, PORT_POOL_TAG);
        async->urb = nullptr;
    }
    ExFreePoolWithTag(async, PORT_POOL_TAG);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the request is gone: the I/O manager must leave it alone
}

// A request for the lower device carrying `urb`, or null.
PIRP AllocateUrbIrp(PortExtension* port, PURB urb) {
    PIRP irp = IoAllocateIrp(port->lowerDevice->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return irp;
}

// The kind's transfer table.
StreamRequest* volatile* TransferTable(PortExtension* port, StreamKind kind, ULONG* entries) {
    switch (kind) {
    case STREAM_STATUS:
        *entries = 1;
        return &port->statusTransfer;
    case STREAM_BULK_IN:
        *entries = 1;
        return &port->bulkInTransfer;
    case STREAM_BULK_OUT:
        *entries = PORT_MAX_BULK_OUT_TRANSFERS;
        return port->bulkOutTransfers;
    }
    *entries = 0;
    return nullptr;
}

PVOID volatile* AsPointerSlot(StreamRequest* volatile* entry) { return reinterpret_cast<PVOID volatile*>(entry); }

// A transfer's completion is done with the port (or it was never sent).
// The removal waiting for the count may delete the device object as soon
// as the event is set: nothing of the port is touched after this.
void TransferCameBack(PortExtension* port) {
    if (InterlockedDecrement(&port->streamTransfersOut) == 0) KeSetEvent(&port->streamsDoneEvent, IO_NO_INCREMENT, FALSE);
}

// Puts `request` into a free entry of its kind's table.
BOOLEAN PublishTransfer(PortExtension* port, StreamRequest* request) {
    ULONG entries = 0;
    StreamRequest* volatile* table = TransferTable(port, request->kind, &entries);
    for (ULONG i = 0; i < entries; ++i) {
        request->slot = i;
        if (InterlockedCompareExchangePointer(AsPointerSlot(&table[i]), request, nullptr) == nullptr) return TRUE;
    }
    return FALSE;
}

}  // namespace

// --- Synchronous control requests -------------------------------------------------

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb) {
    // The caller's thread waits: never at DISPATCH_LEVEL.
    if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
    PortExtension* port = PortFromDevice(deviceObject);

    KEVENT returned;  // the request has come back to this routine
    KEVENT finished;  // the I/O manager has written the status block
    KeInitializeEvent(&returned, NotificationEvent, FALSE);
    KeInitializeEvent(&finished, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, port->lowerDevice, nullptr, 0, nullptr,
                                             0, TRUE, &finished, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SyncRequestDone, &returned, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(port->lowerDevice, irp);
    const BOOLEAN pended = status == STATUS_PENDING;
    if (pended) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSyncRequestTimeout;
        if (KeWaitForSingleObject(&returned, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            // Stuck in the USB stack: withdraw it and wait for the stack to
            // give it back. Its final status (normally STATUS_CANCELLED,
            // or whatever it completed with if it won the race) is what the
            // caller gets.
            ioStatus.Status = STATUS_IO_TIMEOUT;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&returned, Executive, KernelMode, FALSE, nullptr);
        }
    }
    // Let the I/O manager finish the request: it copies the final status
    // into ioStatus, sets `finished` and frees the request.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr);
    return pended ? ioStatus.Status : status;
}

// --- Asynchronous control requests ------------------------------------------------

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT deviceObject, PURB urb) {
    PortExtension* port = PortFromDevice(deviceObject);
    PIRP irp = AllocateUrbIrp(port, urb);
    if (irp == nullptr) {
        ExFreePoolWithTag(urb, PORT_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    AsyncUrbContext* async =
        static_cast<AsyncUrbContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AsyncUrbContext), PORT_POOL_TAG));
    if (async == nullptr) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(urb, PORT_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    async->urb = urb;
    async->deviceObject = deviceObject;
    async->irp = irp;
    IoSetCompletionRoutine(irp, AsyncUrbDone, async, TRUE, TRUE, TRUE);
    return IoCallDriver(port->lowerDevice, irp);
}

// --- Stream transfers -----------------------------------------------------------------

void FreeStreamRequest(StreamRequest* request) {
    if (request->dataBuffer != nullptr) ExFreePoolWithTag(request->dataBuffer, PORT_POOL_TAG);
    ExFreePoolWithTag(request, PORT_POOL_TAG);
}

NTSTATUS SubmitStreamIrp(PDEVICE_OBJECT deviceObject, StreamRequest* request, StreamKind kind) {
    PortExtension* port = PortFromDevice(deviceObject);
    ULONG entries = 0;
    if (TransferTable(port, kind, &entries) == nullptr) {
        FreeStreamRequest(request);
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = AllocateUrbIrp(port, reinterpret_cast<PURB>(&request->urb));
    if (irp == nullptr) {
        FreeStreamRequest(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->irp = irp;
    request->deviceObject = deviceObject;
    request->kind = kind;
    InterlockedExchange(&request->handoff, 0);
    IoSetCompletionRoutine(irp, StreamComplete, request, TRUE, TRUE, TRUE);

    // Counted before it can be taken: a removal that withdraws it waits for
    // its completion.
    InterlockedIncrement(&port->streamTransfersOut);
    // Published last: from here on a canceller may take the transfer.
    NTSTATUS refused = STATUS_DEVICE_BUSY;
    if (PublishTransfer(port, request)) {
        // A removal sets its bit before it withdraws the transfers, and
        // waits for every one: a transfer published after it looked must
        // not go out. The publication and the removal's exchange are both
        // interlocked, so either it sees this transfer or this sees its bit.
        if (!PortBeingRemoved(port) || !CompletionTakesTransfer(request)) return IoCallDriver(port->lowerDevice, irp);
        refused = STATUS_DELETE_PENDING;  // taken back: CompletionTakesTransfer freed the IRP
        irp = nullptr;
    }
    TransferCameBack(port);
    if (irp != nullptr) IoFreeIrp(irp);
    FreeStreamRequest(request);
    return refused;
}

BOOLEAN StreamOutstanding(const PortExtension* port, StreamKind kind) {
    ULONG entries = 0;
    StreamRequest* volatile* table = TransferTable(const_cast<PortExtension*>(port), kind, &entries);
    // The entries change only by interlocked exchanges on other processors:
    // read each as one too. A stale answer is what any caller must live with
    // anyway, since the transfer may come back right after the look.
    for (ULONG i = 0; i < entries; ++i)
        if (ReadPointerAcquire(AsPointerSlot(&table[i])) != nullptr) return TRUE;
    return FALSE;
}

// --- The canceller's side ------------------------------------------------------------------

StreamRequest* TakeStreamTransfer(PortExtension* port, StreamKind kind, ULONG slot) {
    ULONG entries = 0;
    StreamRequest* volatile* table = TransferTable(port, kind, &entries);
    if (slot >= entries) return nullptr;
    return static_cast<StreamRequest*>(InterlockedExchangePointer(AsPointerSlot(&table[slot]), nullptr));
}

BOOLEAN TakeThisStreamTransfer(PortExtension* port, StreamKind kind, StreamRequest* request) {
    ULONG entries = 0;
    StreamRequest* volatile* table = TransferTable(port, kind, &entries);
    if (table == nullptr || request == nullptr) return FALSE;
    for (ULONG slot = 0; slot < entries; ++slot)
        if (InterlockedCompareExchangePointer(AsPointerSlot(&table[slot]), nullptr, request) == request) return TRUE;
    return FALSE;
}

void CancelTakenTransfer(StreamRequest* request) {
    IoCancelIrp(request->irp);
    if (InterlockedExchange(&request->handoff, 1) != 0) {
        // The completion has run and finished with it: ours to free.
        IoFreeIrp(request->irp);
        FreeStreamRequest(request);
    }
    // Otherwise the completion is still to come (or still running) and
    // frees both when it exchanges the token.
}

void CancelStreamTransfer(PortExtension* port, StreamKind kind) {
    // The write-cancel routine calls this at DISPATCH_LEVEL: there it
    // withdraws nothing, and the transfer completes in its own time.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return;
    ULONG entries = 0;
    if (TransferTable(port, kind, &entries) == nullptr) return;
    for (ULONG slot = 0; slot < entries; ++slot) {
        StreamRequest* request = TakeStreamTransfer(port, kind, slot);
        if (request != nullptr) CancelTakenTransfer(request);
    }
}

void CancelAllStreams(PortExtension* port) {
    CancelStreamTransfer(port, STREAM_STATUS);
    CancelStreamTransfer(port, STREAM_BULK_OUT);
    CancelStreamTransfer(port, STREAM_BULK_IN);
}

// --- The completion's side -------------------------------------------------------------------

BOOLEAN CompletionTakesTransfer(StreamRequest* request) {
    PortExtension* port = PortFromDevice(request->deviceObject);
    ULONG entries = 0;
    StreamRequest* volatile* table = TransferTable(port, request->kind, &entries);
    if (request->slot < entries &&
        InterlockedCompareExchangePointer(AsPointerSlot(&table[request->slot]), nullptr, request) == request) {
        // No canceller holds it, and none can find it any more.
        IoFreeIrp(request->irp);
        request->irp = nullptr;
        return TRUE;
    }
    return FALSE;
}

void ReleaseCompletedTransfer(StreamRequest* request, BOOLEAN ownedAlone) {
    PortExtension* port = PortFromDevice(request->deviceObject);
    if (request->dataBuffer != nullptr) {
        ExFreePoolWithTag(request->dataBuffer, PORT_POOL_TAG);
        request->dataBuffer = nullptr;
    }
    if (ownedAlone) {
        FreeStreamRequest(request);
    } else if (InterlockedExchange(&request->handoff, 1) != 0) {
        // The canceller has finished with it.
        IoFreeIrp(request->irp);
        FreeStreamRequest(request);
    }
    // Otherwise the canceller frees both after its IoCancelIrp.
    TransferCameBack(port);
}

void WaitForStreamTransfers(PortExtension* port) {
    PAGED_CODE();
    while (ReadShared(&port->streamTransfersOut) != 0) {
        // Set by whichever completion brought the count to zero, perhaps
        // long ago: look at the count again after clearing it.
        KeClearEvent(&port->streamsDoneEvent);
        if (ReadShared(&port->streamTransfersOut) == 0) break;
        KeWaitForSingleObject(&port->streamsDoneEvent, Executive, KernelMode, FALSE, nullptr);
    }
}
