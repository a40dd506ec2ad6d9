// Cancellation: the system-wide cancel spin lock and IoCancelIrp.
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/driver_time.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::io {
namespace {

// One lock for the whole system, taken through the dispatcher so that its
// spin-lock checks apply to it like to any other.
KSPIN_LOCK g_cancelLock = 0;

void ResetCancelLock() { g_cancelLock = 0; }
ResetRegistration g_reset(kResetIo, &ResetCancelLock);

}  // namespace

// By the calling thread: what another processor holds is not its business.
bool CancelSpinLockHeld() { return harness::dispatcher::IsSpinLockHeld(&g_cancelLock); }

}  // namespace harness::io

using namespace harness::io;
using harness::BugCheck;

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    if (!IsLiveIrp(Irp)) {
        BugCheck("INVALID_IRP", "IoCancelIrp",
                 detail::PointerText(Irp) + (detail::WasFreed(Irp) ? " was already completed and freed" : " is not an IRP"));
        return FALSE;
    }
    const uint64_t serial = detail::FindIrp(Irp)->serial;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Spinning on the cancel lock sets the harness lock down: the request
    // may have been completed and freed meanwhile, and its memory handed
    // out again for a new IRP (the heap reuses a block of that size at
    // once), which is not the one to cancel.
    const detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (record == nullptr || record->serial != serial) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        BugCheck("CANCEL_STATE_IN_COMPLETED_IRP", "IoCancelIrp",
                 DescribeIrp(Irp) + " has cancel routine " + detail::PointerText(reinterpret_cast<const void*>(routine)) +
                     " but is not in any driver (no current stack location)");
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine is entered holding the cancel lock and must release it
    // with IoReleaseCancelSpinLock(Irp->CancelIrql).
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT owner = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    {
        harness::profile::DriverTimeScope meter(owner != nullptr && harness::profile::IsDriverUnderTest(owner->DriverObject));
        harness::DriverCallScope driverCode;
        routine(owner, Irp);
    }
    if (CancelSpinLockHeld()) {
        BugCheck("CANCEL_SPIN_LOCK_NOT_RELEASED", "IoCancelIrp",
                 "cancel routine " + detail::PointerText(reinterpret_cast<const void*>(routine)) +
                     " returned still holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}
