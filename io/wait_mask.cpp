// STUB: replaced by the real code on its branch.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/wait_mask.h"

NTSTATUS StartMask(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}

void FinishOldWait(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void ArmWait(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void RaiseEvents(PortExtension* port, ULONG events) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(events);
}

void ReportEvents(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void TakeWaitBack(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

VOID NTAPI CancelWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI CompleteWaitDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}
