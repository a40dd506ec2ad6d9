// STUB: replaced by the real code on its branch.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

NTSTATUS StartImmediate(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}

void GiveImmediateToUsb(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void TakeNextImmediate(PIRP* currentSlot, PLIST_ENTRY queue, PIRP* nextOut, BOOLEAN completeCurrent, PortExtension* port) {
    TakeNextRequest(currentSlot, queue, nextOut, completeCurrent, port);
}

VOID NTAPI CancelImmediate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI CompleteImmediateDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}

VOID NTAPI ImmediateTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}
