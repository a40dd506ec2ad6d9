// STUB: replaced by the real code on its branch.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/read_path.h"

void TakeReadBack(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI CompleteReadDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}
