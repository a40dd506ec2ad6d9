// STUB: replaced by the real code on its branch.
#include "io/deferred_routines.h"
#include "io/deferred_work.h"
#include "io/write_path.h"

void StartXoffCounter(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

void TakeXoffBack(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

VOID NTAPI CancelXoffCounter(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI XoffCountCompleteDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}

VOID NTAPI XoffCountTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    EndDpcCounted(static_cast<PortExtension*>(context));
}
