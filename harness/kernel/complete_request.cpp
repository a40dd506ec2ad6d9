// IofCompleteRequest: walks a completed IRP back up its stack locations,
// calling each driver's completion routine, and finishes it in the I/O
// manager once it has passed the top.
#include <cstring>

#include "harness/kernel/driver_time.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::io::detail {
namespace {

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

// What the I/O manager clears in a stack location once completion has
// passed it; the completion routine and its context stay.
void ClearStackLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control &= SL_ERROR_RETURNED;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->Parameters.Others.Argument4 = nullptr;
    location->FileObject = nullptr;
}

bool ShouldInvoke(const IRP* irp, UCHAR control) {
    const NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// The bytes of the system buffer the I/O manager copies back to the
// requester for the completing location's request, or -1 where it copies
// nothing: the output part of a METHOD_BUFFERED device control, a buffered
// read or query. (The direct methods' output goes through an MDL, the
// neither method's straight to the caller's buffer.)
int64_t OutputSectionLength(const IRP* irp, const IO_STACK_LOCATION* location) {
    const bool buffered = (irp->Flags & IRP_BUFFERED_IO) != 0;
    switch (location->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) return -1;
        return location->Parameters.DeviceIoControl.OutputBufferLength;
    case IRP_MJ_READ: return buffered ? int64_t(location->Parameters.Read.Length) : -1;
    case IRP_MJ_QUERY_INFORMATION: return buffered ? int64_t(location->Parameters.QueryFile.Length) : -1;
    default: return -1;
    }
}

// The I/O verifier's check of IoCompleteRequest (DRIVER_VERIFIER_IOMANAGER_
// VIOLATION 0x312): Information larger than the output section of the
// system buffer would have the I/O manager copy past the end of the
// requester's buffer. Judged against the completing driver's own location,
// whoever built the request, and whatever the status (a failed request
// reports no bytes).
void CheckInformationFits(PIRP irp, IrpRecord& record) {
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return;
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const int64_t length = OutputSectionLength(irp, location);
    if (length < 0 || irp->IoStatus.Information <= uint64_t(length)) return;
    BugCheck("INFORMATION_EXCEEDS_BUFFER", "IofCompleteRequest",
             DescribeIrp(irp) + " completed by " + DescribeDevice(location->DeviceObject) + " with Information " +
                 std::to_string(irp->IoStatus.Information) + " (status " + Hex(ULONG(irp->IoStatus.Status)) +
                 ") for an output buffer of " + std::to_string(length) + " bytes");
    record.informationReported = true;
}

// Remembers the status a dispatch routine completed the request with at its
// own location, for the check when it returns (call_driver.cpp).
void NoteCompletionAtLocation(const IRP* irp, IrpRecord& record) {
    const int index = irp->CurrentLocation;
    if (index < 1 || size_t(index) >= record.locations.size()) return;
    LocationCheck& check = record.locations[size_t(index)];
    if (check.dispatchDepth == 0) return;  // completed after its dispatch routine returned
    check.completedAtDepth = check.dispatchDepth;
    check.completedStatus = irp->IoStatus.Status;
}

}  // namespace

void FinishAtIoManager(const IrpRecordPtr& record) {
    PIRP irp = record->irp;
    if (record->origin != IrpOrigin::IoManager) {
        BugCheck("DRIVER_IRP_COMPLETED_TO_IO_MANAGER", "IofCompleteRequest",
                 DescribeIrp(irp) +
                     " was allocated by a driver and completed past its top stack location without a completion "
                     "routine returning STATUS_MORE_PROCESSING_REQUIRED; the I/O manager would finish it as a "
                     "thread's request and crash");
        record->abandoned = true;
        return;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR copy = irp->IoStatus.Information;
    if (record->checkInformation && !IsError(status) && copy > record->userBufferLength) {
        if (!record->informationReported)
            BugCheck("INFORMATION_EXCEEDS_BUFFER", "IofCompleteRequest",
                     DescribeIrp(irp) + " completed with Information " + std::to_string(copy) +
                         " for a buffer of " + std::to_string(record->userBufferLength) + " bytes");
        copy = record->userBufferLength;
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !IsError(status) &&
        record->userBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr && copy > 0) {
        if (copy > record->userBufferLength) copy = record->userBufferLength;
        std::memcpy(record->userBuffer, irp->AssociatedIrp.SystemBuffer, copy);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    record->finished = true;
    std::function<void(PIRP)> done = std::move(record->onComplete);
    if (done) done(irp);
    ReleaseIrp(record);
}

}  // namespace harness::io::detail

using namespace harness::io;
using harness::BugCheck;

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    harness::HarnessScope harnessState;
    UNREFERENCED_PARAMETER(PriorityBoost);
    detail::CheckIrql(DISPATCH_LEVEL, "IofCompleteRequest");
    detail::IrpRecordPtr record = detail::FindIrp(Irp);
    if (!record) {
        if (detail::WasFreed(Irp))
            BugCheck("IRP_COMPLETED_TWICE", "IofCompleteRequest",
                     "IRP " + detail::PointerText(Irp) + " was already completed and freed");
        else
            BugCheck("INVALID_IRP", "IofCompleteRequest", detail::PointerText(Irp) + " is not an IRP");
        return;
    }
    if (record->completed || Irp->CurrentLocation > Irp->StackCount + 1) {
        BugCheck("IRP_COMPLETED_TWICE", "IofCompleteRequest",
                 DescribeIrp(Irp) + " was already completed (status " + detail::Hex(ULONG(Irp->IoStatus.Status)) +
                     ")");
        return;
    }
    if (Irp->CancelRoutine != nullptr) {
        BugCheck("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IofCompleteRequest",
                 DescribeIrp(Irp) + " still has cancel routine " +
                     detail::PointerText(reinterpret_cast<const void*>(Irp->CancelRoutine)));
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck("IRP_COMPLETED_WITH_STATUS_PENDING", "IofCompleteRequest",
                 DescribeIrp(Irp) + " completed with IoStatus.Status = STATUS_PENDING");
    }

    detail::CheckInformationFits(Irp, *record);
    detail::NoteCompletionAtLocation(Irp, *record);

    record->inDriver = false;
    record->completed = true;
    const uint64_t generation = ++record->generation;

    while (Irp->CurrentLocation <= Irp->StackCount) {
        const int index = Irp->CurrentLocation;
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        IoSkipCurrentIrpStackLocation(Irp);  // up one location
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;

        detail::LocationCheck& check = record->locations[size_t(index)];
        check.walked = true;
        check.marked = Irp->PendingReturned;
        if (check.dispatchDepth == 0) detail::CheckPendingRule(*record, index);

        const bool invoke = location->CompletionRoutine != nullptr && detail::ShouldInvoke(Irp, location->Control);
        detail::ClearStackLocation(location);
        if (invoke) {
            // The device object of the location above: the driver that set
            // the routine. Null above the top (an IRP a driver allocated).
            PDEVICE_OBJECT device =
                Irp->CurrentLocation > Irp->StackCount ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            // While its routine runs the IRP is that driver's again: it may
            // free it, send it on, or complete it once more.
            record->completed = false;
            NTSTATUS result;
            {
                // A null device: the routine of whoever allocated the IRP,
                // counted as the driver's.
                harness::profile::DriverTimeScope meter(device == nullptr || harness::profile::IsDriverUnderTest(device->DriverObject));
                harness::DriverCallScope driverCode;
                result = routine(device, Irp, location->Context);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (record->freed) {
                BugCheck("IRP_FREED_DURING_COMPLETION", "IofCompleteRequest",
                         "completion routine " + detail::PointerText(reinterpret_cast<const void*>(routine)) +
                             " freed IRP " + detail::PointerText(Irp) + " and returned " +
                             detail::Hex(ULONG(result)) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (record->generation != generation) {
                BugCheck("IRP_COMPLETED_TWICE", "IofCompleteRequest",
                         "completion routine " + detail::PointerText(reinterpret_cast<const void*>(routine)) +
                             " sent on or completed " + DescribeIrp(Irp) + " and then returned " +
                             detail::Hex(ULONG(result)) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            record->completed = true;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            // No routine to do it: carry the pending mark up to the caller.
            IoMarkIrpPending(Irp);
        }
    }
    detail::FinishAtIoManager(record);
}
