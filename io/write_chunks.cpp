// STUB: replaced by the real code on its branch.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

void SendWriteChunk(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void TransmitDone(PortExtension* port, TransmitContent content, ULONG bytes) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(content);
    UNREFERENCED_PARAMETER(bytes);
}

void TransmitFailed(PortExtension* port, TransmitContent content, NTSTATUS status) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(content);
    UNREFERENCED_PARAMETER(status);
}

void WriteChunkDone(PortExtension* port, ULONG bytes) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(bytes);
}

void TakeWriteBack(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI CompleteWriteDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}

VOID NTAPI WriteTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}
